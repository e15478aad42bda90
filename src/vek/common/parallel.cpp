#include "vek/common/parallel.hpp"

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include <tbb/global_control.h>
#include <tbb/info.h>

namespace vek::par {

std::size_t parse_thread_count(const char* text) noexcept {
  if (text == nullptr) return 0;
  const char* p = text;
  if (*p == '+') ++p;
  if (*p == '\0') return 0;
  std::size_t value = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return 0;
    const std::size_t digit = static_cast<std::size_t>(*p - '0');
    if (value > (static_cast<std::size_t>(-1) - digit) / 10) return 0;  // overflow: not a count
    value = value * 10 + digit;
  }
  return value;
}

namespace {

constexpr std::size_t kMaxThreads = 1024;

std::size_t requested_threads() {
  if (std::size_t n = parse_thread_count(std::getenv("RAYON_NUM_THREADS")); n > 0) return n;
  if (std::size_t n = parse_thread_count(std::getenv("RAYON_RS_NUM_CPUS")); n > 0) return n;
  const int hw = tbb::info::default_concurrency();
  return hw > 0 ? static_cast<std::size_t>(hw) : 1;
}

std::size_t configured_threads() { return std::min(requested_threads(), kMaxThreads); }

std::once_flag g_once;
std::size_t g_threads = 0;
// Never freed: both live as long as the process.
tbb::global_control* g_limit = nullptr;
tbb::task_arena* g_arena = nullptr;

void start() {
  g_threads = configured_threads();
  // The global limit may have to be raised above the hardware default for a
  // requested count larger than the number of processors.
  g_limit = new tbb::global_control(tbb::global_control::max_allowed_parallelism, g_threads);
  g_arena = new tbb::task_arena(static_cast<int>(g_threads));
}

}  // namespace

tbb::task_arena& pool() {
  std::call_once(g_once, start);
  return *g_arena;
}

std::size_t thread_count() {
  ensure_pool();
  return g_threads;
}

namespace {
thread_local tbb::task_arena* tl_arena = nullptr;
}  // namespace

tbb::task_arena& arena() { return tl_arena != nullptr ? *tl_arena : pool(); }

ThreadLimit::ThreadLimit(std::size_t threads) : previous_(tl_arena) {
  // The pool's count is the process-wide limit every arena's workers obey
  // (oneTBB warns about requests beyond it).
  const std::size_t n = std::min(threads == 0 ? thread_count() : threads, thread_count());
  arena_ = std::make_unique<tbb::task_arena>(static_cast<int>(n));
  tl_arena = arena_.get();
}

ThreadLimit::~ThreadLimit() { tl_arena = previous_; }

}  // namespace vek::par

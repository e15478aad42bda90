#include "vek/common/parallel.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>

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

std::once_flag g_count_once;
std::size_t g_threads = 0;

// Started at most once; never freed: both live as long as the process.
std::mutex g_start_lock;
tbb::global_control* g_limit = nullptr;
std::atomic<tbb::task_arena*> g_arena{nullptr};

// Address space the pool's start-up needs besides its worker stacks: the
// scheduler's own structures and each worker's (a few hundred KiB), with a
// wide margin, since a failed allocation inside oneTBB's start-up never
// returns.
constexpr std::size_t kStartReserve = std::size_t{8} << 20;
constexpr std::size_t kWorkerReserve = std::size_t{1} << 20;  // guard page, TLS, per-thread state

// Whether `bytes` of address space can be mapped now (under RLIMIT_AS, say).
bool room_for(std::size_t bytes) noexcept {
  void* p = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return false;
  munmap(p, bytes);
  return true;
}

// Starts the pool when the address space has room for it and its threads;
// false otherwise (nothing of oneTBB started, so a later call may try again).
bool start() {
  const std::size_t n = thread_count();
  const std::size_t stack = tbb::global_control::active_value(tbb::global_control::thread_stack_size);
  if (!room_for(kStartReserve + (n - 1) * (stack + kWorkerReserve))) return false;
  // The global limit may have to be raised above the hardware default for a
  // requested count larger than the number of processors.
  if (g_limit == nullptr) g_limit = new tbb::global_control(tbb::global_control::max_allowed_parallelism, n);
  auto arena = std::make_unique<tbb::task_arena>(static_cast<int>(n));
  arena->initialize();  // oneTBB's own start-up, here rather than in the first loop
  g_arena.store(arena.release(), std::memory_order_release);
  return true;
}

}  // namespace

std::size_t thread_count() {
  std::call_once(g_count_once, [] { g_threads = configured_threads(); });
  return g_threads;
}

tbb::task_arena* pool() {
  if (tbb::task_arena* a = g_arena.load(std::memory_order_acquire)) return a;
  const std::lock_guard<std::mutex> hold(g_start_lock);
  if (g_arena.load(std::memory_order_relaxed) == nullptr && !start()) return nullptr;
  return g_arena.load(std::memory_order_relaxed);
}

void pool_failed() { throw std::bad_alloc(); }

namespace {
thread_local tbb::task_arena* tl_arena = nullptr;
}  // namespace

tbb::task_arena* arena() {
  tbb::task_arena* const shared = pool();
  return shared != nullptr && tl_arena != nullptr ? tl_arena : shared;
}

ThreadLimit::ThreadLimit(std::size_t threads) : previous_(tl_arena) {
  // The pool's count is the process-wide limit every arena's workers obey
  // (oneTBB warns about requests beyond it). The arena starts when first
  // used, and only ever after the pool (arena()).
  const std::size_t n = std::min(threads == 0 ? thread_count() : threads, thread_count());
  arena_ = std::make_unique<tbb::task_arena>(static_cast<int>(n));
  tl_arena = arena_.get();
}

ThreadLimit::~ThreadLimit() { tl_arena = previous_; }

}  // namespace vek::par

#include "vek/common/parallel.hpp"

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

std::size_t configured_threads() {
  if (std::size_t n = parse_thread_count(std::getenv("RAYON_NUM_THREADS")); n > 0) return n;
  if (std::size_t n = parse_thread_count(std::getenv("RAYON_RS_NUM_CPUS")); n > 0) return n;
  const int hw = tbb::info::default_concurrency();
  return hw > 0 ? static_cast<std::size_t>(hw) : 1;
}

std::once_flag g_once;
std::size_t g_threads = 0;
tbb::global_control* g_limit = nullptr;  // never freed: lives as long as the process

void start() {
  g_threads = configured_threads();
  g_limit = new tbb::global_control(tbb::global_control::max_allowed_parallelism, g_threads);
}

}  // namespace

void ensure_pool() { std::call_once(g_once, start); }

std::size_t thread_count() {
  ensure_pool();
  return g_threads;
}

}  // namespace vek::par

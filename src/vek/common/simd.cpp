#include "vek/common/simd.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace vek::simd {
namespace {

// The widest level the processor has. Its answers include the operating
// system's (that it saves the wide registers).
int cpu_level() noexcept {
#if VEK_SIMD_X86
  __builtin_cpu_init();  // may run before the constructors that would do it
  if (__builtin_cpu_supports("avx2") == 0) return kScalar;
  return __builtin_cpu_supports("avx512f") != 0 ? kAvx512 : kAvx2;
#else
  return kScalar;
#endif
}

// Read once: a switch for measuring the scalar loops and for ruling the
// vector ones out when hunting a fault, not a tuning knob.
bool allowed_by_environment() noexcept {
  const char* v = std::getenv("VEK_SIMD");
  return v == nullptr || (std::strcmp(v, "0") != 0 && std::strcmp(v, "off") != 0);
}

// -1 until first asked, then the level in use. Working it out twice at
// once is harmless: both threads find the same answer.
std::atomic<int> g_level{-1};

}  // namespace

int level() noexcept {
  int w = g_level.load(std::memory_order_relaxed);
  if (w < 0) {
    w = allowed_by_environment() ? cpu_level() : kScalar;
    g_level.store(w, std::memory_order_relaxed);
  }
  return w;
}

int set_level(int wanted) noexcept {
  const int was = level();
  g_level.store(std::clamp(wanted, int{kScalar}, cpu_level()), std::memory_order_relaxed);
  return was;
}

}  // namespace vek::simd

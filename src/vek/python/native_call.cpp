#include "vek/python/native_call.hpp"

#include <pthread.h>

#include <cstdint>
#include <limits>

namespace vek::py {

namespace {

// The calling thread's stack as the addresses [lo, hi); hi == 0 when the
// system cannot tell (then nothing is known, and it is asked again later).
struct Stack {
  std::uintptr_t lo = 0, hi = 0;
};

Stack this_thread_stack() noexcept {
  Stack s;
#if defined(__linux__)
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return s;
  void* base = nullptr;
  std::size_t size = 0;
  if (pthread_attr_getstack(&attr, &base, &size) == 0) {
    s.lo = reinterpret_cast<std::uintptr_t>(base);
    s.hi = s.lo + size;
  }
  pthread_attr_destroy(&attr);
#endif
  return s;
}

thread_local Stack tl_stack;

// Bytes of stack left below the caller's frame; unbounded when unknown, or
// when the frame is not on the thread's own stack (a coroutine's, say).
std::size_t stack_left() noexcept {
  if (tl_stack.hi == 0) tl_stack = this_thread_stack();
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (here <= tl_stack.lo || here >= tl_stack.hi) return std::numeric_limits<std::size_t>::max();
  return here - tl_stack.lo;
}

}  // namespace

bool enter_callback() noexcept {
  static constexpr const char kWhere[] = " while calling a Python object";
  if (stack_left() < kCallbackStackReserve) {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", kWhere);
    return false;
  }
  return Py_EnterRecursiveCall(kWhere) == 0;
}

}  // namespace vek::py

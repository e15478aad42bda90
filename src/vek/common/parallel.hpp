// The process-wide worker pool: oneTBB, sized once from RAYON_NUM_THREADS /
// RAYON_RS_NUM_CPUS (or one worker per logical processor) on first use.
//
// Every parallel operation here is an order-preserving map over an index
// range: workers own disjoint sub-ranges, so results never depend on the
// thread count. The first exception thrown by a worker is re-thrown on the
// caller.
//
// Loops carry the caller's stop source (vek/common/stop.hpp) to the workers
// and pass a checkpoint between pieces of at most kPiece indices, so a
// stopped call ends within one piece per thread.
//
// oneTBB cannot start under a tight address-space limit: a failed allocation
// inside its start-up spins forever, a worker thread it cannot create
// fails the call or the process. So the pool starts only once the address
// space has room for its threads; until then loops run on the calling
// thread (same results), and each later loop tries again.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <memory>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "vek/common/stop.hpp"

namespace vek::par {

// Parses a thread-count variable the way the pool does: a decimal count
// ("+" allowed), zero or garbage meaning "not set". Returns 0 when unset.
std::size_t parse_thread_count(const char* text) noexcept;

// The number of threads the pool runs (or will run) with.
std::size_t thread_count();

// Starts the pool once per process (cheap once started) and returns the
// arena that every parallel operation runs in; nullptr while the address
// space has no room to start it.
tbb::task_arena* pool();
inline void ensure_pool() { (void)pool(); }

// The arena the calling thread's parallel operations run in: the one of a
// live ThreadLimit on this thread, else the pool's; nullptr while the pool
// cannot start.
tbb::task_arena* arena();

// Raises the failure of the pool itself (not of a loop body), such as a
// worker thread it could not create, as std::bad_alloc: the process ran out
// of memory for threads.
[[noreturn]] void pool_failed();

// While alive, the calling thread's parallel operations run in an arena of
// `threads` threads (the calling one included; 0 or more than the pool has
// mean the pool's count) instead of the pool. Results do not change, only
// the threads sharing the work. Scopes nest; each must end on the thread
// that began it.
class ThreadLimit {
 public:
  explicit ThreadLimit(std::size_t threads);
  ~ThreadLimit();
  ThreadLimit(const ThreadLimit&) = delete;
  ThreadLimit& operator=(const ThreadLimit&) = delete;

 private:
  std::unique_ptr<tbb::task_arena> arena_;
  tbb::task_arena* previous_;
};

// Ranges shorter than this run on the calling thread: for element-wise
// kernels the task overhead would exceed the work.
inline constexpr std::size_t kSerialBelow = 4096;

// Indices handed to one body call between two checkpoints.
inline constexpr std::size_t kPiece = std::size_t{1} << 14;

// body(begin, end) over [b, e) in pieces, a checkpoint against `stop`
// before each.
template <class Body>
void run_pieces(std::size_t b, std::size_t e, Body& body, StopSource* stop) {
  while (b < e) {
    const std::size_t end = e - b > kPiece ? b + kPiece : e;
    checkpoint(stop, end - b);
    body(b, end);
    b = end;
  }
}

// Calls body(begin, end) over disjoint sub-ranges covering [0, n).
template <class Body>
void for_ranges(std::size_t n, Body&& body, std::size_t serial_below = kSerialBelow) {
  if (n == 0) return;
  StopSource* const stop = current_stop();
  tbb::task_arena* const where = n < serial_below ? nullptr : arena();
  if (where == nullptr) {
    run_pieces(0, n, body, stop);
    return;
  }
  // A body's exception is caught on its own thread and re-thrown here, after
  // the loop: no exception unwinds through oneTBB's frames, which may belong
  // to another C++ runtime than this code (the portable wheel links libc++
  // statically, the `tbb` package's libtbb uses libstdc++). Later ranges see
  // the flag and return at once.
  std::atomic<bool> failed{false};
  std::exception_ptr failure;
  try {
    where->execute([&] {
      tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), [&](const tbb::blocked_range<std::size_t>& r) {
        if (failed.load(std::memory_order_relaxed)) return;
        StopScope scope(stop);  // the caller's source, on whichever thread runs this range
        try {
          run_pieces(r.begin(), r.end(), body, stop);
        } catch (...) {
          if (!failed.exchange(true, std::memory_order_relaxed)) failure = std::current_exception();
        }
      });
    });
  } catch (...) {
    pool_failed();
  }
  if (failure) std::rethrow_exception(failure);
}

// out[i] = f(i) for every i in [0, n); out must already hold n slots.
template <class Out, class F>
void map_index(std::size_t n, Out* out, F&& f, std::size_t serial_below = kSerialBelow) {
  for_ranges(
      n,
      [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) out[i] = f(i);
      },
      serial_below);
}

}  // namespace vek::par

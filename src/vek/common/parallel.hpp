// The process-wide worker pool: oneTBB, sized once from RAYON_NUM_THREADS /
// RAYON_RS_NUM_CPUS (or one worker per logical processor) on first use.
//
// Every parallel operation here is an order-preserving map over an index
// range: workers own disjoint sub-ranges, so results never depend on the
// thread count. Exceptions thrown by a worker are re-thrown on the caller.
//
// Loops carry the caller's stop source (vek/common/stop.hpp) to the workers
// and pass a checkpoint between pieces of at most kPiece indices, so a
// stopped call ends within one piece per thread.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "vek/common/stop.hpp"

namespace vek::par {

// Parses a thread-count variable the way the pool does: a decimal count
// ("+" allowed), zero or garbage meaning "not set". Returns 0 when unset.
std::size_t parse_thread_count(const char* text) noexcept;

// The number of threads the pool was (or will be) started with.
std::size_t thread_count();

// Starts the pool once per process (cheap after the first call) and returns
// the arena that every parallel operation runs in.
tbb::task_arena& pool();
inline void ensure_pool() { (void)pool(); }

// The arena the calling thread's parallel operations run in: the one of a
// live ThreadLimit on this thread, else the pool's.
tbb::task_arena& arena();

// Runs f inside arena() on the calling thread, which takes part in the work
// and waits for it.
template <class F>
void run(F&& f) {
  arena().execute(std::forward<F>(f));
}

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
  if (n < serial_below) {
    run_pieces(0, n, body, stop);
    return;
  }
  run([&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), [&](const tbb::blocked_range<std::size_t>& r) {
      StopScope scope(stop);  // the caller's source, on whichever thread runs this range
      run_pieces(r.begin(), r.end(), body, stop);
    });
  });
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

// Cooperative stopping of long native work (Ctrl-C, time limits, a failed
// callback).
//
// The caller that may want to stop a call installs a StopSource on its
// thread for the duration of the call. The work calls vek::checkpoint()
// between pieces of work. On every thread, a checkpoint throws
// vek::Interrupted once a stop was requested; on the installing thread it
// also asks the source's `keep_going` callback, at most every few
// milliseconds. Parallel loops (vek/common/parallel.hpp) carry the caller's
// source into the workers, so every worker sees the same flag.
//
// Checkpoints never change a result: a call either finishes exactly as it
// would without them or throws Interrupted.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <thread>

#include "vek/common/panic.hpp"

namespace vek {

class StopSource {
 public:
  using Clock = std::chrono::steady_clock;

  // `keep_going` runs only on the constructing thread; returning false
  // requests the stop. An empty callback never stops by itself.
  explicit StopSource(std::function<bool()> keep_going, Clock::duration interval = std::chrono::milliseconds(20));
  StopSource(const StopSource&) = delete;
  StopSource& operator=(const StopSource&) = delete;

  bool stop_requested() const noexcept { return stopped_.load(std::memory_order_relaxed); }
  void request_stop() noexcept { stopped_.store(true, std::memory_order_relaxed); }

  // Throws Interrupted when a stop was requested; on the owning thread, asks
  // keep_going once the interval has passed. `work` is a rough count of the
  // elementary steps done since the last checkpoint: the clock is read only
  // every few thousand of them.
  void checkpoint(std::size_t work) {
    if (stop_requested()) throw Interrupted();
    if (std::this_thread::get_id() != owner_) return;
    since_clock_ += work;
    if (since_clock_ >= kWorkPerClockRead) poll_if_due();
  }

  // Asks keep_going now (owning thread only); throws Interrupted on a stop.
  void poll_now();

 private:
  static constexpr std::size_t kWorkPerClockRead = std::size_t{1} << 13;
  void poll_if_due();

  std::atomic<bool> stopped_{false};
  const std::thread::id owner_;
  std::function<bool()> keep_going_;
  const Clock::duration interval_;
  std::size_t since_clock_ = 0;  // owner only
  Clock::time_point next_;       // owner only
};

// The source installed on this thread, or nullptr.
StopSource* current_stop() noexcept;

// Installs `source` (may be nullptr) on this thread for the scope's life.
class StopScope {
 public:
  explicit StopScope(StopSource* source) noexcept;
  ~StopScope();
  StopScope(const StopScope&) = delete;
  StopScope& operator=(const StopScope&) = delete;

 private:
  StopSource* previous_;
};

// A checkpoint against `source` (nullptr: no-op). Tight loops read
// current_stop() once (a thread-local access, a call in a shared object) and
// pass it to every checkpoint of the loop.
inline void checkpoint(StopSource* source, std::size_t work) {
  if (source != nullptr) source->checkpoint(work);
}

// A checkpoint against the source installed on this thread (none: no-op).
inline void checkpoint(std::size_t work = 1) { checkpoint(current_stop(), work); }

}  // namespace vek

#include "vek/common/stop.hpp"

#include <utility>

namespace vek {

namespace {
thread_local StopSource* tl_current = nullptr;
}  // namespace

StopSource::StopSource(std::function<bool()> keep_going, Clock::duration interval)
    : owner_(std::this_thread::get_id()),
      keep_going_(std::move(keep_going)),
      interval_(interval),
      next_(Clock::now() + interval) {}

void StopSource::poll_if_due() {
  since_clock_ = 0;
  if (Clock::now() < next_) return;
  poll_now();
}

void StopSource::poll_now() {
  if (stop_requested()) throw Interrupted();
  if (std::this_thread::get_id() != owner_) return;
  if (keep_going_ && !keep_going_()) {
    request_stop();
    throw Interrupted();
  }
  next_ = Clock::now() + interval_;
}

StopSource* current_stop() noexcept { return tl_current; }

StopScope::StopScope(StopSource* source) noexcept : previous_(tl_current) { tl_current = source; }
StopScope::~StopScope() { tl_current = previous_; }

}  // namespace vek

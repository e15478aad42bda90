// Freeing large structures without making the caller wait.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace vek {

namespace dispose_detail {

// The frees still running. Its destructor (at process exit, before the
// libraries the frees go to are unloaded) waits for them.
class Pending {
 public:
  Pending() = default;
  Pending(const Pending&) = delete;
  Pending& operator=(const Pending&) = delete;
  ~Pending() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return count_ == 0; });
  }
  void begin() {
    std::lock_guard lock(mutex_);
    ++count_;
  }
  void end() {
    std::lock_guard lock(mutex_);
    if (--count_ == 0) idle_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable idle_;
  std::size_t count_ = 0;
};

inline Pending& pending() {
  static Pending p;
  return p;
}

}  // namespace dispose_detail

// Destroys *p on a detached thread, so that a caller returning (after a
// stop, say) does not wait for millions of small frees. Without a thread
// (none can start), it is destroyed here.
template <class T>
void dispose_later(std::unique_ptr<T> p) noexcept {
  dispose_detail::Pending& pending = dispose_detail::pending();
  pending.begin();
  try {
    std::thread([q = std::move(p), &pending]() mutable {
      q.reset();
      pending.end();
    }).detach();
  } catch (const std::system_error&) {
    // The lambda, and with it the structure, was destroyed here.
    pending.end();
  }
}

}  // namespace vek

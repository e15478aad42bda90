// Freeing large structures without making the caller wait.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

namespace vek {

namespace dispose_detail {

// The frees still running. Its destructor (at process exit, before the
// libraries the frees go to are unloaded) waits for them. No lock: a forked
// child, whose freeing threads stayed behind in the parent, only resets
// the count.
class Pending {
 public:
  Pending() = default;
  Pending(const Pending&) = delete;
  Pending& operator=(const Pending&) = delete;
  ~Pending() {
    while (count_.load(std::memory_order_acquire) != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void begin() noexcept { count_.fetch_add(1, std::memory_order_relaxed); }
  void end() noexcept { count_.fetch_sub(1, std::memory_order_release); }
  void forget() noexcept { count_.store(0, std::memory_order_relaxed); }

 private:
  std::atomic<std::size_t> count_{0};
};

inline Pending& pending() {
  static Pending p;
  static const bool forked_children_forget = [] {
    pthread_atfork(nullptr, nullptr, [] { pending().forget(); });
    return true;
  }();
  (void)forked_children_forget;
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

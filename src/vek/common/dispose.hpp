// Freeing large structures without making the caller wait.
#pragma once

#include <memory>
#include <system_error>
#include <thread>
#include <utility>

namespace vek {

// Destroys *p on a detached thread, so that a caller returning (after a
// stop, say) does not wait for millions of small frees. Without a thread
// (none can start), it is destroyed here.
template <class T>
void dispose_later(std::unique_ptr<T> p) noexcept {
  try {
    std::thread([q = std::move(p)]() mutable { q.reset(); }).detach();
  } catch (const std::system_error&) {
    // The lambda, and with it the structure, is destroyed here.
  }
}

}  // namespace vek

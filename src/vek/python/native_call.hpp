// Native work called from Python: the interpreter lock released around it,
// Ctrl-C honoured within it.
//
// run(f) installs a stop source (vek/common/stop.hpp) whose check takes the
// lock back for a moment to run pending signal handlers, so a KeyboardInterrupt
// raised there stops the work, and releases the lock while f runs when the
// work is large enough to be worth it: taking the lock back costs more than a
// small call's work, and other threads contending for it would slow such
// calls down. Callbacks from the work into Python (on the calling thread
// only) go through with_gil.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>

#include "vek/common/stop.hpp"
#include "vek/python/py.hpp"

namespace vek::py {

// Work of at least this many elementary steps runs without the lock.
inline constexpr std::size_t kReleaseGilFrom = std::size_t{1} << 12;

class NativeCall {
 public:
  explicit NativeCall(bool release_gil) noexcept : release_(release_gil) {}
  NativeCall(const NativeCall&) = delete;
  NativeCall& operator=(const NativeCall&) = delete;

  // Runs f(); the lock is held again when it returns or throws.
  template <class F>
  decltype(auto) run(F&& f) {
    StopSource stop([this] { return keep_going(); });
    StopScope scope(&stop);
    if (!release_) return f();
    Unlocked unlocked(saved_);
    return f();
  }

  // Runs g() with the lock held (calling thread only, from within run).
  template <class G>
  decltype(auto) with_gil(G&& g) {
    if (saved_ == nullptr) return g();
    Locked locked(saved_);
    return g();
  }

  // A call back into Python from the work (calling thread only): g() runs
  // with the lock held and returns a new reference, or nullptr with an
  // exception set. A failure ends the work (vek::Interrupted), and the
  // exception is the native call's.
  template <class G>
  void call_back(G&& g) {
    if (!with_gil([&] { return Ref(g()).get() != nullptr; })) throw Interrupted();
  }

  // Extra condition for going on, checked with the lock held before the
  // signal handlers run (for example: a deadline has not passed).
  template <class P>
  void also_require(P&& predicate) {
    extra_ = std::forward<P>(predicate);
  }

 private:
  struct Unlocked {
    PyThreadState*& saved;
    explicit Unlocked(PyThreadState*& s) : saved(s) { saved = PyEval_SaveThread(); }
    ~Unlocked() {
      PyEval_RestoreThread(saved);
      saved = nullptr;
    }
  };
  struct Locked {
    PyThreadState*& saved;
    PyThreadState* state;
    explicit Locked(PyThreadState*& s) : saved(s), state(s) {
      PyEval_RestoreThread(state);
      saved = nullptr;
    }
    ~Locked() { saved = PyEval_SaveThread(); }
  };

  bool keep_going() {
    return with_gil([this] { return (!extra_ || extra_()) && PyErr_CheckSignals() == 0; });
  }

  const bool release_;
  PyThreadState* saved_ = nullptr;
  std::function<bool()> extra_;
};

}  // namespace vek::py

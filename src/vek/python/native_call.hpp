// Native work called from Python: the interpreter lock released around it,
// Ctrl-C honoured within it.
//
// run(f) installs a stop source (vek/common/stop.hpp) whose check takes the
// lock back for a moment to run pending signal handlers, so a KeyboardInterrupt
// raised there stops the work, and releases the lock while f runs when the
// work is large enough to be worth it: taking the lock back costs more than a
// small call's work, and other threads contending for it would slow such
// calls down. Callbacks from the work into Python (on the calling thread
// only) go through with_gil, and through call_back when they may start
// native work of their own.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>

#include "vek/common/stop.hpp"
#include "vek/python/py.hpp"

namespace vek::py {

// Work of at least this many elementary steps runs without the lock.
inline constexpr std::size_t kReleaseGilFrom = std::size_t{1} << 12;

// A callback may start another search, whose own callback may start
// another, and so on. Each level costs a few KiB of native stack that the
// interpreter's recursion limit does not see, so in a thread with a small
// stack the limit alone would let the stack overflow. Entering a callback
// therefore counts as a recursive call of the interpreter and needs at least
// this much stack left (a whole search takes well under a quarter of it):
// otherwise it raises RecursionError, as deep recursion through the
// interpreter's own C calls does.
inline constexpr std::size_t kCallbackStackReserve = std::size_t{128} << 10;

// Enters a callback from native work into Python: false, with RecursionError
// set, when the interpreter's recursion limit or the stack reserve above is
// reached; on success, leave_callback() must follow.
bool enter_callback() noexcept;
inline void leave_callback() noexcept { Py_LeaveRecursiveCall(); }

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
  // exception is the native call's; so does a recursion too deep for the
  // callback to run (enter_callback).
  template <class G>
  void call_back(G&& g) {
    const bool ok = with_gil([&] {
      if (!enter_callback()) return false;
      struct Leave {
        ~Leave() { leave_callback(); }
      } leave;
      return Ref(g()).get() != nullptr;
    });
    if (!ok) throw Interrupted();
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

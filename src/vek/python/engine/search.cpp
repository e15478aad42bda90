// vek_math._engine.search: the formula search with its Pareto front, a time
// limit, a thread count and a progress callback; a stop returns what the
// finished levels found.
#include <chrono>
#include <cmath>
#include <optional>
#include <vector>

#include "vek/common/parallel.hpp"
#include "vek/discover/constants.hpp"
#include "vek/discover/search.hpp"
#include "vek/python/args.hpp"
#include "vek/python/engine/entries.hpp"
#include "vek/python/engine/from_py.hpp"
#include "vek/python/engine/to_py.hpp"
#include "vek/python/errors.hpp"
#include "vek/python/from_py.hpp"
#include "vek/python/native_call.hpp"

namespace vek::py::engine {

namespace {

constexpr const char* kParams[] = {"X",          "y",         "max_complexity", "beam_width",
                                   "precision_goal", "use_trig", "use_vek",        "complexity_penalty",
                                   "n_threads",  "time_limit", "progress",       "constants",
                                   "max_params"};
constexpr ArgSpec kSpec{"search", nullptr, kParams, 2};
constexpr Py_ssize_t kPositional = 2;  // the options are keyword-only

using Clock = std::chrono::steady_clock;

// An optional parameter: its default (already in `out`) when not given.
template <class T>
bool opt_arg(const Signature& spec, Py_ssize_t i, PyObject* o, T& out) {
  return o == nullptr || arg(spec, i, o, [](PyObject* v, T& x) { return from_py(v, x); }, out);
}

bool to_threads(PyObject* o, std::optional<std::size_t>& out) {
  if (o == nullptr || o == Py_None) return true;
  std::int64_t n;
  if (!arg(kSpec, 8, o, [](PyObject* v, std::int64_t& x) { return from_py(v, x); }, n)) return false;
  if (n < 1) {
    PyErr_Format(PyExc_ValueError, "n_threads must be at least 1, not %lld", static_cast<long long>(n));
    return false;
  }
  out = static_cast<std::size_t>(n);
  return true;
}

bool to_deadline(PyObject* o, std::optional<Clock::time_point>& out) {
  if (o == nullptr || o == Py_None) return true;
  double seconds;
  if (!arg(kSpec, 9, o, to_f64, seconds)) return false;
  if (!(seconds >= 0.0)) {
    PyErr_SetString(PyExc_ValueError, "time_limit must be a non-negative number of seconds");
    return false;
  }
  // Beyond a few decades the clock would overflow: no limit.
  if (seconds < 1e9) {
    out = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }
  return true;
}

}  // namespace

PyObject* search(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (nargs > kPositional) {
      PyErr_Format(PyExc_TypeError, "search() takes %zd positional arguments but %zd were given", kPositional,
                   nargs);
      return nullptr;
    }
    PyObject* a[13];
    discover::SearchConfig config;  // the defaults of the signature
    bool constants = false;
    std::uint64_t max_params = 4;
    std::optional<std::size_t> threads;
    std::optional<Clock::time_point> deadline;
    if (!parse_fast(kSpec, args, nargs, kwnames, a) || !opt_arg(kSpec, 2, a[2], config.max_complexity) ||
        !opt_arg(kSpec, 3, a[3], config.beam_width) ||
        !opt_arg(kSpec, 4, a[4], config.precision_goal) ||
        !opt_arg(kSpec, 5, a[5], config.use_trig) || !opt_arg(kSpec, 6, a[6], config.use_vek) ||
        !opt_arg(kSpec, 7, a[7], config.complexity_penalty) || !to_threads(a[8], threads) ||
        !opt_arg(kSpec, 11, a[11], constants) || !opt_arg(kSpec, 12, a[12], max_params))
      return nullptr;
    if (max_params < 2 || max_params > 16) {
      PyErr_Format(PyExc_ValueError, "max_params must be between 2 and 16, not %llu",
                   static_cast<unsigned long long>(max_params));
      return nullptr;
    }
    PyObject* progress = a[10] != nullptr && a[10] != Py_None ? a[10] : nullptr;
    if (progress != nullptr && !PyCallable_Check(progress)) {
      PyErr_Format(PyExc_TypeError, "progress must be callable or None, not '%s'", Py_TYPE(progress)->tp_name);
      return nullptr;
    }
    F64Array x, y;
    if (!x.acquire(a[0], "X", 2) || !y.acquire(a[1], "y", 1)) return nullptr;
    const std::size_t rows = x.dim(0);
    const std::size_t features = x.dim(1);
    if (rows == 0 || features == 0) {
      PyErr_Format(PyExc_ValueError, "X must have at least one sample and one feature; its shape is (%zu, %zu)",
                   rows, features);
      return nullptr;
    }
    if (y.dim(0) != rows) {
      PyErr_Format(PyExc_ValueError, "y has %zu values but X has %zu samples", y.dim(0), rows);
      return nullptr;
    }
    // The clock starts once the arguments are known to be good.
    if (!to_deadline(a[9], deadline)) return nullptr;

    // The search runs without the interpreter lock; the calling thread takes
    // it back to run signal handlers, check the deadline and call progress.
    NativeCall call(true);
    bool timed_out = false;
    bool failed = false;  // progress raised
    call.also_require([&] {
      if (deadline && Clock::now() >= *deadline) timed_out = true;
      return !timed_out;
    });
    discover::SearchHooks hooks;
    if (progress != nullptr) {
      hooks.on_level = [&](const discover::LevelInfo& info) {
        call.with_gil([&] {
          Ref best(info.best != nullptr ? record_to_py(*info.best) : Py_NewRef(Py_None));
          Ref ret(best ? PyObject_CallFunction(progress, "nnnO", static_cast<Py_ssize_t>(info.level),
                                               static_cast<Py_ssize_t>(info.generated),
                                               static_cast<Py_ssize_t>(info.scored), best.get())
                       : nullptr);
          failed = !ret;
        });
        if (failed) throw Interrupted();
      };
    }
    const discover::SearchOutcome out = call.run([&] {
      std::vector<std::vector<double>> columns(features, std::vector<double>(rows));
      const double* p = x.data();
      for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < features; ++c) columns[c][r] = *p++;
      }
      const std::vector<double> target(y.data(), y.data() + rows);
      std::optional<par::ThreadLimit> limit;
      if (threads) limit.emplace(*threads);
      if (constants) {
        return discover::search_constants(columns, target, config, {static_cast<std::size_t>(max_params)}, &hooks);
      }
      return discover::search_front(columns, target, config, &hooks);
    });

    // Why it stopped: Ctrl-C (a KeyboardInterrupt, from a signal handler or
    // the progress callback) and the deadline return what was found; any
    // other exception (of progress or a signal handler) propagates.
    const char* stopped = nullptr;
    if (PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) return nullptr;
      PyErr_Clear();
      stopped = "interrupted";
    } else if (out.stopped) {
      stopped = timed_out ? "time_limit" : "interrupted";
    }
    return outcome_to_py(out, stopped);
  });
}

}  // namespace vek::py::engine

// vek_math._engine.search: the formula search with its Pareto front, a time
// limit, a thread count, a memory limit and progress callbacks; a stop
// returns what the finished levels and the unfinished level's scored
// candidates found.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <vector>

#include "vek/common/parallel.hpp"
#include "vek/discover/reshape.hpp"
#include "vek/discover/sample.hpp"
#include "vek/discover/search.hpp"
#include "vek/python/engine/entries.hpp"
#include "vek/python/engine/remote.hpp"
#include "vek/python/engine/to_py.hpp"
#include "vek/python/errors.hpp"
#include "vek/python/native_call.hpp"

namespace vek::py::engine {

namespace {

using Clock = std::chrono::steady_clock;

// The moment `seconds` from now; none beyond a few decades (the clock would
// overflow).
std::optional<Clock::time_point> deadline_in(double seconds) {
  if (seconds >= 1e9) return std::nullopt;
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

PyObject* search(const F64Array<2>& x, const F64Array<1>& y, std::uint64_t max_complexity, std::uint64_t beam_width,
                 double precision_goal, bool use_trig, bool use_vek, double complexity_penalty,
                 std::optional<std::int64_t> n_threads, std::optional<double> time_limit, Callback progress,
                 bool constants, std::uint64_t max_params, const OpNames<1>& unary_operators,
                 const OpNames<2>& binary_operators, std::optional<std::uint64_t> max_samples, const Seed& seed,
                 Callback tick, std::optional<std::int64_t> memory_limit, Callback scorer,
                 const std::optional<F64Array<1>>& weights) {
  if (max_params < 2 || max_params > 16) {
    PyErr_Format(PyExc_ValueError, "max_params must be between 2 and 16, not %llu",
                 static_cast<unsigned long long>(max_params));
    return nullptr;
  }
  if (n_threads && *n_threads < 1) {
    PyErr_Format(PyExc_ValueError, "n_threads must be at least 1, not %lld", static_cast<long long>(*n_threads));
    return nullptr;
  }
  const std::size_t rows = x.dim(0);
  const std::size_t features = x.dim(1);
  if (rows == 0 || features == 0) {
    PyErr_Format(PyExc_ValueError, "X must have at least one sample and one feature; its shape is (%zu, %zu)", rows,
                 features);
    return nullptr;
  }
  if (y.dim(0) != rows) {
    PyErr_Format(PyExc_ValueError, "y has %zu values but X has %zu samples", y.dim(0), rows);
    return nullptr;
  }
  if (weights) {
    if (weights->dim(0) != rows) {
      PyErr_Format(PyExc_ValueError, "weights has %zu values but X has %zu samples", weights->dim(0), rows);
      return nullptr;
    }
    double total = 0.0;
    for (std::size_t i = 0; i < rows; ++i) {
      const double w = weights->data()[i];
      if (!(w >= 0.0) || !std::isfinite(w)) {
        PyErr_SetString(PyExc_ValueError, "weights must be finite and not negative");
        return nullptr;
      }
      total += w;
    }
    if (!(total > 0.0) || !std::isfinite(total)) {
      PyErr_SetString(PyExc_ValueError, "weights must have a positive, finite sum");
      return nullptr;
    }
  }
  if (time_limit && !(*time_limit >= 0.0)) {
    PyErr_SetString(PyExc_ValueError, "time_limit must be a non-negative number of seconds");
    return nullptr;
  }
  if (scorer.fn != nullptr && weights) {
    PyErr_SetString(PyExc_ValueError, "weights cannot be given with a scorer: its replicas score unweighted rows");
    return nullptr;
  }
  if (memory_limit && *memory_limit < 1) {
    PyErr_Format(PyExc_ValueError, "memory_limit must be a positive number of bytes, not %lld",
                 static_cast<long long>(*memory_limit));
    return nullptr;
  }
  // The clock starts once the arguments are known to be good.
  const std::optional<Clock::time_point> deadline = time_limit ? deadline_in(*time_limit) : std::nullopt;
  discover::SearchConfig config{max_complexity, beam_width, precision_goal, use_trig, use_vek, complexity_penalty};
  config.unary_ops = unary_operators.ops;
  config.binary_ops = binary_operators.ops;
  config.seed = seed.members;
  config.memory_limit = memory_limit ? static_cast<std::size_t>(*memory_limit) : discover::default_memory_limit();
  if (weights) config.weights.assign(weights->data(), weights->data() + rows);

  // The search runs without the interpreter lock; the calling thread takes
  // it back to run signal handlers, check the deadline and call progress.
  NativeCall call(true);
  bool timed_out = false;
  call.also_require([&] {
    if (deadline && Clock::now() >= *deadline) timed_out = true;
    return !timed_out;
  });
  discover::SearchHooks hooks;
  if (progress.fn != nullptr) {
    hooks.on_level = [&](const discover::LevelInfo& info) {
      call.call_back([&]() -> PyObject* {
        Ref best(info.best != nullptr ? to_py(*info.best) : Py_NewRef(Py_None));
        if (!best) return nullptr;
        return PyObject_CallFunction(progress.fn, "nnnO", static_cast<Py_ssize_t>(info.level),
                                     static_cast<Py_ssize_t>(info.generated), static_cast<Py_ssize_t>(info.scored),
                                     best.get());
      });
    };
  }
  if (tick.fn != nullptr) {
    hooks.on_progress = [&](const discover::ProgressInfo& info) {
      call.call_back([&]() -> PyObject* {
        Ref best(std::isnan(info.best_loss) ? Py_NewRef(Py_None) : PyFloat_FromDouble(info.best_loss));
        if (!best) return nullptr;
        return PyObject_CallFunction(tick.fn, "nnnO", static_cast<Py_ssize_t>(info.level),
                                     static_cast<Py_ssize_t>(info.done), static_cast<Py_ssize_t>(info.total),
                                     best.get());
      });
    };
  }
  // Past max_samples rows the search runs on a sample of them and its
  // finalists are scored again on every row (discover/sample.hpp).
  const bool sampled = max_samples && *max_samples > 0 && *max_samples < rows;
  bool cluster_lost = false;
  if (scorer.fn != nullptr) hooks.score_level = level_scorer(call, scorer.fn, cluster_lost);
  const discover::SearchOutcome out = call.run([&] {
    std::vector<std::vector<double>> columns(features, std::vector<double>(rows));
    const double* p = x.data();
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t c = 0; c < features; ++c) columns[c][r] = *p++;
    }
    std::vector<double> target(y.data(), y.data() + rows);
    // Rows of weight 0 are left out: they cannot matter, not even by a
    // formula failing on them.
    if (std::find(config.weights.begin(), config.weights.end(), 0.0) != config.weights.end()) {
      std::vector<std::size_t> kept;
      for (std::size_t r = 0; r < rows; ++r) {
        if (config.weights[r] > 0.0) kept.push_back(r);
      }
      for (std::vector<double>& c : columns) c = discover::rows_of(c, kept);
      target = discover::rows_of(target, kept);
      config.weights = discover::rows_of(config.weights, kept);
    }
    std::optional<par::ThreadLimit> limit;
    if (n_threads) limit.emplace(static_cast<std::size_t>(*n_threads));
    const auto run = [&](const std::vector<std::vector<double>>& cols, const std::vector<double>& tgt,
                         const discover::SearchConfig& cfg) {
      if (constants) {
        return discover::search_reshaped(cols, tgt, cfg, {static_cast<std::size_t>(max_params)}, &hooks);
      }
      return discover::search_front(cols, tgt, cfg, &hooks);
    };
    if (!sampled || *max_samples >= target.size()) return run(columns, target, config);
    const std::vector<std::size_t> picked =
        discover::sample_rows(target.size(), static_cast<std::size_t>(*max_samples));
    std::vector<std::vector<double>> sample_columns;
    for (const auto& c : columns) sample_columns.push_back(discover::rows_of(c, picked));
    discover::SearchConfig sample_config = config;
    if (!config.weights.empty()) sample_config.weights = discover::rows_of(config.weights, picked);
    discover::SearchOutcome found = run(sample_columns, discover::rows_of(target, picked), sample_config);
    sample_columns.clear();
    // After a stop the finalists are only evaluated on every row: a re-fit
    // is more work than a stopped search should do.
    discover::rescore_outcome(found, columns, target, {complexity_penalty, constants, !found.stopped, config.weights});
    return found;
  });

  // Why it stopped: Ctrl-C (a KeyboardInterrupt, from a signal handler or
  // the progress callback), the deadline and memory running out return what
  // the finished levels found; any other exception (of progress or a signal
  // handler) propagates.
  const char* stopped = nullptr;
  if (PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) return nullptr;
    PyErr_Clear();
    stopped = "interrupted";
  } else if (cluster_lost) {
    stopped = "cluster";
  } else if (out.out_of_memory) {
    stopped = "memory";
  } else if (out.stopped) {
    stopped = timed_out ? "time_limit" : "interrupted";
  } else if (out.memory_limited) {
    stopped = "memory_limit";
  }
  return to_py(out, stopped);
}

}  // namespace vek::py::engine

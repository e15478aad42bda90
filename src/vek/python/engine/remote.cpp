// vek_math._engine's scoring of levels elsewhere: the scorer callback of
// search, and replica, replica_extend and score_chunk for the workers.
#include "vek/python/engine/remote.hpp"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "vek/common/panic.hpp"
#include "vek/common/parallel.hpp"
#include "vek/python/engine/entries.hpp"

namespace vek::py::engine {

namespace {

constexpr const char kCapsule[] = "vek_math._engine.Replica";

void free_replica(PyObject* capsule) {
  delete static_cast<discover::Replica*>(PyCapsule_GetPointer(capsule, kCapsule));
}

// Runs f(), a malformed input (vek::Panic from the decoding) raised as
// ValueError; nullptr then.
template <class F>
bool decoding(F&& f) {
  try {
    f();
    return true;
  } catch (const vek::Panic& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
    return false;
  }
}

}  // namespace

bool from_py(PyObject* o, Bytes& out, const char* name) {
  if (!PyBytes_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s must be bytes, not '%s'", name, Py_TYPE(o)->tp_name);
    return false;
  }
  out.view = std::string_view(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
  return true;
}

bool from_py(PyObject* o, ReplicaArg& out, const char* name) {
  if (!PyCapsule_IsValid(o, kCapsule)) {
    PyErr_Format(PyExc_TypeError, "%s must be a replica made by replica(), not '%s'", name, Py_TYPE(o)->tp_name);
    return false;
  }
  out.replica = static_cast<discover::Replica*>(PyCapsule_GetPointer(o, kCapsule));
  return out.replica != nullptr;
}

discover::LevelScorer level_scorer(NativeCall& call, PyObject* scorer, bool& lost) {
  return [&call, scorer, &lost](const discover::RemoteLevel& level) -> std::optional<std::string> {
    std::optional<std::string> scores;
    const bool ok = call.with_gil([&] {
      if (!enter_callback()) return false;
      struct Leave {
        ~Leave() { leave_callback(); }
      } leave;
      Ref got(PyObject_CallFunction(scorer, "ny#y#ny#n", static_cast<Py_ssize_t>(level.level), level.setup.data(),
                                    static_cast<Py_ssize_t>(level.setup.size()), level.members.data(),
                                    static_cast<Py_ssize_t>(level.members.size()),
                                    static_cast<Py_ssize_t>(level.beam_size), level.cands.data(),
                                    static_cast<Py_ssize_t>(level.cands.size()), static_cast<Py_ssize_t>(level.count)));
      if (!got) {
        if (PyErr_ExceptionMatches(PyExc_ConnectionError)) {
          PyErr_Clear();
          lost = true;
        }
        return false;
      }
      if (got.get() == Py_None) return true;
      if (!PyBytes_Check(got.get())) {
        PyErr_Format(PyExc_TypeError, "scorer must return bytes or None, not '%s'", Py_TYPE(got.get())->tp_name);
        return false;
      }
      scores.emplace(PyBytes_AS_STRING(got.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(got.get())));
      if (scores->size() != level.count * discover::kScoreBytes) {
        PyErr_Format(PyExc_ValueError, "scorer returned %zu bytes for %zu candidates; %zu expected", scores->size(),
                     level.count, level.count * discover::kScoreBytes);
        return false;
      }
      return true;
    });
    if (!ok) throw Interrupted();
    return scores;
  };
}

PyObject* replica(const F64Array<2>& x, const F64Array<1>& y, Bytes setup) {
  const std::size_t rows = x.dim(0);
  const std::size_t features = x.dim(1);
  if (y.dim(0) != rows) {
    PyErr_Format(PyExc_ValueError, "y has %zu values but X has %zu samples", y.dim(0), rows);
    return nullptr;
  }
  std::unique_ptr<discover::Replica> made;
  NativeCall call(rows * features >= kReleaseGilFrom);
  const bool ok = decoding([&] {
    call.run([&] {
      std::vector<std::vector<double>> columns(features, std::vector<double>(rows));
      const double* p = x.data();
      for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < features; ++c) columns[c][r] = *p++;
      }
      made = std::make_unique<discover::Replica>(std::move(columns), std::vector<double>(y.data(), y.data() + rows),
                                                 setup.view);
    });
  });
  if (!ok) return nullptr;
  PyObject* capsule = PyCapsule_New(made.get(), kCapsule, free_replica);
  if (capsule != nullptr) made.release();
  return capsule;
}

PyObject* replica_extend(ReplicaArg replica, Bytes members) {
  NativeCall call(true);
  if (!decoding([&] { call.run([&] { replica.replica->extend(members.view); }); })) return nullptr;
  return PyLong_FromSize_t(replica.replica->size());
}

PyObject* score_chunk(ReplicaArg replica, Bytes cands, std::optional<std::int64_t> n_threads) {
  if (n_threads && *n_threads < 1) {
    PyErr_Format(PyExc_ValueError, "n_threads must be at least 1, not %lld", static_cast<long long>(*n_threads));
    return nullptr;
  }
  std::string scores;
  NativeCall call(true);
  const bool ok = decoding([&] {
    call.run([&] {
      std::optional<par::ThreadLimit> limit;
      if (n_threads) limit.emplace(static_cast<std::size_t>(*n_threads));
      scores = replica.replica->score(cands.view);
    });
  });
  if (!ok) return nullptr;
  return PyBytes_FromStringAndSize(scores.data(), static_cast<Py_ssize_t>(scores.size()));
}

}  // namespace vek::py::engine

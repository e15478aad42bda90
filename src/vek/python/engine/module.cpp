// vek_math._engine: the package's private native entry points, beside the
// public vek_core module and built from the same core and binding layer.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "vek/python/callable.hpp"
#include "vek/python/engine/entries.hpp"
#include "vek/python/engine/remote.hpp"
#include "vek/python/engine/to_py.hpp"
#include "vek/python/search_result.hpp"

namespace vek::py {
namespace {

// vek_core's PySearchResult type (the one every result has), looked up once.
PyTypeObject* core_result_type() {
  static PyTypeObject* type = nullptr;
  if (type != nullptr) return type;
  Ref core(PyImport_ImportModule("vek_math.vek_core"));
  if (!core) return nullptr;
  Ref t(PyObject_GetAttrString(core.get(), "PySearchResult"));
  if (!t) return nullptr;
  if (!PyType_Check(t.get())) {
    PyErr_SetString(PyExc_TypeError, "vek_core.PySearchResult is not a type");
    return nullptr;
  }
  type = reinterpret_cast<PyTypeObject*>(t.release());  // kept for the process's life
  return type;
}

PyObject* search_result(std::string formula, double error, std::uint64_t complexity, std::vector<double> params) {
  PyTypeObject* type = core_result_type();
  if (type == nullptr) return nullptr;
  return box(type, Found{std::move(formula), error, complexity, std::move(params)});
}

PyMethodDef kMethods[] = {
    function<"search_result", "formula, error, complexity, params", search_result, engine::doc::search_result>(),
    function<
        "search",
        "X, y, *, max_complexity=8, beam_width=2000, precision_goal=1e-10, use_trig=True, use_vek=True, "
        "complexity_penalty=0.001, n_threads=None, time_limit=None, progress=None, constants=False, max_params=4, "
        "unary_operators=None, binary_operators=None, max_samples=None, seed=None, tick=None, memory_limit=None, scorer=None, weights=None",
        engine::search, engine::doc::search>(),
    function<"evaluate", "nodes, X, params, out", engine::evaluate, engine::doc::evaluate>(),
    function<"replica", "X, y, setup", engine::replica, engine::doc::replica>(),
    function<"replica_extend", "replica, members", engine::replica_extend, engine::doc::replica_extend>(),
    function<"score_chunk", "replica, cands, n_threads=None", engine::score_chunk, engine::doc::score_chunk>(),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_def = {PyModuleDef_HEAD_INIT,
                     "vek_math._engine",
                     "Private native entry points of vek_math.",
                     0,
                     kMethods,
                     nullptr,
                     nullptr,
                     nullptr,
                     nullptr};

}  // namespace
}  // namespace vek::py

// The module with its record types (Operator, Record, Outcome) and the
// operator table, OPERATORS.
PyMODINIT_FUNC PyInit__engine() {
  vek::py::Ref module(PyModule_Create(&vek::py::g_def));
  if (!module || !vek::py::add_engine_records(module.get())) return nullptr;
  return module.release();
}

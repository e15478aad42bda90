// vek_math._engine: the package's private native entry points, beside the
// public vek_core module and built from the same core and binding layer.
#include <cstdint>
#include <string>
#include <vector>

#include "vek/python/args.hpp"
#include "vek/python/engine/entries.hpp"
#include "vek/python/errors.hpp"
#include "vek/python/from_py.hpp"
#include "vek/python/search_result.hpp"
#include "vek/python/types.hpp"

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

constexpr const char* kResultParams[] = {"formula", "error", "complexity", "params"};
constexpr ArgSpec kResult{"search_result", nullptr, kResultParams, 4};

PyObject* search_result(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[4];
    Found f;
    if (!parse_fast(kResult, args, nargs, kwnames, a) || !arg(kResult, 0, a[0], to_str, f.formula) ||
        !arg(kResult, 1, a[1], to_f64, f.error) || !arg(kResult, 2, a[2], to_index, f.complexity) ||
        !arg(kResult, 3, a[3], to_f64_vec, f.params))
      return nullptr;
    PyTypeObject* type = core_result_type();
    if (type == nullptr) return nullptr;
    return box(type, std::move(f));
  });
}

PyMethodDef kMethods[] = {
    {"search_result", fast(search_result), kFast,
     "search_result(formula, error, complexity, params)\n--\n\n"
     "A PySearchResult holding exactly these fields (used to unpickle results)."},
    {"search", fast(engine::search), kFast, engine::kSearchDoc},
    {"evaluate", fast(engine::evaluate), kFast, engine::kEvaluateDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_def = {PyModuleDef_HEAD_INIT, "vek_math._engine", "Private native entry points of vek_math.", 0,
                     kMethods, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace vek::py

PyMODINIT_FUNC PyInit__engine() { return PyModule_Create(&vek::py::g_def); }

// The extension's entry point and its one registration table.
#include <cstdint>

#include "vek/python/py.hpp"
#include "vek/python/registry.hpp"

namespace vek::py {
namespace {

// One row per exported name, in registration order: either a function
// descriptor or the maker of a class type.
struct Entry {
  const char* name;
  PyMethodDef* function;
  PyTypeObject* (*type)();
};

const Entry kEntries[] = {
    {"VEKPoint", nullptr, reg::point_type},
    {"VEKPair", nullptr, reg::pair_type},
    {"VEKKnot", nullptr, reg::knot_type},
    {"schrodinger_step_n", &reg::schrodinger_step_n, nullptr},
    {"rotate_phase_n", &reg::rotate_phase_n, nullptr},
    {"simulate_pulses_n", &reg::simulate_pulses_n, nullptr},
    {"boost_n", &reg::boost_n, nullptr},
    {"exp_n", &reg::exp_n, nullptr},
    {"ln_n", &reg::ln_n, nullptr},
    {"add_n", &reg::add_n, nullptr},
    {"sub_n", &reg::sub_n, nullptr},
    {"mul_n", &reg::mul_n, nullptr},
    {"div_n", &reg::div_n, nullptr},
    {"sqrt_n", &reg::sqrt_n, nullptr},
    {"sin_n", &reg::sin_n, nullptr},
    {"cos_n", &reg::cos_n, nullptr},
    {"tension_n", &reg::tension_n, nullptr},
    {"pow_n", &reg::pow_n, nullptr},
    {"christoffel_batch_n", &reg::christoffel_batch_n, nullptr},
    {"octonion_mul_n", &reg::octonion_mul_n, nullptr},
    {"geometric_product_n", &reg::geometric_product_n, nullptr},
    {"PySearchResult", nullptr, search_result_type},
    {"find_formula", &reg::find_formula, nullptr},
};

PyModuleDef g_def = {PyModuleDef_HEAD_INIT, "vek_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

std::int64_t g_interpreter = -1;  // the interpreter that first initialised us
PyObject* g_module = nullptr;     // kept for the life of the process

// Adds `value` (stolen) under `name` and appends the name to __all__.
bool add(PyObject* module, const char* name, PyObject* value) {
  Ref owned(value);
  if (!owned) return false;
  PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");  // borrowed
  if (all == nullptr) {
    Ref fresh(PyList_New(0));
    if (!fresh || PyModule_AddObjectRef(module, "__all__", fresh.get()) < 0) return false;
    all = fresh.get();
  }
  Ref text(PyUnicode_FromString(name));
  if (!text || PyList_Append(all, text.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, owned.get()) == 0;
}

bool register_entry(PyObject* module, const Entry& e) {
  if (e.type != nullptr) {
    PyTypeObject* type = e.type();
    if (type == nullptr) return false;
    return add(module, e.name, Py_NewRef(reinterpret_cast<PyObject*>(type)));
  }
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  Ref func(PyCFunction_NewEx(e.function, module, module_name.get()));
  if (!func) return false;
  Ref name(PyObject_GetAttrString(func.get(), "__name__"));
  const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) return false;
  return add(module, text, func.release());
}

PyObject* init() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  if (g_interpreter == -1) g_interpreter = id;
  if (g_interpreter != id) {
    PyErr_SetString(PyExc_ImportError,
                    "vek_core does not support sub-interpreters: it was already initialised "
                    "by another interpreter in this process");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);

  Ref module(PyModule_Create(&g_def));
  if (!module) return nullptr;
  for (const Entry& e : kEntries) {
    if (!register_entry(module.get(), e)) return nullptr;  // nothing is kept
  }
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace vek::py

PyMODINIT_FUNC PyInit_vek_core() { return vek::py::init(); }

// The extension's entry point: it registers each subsystem's exports.
#include <cstdint>
#include <span>

#include "vek/python/callable.hpp"

namespace vek::py {

// Each subsystem's exports, in the order they are registered.
extern const std::span<Export> kObjectExports, kKernelExports, kAlgebraExports, kDiscoverExports;

namespace {

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

bool register_export(PyObject* module, Export& e) {
  if (e.type != nullptr) {
    PyTypeObject* type = e.type();
    if (type == nullptr) return false;
    Ref name(PyType_GetName(type));
    const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    return text != nullptr && add(module, text, Py_NewRef(reinterpret_cast<PyObject*>(type)));
  }
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  return add(module, e.function.ml_name, PyCFunction_NewEx(&e.function, module, module_name.get()));
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
  for (std::span<Export> exports : {kObjectExports, kKernelExports, kAlgebraExports, kDiscoverExports}) {
    for (Export& e : exports) {
      if (!register_export(module.get(), e)) return nullptr;  // nothing is kept
    }
  }
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace vek::py

PyMODINIT_FUNC PyInit_vek_core() { return vek::py::init(); }

// Helpers for the module's classes: heap types made with PyType_FromSpec,
// final (no subclassing), no __dict__, no weak references, immutable
// instances that hold one native value.
#pragma once

#include <new>
#include <utility>

#include "vek/python/py.hpp"

namespace vek::py {

struct ClassRecord {
  const char* name;  // qualified: "vek_core.<name>"
  const char* doc;   // "<name>(<params>)\n--\n\n<body>", or the body alone
  int basicsize;
  PyType_Slot* slots;  // terminated by {0, nullptr}; no Py_tp_doc here
};

// Creates the type object. New reference, or nullptr with an error set.
PyTypeObject* make_type(const ClassRecord& record);

// An instance holding a native value by value.
template <class T>
struct Boxed {
  PyObject_HEAD
  T value;
};

template <class T>
T& unbox(PyObject* o) {
  return reinterpret_cast<Boxed<T>*>(o)->value;
}

// A new instance of `type` holding v; nullptr with an error set.
template <class T>
PyObject* box(PyTypeObject* type, T v) {
  PyObject* o = type->tp_alloc(type, 0);
  if (o == nullptr) return nullptr;
  new (&reinterpret_cast<Boxed<T>*>(o)->value) T(std::move(v));
  return o;
}

template <class T>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Boxed<T>*>(self)->value.~T();
  type->tp_free(self);
  Py_DECREF(type);
}

// A lazily created, process-lifetime type: returns the borrowed type object,
// or nullptr with an error set. Relies on the interpreter lock.
template <const ClassRecord& Record>
PyTypeObject* lazy_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = make_type(Record);
  return type;
}

// The module's classes, each made on first use beside its bindings.
PyTypeObject* point_type();
PyTypeObject* pair_type();
PyTypeObject* knot_type();
PyTypeObject* search_result_type();

}  // namespace vek::py

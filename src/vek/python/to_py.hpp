// Native -> Python result conversions. Each returns a new reference, or
// nullptr with a Python exception set.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "vek/python/py.hpp"

namespace vek::py {

// A new float object. In bulk builds this skips PyFloat_FromDouble's
// free-list lookup (a thread-local access per call that finds the list empty
// after the first hundred floats); the object is the same either way.
inline PyObject* new_float(double v) {
#if defined(Py_GIL_DISABLED) || defined(Py_LIMITED_API)
  return PyFloat_FromDouble(v);
#else
  auto* f = static_cast<PyFloatObject*>(PyObject_Malloc(sizeof(PyFloatObject)));
  if (f == nullptr) return PyErr_NoMemory();
  PyObject* o = PyObject_Init(reinterpret_cast<PyObject*>(f), &PyFloat_Type);
  f->ob_fval = v;
  return o;
#endif
}

PyObject* list_from_f64(const double* v, std::size_t n);
inline PyObject* list_from_f64(const std::vector<double>& v) { return list_from_f64(v.data(), v.size()); }
PyObject* list_from_pairs(const std::vector<std::pair<double, double>>& v);
PyObject* list_from_triples(const std::vector<std::array<double, 3>>& v);
PyObject* list_from_octs(const std::vector<std::array<double, 8>>& v);
PyObject* list_from_vecs(const std::vector<std::vector<double>>& v);
PyObject* tuple_from_pair(double a, double b);

// A new str from native UTF-8 text.
inline PyObject* str_from(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// (reconstructor, args) for __reduce__, with the reconstructor named in
// vek_math._pickle: a pickled value loads wherever the package is installed,
// whatever the class's own module name says. Steals `args`.
PyObject* reduce_to(const char* reconstructor, PyObject* args);
inline constexpr const char kReduceDoc[] = "__reduce__($self)\n--\n\nReturn state information for pickling.";

}  // namespace vek::py

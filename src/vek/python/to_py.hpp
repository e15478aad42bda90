// Native -> Python conversions, one to_py overload per native type. Each
// returns a new reference, or nullptr with a Python exception set.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "vek/objects/knot.hpp"
#include "vek/objects/pair.hpp"
#include "vek/objects/point.hpp"
#include "vek/python/py.hpp"
#include "vek/python/search_result.hpp"
#include "vek/python/types.hpp"

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

// A new list of n items, item i made by make(i) (a new reference or nullptr
// with an error set); nullptr on failure. Long lists honour Ctrl-C while
// they are built.
template <class Make>
PyObject* list_of(std::size_t n, Make make) {
  constexpr std::size_t kSignalCheckEvery = std::size_t{1} << 16;
  Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    if (i % kSignalCheckEvery == kSignalCheckEvery - 1 && PyErr_CheckSignals() != 0) return nullptr;
    PyObject* item = make(i);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* list_from_f64(const double* v, std::size_t n);

inline PyObject* to_py(PyObject* built) { return built; }
inline PyObject* to_py(double v) { return new_float(v); }
inline PyObject* to_py(bool v) { return PyBool_FromLong(v); }
inline PyObject* to_py(std::int64_t v) { return PyLong_FromLongLong(v); }
inline PyObject* to_py(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
// A new str from native UTF-8 text.
inline PyObject* to_py(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
inline PyObject* to_py(const std::vector<double>& v) { return list_from_f64(v.data(), v.size()); }
PyObject* to_py(const std::vector<std::pair<double, double>>& v);  // a list of 2-tuples
PyObject* to_py(const std::vector<std::array<double, 3>>& v);      // a list of 3-tuples
PyObject* to_py(const std::vector<std::array<double, 8>>& v);      // a list of lists
PyObject* to_py(const std::vector<std::vector<double>>& v);

// Values of the module's classes: a new instance each time.
template <class T>
PyObject* boxed(PyTypeObject* type, const T& v) {
  return type == nullptr ? nullptr : box(type, v);
}
inline PyObject* to_py(const objects::Point& v) { return boxed(point_type(), v); }
inline PyObject* to_py(const objects::Pair& v) { return boxed(pair_type(), v); }
inline PyObject* to_py(const objects::Knot& v) { return boxed(knot_type(), v); }
inline PyObject* to_py(const Found& v) { return boxed(search_result_type(), v); }

// (reconstructor, args) for __reduce__, with the reconstructor named in
// vek_math._pickle: a pickled value loads wherever the package is installed,
// whatever the class's own module name says. Steals `args`.
PyObject* reduce_to(const char* reconstructor, PyObject* args);

}  // namespace vek::py

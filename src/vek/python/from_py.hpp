// Python -> native conversions, one from_py overload per native type. Each
// returns false with a Python exception set. from_py(o, out) leaves naming
// the argument to the caller (from_py_arg); from_py(o, out, name) names it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vek/objects/point.hpp"
#include "vek/python/py.hpp"
#include "vek/python/types.hpp"

namespace vek::py {

// from_py of anything but an exact float: PyFloat_AsDouble, except that
// complex numbers (numpy's complex scalars would give their real part) are
// refused with PyFloat_AsDouble's TypeError for a value that is not real.
bool from_py_nonfloat(PyObject* o, double& out);

inline bool from_py(PyObject* o, double& out) {
  if (PyFloat_CheckExact(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  return from_py_nonfloat(o, out);
}

bool from_py(PyObject* o, std::vector<double>& out);
bool from_py(PyObject* o, std::vector<std::pair<double, double>>& out);  // tuples of two
bool from_py(PyObject* o, std::vector<std::array<double, 8>>& out);      // sequences of eight
bool from_py(PyObject* o, std::vector<std::vector<double>>& out);
bool from_py(PyObject* o, std::vector<std::int8_t>& out);
bool from_py(PyObject* o, std::uint64_t& out);  // a non-negative index
bool from_py(PyObject* o, std::int64_t& out);   // an index
bool from_py(PyObject* o, bool& out);           // bool or numpy's bool scalar
bool from_py(PyObject* o, std::string& out);    // str only, as UTF-8

// TypeError "'{type}' object cannot be converted to '{target}'".
void set_cannot_convert(PyObject* o, const char* target);

// Whether a buffer's items are native doubles: format "d", bare or with a
// prefix that names the native byte order.
bool holds_doubles(const Py_buffer& view) noexcept;

// The value of an instance of `type` (one of the module's classes, which
// are final: the exact type); false with no error set for any other object.
template <class T>
bool unboxed(PyObject* o, PyTypeObject* type, T& out) {
  if (type == nullptr || !Py_IS_TYPE(o, type)) return false;
  out = unbox<T>(o);
  return true;
}

inline bool from_py(PyObject* o, objects::Point& out) {
  if (unboxed(o, point_type(), out)) return true;
  if (!PyErr_Occurred()) set_cannot_convert(o, "VEKPoint");
  return false;
}

// Replaces a pending TypeError (exactly TypeError) by
// TypeError("argument '{name}': {message}") carrying the original's cause;
// leaves every other exception as it is.
void wrap_arg_error(const char* name);

// Converts the argument `name`: by from_py(o, out, name) where a conversion
// takes the name (it writes its own messages), otherwise by from_py(o, out)
// with its TypeError wrapped as above.
template <class T>
bool from_py_arg(PyObject* o, T& out, const char* name);

// None as nothing, anything else as a T.
template <class T>
bool from_py(PyObject* o, std::optional<T>& out, const char* name) {
  if (o == Py_None) {
    out.reset();
    return true;
  }
  return from_py_arg(o, out.emplace(), name);
}

template <class T>
bool from_py_arg(PyObject* o, T& out, const char* name) {
  if constexpr (requires { from_py(o, out, name); }) {
    return from_py(o, out, name);
  } else {
    if (from_py(o, out)) return true;
    wrap_arg_error(name);
    return false;
  }
}

}  // namespace vek::py

// Python -> native conversions. Each converter returns false with a Python
// exception set; the caller wraps TypeErrors with the parameter name.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "vek/python/args.hpp"
#include "vek/python/py.hpp"

namespace vek::py {

inline bool to_f64(PyObject* o, double& out) {
  if (PyFloat_CheckExact(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool to_f64_vec(PyObject* o, std::vector<double>& out);
bool to_pair_vec(PyObject* o, std::vector<std::pair<double, double>>& out);
bool to_oct_vec(PyObject* o, std::vector<std::array<double, 8>>& out);
bool to_vec_vec(PyObject* o, std::vector<std::vector<double>>& out);
bool to_i8_vec(PyObject* o, std::vector<std::int8_t>& out);
bool to_index(PyObject* o, std::uint64_t& out);
bool to_i64(PyObject* o, std::int64_t& out);
bool to_bool(PyObject* o, bool& out);
bool to_str(PyObject* o, std::string& out);  // str only, as UTF-8

// TypeError "'{type}' object cannot be converted to '{target}'".
void set_cannot_convert(PyObject* o, const char* target);

// Replaces a pending TypeError (exactly TypeError) by
// TypeError("argument '{name}': {message}") carrying the original's cause;
// leaves every other exception as it is.
void wrap_arg_error(const char* name);

// Converts parameter i of spec with `convert`, wrapping its TypeError.
template <class T, class Convert>
bool arg(const ArgSpec& spec, Py_ssize_t i, PyObject* o, Convert convert, T& out) {
  if (convert(o, out)) return true;
  wrap_arg_error(spec.names[i]);
  return false;
}

// The same for an optional parameter: leaves `out` (its default) alone
// when the parameter was not given.
template <class T, class Convert>
bool opt_arg(const ArgSpec& spec, Py_ssize_t i, PyObject* o, Convert convert, T& out) {
  return o == nullptr || arg(spec, i, o, convert, out);
}

}  // namespace vek::py

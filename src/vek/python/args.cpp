#include "vek/python/args.hpp"

#include <cstring>
#include <utility>
#include <vector>

namespace vek::py {

std::string Signature::full_name() const {
  std::string s;
  if (cls != nullptr) {
    s += cls;
    s += '.';
  }
  s += func;
  s += "()";
  return s;
}

namespace {

bool too_many_positional(const Signature& spec, Py_ssize_t given) {
  const char* was = given == 1 ? "was" : "were";
  const std::string name = spec.full_name();
  if (spec.required != spec.count) {
    PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                 name.c_str(), spec.required, spec.count, given, was);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", name.c_str(),
                 spec.count, given, was);
  }
  return false;
}

// Matches one keyword; false with the error set when it names no parameter
// or one that already has a value.
bool take_keyword(const Signature& spec, PyObject* key, PyObject* value, PyObject** out) {
  Py_ssize_t len = 0;
  const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
  if (text == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    return false;
  }
  for (Py_ssize_t i = 0; i < spec.count; ++i) {
    if (std::strlen(spec.names[i]) == static_cast<std::size_t>(len) &&
        std::memcmp(spec.names[i], text, static_cast<std::size_t>(len)) == 0) {
      if (out[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     spec.full_name().c_str(), spec.names[i]);
        return false;
      }
      out[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", spec.full_name().c_str(),
               key);
  return false;
}

bool check_required(const Signature& spec, PyObject** out) {
  Py_ssize_t missing = 0;
  for (Py_ssize_t i = 0; i < spec.required; ++i) missing += out[i] == nullptr;
  if (missing == 0) return true;
  std::string msg = spec.full_name() + " missing " + std::to_string(missing) +
                    " required positional " + (missing == 1 ? "argument" : "arguments") + ": ";
  Py_ssize_t k = 0;
  for (Py_ssize_t i = 0; i < spec.required; ++i) {
    if (out[i] != nullptr) continue;
    if (k != 0) {
      if (missing > 2) msg += ',';
      msg += k == missing - 1 ? " and " : " ";
    }
    msg += '\'';
    msg += spec.names[i];
    msg += '\'';
    ++k;
  }
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return false;
}

}  // namespace

bool parse_fast(const Signature& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  for (Py_ssize_t i = 0; i < spec.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  if (nargs > spec.count) return too_many_positional(spec, nargs);
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!take_keyword(spec, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_required(spec, out);
}

bool parse_tuple(const Signature& spec, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  for (Py_ssize_t i = 0; i < spec.count; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (nargs > spec.count) return too_many_positional(spec, nargs);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!take_keyword(spec, key, value, out)) return false;
    }
  }
  return check_required(spec, out);
}

PyObject* default_value(const Signature& spec, Py_ssize_t i) {
  static std::vector<std::pair<const char*, PyObject*>> made;  // kept for the life of the process
  const char* text = spec.defaults[i];
  for (const auto& [t, value] : made) {
    if (t == text) return value;
  }
  PyObject* value;
  if (std::strcmp(text, "True") == 0 || std::strcmp(text, "False") == 0) {
    value = Py_NewRef(text[0] == 'T' ? Py_True : Py_False);
  } else if (std::strpbrk(text, ".eE") == nullptr) {
    value = PyLong_FromString(text, nullptr, 10);
  } else {
    Ref literal(PyUnicode_FromString(text));
    value = literal ? PyFloat_FromString(literal.get()) : nullptr;
  }
  if (value != nullptr) made.emplace_back(text, value);
  return value;
}

}  // namespace vek::py

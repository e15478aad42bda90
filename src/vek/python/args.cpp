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

const char* plural(Py_ssize_t n) { return n == 1 ? "" : "s"; }

// The index of the parameter that keyword `key` names; -1 for none, -2 with
// an error set when the key is not text.
Py_ssize_t named(const Signature& spec, PyObject* key) {
  Py_ssize_t len = 0;
  const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
  if (text == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    return -2;
  }
  for (Py_ssize_t i = 0; i < spec.count; ++i) {
    if (std::strlen(spec.names[i]) == static_cast<std::size_t>(len) &&
        std::memcmp(spec.names[i], text, static_cast<std::size_t>(len)) == 0) {
      return i;
    }
  }
  return -1;
}

// `given` positional arguments are too many; `keyword_only` more were given
// to keyword-only parameters.
bool too_many_positional(const Signature& spec, Py_ssize_t given, Py_ssize_t keyword_only) {
  Py_ssize_t required = 0;
  while (required < spec.positional && spec.defaults[required] == nullptr) ++required;
  const std::string takes = required == spec.positional
                                ? std::to_string(spec.positional)
                                : "from " + std::to_string(required) + " to " + std::to_string(spec.positional);
  std::string also;
  if (keyword_only != 0) {
    also = std::string(" positional argument") + plural(given) + " (and " + std::to_string(keyword_only) +
           " keyword-only argument" + plural(keyword_only) + ")";
  }
  PyErr_Format(PyExc_TypeError, "%s takes %s positional arguments but %zd%s %s given", spec.full_name().c_str(),
               takes.c_str(), given, also.c_str(), given == 1 && keyword_only == 0 ? "was" : "were");
  return false;
}

// Whether keyword `key` names a keyword-only parameter.
bool keyword_only(const Signature& spec, PyObject* key) {
  const Py_ssize_t i = named(spec, key);
  if (i == -2) PyErr_Clear();
  return i >= spec.positional;
}

// Matches one keyword; false with the error set when it names no parameter
// or one that already has a value.
bool take_keyword(const Signature& spec, PyObject* key, PyObject* value, PyObject** out) {
  const Py_ssize_t i = named(spec, key);
  if (i == -2) return false;
  if (i == -1) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", spec.full_name().c_str(), key);
    return false;
  }
  if (out[i] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", spec.full_name().c_str(), spec.names[i]);
    return false;
  }
  out[i] = value;
  return true;
}

// TypeError naming the parameters in [from, to) that have no default and
// were not given ("positional" or "keyword-only" ones); true when none is.
bool none_missing(const Signature& spec, PyObject** out, Py_ssize_t from, Py_ssize_t to, const char* kind) {
  const auto missed = [&](Py_ssize_t i) { return out[i] == nullptr && spec.defaults[i] == nullptr; };
  Py_ssize_t missing = 0;
  for (Py_ssize_t i = from; i < to; ++i) missing += missed(i);
  if (missing == 0) return true;
  std::string msg = spec.full_name() + " missing " + std::to_string(missing) + " required " + kind + " argument" +
                    plural(missing) + ": ";
  Py_ssize_t k = 0;
  for (Py_ssize_t i = from; i < to; ++i) {
    if (!missed(i)) continue;
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

bool check_required(const Signature& spec, PyObject** out) {
  return none_missing(spec, out, 0, spec.positional, "positional") &&
         none_missing(spec, out, spec.positional, spec.count, "keyword-only");
}

}  // namespace

bool parse_fast(const Signature& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs > spec.positional) {
    Py_ssize_t kw = 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) kw += keyword_only(spec, PyTuple_GET_ITEM(kwnames, k));
    return too_many_positional(spec, nargs, kw);
  }
  for (Py_ssize_t i = 0; i < spec.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!take_keyword(spec, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
  }
  return check_required(spec, out);
}

bool parse_tuple(const Signature& spec, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  if (nargs > spec.positional) {
    Py_ssize_t kw = 0;
    while (kwargs != nullptr && PyDict_Next(kwargs, &pos, &key, &value)) kw += keyword_only(spec, key);
    return too_many_positional(spec, nargs, kw);
  }
  for (Py_ssize_t i = 0; i < spec.count; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  while (kwargs != nullptr && PyDict_Next(kwargs, &pos, &key, &value)) {
    if (!take_keyword(spec, key, value, out)) return false;
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
  if (std::strcmp(text, "None") == 0) {
    value = Py_None;  // immortal
  } else if (std::strcmp(text, "True") == 0 || std::strcmp(text, "False") == 0) {
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

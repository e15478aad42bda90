// The parameter lists of functions, methods and constructors and the one
// parser behind them: positional-or-keyword parameters, then keyword-only
// ones (after a "*" in the parameter text); parameters with a default are
// optional. A mismatch raises TypeError with the interpreter's own texts.
#pragma once

#include <cstddef>
#include <string>

#include "vek/python/py.hpp"

namespace vek::py {

struct Signature {
  const char* func;             // function or method name
  const char* cls;              // class name for methods/constructors, else nullptr
  const char* const* names;     // parameter names in order
  Py_ssize_t count;             // number of parameters
  Py_ssize_t positional;        // the leading ones that may be given by position; the rest are keyword-only
  const char* const* defaults;  // per parameter: the default as Python writes it, or nullptr (required)

  // "exp_n()" or "VEKPoint.boost()".
  std::string full_name() const;
};

// Fills out[0..count) with borrowed references (nullptr where an optional
// parameter was not given). Fast calling convention: positional values in
// args[0..nargs), keyword values after them, named by kwnames.
bool parse_fast(const Signature& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// The same for the tuple/dict convention of constructors.
bool parse_tuple(const Signature& spec, PyObject* args, PyObject* kwargs, PyObject** out);

// The value of parameter i's default (None, True, False, an int or a float
// literal), made once: a borrowed reference, or nullptr with an error set.
PyObject* default_value(const Signature& spec, Py_ssize_t i);

// A fast-call entry (PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t,
// PyObject*)) as the PyCFunction a PyMethodDef stores.
template <class F>
constexpr PyCFunction fast(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
inline constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

}  // namespace vek::py

// Argument descriptions and the one parser behind every function, method and
// constructor: positional-or-keyword parameters, a count of required leading
// ones, and the exact TypeError texts of a mismatch.
#pragma once

#include <cstddef>
#include <string>

#include "vek/python/py.hpp"

namespace vek::py {

struct ArgSpec {
  const char* func;                 // function or method name
  const char* cls;                  // class name for methods/constructors, else nullptr
  const char* const* names;         // parameter names in order
  Py_ssize_t count;                 // number of parameters
  Py_ssize_t required;              // leading parameters that must be given

  template <std::size_t N>
  constexpr ArgSpec(const char* f, const char* c, const char* const (&n)[N], Py_ssize_t req)
      : func(f), cls(c), names(n), count(static_cast<Py_ssize_t>(N)), required(req) {}
  constexpr ArgSpec(const char* f, const char* c) : func(f), cls(c), names(nullptr), count(0), required(0) {}

  // "exp_n()" or "VEKPoint.boost()".
  std::string full_name() const;
};

// Fills out[0..count) with borrowed references (nullptr where an optional
// parameter was not given). Fast calling convention: positional values in
// args[0..nargs), keyword values after them, named by kwnames.
bool parse_fast(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out);

// The same for the tuple/dict convention of constructors.
bool parse_tuple(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out);

// A fast-call entry (PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t,
// PyObject*)) as the PyCFunction a PyMethodDef stores.
template <class F>
constexpr PyCFunction fast(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
inline constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

}  // namespace vek::py

// Conversions of the engine entry points' arguments: float64 arrays through
// the buffer protocol (numpy arrays and anything else exporting one),
// expressions as lists of (kind, value) nodes, and callbacks. Each names its
// argument in its own messages.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "vek/discover/expr.hpp"
#include "vek/python/py.hpp"

namespace vek::py {

// A float64 buffer held for the object's life. acquire() checks it is
// C-contiguous with `ndim` dimensions, aligned to 8 bytes (and writable
// when asked); otherwise TypeError (no buffer, another element type) or
// ValueError (shape, layout, alignment, read-only), naming the argument
// `name`.
class F64Buffer {
 public:
  F64Buffer() = default;
  ~F64Buffer();
  F64Buffer(const F64Buffer&) = delete;
  F64Buffer& operator=(const F64Buffer&) = delete;

  bool acquire(PyObject* o, const char* name, int ndim, bool writable);

  // The object the buffer was taken from (borrowed).
  PyObject* object() const noexcept { return object_; }
  std::size_t dim(int i) const noexcept { return static_cast<std::size_t>(view_.shape[i]); }
  const double* data() const noexcept { return static_cast<const double*>(view_.buf); }
  double* mutable_data() const noexcept { return static_cast<double*>(view_.buf); }
  // Whether the memory of both buffers overlaps.
  bool overlaps(const F64Buffer& other) const noexcept;

 private:
  Py_buffer view_{};
  PyObject* object_ = nullptr;
  bool held_ = false;
};

// An argument that must be a float64 array of Dims dimensions (writable
// when asked).
template <int Dims, bool Writable = false>
struct F64Array : F64Buffer {};

template <int Dims, bool Writable>
bool from_py(PyObject* o, F64Array<Dims, Writable>& out, const char* name) {
  return out.acquire(o, name, Dims, Writable);
}

// An expression: ("const", value) | ("var", index) | ("param", index) |
// ("op", name) | ("pow", exponent) nodes, as tuples or lists, in postfix
// order. Param nodes fall back to NaN.
struct Nodes {
  std::vector<discover::Node> list;
};
bool from_py(PyObject* o, Nodes& out, const char* name);

// Beam members of an earlier search: None or a sequence of (nodes, params)
// pairs as Outcome.beam holds them; each member's ('param', i) nodes take
// params[i].
struct Seed {
  std::vector<std::vector<discover::Node>> members;
};
bool from_py(PyObject* o, Seed& out, const char* name);

// Operator names of one arity from the operator table: None (no list) or a
// sequence of names, repeats dropped.
bool operators_from_py(PyObject* o, unsigned arity, std::optional<std::vector<discover::Op>>& out, const char* name);

template <unsigned Arity>
struct OpNames {
  std::optional<std::vector<discover::Op>> ops;
};
template <unsigned Arity>
bool from_py(PyObject* o, OpNames<Arity>& out, const char* name) {
  return operators_from_py(o, Arity, out.ops, name);
}

// A callable or None (fn == nullptr); borrowed for the call.
struct Callback {
  PyObject* fn = nullptr;
};
bool from_py(PyObject* o, Callback& out, const char* name);

}  // namespace vek::py

// Conversions of the engine entry points' arguments: float64 arrays through
// the buffer protocol (numpy arrays and anything else exporting one) and
// expressions as lists of (kind, value) nodes.
#pragma once

#include <cstddef>
#include <vector>

#include "vek/discover/expr.hpp"
#include "vek/python/py.hpp"

namespace vek::py::engine {

// A float64 buffer held for the object's life. acquire() checks it is
// C-contiguous with `ndim` dimensions (and writable when asked); otherwise
// TypeError (no buffer, another element type) or ValueError (shape,
// layout, read-only), naming the argument `name`.
class F64Array {
 public:
  F64Array() = default;
  ~F64Array();
  F64Array(const F64Array&) = delete;
  F64Array& operator=(const F64Array&) = delete;

  bool acquire(PyObject* o, const char* name, int ndim, bool writable = false);

  std::size_t dim(int i) const noexcept { return static_cast<std::size_t>(view_.shape[i]); }
  std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len) / sizeof(double); }
  const double* data() const noexcept { return static_cast<const double*>(view_.buf); }
  double* mutable_data() const noexcept { return static_cast<double*>(view_.buf); }
  // Whether the memory of both arrays overlaps.
  bool overlaps(const F64Array& other) const noexcept;

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// ("const", value) | ("var", index) | ("param", index) | ("op", name), as
// tuples or lists, in postfix order. Param nodes fall back to NaN.
bool to_nodes(PyObject* o, std::vector<discover::Node>& out);

}  // namespace vek::py::engine

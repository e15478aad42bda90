// vek_math._engine.evaluate: an expression on every row of a float64 array,
// with the search's own guarded evaluation.
#include <algorithm>
#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "vek/common/parallel.hpp"
#include "vek/discover/expr.hpp"
#include "vek/python/engine/entries.hpp"
#include "vek/python/native_call.hpp"

namespace vek::py::engine {

namespace {

// The nodes must form one expression over `features` variables and
// `n_params` parameters: every operator finds its operands, one value is
// left, every index is in range.
bool check_program(const std::vector<discover::Node>& nodes, std::size_t features, std::size_t n_params) {
  using Kind = discover::Node::Kind;
  std::size_t depth = 0;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const discover::Node& n = nodes[i];
    if (n.kind == Kind::Op) {
      const unsigned need = discover::arity(n.opcode);
      if (depth < need) {
        PyErr_Format(PyExc_ValueError, "nodes[%zu]: operator '%s' is short of operands (nodes are in postfix order)", i,
                     std::string(discover::op_name(n.opcode)).c_str());
        return false;
      }
      depth -= need - 1;
      continue;
    }
    if (n.kind == Kind::Var && n.index >= features) {
      PyErr_Format(PyExc_ValueError, "nodes[%zu]: variable %zu does not exist; X has %zu feature(s)", i, n.index,
                   features);
      return false;
    }
    if (n.kind == Kind::Param && n.index >= n_params) {
      PyErr_Format(PyExc_ValueError, "nodes[%zu]: parameter %zu does not exist; params has %zu value(s)", i, n.index,
                   n_params);
      return false;
    }
    ++depth;
  }
  if (depth != 1) {
    PyErr_Format(PyExc_ValueError, "nodes must form one expression; they leave %zu values", depth);
    return false;
  }
  return true;
}

}  // namespace

PyObject* evaluate(Nodes nodes, const F64Array<2>& x, const std::vector<double>& params, const F64Array<1, true>& out) {
  const std::size_t rows = x.dim(0);
  const std::size_t features = x.dim(1);
  if (!check_program(nodes.list, features, params.size())) return nullptr;
  if (out.dim(0) != rows) {
    PyErr_Format(PyExc_ValueError, "out has %zu values but X has %zu samples", out.dim(0), rows);
    return nullptr;
  }
  if (out.overlaps(x)) {
    PyErr_SetString(PyExc_ValueError, "out must not share memory with X");
    return nullptr;
  }
  discover::Expr expr;
  expr.nodes = std::move(nodes.list);

  const double* xs = x.data();
  double* dst = out.mutable_data();
  const std::size_t cost = std::max<std::size_t>(1, expr.nodes.size());
  NativeCall call(rows * cost >= kReleaseGilFrom);
  call.run([&] {
    par::for_ranges(
        rows,
        [&](std::size_t b, std::size_t e) {
          for (std::size_t r = b; r < e; ++r) {
            const std::optional<double> v = expr.eval(std::span<const double>(xs + r * features, features), params);
            dst[r] = v ? *v : std::nan("");
          }
        },
        std::max<std::size_t>(64, par::kSerialBelow / cost));
  });
  return Py_NewRef(out.object());
}

}  // namespace vek::py::engine

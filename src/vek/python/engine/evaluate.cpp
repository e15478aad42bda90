// vek_math._engine.evaluate: an expression on every row of a float64 array,
// with the search's own guarded evaluation.
#include <cmath>
#include <span>
#include <vector>

#include "vek/common/parallel.hpp"
#include "vek/discover/expr.hpp"
#include "vek/python/args.hpp"
#include "vek/python/engine/entries.hpp"
#include "vek/python/engine/from_py.hpp"
#include "vek/python/errors.hpp"
#include "vek/python/from_py.hpp"
#include "vek/python/native_call.hpp"

namespace vek::py::engine {

namespace {

constexpr const char* kParams[] = {"nodes", "X", "params", "out"};
constexpr ArgSpec kSpec{"evaluate", nullptr, kParams, 4};

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
        PyErr_Format(PyExc_ValueError, "nodes[%zu]: operator '%s' is short of operands (nodes are in postfix order)",
                     i, std::string(discover::op_name(n.opcode)).c_str());
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

PyObject* evaluate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[4];
    discover::Expr expr;
    std::vector<double> params;
    if (!parse_fast(kSpec, args, nargs, kwnames, a) || !to_nodes(a[0], expr.nodes) ||
        !arg(kSpec, 2, a[2], to_f64_vec, params))
      return nullptr;
    F64Array x, out;
    if (!x.acquire(a[1], "X", 2) || !out.acquire(a[3], "out", 1, true)) return nullptr;
    const std::size_t rows = x.dim(0);
    const std::size_t features = x.dim(1);
    if (!check_program(expr.nodes, features, params.size())) return nullptr;
    if (out.dim(0) != rows) {
      PyErr_Format(PyExc_ValueError, "out has %zu values but X has %zu samples", out.dim(0), rows);
      return nullptr;
    }
    if (out.overlaps(x)) {
      PyErr_SetString(PyExc_ValueError, "out must not share memory with X");
      return nullptr;
    }
    expr.n_vars = features;

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
    return Py_NewRef(a[3]);
  });
}

}  // namespace vek::py::engine

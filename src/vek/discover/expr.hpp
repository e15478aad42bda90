// Candidate formulas of the discovery engine: a flat postfix node list with
// a small value-stack evaluator and an infix printer.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vek/discover/ops.hpp"

namespace vek::discover {

// One postfix node. `kind` says which payload fields are meaningful:
//   Const: value;  Param: index (into the parameter vector) and value (the
//   fallback when the vector is too short);  Var: index (variable number);
//   Op: opcode, and for a unary operator its own value (the exponent of Pow).
struct Node {
  enum class Kind : std::uint8_t { Const = 0, Param = 1, Var = 2, Op = 3 };

  Kind kind = Kind::Const;
  Op opcode = Op::Neg;
  std::size_t index = 0;
  double value = 0.0;

  static constexpr Node constant(double v) noexcept { return Node{Kind::Const, Op::Neg, 0, v}; }
  static constexpr Node param(std::size_t i, double v) noexcept { return Node{Kind::Param, Op::Neg, i, v}; }
  static constexpr Node var(std::size_t i) noexcept { return Node{Kind::Var, Op::Neg, i, 0.0}; }
  static constexpr Node op(Op o) noexcept { return Node{Kind::Op, o, 0, 0.0}; }
  static constexpr Node power(double k) noexcept { return Node{Kind::Op, Op::Pow, 0, k}; }
};

// The complexity of a postfix node list: one per node, except operators of
// cost 0 (a power of a variable counts as one node).
inline std::size_t complexity_of(std::span<const Node> nodes) noexcept {
  std::size_t n = 0;
  for (const Node& node : nodes) n += node.kind == Node::Kind::Op ? op_cost(node.opcode) : 1;
  return n;
}

// A candidate formula in postfix order.
struct Expr {
  std::vector<Node> nodes;

  // Evaluates one sample. Fails (nullopt) on: no nodes, a variable index
  // beyond `vars`, an operator short of operands, a rejected guard, a
  // non-finite operator result, or anything but exactly one value left.
  // Leaf values are pushed unchecked.
  std::optional<double> eval(std::span<const double> vars, std::span<const double> params) const;

  // Evaluates every sample: the row count is the length of columns[0], and
  // row i reads columns[c][i]. Fails as soon as one row fails; zero rows
  // succeed with an empty vector.
  // Precondition: at least one column, none shorter than the first. A call
  // that breaks it throws vek::Panic instead of reading out of bounds.
  std::optional<std::vector<double>> eval_batch(const std::vector<std::vector<double>>& columns,
                                                std::span<const double> params) const;

  // Infix text; never fails ("?" for an empty expression, empty operand
  // texts where the stack runs short).
  std::string to_string() const;

  std::size_t complexity() const noexcept { return complexity_of(nodes); }
};

// Appends `pattern` (an operator rendering of the table) with "{0}" and
// "{1}" replaced by the operand texts and "{k}" by `value` (the node's own
// value), in one pass.
void fill_template(std::string& out, std::string_view pattern, const std::string* operands,
                   std::string_view value = {});

// Printed text of a power's exponent: its shortest digits that read back
// exactly, with at least one decimal ("2.0", "1.5", "-0.5").
std::string exponent_text(double k);

// Printed text of one constant: "π" and "e" for the doubles nearest those
// numbers, otherwise four-digit fixed notation.
void append_const_text(std::string& out, double v);

}  // namespace vek::discover

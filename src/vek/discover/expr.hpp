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

#include "vek/common/guards.hpp"

namespace vek::discover {

// Operator codes. Codes 0..7 are unary, 8..12 binary.
enum class Op : std::uint8_t { Neg = 0, Inv, Exp, Ln, Sqrt, Sin, Cos, Abs, Vek, Add, Sub, Mul, Div };

inline constexpr std::size_t kOpCount = 13;

constexpr unsigned arity(Op op) noexcept { return static_cast<std::uint8_t>(op) >= 8 ? 2u : 1u; }

// Lower-case operator names, in code order: "neg", "inv", "exp", "ln",
// "sqrt", "sin", "cos", "abs", "vek", "add", "sub", "mul", "div".
std::string_view op_name(Op op) noexcept;
// The operator of that name, if any.
std::optional<Op> op_named(std::string_view name) noexcept;

// Applies one operator to already evaluated operands (b is ignored for unary
// operators). Returns false when the operator's guard rejects the operands or
// the result is not finite; otherwise stores the result in out.
//
// This is the single definition of operator semantics: expression
// evaluation, fingerprints and the search's cached evaluation all call it,
// which is what keeps their results bit-identical.
[[gnu::always_inline]] inline bool apply_op(Op op, double a, double b, double& out) noexcept {
  double v;
  switch (op) {
    case Op::Neg: v = -a; break;
    case Op::Inv:
      if (std::fabs(a) < kTiny) return false;
      v = 1.0 / a;
      break;
    case Op::Exp: v = std::exp(a); break;
    case Op::Ln:
      if (a <= 0.0) return false;
      v = std::log(a);
      break;
    case Op::Sqrt:
      if (a < 0.0) return false;
      v = std::sqrt(a);
      break;
    case Op::Sin: v = std::sin(a); break;
    case Op::Cos: v = std::cos(a); break;
    case Op::Abs: v = std::fabs(a); break;
    case Op::Vek: {
      // The exponential goes through ln above the shortened exp limit.
      v = exp_through_ln(a, kExpLimitShort) - floored_ln(b);
      break;
    }
    case Op::Add: v = a + b; break;
    case Op::Sub: v = a - b; break;
    case Op::Mul: v = a * b; break;
    case Op::Div:
      if (std::fabs(b) < kTiny) return false;
      v = a / b;
      break;
    default: return false;
  }
  if (!std::isfinite(v)) return false;
  out = v;
  return true;
}

// One postfix node. `kind` says which payload fields are meaningful:
//   Const: value;  Param: index (into the parameter vector) and value (the
//   fallback when the vector is too short);  Var: index (variable number);
//   Op: opcode.
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
};

// A candidate formula in postfix order. Its complexity is its node count.
// `n_vars` records the variable count the expression was built for; the
// evaluator and the printer do not read it.
struct Expr {
  std::vector<Node> nodes;
  std::size_t n_vars = 0;

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

  std::size_t complexity() const noexcept { return nodes.size(); }
};

// Printed text of one constant: "π" and "e" for the doubles nearest those
// numbers, otherwise four-digit fixed notation.
void append_const_text(std::string& out, double v);

}  // namespace vek::discover

// The operator table of the discovery engine: the one place where an
// operator is spelled out. A row holds its code, name, arity, value (with
// its guard), partial derivatives, its renderings (the engine's text, LaTeX
// and Python, as templates where "{0}" and "{1}" stand for the operands),
// the operator set it belongs to and where the search with fitted constants
// may place a new constant in its operands. Everything else (evaluation,
// the row kernels, fingerprints, fits, printing, name lookup, the operator
// sets, the Python side's reader and exports) is derived from it.
//
// Adding an operator: append its code to `Op` and its row to `kOps` (rows
// are in code order; a static_assert checks the count and the order).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "vek/common/guards.hpp"

namespace vek::discover {

enum class Op : std::uint8_t {
  Neg = 0,
  Inv,
  Exp,
  Ln,
  Sqrt,
  Sin,
  Cos,
  Abs,
  Vek,
  Add,
  Sub,
  Mul,
  Div,
  Square,
  Cube,
  Tanh,
  Arcsin,
  Arccos,
  Arctan,
  Sinh,
  Cosh,
  Pow
};

inline constexpr std::size_t kOpCount = 22;

// The operator sets of the search, in the order candidates are built:
// Core, then Trig when trigonometry is on (unary), Core then Vek (binary).
// Extra operators are offered only when named; Block operators never (they
// are built by the search itself).
enum class OpGroup : std::uint8_t { Core, Trig, Vek, Extra, Block };

// Where the search with fitted constants may put a new constant c into an
// operand X: c·X or X + c for the first operand (A) or the second (B), or
// c - X for the first; a bit set of them.
enum LiftBit : std::uint8_t { kScaleA = 1, kShiftA = 2, kScaleB = 4, kShiftB = 8, kReflectA = 16 };

// How the search with fitted constants starts a new constant in the
// operator's operand (starts.hpp): the default rule of its lift, c·g
// spanning a few magnitudes (Span), phases across the rows (Phases), or
// shifts to either side of a pole at 0 (TwoSided).
enum class StartRule : std::uint8_t { Default, Span, Phases, TwoSided };

struct OpDef {
  Op op;
  std::string_view name;
  unsigned arity;
  bool ordered;  // not symmetric: operands are offered in both orders
  OpGroup group;
  std::uint8_t lifts;   // LiftBit set
  std::uint8_t linear;  // the lifts under which the value is linear in the constant
  StartRule start;
  unsigned cost;  // nodes it counts for in a formula's complexity
  std::string_view text;
  std::string_view latex;
  std::string_view python;
  // v = op(a, b); false when the guard rejects the operands. Whether v is
  // finite is checked by apply_op. A unary operator's b is its node's own
  // value (the exponent of Pow; 0 for the others, which ignore it).
  bool (*value)(double a, double b, double& v) noexcept;
  // ∂op/∂a and ∂op/∂b at (a, b) with value v (not necessarily finite).
  void (*partials)(double a, double b, double v, double& da, double& db) noexcept;
};

// clang-format off
inline constexpr OpDef kOps[] = {
    {Op::Neg, "neg", 1, false, OpGroup::Core, 0, 0, StartRule::Default, 1, "(-{0})", "(-{0})", "(-{0})",
     [](double a, double, double& v) noexcept { v = -a; return true; },
     [](double, double, double, double& da, double&) noexcept { da = -1.0; }},
    {Op::Inv, "inv", 1, false, OpGroup::Core, kShiftA, 0, StartRule::TwoSided, 1, "(1/{0})", "(1/{0})", "(1/{0})",
     [](double a, double, double& v) noexcept {
       if (std::fabs(a) < kTiny) return false;
       v = 1.0 / a;
       return true;
     },
     [](double, double, double v, double& da, double&) noexcept { da = -(v * v); }},
    {Op::Exp, "exp", 1, false, OpGroup::Core, kScaleA, 0, StartRule::Span, 1, "exp({0})", "\\exp({0})", "math.exp({0})",
     [](double a, double, double& v) noexcept { v = std::exp(a); return true; },
     [](double, double, double v, double& da, double&) noexcept { da = v; }},
    {Op::Ln, "ln", 1, false, OpGroup::Core, kShiftA | kReflectA, 0, StartRule::Default, 1, "ln({0})", "\\ln({0})", "math.log({0})",
     [](double a, double, double& v) noexcept {
       if (a <= 0.0) return false;
       v = std::log(a);
       return true;
     },
     [](double a, double, double, double& da, double&) noexcept { da = 1.0 / a; }},
    {Op::Sqrt, "sqrt", 1, false, OpGroup::Core, kShiftA | kReflectA, 0, StartRule::Default, 1, "sqrt({0})", "\\sqrt{{0}}", "math.sqrt({0})",
     [](double a, double, double& v) noexcept {
       if (a < 0.0) return false;
       v = std::sqrt(a);
       return true;
     },
     [](double, double, double v, double& da, double&) noexcept { da = v > 0.0 ? 0.5 / v : 0.0; }},
    {Op::Sin, "sin", 1, false, OpGroup::Trig, kScaleA, 0, StartRule::Phases, 1, "sin({0})", "\\sin({0})", "math.sin({0})",
     [](double a, double, double& v) noexcept { v = std::sin(a); return true; },
     [](double a, double, double, double& da, double&) noexcept { da = std::cos(a); }},
    {Op::Cos, "cos", 1, false, OpGroup::Trig, kScaleA, 0, StartRule::Phases, 1, "cos({0})", "\\cos({0})", "math.cos({0})",
     [](double a, double, double& v) noexcept { v = std::cos(a); return true; },
     [](double a, double, double, double& da, double&) noexcept { da = -std::sin(a); }},
    {Op::Abs, "abs", 1, false, OpGroup::Extra, 0, 0, StartRule::Default, 1, "abs({0})", "\\left|{0}\\right|", "math.fabs({0})",
     [](double a, double, double& v) noexcept { v = std::fabs(a); return true; },
     [](double a, double, double, double& da, double&) noexcept { da = a < 0.0 ? -1.0 : 1.0; }},
    // The exponential goes through ln above the shortened exp limit.
    {Op::Vek, "vek", 2, true, OpGroup::Vek, 0, 0, StartRule::Default, 1, "vek({0}, {1})", "\\mathrm{vek}({0}, {1})", "vek({0}, {1})",
     [](double a, double b, double& v) noexcept {
       v = exp_through_ln(a, kExpLimitShort) - floored_ln(b);
       return true;
     },
     [](double a, double b, double, double& da, double& db) noexcept {
       da = a > kExpLimitShort ? 1.0 : std::exp(a);  // exp(ln a) = a above the limit
       db = std::fabs(b) >= kTiny ? -1.0 / b : 0.0;
     }},
    {Op::Add, "add", 2, false, OpGroup::Core, kScaleB, kScaleB, StartRule::Default, 1, "({0} + {1})", "({0} + {1})", "({0} + {1})",
     [](double a, double b, double& v) noexcept { v = a + b; return true; },
     [](double, double, double, double& da, double& db) noexcept { da = 1.0; db = 1.0; }},
    {Op::Sub, "sub", 2, true, OpGroup::Core, 0, 0, StartRule::Default, 1, "({0} - {1})", "({0} - {1})", "({0} - {1})",
     [](double a, double b, double& v) noexcept { v = a - b; return true; },
     [](double, double, double, double& da, double& db) noexcept { da = 1.0; db = -1.0; }},
    {Op::Mul, "mul", 2, false, OpGroup::Core, kShiftA | kShiftB, kShiftA | kShiftB, StartRule::Default, 1, "({0} * {1})", "({0} \\cdot {1})", "({0} * {1})",
     [](double a, double b, double& v) noexcept { v = a * b; return true; },
     [](double a, double b, double, double& da, double& db) noexcept { da = b; db = a; }},
    {Op::Div, "div", 2, true, OpGroup::Core, kShiftA | kShiftB, kShiftA, StartRule::TwoSided, 1, "({0} / {1})", "\\frac{{0}}{{1}}", "({0} / {1})",
     [](double a, double b, double& v) noexcept {
       if (std::fabs(b) < kTiny) return false;
       v = a / b;
       return true;
     },
     [](double, double b, double v, double& da, double& db) noexcept { da = 1.0 / b; db = -v / b; }},
    {Op::Square, "square", 1, false, OpGroup::Extra, kShiftA, 0, StartRule::Default, 1, "square({0})",
     "\\left({0}\\right)^{2}", "({0} * {0})",
     [](double a, double, double& v) noexcept { v = a * a; return true; },
     [](double a, double, double, double& da, double&) noexcept { da = 2.0 * a; }},
    {Op::Cube, "cube", 1, false, OpGroup::Extra, kShiftA, 0, StartRule::Default, 1, "cube({0})",
     "\\left({0}\\right)^{3}", "({0} * {0} * {0})",
     [](double a, double, double& v) noexcept { v = a * a * a; return true; },
     [](double a, double, double, double& da, double&) noexcept { da = 3.0 * (a * a); }},
    {Op::Tanh, "tanh", 1, false, OpGroup::Extra, kScaleA, 0, StartRule::Span, 1, "tanh({0})", "\\tanh({0})",
     "math.tanh({0})",
     [](double a, double, double& v) noexcept { v = std::tanh(a); return true; },
     [](double, double, double v, double& da, double&) noexcept { da = 1.0 - v * v; }},
    {Op::Arcsin, "arcsin", 1, false, OpGroup::Extra, kScaleA, 0, StartRule::Span, 1, "arcsin({0})",
     "\\arcsin({0})", "math.asin({0})",
     [](double a, double, double& v) noexcept {
       if (!(std::fabs(a) <= 1.0)) return false;
       v = std::asin(a);
       return true;
     },
     [](double a, double, double, double& da, double&) noexcept { da = 1.0 / std::sqrt(1.0 - a * a); }},
    {Op::Arccos, "arccos", 1, false, OpGroup::Extra, kScaleA, 0, StartRule::Span, 1, "arccos({0})",
     "\\arccos({0})", "math.acos({0})",
     [](double a, double, double& v) noexcept {
       if (!(std::fabs(a) <= 1.0)) return false;
       v = std::acos(a);
       return true;
     },
     [](double a, double, double, double& da, double&) noexcept { da = -1.0 / std::sqrt(1.0 - a * a); }},
    {Op::Arctan, "arctan", 1, false, OpGroup::Extra, kScaleA, 0, StartRule::Span, 1, "arctan({0})",
     "\\arctan({0})", "math.atan({0})",
     [](double a, double, double& v) noexcept { v = std::atan(a); return true; },
     [](double a, double, double, double& da, double&) noexcept { da = 1.0 / (1.0 + a * a); }},
    {Op::Sinh, "sinh", 1, false, OpGroup::Extra, kScaleA, 0, StartRule::Span, 1, "sinh({0})", "\\sinh({0})",
     "math.sinh({0})",
     [](double a, double, double& v) noexcept { v = std::sinh(a); return true; },
     [](double a, double, double, double& da, double&) noexcept { da = std::cosh(a); }},
    {Op::Cosh, "cosh", 1, false, OpGroup::Extra, kScaleA, 0, StartRule::Span, 1, "cosh({0})", "\\cosh({0})",
     "math.cosh({0})",
     [](double a, double, double& v) noexcept { v = std::cosh(a); return true; },
     [](double a, double, double, double& da, double&) noexcept { da = std::sinh(a); }},
    // x^k, k the node's own value: for x > 0, for x = 0 with k > 0, and for
    // x < 0 with a whole k. It builds power blocks (products of powers of
    // variables, proposed from the data) and costs no node of its own, so a
    // power of a variable counts as one node.
    {Op::Pow, "pow", 1, false, OpGroup::Block, 0, 0, StartRule::Default, 0, "({0} ^ {k})", "{0}^{{k}}",
     "math.pow({0}, {k})",
     [](double a, double k, double& v) noexcept {
       if (!(a > 0.0 || (a == 0.0 && k > 0.0) || (a < 0.0 && k == std::nearbyint(k)))) return false;
       v = std::pow(a, k);
       return true;
     },
     [](double a, double k, double v, double& da, double&) noexcept { da = a != 0.0 ? k * (v / a) : 0.0; }},
};
// clang-format on

static_assert(std::size(kOps) == kOpCount, "one row per operator code");
static_assert(
    [] {
      for (std::size_t i = 0; i < kOpCount; ++i) {
        if (static_cast<std::size_t>(kOps[i].op) != i || (kOps[i].arity != 1 && kOps[i].arity != 2)) return false;
      }
      return true;
    }(),
    "rows in code order, arity 1 or 2");

constexpr const OpDef& op_def(Op op) noexcept { return kOps[static_cast<std::size_t>(op)]; }
constexpr unsigned arity(Op op) noexcept { return static_cast<std::size_t>(op) < kOpCount ? op_def(op).arity : 2u; }
constexpr bool order_sensitive(Op op) noexcept { return op_def(op).ordered; }
constexpr unsigned op_cost(Op op) noexcept { return static_cast<std::size_t>(op) < kOpCount ? op_def(op).cost : 1u; }

// The lower-case name of the row ("?" for a code beyond the table).
constexpr std::string_view op_name(Op op) noexcept {
  return static_cast<std::size_t>(op) < kOpCount ? op_def(op).name : std::string_view("?");
}
// The operator of that name, if any.
constexpr std::optional<Op> op_named(std::string_view name) noexcept {
  for (const OpDef& d : kOps) {
    if (d.name == name) return d.op;
  }
  return std::nullopt;
}

// Applies one operator to already evaluated operands (b is ignored for
// unary operators). Returns false when the operator's guard rejects the
// operands or the result is not finite; otherwise stores the result in out.
//
// This is the single definition of operator semantics: expression
// evaluation, fingerprints, the row kernels and the fits all call it, which
// is what keeps their results bit-identical.
template <Op O>
[[gnu::always_inline]] inline bool apply(double a, double b, double& out) noexcept {
  double v;
  if (!op_def(O).value(a, b, v) || !std::isfinite(v)) return false;
  out = v;
  return true;
}

namespace ops_detail {
using ApplyFn = bool (*)(double, double, double&) noexcept;
template <std::size_t... I>
constexpr std::array<ApplyFn, kOpCount> apply_table(std::index_sequence<I...>) {
  return {&apply<static_cast<Op>(I)>...};
}
inline constexpr auto kApply = apply_table(std::make_index_sequence<kOpCount>{});
}  // namespace ops_detail

[[gnu::always_inline]] inline bool apply_op(Op op, double a, double b, double& out) noexcept {
  const auto i = static_cast<std::size_t>(op);
  return i < kOpCount && ops_detail::kApply[i](a, b, out);
}

// ∂op/∂a and ∂op/∂b at (a, b) with value v; 0 where not finite.
inline void op_partials(Op op, double a, double b, double v, double& da, double& db) noexcept {
  da = 0.0;
  db = 0.0;
  op_def(op).partials(a, b, v, da, db);
  if (!std::isfinite(da)) da = 0.0;
  if (!std::isfinite(db)) db = 0.0;
}

}  // namespace vek::discover

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "vek/common/panic.hpp"
#include "vek/discover/expr.hpp"

namespace {

using vek::discover::Expr;
using vek::discover::Node;
using vek::discover::Op;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// Expected values come from the run-time math library, as the evaluator's
// do, never from the compiler's constant folding.
double opaque(double v) {
  volatile double x = v;
  return x;
}
double rexp(double v) { return std::exp(opaque(v)); }
double rlog(double v) { return std::log(opaque(v)); }

Expr expr(std::vector<Node> nodes) { return Expr{std::move(nodes), 0}; }
Expr unary(Op op, double a) { return expr({Node::constant(a), Node::op(op)}); }
Expr binary(Op op, double a, double b) { return expr({Node::constant(a), Node::constant(b), Node::op(op)}); }
std::optional<double> eval0(const Expr& e) { return e.eval({}, {}); }

// ---- malformed sequences: evaluation fails, printing degrades gracefully ----

struct MalformedCase {
  const char* name;
  std::vector<Node> nodes;
  const char* text;
};

class MalformedExpr : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedExpr, FailsToEvaluateButPrints) {
  const Expr e = expr(GetParam().nodes);
  EXPECT_FALSE(e.eval(std::vector<double>{1.0, 2.0}, {}).has_value());
  EXPECT_EQ(e.to_string(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedExpr,
    ::testing::Values(MalformedCase{"Empty", {}, "?"},
                      MalformedCase{"TwoValuesLeft", {Node::constant(2.0), Node::constant(3.0)}, "3.0000"},
                      MalformedCase{"BinaryShortOfOperands", {Node::var(0), Node::op(Op::Add)}, "( + x)"},
                      MalformedCase{"UnaryWithNothing", {Node::op(Op::Exp)}, "exp()"},
                      MalformedCase{"VekShortOfBoth", {Node::op(Op::Vek)}, "vek(, )"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- printed forms ----

struct TextCase {
  const char* name;
  std::vector<Node> nodes;
  const char* text;
};

class ExprText : public ::testing::TestWithParam<TextCase> {};

TEST_P(ExprText, Prints) { EXPECT_EQ(expr(GetParam().nodes).to_string(), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Operators, ExprText,
    ::testing::Values(TextCase{"Neg", {Node::var(0), Node::op(Op::Neg)}, "(-x)"},
                      TextCase{"Inv", {Node::var(0), Node::op(Op::Inv)}, "(1/x)"},
                      TextCase{"Exp", {Node::var(0), Node::op(Op::Exp)}, "exp(x)"},
                      TextCase{"Ln", {Node::var(0), Node::op(Op::Ln)}, "ln(x)"},
                      TextCase{"Sqrt", {Node::var(0), Node::op(Op::Sqrt)}, "sqrt(x)"},
                      TextCase{"Sin", {Node::var(0), Node::op(Op::Sin)}, "sin(x)"},
                      TextCase{"Cos", {Node::var(0), Node::op(Op::Cos)}, "cos(x)"},
                      TextCase{"Abs", {Node::var(0), Node::op(Op::Abs)}, "abs(x)"},
                      TextCase{"Vek", {Node::var(0), Node::var(1), Node::op(Op::Vek)}, "vek(x, y)"},
                      TextCase{"Add", {Node::var(0), Node::var(1), Node::op(Op::Add)}, "(x + y)"},
                      TextCase{"Sub", {Node::var(0), Node::var(1), Node::op(Op::Sub)}, "(x - y)"},
                      TextCase{"Mul", {Node::var(0), Node::var(1), Node::op(Op::Mul)}, "(x * y)"},
                      TextCase{"Div", {Node::var(0), Node::var(1), Node::op(Op::Div)}, "(x / y)"},
                      TextCase{"Nested",
                               {Node::var(2), Node::constant(1.0), Node::op(Op::Add), Node::op(Op::Exp),
                                Node::var(0), Node::op(Op::Neg), Node::op(Op::Div)},
                               "(exp((z + 1.0000)) / (-x))"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Leaves, ExprText,
    ::testing::Values(TextCase{"Pi", {Node::constant(std::numbers::pi)}, "\u03C0"},
                      TextCase{"NearPi", {Node::constant(3.14159)}, "3.1416"},
                      TextCase{"NextToPi", {Node::constant(std::nextafter(std::numbers::pi, 4.0))}, "3.1416"},
                      TextCase{"E", {Node::constant(std::numbers::e)}, "e"},
                      TextCase{"NegativePiIsNotPi", {Node::constant(-std::numbers::pi)}, "-3.1416"},
                      TextCase{"One", {Node::constant(1.0)}, "1.0000"},
                      TextCase{"NegativeZero", {Node::constant(-0.0)}, "-0.0000"},
                      TextCase{"RoundedFromExactBinary", {Node::constant(0.00015)}, "0.0001"},
                      TextCase{"ExactTieToEvenDown", {Node::constant(1.03125)}, "1.0312"},
                      TextCase{"ExactTieToEvenUp", {Node::constant(1.09375)}, "1.0938"},
                      TextCase{"Huge", {Node::constant(1e20)}, "100000000000000000000.0000"},
                      TextCase{"NaN", {Node::constant(kNaN)}, "NaN"},
                      TextCase{"Inf", {Node::constant(kInf)}, "inf"},
                      TextCase{"MinusInf", {Node::constant(-kInf)}, "-inf"},
                      TextCase{"Param", {Node::param(0, 1.5)}, "c0(1.5000)"},
                      TextCase{"ParamNoPiSubstitution", {Node::param(12, std::numbers::pi)}, "c12(3.1416)"},
                      TextCase{"VarY", {Node::var(1)}, "y"},
                      TextCase{"VarZ", {Node::var(2)}, "z"},
                      TextCase{"VarBrace", {Node::var(3)}, "{"},
                      TextCase{"VarWraps", {Node::var(256)}, "x"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- one-operator values: guards and the finiteness check ----

struct ValueCase {
  const char* name;
  Expr e;
  std::optional<double> value;  // nullopt: evaluation fails
};

class OperatorValue : public ::testing::TestWithParam<ValueCase> {};

TEST_P(OperatorValue, EvaluatesBitExactlyOrFails) {
  const auto v = eval0(GetParam().e);
  ASSERT_EQ(v.has_value(), GetParam().value.has_value());
  if (v) {
    EXPECT_EQ(bits(*v), bits(*GetParam().value)) << *v << " vs " << *GetParam().value;
  }
}


INSTANTIATE_TEST_SUITE_P(
    Guards, OperatorValue,
    ::testing::Values(
        ValueCase{"LnZero", unary(Op::Ln, 0.0), std::nullopt},
        ValueCase{"LnMinusOne", unary(Op::Ln, -1.0), std::nullopt},
        ValueCase{"LnNegativeZero", unary(Op::Ln, -0.0), std::nullopt},
        ValueCase{"LnSubnormal", unary(Op::Ln, 5e-324), rlog(5e-324)},
        ValueCase{"SqrtNegativeZero", unary(Op::Sqrt, -0.0), -0.0},
        ValueCase{"SqrtTinyNegative", unary(Op::Sqrt, -1e-20), std::nullopt},
        ValueCase{"InvBelowTiny", unary(Op::Inv, 1e-301), std::nullopt},
        ValueCase{"InvNegativeBelowTiny", unary(Op::Inv, -1e-301), std::nullopt},
        ValueCase{"InvAtTiny", unary(Op::Inv, 1e-300), 1.0 / 1e-300},
        ValueCase{"InvOfInfinity", unary(Op::Inv, kInf), 0.0},
        ValueCase{"InvOfMinusInfinity", unary(Op::Inv, -kInf), -0.0},
        ValueCase{"NegOfZero", unary(Op::Neg, 0.0), -0.0},
        ValueCase{"NegOfNaN", unary(Op::Neg, kNaN), std::nullopt},
        ValueCase{"NegOfInfinity", unary(Op::Neg, kInf), std::nullopt},
        ValueCase{"AbsOfNegativeZero", unary(Op::Abs, -0.0), 0.0},
        ValueCase{"Exp709", unary(Op::Exp, 709.0), rexp(709.0)},
        ValueCase{"Exp710Overflows", unary(Op::Exp, 710.0), std::nullopt},
        ValueCase{"SinOfInfinity", unary(Op::Sin, kInf), std::nullopt},
        ValueCase{"DivOverflows", binary(Op::Div, 1e300, 1e-10), std::nullopt},
        ValueCase{"DivBelowTiny", binary(Op::Div, 1.0, 1e-301), std::nullopt},
        ValueCase{"DivByZero", binary(Op::Div, 0.0, 0.0), std::nullopt},
        ValueCase{"DivAtTiny", binary(Op::Div, 1.0, 1e-300), 1.0 / 1e-300},
        ValueCase{"MulOverflows", binary(Op::Mul, 1e200, 1e200), std::nullopt},
        ValueCase{"SubInfinities", binary(Op::Sub, kInf, kInf), std::nullopt},
        ValueCase{"Vek710", binary(Op::Vek, 710.0, 1.0), rexp(rlog(710.0)) - rlog(1.0)},
        ValueCase{"VekAtThresholdPlainBranch", binary(Op::Vek, 709.78, 1.0), rexp(709.78)},
        ValueCase{"VekAboveThresholdLogBranch", binary(Op::Vek, 709.781, 1.0), rexp(rlog(709.781))},
        ValueCase{"VekZeroLogArgument", binary(Op::Vek, 1.0, 0.0), rexp(1.0) - -690.7755278982137},
        ValueCase{"VekTinyNegativeLogArgument", binary(Op::Vek, 1.0, -1e-305), rexp(1.0) - -690.7755278982137},
        ValueCase{"VekNegativeZeroLogArgument", binary(Op::Vek, 1.0, -0.0), rexp(1.0) - -690.7755278982137},
        ValueCase{"VekPositiveSubnormalKeepsLog", binary(Op::Vek, 1.0, 5e-324), rexp(1.0) - rlog(5e-324)},
        ValueCase{"VekNegativeLogArgument", binary(Op::Vek, 1.0, -2.0), rexp(1.0) - rlog(2.0)},
        ValueCase{"VekNaNRight", binary(Op::Vek, 1.0, kNaN), std::nullopt},
        ValueCase{"VekNaNLeft", binary(Op::Vek, kNaN, 1.0), std::nullopt},
        ValueCase{"VekExpOverflow", binary(Op::Vek, 709.7, -kInf), std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExprEval, VekOfOneAndZeroIsAbout693) {
  EXPECT_NEAR(*eval0(binary(Op::Vek, 1.0, 0.0)), 693.4938, 1e-4);
  EXPECT_NEAR(*eval0(binary(Op::Vek, 710.0, 1.0)), 710.0, 1e-9);
}

TEST(ExprEval, LeavesArePushedUnchecked) {
  const Expr x = expr({Node::var(0)});
  EXPECT_TRUE(std::isnan(*x.eval(std::vector<double>{kNaN}, {})));
  EXPECT_EQ(*x.eval(std::vector<double>{-kInf}, {}), -kInf);
  EXPECT_TRUE(std::isnan(*expr({Node::constant(kNaN)}).eval({}, {})));
  // ...but an operator result computed from them must be finite.
  EXPECT_FALSE(expr({Node::var(0), Node::op(Op::Abs)}).eval(std::vector<double>{kNaN}, {}).has_value());
}

TEST(ExprEval, VariablesByIndexAndOperandOrder) {
  const Expr e = expr({Node::var(0), Node::var(1), Node::op(Op::Sub)});
  EXPECT_EQ(*e.eval(std::vector<double>{5.0, 3.0}, {}), 2.0);
  EXPECT_EQ(*expr({Node::var(1), Node::var(0), Node::op(Op::Div)}).eval(std::vector<double>{4.0, 2.0}, {}), 0.5);
  EXPECT_FALSE(e.eval(std::vector<double>{5.0}, {}).has_value());  // variable 1 missing
}

TEST(ExprEval, ParamFallsBackToStoredValueWhenVectorIsShort) {
  const Expr e = expr({Node::param(1, 2.5), Node::var(0), Node::op(Op::Mul)});
  const std::vector<double> x{4.0};
  EXPECT_EQ(*e.eval(x, {}), 10.0);
  EXPECT_EQ(*e.eval(x, std::vector<double>{7.0}), 10.0);
  EXPECT_EQ(*e.eval(x, std::vector<double>{7.0, 3.0}), 12.0);
}

TEST(ExprEval, DeepExpressionUsesHeapStack) {
  // Far more nodes than any small inline stack: x, then 200 x's, then 200 adds.
  Expr e;
  for (int i = 0; i < 201; ++i) e.nodes.push_back(Node::var(0));
  for (int i = 0; i < 200; ++i) e.nodes.push_back(Node::op(Op::Add));
  EXPECT_EQ(*e.eval(std::vector<double>{0.5}, {}), 100.5);
}

// ---- eval_batch ----

TEST(ExprEvalBatch, MatchesRowByRowEval) {
  const Expr e = expr({Node::var(0), Node::var(1), Node::op(Op::Vek), Node::param(0, 1.0), Node::op(Op::Mul)});
  const std::vector<std::vector<double>> cols{{0.5, -1.0, 2.0, 0.0}, {3.0, 0.0, -1e-305, 7.0}};
  const std::vector<double> params{1.25};
  const auto out = e.eval_batch(cols, params);
  ASSERT_TRUE(out);
  ASSERT_EQ(out->size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(bits((*out)[i]), bits(*e.eval(std::vector<double>{cols[0][i], cols[1][i]}, params)));
  }
}

TEST(ExprEvalBatch, OneFailingRowFailsTheWholeBatch) {
  const Expr e = expr({Node::var(0), Node::op(Op::Ln)});
  EXPECT_TRUE(e.eval_batch({{1.0, 2.0, 3.0}}, {}));
  EXPECT_FALSE(e.eval_batch({{1.0, 0.0, 3.0}}, {}));
}

TEST(ExprEvalBatch, ZeroRowsSucceedEmptyEvenForUnknownVariables) {
  const auto out = expr({Node::var(5), Node::op(Op::Ln)}).eval_batch({{}}, {});
  ASSERT_TRUE(out);
  EXPECT_TRUE(out->empty());
}

TEST(ExprEvalBatch, VariableBeyondTheColumnsFails) {
  EXPECT_FALSE(expr({Node::var(2)}).eval_batch({{1.0}, {2.0}}, {}).has_value());
}

TEST(ExprEvalBatch, RowCountComesFromTheFirstColumn) {
  const auto out = expr({Node::var(1)}).eval_batch({{1.0, 2.0}, {5.0, 6.0, 7.0}}, {});
  ASSERT_TRUE(out);
  EXPECT_EQ(*out, (std::vector<double>{5.0, 6.0}));
}

TEST(ExprEvalBatch, RejectsInputOutsideItsContract) {
  const Expr e = expr({Node::constant(1.0)});
  EXPECT_THROW(e.eval_batch({}, {}), vek::Panic);
  EXPECT_THROW(e.eval_batch({{1.0, 2.0}, {1.0}}, {}), vek::Panic);
}

TEST(ExprModel, ComplexityIsTheNodeCount) {
  EXPECT_EQ(expr({}).complexity(), 0u);
  EXPECT_EQ(expr({Node::var(0), Node::var(0), Node::op(Op::Add), Node::op(Op::Sin)}).complexity(), 4u);
  static_assert(vek::discover::arity(Op::Abs) == 1 && vek::discover::arity(Op::Vek) == 2);
}

}  // namespace

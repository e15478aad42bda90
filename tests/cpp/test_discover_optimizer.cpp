#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "vek/discover/optimizer.hpp"

namespace {

using vek::discover::Expr;
using vek::discover::Node;
using vek::discover::Op;
using vek::discover::optimize;

const std::vector<std::vector<double>> kX{{1.0, 2.0, 3.0, 4.0}};
const std::vector<double> kY{3.0, 6.0, 9.0, 12.0};

Expr scaled_x() { return Expr{{Node::param(0, 0.0), Node::var(0), Node::op(Op::Mul)}, 1}; }

TEST(Optimizer, FitsAScaleFactorExactly) {
  const auto [p, err] = optimize(scaled_x(), kX, kY, {1.0});
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0], 3.0);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(err), 0u);
}

TEST(Optimizer, StartingAtTheFitReturnsItUnchanged) {
  const auto [p, err] = optimize(scaled_x(), kX, kY, {3.0});
  EXPECT_EQ(p, std::vector<double>{3.0});
  EXPECT_EQ(err, 0.0);
}

TEST(Optimizer, NoParametersIsOnePlainEvaluation) {
  const Expr twice_x{{Node::var(0), Node::var(0), Node::op(Op::Add)}, 1};
  const auto [p, err] = optimize(twice_x, kX, kY, {});
  EXPECT_TRUE(p.empty());
  // sqrt(((2-3)^2 + (4-6)^2 + (6-9)^2 + (8-12)^2) / 4) = sqrt(30 / 4)
  EXPECT_EQ(err, std::sqrt(30.0 / 4.0));
}

TEST(Optimizer, ExpressionWithoutParamsKeepsTheInitialVector) {
  const Expr twice_x{{Node::var(0), Node::var(0), Node::op(Op::Add)}, 1};
  const std::vector<double> initial{0.25, -7.5};
  const auto [p, err] = optimize(twice_x, kX, kY, initial);
  EXPECT_EQ(p, initial);
  EXPECT_EQ(err, std::sqrt(30.0 / 4.0));
}

TEST(Optimizer, ExpressionWithoutParamsAlreadyExactReturnsAtOnce) {
  const Expr three_x{{Node::constant(3.0), Node::var(0), Node::op(Op::Mul)}, 1};
  const auto [p, err] = optimize(three_x, kX, kY, {5.0});
  EXPECT_EQ(p, std::vector<double>{5.0});
  EXPECT_EQ(err, 0.0);
}

TEST(Optimizer, EmptyTargetGivesNaNAndTheInitialVector) {
  const auto [p, err] = optimize(scaled_x(), kX, {}, {1.0});
  EXPECT_EQ(p, std::vector<double>{1.0});
  EXPECT_TRUE(std::isnan(err));
  const auto [p0, err0] = optimize(scaled_x(), kX, {}, {});
  EXPECT_TRUE(p0.empty());
  EXPECT_TRUE(std::isnan(err0));
}

TEST(Optimizer, UnevaluableExpressionGivesInfinity) {
  const Expr ln_neg{{Node::var(0), Node::op(Op::Neg), Node::op(Op::Ln)}, 1};
  const auto [p0, err0] = optimize(ln_neg, kX, kY, {});
  EXPECT_TRUE(p0.empty());
  EXPECT_EQ(err0, std::numeric_limits<double>::infinity());
  const auto [p1, err1] = optimize(ln_neg, kX, kY, {2.0, 3.0});
  EXPECT_EQ(p1, (std::vector<double>{2.0, 3.0}));
  EXPECT_EQ(err1, std::numeric_limits<double>::infinity());
}

TEST(Optimizer, ShorterTargetComparesOnlyItsPrefix) {
  const Expr x{{Node::var(0)}, 1};
  // Predictions 1,2,3,4 against 1,2: error 0 even though rows 3 and 4 exist.
  EXPECT_EQ(optimize(x, kX, {1.0, 2.0}, {}).second, 0.0);
  // Predictions 1,2,3,4 against 1,2,3,4,10,10: the sum stops at row 4 but is
  // divided by the target's length 6.
  EXPECT_EQ(optimize(x, kX, {1.0, 2.0, 3.0, 4.0, 10.0, 10.0}, {}).second, 0.0);
  EXPECT_EQ(optimize(x, kX, {2.0, 2.0, 3.0, 4.0, 10.0, 10.0}, {}).second, std::sqrt(1.0 / 6.0));
  // The iterative path tolerates the longer target too.
  const auto [p, err] = optimize(scaled_x(), kX, {3.0, 6.0, 9.0, 12.0, 100.0}, {1.0});
  EXPECT_EQ(p[0], 3.0);
  EXPECT_EQ(err, 0.0);
}

TEST(Optimizer, ParameterWhosePerturbationFailsDoesNotMove) {
  // p0 * x + sqrt(1 - p1) from (1, 1): sqrt(0) is fine, but p1 + h makes
  // the square root fail, so p1 gets a zero Jacobian column and stays.
  const Expr e{{Node::param(0, 0.0), Node::var(0), Node::op(Op::Mul), Node::constant(1.0), Node::param(1, 0.0),
                Node::op(Op::Sub), Node::op(Op::Sqrt), Node::op(Op::Add)},
               1};
  const auto [p, err] = optimize(e, kX, kY, {1.0, 1.0});
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0], 3.0);
  EXPECT_EQ(p[1], 1.0);
  EXPECT_EQ(err, 0.0);
}

TEST(Optimizer, InitialVectorThatCannotBeEvaluatedIsReturnedWithInfinity) {
  const Expr e{{Node::param(0, 0.0), Node::var(0), Node::op(Op::Mul), Node::constant(1.0), Node::param(1, 0.0),
                Node::op(Op::Sub), Node::op(Op::Sqrt), Node::op(Op::Add)},
               1};
  const auto [p, err] = optimize(e, kX, kY, {1.0, 2.0});
  EXPECT_EQ(p, (std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(err, std::numeric_limits<double>::infinity());
}

TEST(Optimizer, FitsTwoParametersAndReportsTheErrorOfTheReturnedVector) {
  // a * x + b against y = 2x - 1, from (1, 0).
  const Expr e{{Node::param(0, 0.0), Node::var(0), Node::op(Op::Mul), Node::param(1, 0.0), Node::op(Op::Add)}, 1};
  const std::vector<double> y{1.0, 3.0, 5.0, 7.0};
  const auto [p, err] = optimize(e, kX, y, {1.0, 0.0});
  ASSERT_EQ(p.size(), 2u);
  EXPECT_LT(err, 1.0);  // improved on sqrt(((0)^2 + 1 + 4 + 9)/4)
  const auto again = optimize(e, kX, y, p);  // the reported error is that of p
  const auto pred = e.eval_batch(kX, p);
  double sse = 0.0;
  for (std::size_t i = 0; i < 4; ++i) sse += ((*pred)[i] - y[i]) * ((*pred)[i] - y[i]);
  EXPECT_EQ(err, std::sqrt(sse / 4.0));
  EXPECT_LE(again.second, err);
}

}  // namespace

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "vek/common/guards.hpp"
#include "vek/kernels/kernels.hpp"

namespace {
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
}  // namespace

TEST(Guards, GuardedLnFloorsOnlyExactZeros) {
  EXPECT_EQ(vek::guarded_ln(0.0), vek::kLogFloor);
  EXPECT_EQ(vek::guarded_ln(-0.0), vek::kLogFloor);
  EXPECT_EQ(vek::guarded_ln(-1.0), 0.0);
  EXPECT_EQ(vek::guarded_ln(-2.718281828459045), 1.0);
  EXPECT_NEAR(vek::guarded_ln(5e-324), -744.44, 0.01);
  EXPECT_TRUE(std::isnan(vek::guarded_ln(NAN)));
  EXPECT_EQ(vek::guarded_ln(-INFINITY), INFINITY);
}

TEST(Guards, FlooredLnLiftsSmallNonPositiveValues) {
  EXPECT_EQ(vek::floored_ln(0.0), vek::kLogFloor);
  EXPECT_EQ(vek::floored_ln(-1e-305), vek::kLogFloor);
  EXPECT_EQ(vek::floored_ln(-2.0), std::log(2.0));
  EXPECT_NEAR(vek::floored_ln(5e-324), -744.44, 0.01);  // positive subnormal keeps its log
  EXPECT_TRUE(std::isnan(vek::floored_ln(NAN)));
  EXPECT_EQ(vek::floored_ln(-INFINITY), INFINITY);
  EXPECT_EQ(std::log(1e-300), vek::kLogFloor);
}

TEST(Guards, GuardedExpTamesOverflow) {
  EXPECT_EQ(vek::guarded_exp(709.0), 8.218407461554972e+307);
  EXPECT_EQ(vek::guarded_exp(710.0), 710.0000000000002);
  EXPECT_EQ(vek::guarded_exp(1000.0), 999.9999999999998);
  EXPECT_EQ(vek::guarded_exp(INFINITY), INFINITY);
  EXPECT_TRUE(std::isnan(vek::guarded_exp(NAN)));
  EXPECT_EQ(vek::vek_tension(0.0, 0.0), 691.7755278982137);
}

TEST(Kernels, BoostEdgeCases) {
  using vek::kernels::boost_elem;
  auto [a, b] = boost_elem(0.0, 1.0, 0.0, 1.0);
  EXPECT_EQ(a, 0.0);
  EXPECT_EQ(b, 1.0);
  std::tie(a, b) = boost_elem(0.0, 0.0, 0.0, 1.0);
  EXPECT_EQ(a, 0.0);
  EXPECT_EQ(b, 1.0000000000000237e-300);
  std::tie(a, b) = boost_elem(0.0, NAN, 0.0, 1.0);
  EXPECT_EQ(a, vek::kLogFloor);
  EXPECT_TRUE(std::isnan(b));
  std::tie(a, b) = boost_elem(0.0, 1.0, 0.0, 0.0);  // (X / 0) * sinh(0) is NaN
  EXPECT_EQ(a, vek::kLogFloor);
}

TEST(Kernels, ParallelMapMatchesScalarRule) {
  std::vector<double> xs(100000), ys(100000);
  for (std::size_t i = 0; i < xs.size(); ++i) {
    xs[i] = std::sin(static_cast<double>(i)) * 800.0;
    ys[i] = std::cos(static_cast<double>(i)) * 1e-299;
  }
  auto t = vek::kernels::tension_n(xs, ys);
  auto d = vek::kernels::div_n(xs, ys);
  ASSERT_EQ(t.size(), xs.size());
  for (std::size_t i = 0; i < xs.size(); ++i) {
    ASSERT_TRUE(same_bits(t[i], vek::vek_tension(xs[i], ys[i])));
    ASSERT_TRUE(same_bits(d[i], vek::kernels::div_elem(xs[i], ys[i])));
  }
}

// The 4-wide row kernels against the scalar ones: the same outcome, the same
// error and loss bits, the same rows written, for every operator that has
// them, on special values in every lane and on columns of every length
// around the vector width and the drop-check block.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "vek/common/simd.hpp"
#include "vek/discover/row_ops.hpp"

using vek::discover::FillRowsFn;
using vek::discover::kFillRows;
using vek::discover::kOpCount;
using vek::discover::kScoreRows;
using vek::discover::kWeightedScoreRows;
using vek::discover::kWideFillRows;
using vek::discover::kWideScoreRows;
using vek::discover::Op;
using vek::discover::Outcome;
using vek::discover::ScoreRowsFn;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMinSub = std::numeric_limits<double>::denorm_min();

// Signed zeros, infinities, NaN, subnormals, the guards' edges at 1e-300,
// values whose square or product overflows, and plain ones.
const std::vector<double> kSpecial = {
    0.0,      -0.0,  kInf,   -kInf, kNaN,   -kNaN, kMinSub, -kMinSub, 1e-300, -1e-300, std::nextafter(1e-300, 0.0),
    2.2e-308, 1e200, -1e200, 1e308, -1e308, 1.0,   -1.0,    0.5,      -3.0,   7.25};

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// The operators that have wide kernels: the ones whose wide table entry is
// not the scalar one.
std::vector<std::size_t> wide_ops() {
  std::vector<std::size_t> ops;
  for (std::size_t i = 0; i < kOpCount; ++i) {
    if (kWideScoreRows[i] != kScoreRows[i]) ops.push_back(i);
  }
  return ops;
}

struct Score {
  Outcome outcome;
  double error = -1.0, rmse = -1.0;
};

Score score(ScoreRowsFn f, const std::vector<double>& a, const std::vector<double>& b, const std::vector<double>& y,
            std::size_t m, double limit) {
  Score s;
  s.outcome = f(a.data(), b.data(), a.size(), y.data(), m, static_cast<double>(y.size()), 1.25, limit, s.error, s.rmse);
  return s;
}

// Both kernels of operator `op` on the same columns agree bit for bit.
void expect_same(std::size_t op, const std::vector<double>& a, const std::vector<double>& b,
                 const std::vector<double>& y, std::size_t m, double limit) {
  const Score want = score(kScoreRows[op], a, b, y, m, limit);
  const Score got = score(kWideScoreRows[op], a, b, y, m, limit);
  const auto where = testing::Message() << "op " << op << ", " << a.size() << " rows, m " << m << ", limit " << limit;
  ASSERT_EQ(static_cast<int>(got.outcome), static_cast<int>(want.outcome)) << where;
  EXPECT_EQ(bits(got.error), bits(want.error)) << where;
  EXPECT_EQ(bits(got.rmse), bits(want.rmse)) << where;

  std::vector<double> out_want(a.size(), 123.0), out_got(a.size(), 123.0);
  const FillRowsFn fill = kFillRows[op], wide_fill = kWideFillRows[op];
  ASSERT_EQ(wide_fill(a.data(), b.data(), a.size(), out_got.data()),
            fill(a.data(), b.data(), a.size(), out_want.data()))
      << where;
  for (std::size_t i = 0; i < a.size(); ++i) ASSERT_EQ(bits(out_got[i]), bits(out_want[i])) << where << ", row " << i;
}

class RowOps : public testing::Test {
 protected:
  void SetUp() override {
    if (!vek::simd::wide()) GTEST_SKIP() << "no AVX2 on this processor, or VEK_SIMD=0";
  }
};

}  // namespace

// Every pair of special values, in each of the four lanes of a vector, among
// plain rows before and after: the guard, the finiteness check and the
// value lane by lane.
TEST_F(RowOps, SpecialValuesInEveryLane) {
  for (std::size_t op : wide_ops()) {
    for (double x : kSpecial) {
      for (double z : kSpecial) {
        for (std::size_t lane = 0; lane < 4; ++lane) {
          std::vector<double> a(8, 1.5), b(8, -0.75), y(8, 0.25);
          a[4 + lane] = x;
          b[4 + lane] = z;
          expect_same(op, a, b, y, 8, kInf);
          expect_same(op, a, b, y, 3, kInf);  // the row past the scored ones
        }
      }
    }
  }
}

// Random columns of every length from 0 to 70 (tails of every size after the
// vectors and after the 16-row blocks), mostly plain values with now and
// then a special one, scored without a limit, against a limit that drops
// part way, and over a prefix of the rows.
TEST_F(RowOps, RandomColumnsOfEveryLength) {
  std::mt19937_64 rng(20);
  std::uniform_real_distribution<double> plain(-3.0, 3.0);
  std::uniform_int_distribution<std::size_t> pick(0, kSpecial.size() - 1);
  std::bernoulli_distribution rare(0.01);
  const auto value = [&] { return rare(rng) ? kSpecial[pick(rng)] : plain(rng); };
  for (std::size_t op : wide_ops()) {
    for (std::size_t n = 0; n <= 70; ++n) {
      for (int trial = 0; trial < 6; ++trial) {
        std::vector<double> a(n), b(n), y(n);
        for (std::size_t i = 0; i < n; ++i) {
          a[i] = value();
          b[i] = value();
          y[i] = plain(rng);
        }
        expect_same(op, a, b, y, n, kInf);
        expect_same(op, a, b, y, n / 2, kInf);
        const Score full = score(kScoreRows[op], a, b, y, n, kInf);
        if (full.outcome == Outcome::Scored && full.error > 0.0) {
          expect_same(op, a, b, y, n, full.error * 0.5);  // dropped at some block
          expect_same(op, a, b, y, n, full.error);        // kept: not above the limit
        }
      }
    }
  }
}

// The weighted kernel of every operator: its loss is sqrt(Σ (d * d) * w / Σ w)
// summed plainly in row order, bit for bit, and a limit below that error
// drops the candidate.
TEST(WeightedRows, EqualTheWeightedSumInRowOrder) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> plain(0.5, 3.0);
  std::uniform_real_distribution<double> weight(0.0, 4.0);
  for (std::size_t op = 0; op < kOpCount; ++op) {
    for (std::size_t n : {1, 5, 16, 17, 53}) {
      std::vector<double> a(n), b(n), y(n), w(n);
      for (std::size_t i = 0; i < n; ++i) {
        a[i] = plain(rng);
        b[i] = plain(rng);
        y[i] = plain(rng);
        w[i] = weight(rng);
      }
      double sse = 0.0, total = 0.0;
      bool defined = true;
      for (std::size_t i = 0; i < n && defined; ++i) {
        double v;
        defined = vek::discover::apply_op(static_cast<Op>(op), a[i], b[i], v);
        const double d = v - y[i];
        sse += (d * d) * w[i];
        total += w[i];
      }
      const auto where = testing::Message() << "op " << op << ", " << n << " rows";
      Score got;
      got.outcome =
          kWeightedScoreRows[op](a.data(), b.data(), n, y.data(), w.data(), n, total, 1.25, kInf, got.error, got.rmse);
      ASSERT_EQ(got.outcome, defined ? Outcome::Scored : Outcome::Failed) << where;
      if (!defined) continue;
      EXPECT_EQ(bits(got.rmse), bits(std::sqrt(sse / total))) << where;
      EXPECT_EQ(bits(got.error), bits(std::sqrt(sse / total) * 1.25)) << where;
      if (got.error > 0.0) {
        Score dropped;
        dropped.outcome = kWeightedScoreRows[op](a.data(), b.data(), n, y.data(), w.data(), n, total, 1.25,
                                                 got.error * 0.5, dropped.error, dropped.rmse);
        EXPECT_EQ(dropped.outcome, Outcome::Dropped) << where;
      }
    }
  }
}

// Reshaped targets: which ones a target gets, formulas of them written back
// as formulas of y, and laws the search reaches through them.
#include "builders.hpp"

#include <algorithm>
#include <cmath>
#include <random>

#include "vek/discover/constants.hpp"
#include "vek/discover/reshape.hpp"

using namespace vek::test;
using vek::discover::Reshape;
using vek::discover::ReshapedTarget;

namespace {

using Columns = std::vector<std::vector<double>>;

Columns uniform_columns(std::size_t vars, std::size_t rows, double lo, double hi, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(lo, hi);
  Columns c(vars);
  for (auto& col : c) {
    for (std::size_t i = 0; i < rows; ++i) col.push_back(u(rng));
  }
  return c;
}

}  // namespace

// Every reshaped target, its u put back through the formula written for it,
// gives y again, for y and blocks of either sign; y ∝ x0·x1³ proposes that
// block first, dividing by it.
TEST(ReshapedTargets, WriteEachBackAsAFormulaOfY) {
  for (const auto& [sign, flip] : {std::pair{1.0, 1.0}, {-1.0, 1.0}, {1.0, -1.0}, {-1.0, -1.0}}) {
    Columns c = uniform_columns(3, 60, 0.5, 3.0, 11);
    for (double& v : c[1]) v *= flip;  // x1 negative on every row: whole powers only
    std::vector<double> y;
    for (std::size_t i = 0; i < 60; ++i) {
      y.push_back(sign * 1.7 * c[0][i] * (c[1][i] * c[1][i] * c[1][i]) * (2.0 + std::sin(3.0 * c[2][i])));
    }
    const auto targets = vek::discover::reshaped_targets(c, y, config(8));
    ASSERT_GE(targets.size(), 6u);
    EXPECT_EQ(targets[0].kind, Reshape::Divide);
    const std::vector<Node> block{X(), Y(), Node::power(3.0), O(Op::Mul)};
    ASSERT_EQ(targets[0].block.size(), block.size());
    for (std::size_t k = 0; k < block.size(); ++k) EXPECT_EQ(targets[0].block[k].value, block[k].value);
    for (const ReshapedTarget& t : targets) {
      Columns with_u = c;
      with_u.push_back(t.u);
      const auto got = Expr{vek::discover::reshaped_formula(t, {Node::var(3)})}.eval_batch(with_u, {});
      ASSERT_TRUE(got.has_value()) << static_cast<int>(t.kind);
      for (std::size_t i = 0; i < y.size(); ++i) {
        EXPECT_NEAR((*got)[i], y[i], 1e-12 * std::fabs(y[i])) << static_cast<int>(t.kind);
      }
    }
  }
}

// A target of both signs: only y/P, none without a block; none with a
// square root where sqrt is not offered.
TEST(ReshapedTargets, OnlyWhereTheyCanBeWrittenBack) {
  Columns c = uniform_columns(2, 40, -1.0, 1.0, 3);
  std::vector<double> y;
  for (std::size_t i = 0; i < 40; ++i) y.push_back(c[0][i] + c[1][i]);
  EXPECT_TRUE(vek::discover::reshaped_targets(c, y, config(8)).empty());
  Columns p = uniform_columns(2, 40, 0.5, 3.0, 4);
  std::vector<double> wave;
  for (std::size_t i = 0; i < 40; ++i) wave.push_back(2.5 * p[0][i] * std::sin(3.0 * p[1][i]));
  const auto divided = vek::discover::reshaped_targets(p, wave, config(8));
  ASSERT_FALSE(divided.empty());
  for (const ReshapedTarget& t : divided) {
    EXPECT_EQ(t.kind, Reshape::Divide);
    EXPECT_EQ(t.block.front().index, 0u);
  }
  for (double& v : y) v = 3.0 + v;
  auto cfg = config(8);
  cfg.unary_ops = std::vector<Op>{Op::Inv, Op::Exp};
  const auto targets = vek::discover::reshaped_targets(c, y, cfg);
  ASSERT_EQ(targets.size(), 1u);
  EXPECT_EQ(targets[0].kind, Reshape::Inverse);
}

// 1/sqrt(1 − x²) is ten nodes for the search itself, four for the search of
// 1/y²; a main search that meets its goal is the whole search.
TEST(SearchReshaped, ReachesAnInverseSquareRootOfASum) {
  Columns c = uniform_columns(1, 80, 0.05, 0.9, 5);
  std::vector<double> y;
  for (double v : c[0]) y.push_back(1.0 / std::sqrt(1.0 - v * v));
  const auto cfg = config(5, 400);
  const vek::discover::ConstantsConfig k{};
  const auto plain = vek::discover::search_constants(c, y, cfg, k);
  const auto out = vek::discover::search_reshaped(c, y, cfg, k);
  ASSERT_TRUE(plain.best && out.best);
  EXPECT_GT(plain.best->loss, 1e-6);
  EXPECT_LT(out.best->loss, 1e-12);
  EXPECT_EQ(out.best->formula.rfind("(1/sqrt(", 0), 0u) << out.best->formula;
  EXPECT_GT(out.stats.scored, plain.stats.scored);
  EXPECT_EQ(out.stats.levels, plain.stats.levels);

  std::vector<double> line;
  for (double v : c[0]) line.push_back(2.0 * v + 1.0);
  const auto a = vek::discover::search_constants(c, line, cfg, k);
  const auto b = vek::discover::search_reshaped(c, line, cfg, k);
  EXPECT_EQ(a.best->formula, b.best->formula);
  EXPECT_EQ(a.stats.scored, b.stats.scored);
}

// (x0 + x1)/(1 + x0·x1): y = x0 + x1 − c·(y·x0·x1), a sum in y·x0·x1.
namespace {

// Whether some ratio found computes y within `tol` (relative) on every row.
bool reaches(const std::vector<vek::discover::SearchResult>& found, const Columns& c, const std::vector<double>& y,
             double tol) {
  return std::any_of(found.begin(), found.end(), [&](const vek::discover::SearchResult& r) {
    const auto v = r.expr.eval_batch(c, r.params);
    if (!v) return false;
    for (std::size_t i = 0; i < y.size(); ++i) {
      if (!(std::fabs((*v)[i] - y[i]) < tol * std::fmax(1.0, std::fabs(y[i])))) return false;
    }
    return r.formula.find('/') != std::string::npos;
  });
}

}  // namespace

TEST(RatiosOfSums, ReachAVelocityAddition) {
  Columns c = uniform_columns(2, 80, 0.1, 0.9, 9);
  std::vector<double> y;
  for (std::size_t i = 0; i < 80; ++i) y.push_back((c[0][i] + c[1][i]) / (1.0 + c[0][i] * c[1][i]));
  EXPECT_TRUE(reaches(vek::discover::ratios_of_sums(c, y, config(8), 6), c, y, 1e-12));
  auto cfg = config(8);
  cfg.binary_ops = std::vector<Op>{Op::Add, Op::Mul};
  EXPECT_TRUE(vek::discover::ratios_of_sums(c, y, cfg, 6).empty());
  EXPECT_TRUE(vek::discover::ratios_of_sums({std::vector<double>(c[0].begin(), c[0].begin() + 20)},
                                            std::vector<double>(y.begin(), y.begin() + 20), config(8), 6)
                  .empty());
}

// Short ratios whose terms fit y·h0 badly one by one, which greedy steps
// miss and the subset beam finds: a thick lens pair f1·f2/(f1 + f2 − d) and
// a mixing temperature (m1·c1·T1 + m2·c2·T2)/(m1·c1 + m2·c2).
TEST(RatiosOfSums, ReachShortSumsWhoseTermsFitBadlyAlone) {
  Columns lens = uniform_columns(3, 100, 1.0, 5.0, 1);
  std::vector<double> y;
  for (std::size_t i = 0; i < 100; ++i) y.push_back(lens[0][i] * lens[1][i] / (lens[0][i] + lens[1][i] - lens[2][i]));
  EXPECT_TRUE(reaches(vek::discover::ratios_of_sums(lens, y, config(8), 9), lens, y, 1e-9));
  Columns mix = uniform_columns(6, 100, 1.0, 5.0, 2);
  y.clear();
  for (std::size_t i = 0; i < 100; ++i) {
    const double a = mix[0][i] * mix[1][i], b = mix[3][i] * mix[4][i];
    y.push_back((a * mix[2][i] + b * mix[5][i]) / (a + b));
  }
  EXPECT_TRUE(reaches(vek::discover::ratios_of_sums(mix, y, config(8), 9), mix, y, 1e-9));
}

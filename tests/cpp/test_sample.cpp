// Searching on a sample of the rows: which rows, and the finalists scored
// again on every row.
#include "builders.hpp"

#include <random>

#include "vek/discover/penalised.hpp"
#include "vek/discover/sample.hpp"

using namespace vek::test;
using vek::discover::RescoreConfig;
using vek::discover::SearchOutcome;
using vek::discover::SearchResult;

namespace {

using Columns = std::vector<std::vector<double>>;

double rmse(const std::vector<double>& v, const std::vector<double>& y) {
  return vek::discover::rmse_of(vek::discover::add_squares(0.0, v.data(), y.data(), y.size()),
                                static_cast<double>(y.size()));
}

SearchResult record(std::vector<Node> nodes, double loss = 1.0) {
  return vek::discover::record_of(std::move(nodes), loss, loss);
}

std::vector<double> values_of(const SearchResult& r, const Columns& columns) {
  return r.expr.eval_batch(columns, r.params).value();
}

}  // namespace

TEST(SampleRows, SpreadEvenlyOrEveryRow) {
  EXPECT_EQ(vek::discover::sample_rows(10, 4), (std::vector<std::size_t>{1, 3, 6, 8}));
  EXPECT_EQ(vek::discover::sample_rows(3, 0), (std::vector<std::size_t>{0, 1, 2}));
  EXPECT_EQ(vek::discover::sample_rows(3, 7), (std::vector<std::size_t>{0, 1, 2}));
  // No overflow of (2i + 1) * rows on row counts past 2^32.
  const auto big = vek::discover::sample_rows(std::size_t{1} << 40, 2);
  EXPECT_EQ(big, (std::vector<std::size_t>{std::size_t{1} << 38, std::size_t{3} << 38}));
}

// With constants: a finalist fitted on a sample is re-fitted on every row,
// and its loss is that of evaluating it there; one that fails on a row
// outside the sample is dropped; the best is taken again.
TEST(Rescore, RefitsOnEveryRowAndDropsWhatFails) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(0.5, 3.0);
  std::normal_distribution<double> noise(0.0, 0.3);
  Columns columns(1);
  std::vector<double> y;
  for (int i = 0; i < 2000; ++i) {
    columns[0].push_back(u(rng));
    y.push_back(2.7 * columns[0].back() + noise(rng));
  }
  columns[0][5] = -1.0;  // ln(x) fails here
  SearchOutcome out;
  out.front = {record({C(1.0)}), record({X(), O(Op::Ln), Node::param(0, 9.0), O(Op::Mul)})};
  out.best = record({Node::param(0, 2.5), X(), O(Op::Mul)});  // 2.5·x: off the least-squares value
  vek::discover::rescore_outcome(out, columns, y, RescoreConfig{0.01, true, true});

  ASSERT_TRUE(out.best.has_value());
  double sxy = 0.0, sxx = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i) {
    sxy += columns[0][i] * y[i];
    sxx += columns[0][i] * columns[0][i];
  }
  ASSERT_EQ(out.best->params.size(), 1u);
  EXPECT_NEAR(out.best->params[0], sxy / sxx, 1e-9);
  EXPECT_TRUE(Same(out.best->loss, rmse(values_of(*out.best, columns), y)));
  ASSERT_EQ(out.front.size(), 2u);  // 1 (the constant) and 3 nodes; ln(x)·c is gone
  EXPECT_EQ(out.front[0].expr.nodes.size(), 1u);
  EXPECT_EQ(out.front[1].params, out.best->params);
  for (const SearchResult& r : out.front) EXPECT_TRUE(Same(r.loss, rmse(values_of(r, columns), y)));

  // Without the re-fit the constants stay, and the losses are still those on every row.
  SearchOutcome kept;
  kept.best = record({Node::param(0, 2.5), X(), O(Op::Mul)});
  vek::discover::rescore_outcome(kept, columns, y, RescoreConfig{0.01, true, false});
  ASSERT_TRUE(kept.best.has_value());
  EXPECT_EQ(kept.best->params, std::vector<double>{2.5});
  EXPECT_TRUE(Same(kept.best->loss, rmse(values_of(*kept.best, columns), y)));
}

// Without constants the best is the lowest error on every row, and the
// front is rebuilt with strictly falling losses.
TEST(Rescore, PlainSearchSelectsAgainOnEveryRow) {
  const Columns columns = {{1.0, 2.0, 3.0, 4.0}};
  const std::vector<double> y = {1.0, 4.0, 9.0, 16.5};
  SearchOutcome out;
  out.front = {record({X()}, 0.0), record({X(), X(), O(Op::Mul)}, 0.0), record({X(), X(), O(Op::Add)}, 0.0)};
  out.best = out.front[0];
  vek::discover::rescore_outcome(out, columns, y, RescoreConfig{0.001, false, true});
  ASSERT_TRUE(out.best.has_value());
  EXPECT_EQ(out.best->formula, "(x * x)");
  EXPECT_TRUE(Same(out.best->loss, 0.25));
  EXPECT_TRUE(Same(out.best->error, 0.25 * (0.001 * 3 + 1.0)));
  ASSERT_EQ(out.front.size(), 2u);
  EXPECT_EQ(out.front[0].formula, "x");
  EXPECT_EQ(out.front[1].formula, "(x * x)");
}

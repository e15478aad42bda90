#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "vek/common/panic.hpp"
#include "vek/discover/search.hpp"

namespace {

using vek::discover::Expr;
using vek::discover::LevelInfo;
using vek::discover::Node;
using vek::discover::Op;
using vek::discover::search;
using vek::discover::SearchConfig;
using vek::discover::SearchHooks;
using vek::discover::SearchResult;
using vek::discover::SearchStats;

using Columns = std::vector<std::vector<double>>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

SearchConfig config(std::uint64_t max_complexity, std::uint64_t beam_width = 2000) {
  SearchConfig c;
  c.max_complexity = max_complexity;
  c.beam_width = beam_width;
  return c;
}

// Runs the search recording every level report.
struct Recorded {
  std::optional<SearchResult> best;
  std::vector<LevelInfo> levels;
  std::vector<std::string> best_formulas;  // best after each level
  SearchStats stats;
};

Recorded run(const Columns& cols, const std::vector<double>& y, const SearchConfig& cfg) {
  Recorded r;
  SearchHooks hooks;
  hooks.on_level = [&](const LevelInfo& info) {
    r.levels.push_back(info);
    r.best_formulas.push_back(info.best != nullptr ? info.best->formula : "");
  };
  r.best = search(cols, y, cfg, &hooks, &r.stats);
  return r;
}

std::vector<double> outputs(const Expr& e, const Columns& cols) { return *e.eval_batch(cols, {}); }

TEST(Search, WorkedExampleFindsTwiceX) {
  const Recorded r = run({{1.0, 2.0, 3.0}}, {2.0, 4.0, 6.0}, SearchConfig{});
  ASSERT_TRUE(r.best);
  EXPECT_EQ(r.best->formula, "(x + x)");
  EXPECT_EQ(r.best->complexity, 3u);
  EXPECT_EQ(bits(r.best->error), bits(0.0));
  EXPECT_TRUE(r.best->params.empty());
  EXPECT_EQ(r.best->expr.n_vars, 1u);
  EXPECT_EQ(r.best->expr.to_string(), "(x + x)");
  // The leaf level's best was x with error sqrt(14/3) * 1.001.
  ASSERT_EQ(r.levels.size(), 2u);
  EXPECT_EQ(r.best_formulas[0], "x");
  EXPECT_EQ(r.stats.levels, 2u);
}

TEST(Search, LeafErrorsFollowThePenalisedRmse) {
  // Goal unreachable and one level only: the best stays the leaf x.
  SearchConfig cfg = config(1);
  const auto best = search({{1.0, 2.0, 3.0}}, {2.0, 4.0, 6.0}, cfg);
  ASSERT_TRUE(best);
  EXPECT_EQ(best->formula, "x");
  EXPECT_EQ(best->error, 2.162407146368756);
  EXPECT_EQ(best->expr.n_vars, 1u);
}

struct BudgetCase {
  std::uint64_t max_complexity;
  std::size_t levels;           // scored levels, the leaf level included
  std::size_t first_generated;  // candidates generated at expansion level 1
};

class SearchBudget : public ::testing::TestWithParam<BudgetCase> {};

TEST_P(SearchBudget, LevelsAndFirstExpansion) {
  // A target no small formula meets: every allowed level runs.
  const Recorded r = run({{0.3, 1.7, 2.9, 4.1}}, {5.0, -2.0, 11.0, 0.5}, config(GetParam().max_complexity));
  ASSERT_TRUE(r.best);
  EXPECT_EQ(r.stats.levels, GetParam().levels);
  ASSERT_EQ(r.levels.size(), GetParam().levels);
  EXPECT_EQ(r.levels[0].generated, 3u);
  EXPECT_EQ(r.levels[0].scored, 3u);
  if (GetParam().levels > 1) {
    EXPECT_EQ(r.levels[1].generated, GetParam().first_generated);
  } else {
    EXPECT_EQ(r.best->complexity, 1u);
  }
}

// 3 leaves x 7 unary operators, plus 6 leaf pairs x 8 binary candidates
// (Add, Sub twice, Mul, Div twice, Vek twice) once pairs fit the budget.
INSTANTIATE_TEST_SUITE_P(Cases, SearchBudget,
                         ::testing::Values(BudgetCase{0, 1, 0}, BudgetCase{1, 1, 0}, BudgetCase{2, 2, 21},
                                           BudgetCase{3, 3, 21 + 48}, BudgetCase{4, 4, 21 + 48}));

TEST(Search, FirstLevelKeepsTwelveUnarySurvivors) {
  const Recorded r = run({{0.3, 1.7, 2.9, 4.1}}, {5.0, -2.0, 11.0, 0.5}, config(2));
  ASSERT_EQ(r.levels.size(), 2u);
  EXPECT_EQ(r.levels[1].generated, 21u);
  EXPECT_EQ(r.levels[1].fingerprinted, 19u);  // 1/0 and ln(0) have none
  EXPECT_EQ(r.levels[1].scored, 12u);
}

// Which candidate wins when the target is exactly some candidate's output:
// a survivor of the first level wins as itself, a dropped duplicate is
// represented by the earlier candidate with its fingerprint.
struct WinnerCase {
  const char* name;
  std::vector<Node> target_expr;
  const char* formula;
};

class FirstLevelWinner : public ::testing::TestWithParam<WinnerCase> {};

TEST_P(FirstLevelWinner, ExactTargetIsFoundAsTheFirstCandidateWithItsFingerprint) {
  const Columns cols{{0.25, 0.5, 1.5, 2.0}};
  const std::vector<double> y = outputs(Expr{GetParam().target_expr, 1}, cols);
  SearchConfig cfg = config(3);
  const auto best = search(cols, y, cfg);
  ASSERT_TRUE(best);
  EXPECT_EQ(best->formula, GetParam().formula);
  EXPECT_EQ(best->error, 0.0);
}

Node x() { return Node::var(0); }
Node c(double v) { return Node::constant(v); }
Node op(Op o) { return Node::op(o); }

INSTANTIATE_TEST_SUITE_P(
    Cases, FirstLevelWinner,
    ::testing::Values(WinnerCase{"NegOne", {c(1.0), op(Op::Neg)}, "(-1.0000)"},
                      WinnerCase{"ExpOne", {c(1.0), op(Op::Exp)}, "exp(1.0000)"},
                      WinnerCase{"SinOne", {c(1.0), op(Op::Sin)}, "sin(1.0000)"},
                      WinnerCase{"CosOne", {c(1.0), op(Op::Cos)}, "cos(1.0000)"},
                      WinnerCase{"NegX", {x(), op(Op::Neg)}, "(-x)"},
                      WinnerCase{"InvX", {x(), op(Op::Inv)}, "(1/x)"},
                      WinnerCase{"ExpX", {x(), op(Op::Exp)}, "exp(x)"},
                      WinnerCase{"LnX", {x(), op(Op::Ln)}, "ln(x)"},
                      WinnerCase{"SqrtX", {x(), op(Op::Sqrt)}, "sqrt(x)"},
                      WinnerCase{"SinX", {x(), op(Op::Sin)}, "sin(x)"},
                      WinnerCase{"CosX", {x(), op(Op::Cos)}, "cos(x)"},
                      // Duplicates of leaves: the leaf wins at the leaf level.
                      WinnerCase{"ExpZeroIsOne", {c(0.0), op(Op::Exp)}, "1.0000"},
                      WinnerCase{"SqrtZeroIsZero", {c(0.0), op(Op::Sqrt)}, "0.0000"},
                      WinnerCase{"InvOneIsOne", {c(1.0), op(Op::Inv)}, "1.0000"},
                      WinnerCase{"LnOneIsZero", {c(1.0), op(Op::Ln)}, "0.0000"},
                      // Operand order: only (x, 1) orders that are new survive.
                      WinnerCase{"XPlusOne", {x(), c(1.0), op(Op::Add)}, "(x + 1.0000)"},
                      WinnerCase{"OnePlusX", {c(1.0), x(), op(Op::Add)}, "(x + 1.0000)"},
                      WinnerCase{"XMinusOne", {x(), c(1.0), op(Op::Sub)}, "(x - 1.0000)"},
                      WinnerCase{"OneMinusX", {c(1.0), x(), op(Op::Sub)}, "(1.0000 - x)"},
                      WinnerCase{"XTimesOne", {x(), c(1.0), op(Op::Mul)}, "x"},
                      WinnerCase{"OneOverX", {c(1.0), x(), op(Op::Div)}, "(1/x)"},
                      WinnerCase{"VekXOne", {x(), c(1.0), op(Op::Vek)}, "exp(x)"},
                      WinnerCase{"VekOneX", {c(1.0), x(), op(Op::Vek)}, "vek(1.0000, x)"},
                      WinnerCase{"XTimesX", {x(), x(), op(Op::Mul)}, "(x * x)"},
                      WinnerCase{"ZeroMinusX", {c(0.0), x(), op(Op::Sub)}, "(-x)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Search, UnaryCandidatesAreNotBoundByTheBudget) {
  // exp(x + 1) has 4 nodes; with a budget of 3 it is built at level 2 from
  // the member x + 1 that joined the beam at level 1.
  const Columns cols{{0.25, 0.5, 1.5, 2.0}};
  const auto y = outputs(Expr{{x(), c(1.0), op(Op::Add), op(Op::Exp)}, 1}, cols);
  const Recorded r = run(cols, y, config(3));
  ASSERT_TRUE(r.best);
  EXPECT_EQ(r.best->formula, "exp((x + 1.0000))");
  EXPECT_EQ(r.best->complexity, 4u);
  EXPECT_EQ(r.best->error, 0.0);
  EXPECT_EQ(r.levels.size(), 3u);
}

TEST(Search, NarrowBeamNeverGrows) {
  for (std::uint64_t width : {0u, 1u, 3u}) {
    const Recorded r = run({{0.3, 1.7, 2.9, 4.1}}, {5.0, -2.0, 11.0, 0.5}, config(8, width));
    EXPECT_EQ(r.levels.size(), 2u) << width;  // leaves, level 1; level 2 finds nothing new
    EXPECT_EQ(r.stats.levels, 2u);
  }
  const Recorded r4 = run({{0.3, 1.7, 2.9, 4.1}}, {5.0, -2.0, 11.0, 0.5}, config(4, 4));
  EXPECT_EQ(r4.levels.size(), 4u);  // one member joins per level
}

TEST(Search, LeafMeetingTheGoalEndsTheSearch) {
  const Recorded r = run({{1.0, 2.0, 3.0}}, {1.0, 2.0, 3.0}, SearchConfig{});
  ASSERT_TRUE(r.best);
  EXPECT_EQ(r.best->formula, "x");
  EXPECT_EQ(r.levels.size(), 1u);
  EXPECT_EQ(r.stats.generated, 3u);
}

TEST(Search, NaNTargetReturnsTheFirstLeaf) {
  const Recorded r = run({{1.0, 2.0, 3.0}}, {1.0, kNaN, 3.0}, config(4, 40));
  ASSERT_TRUE(r.best);
  EXPECT_EQ(r.best->formula, "0.0000");
  EXPECT_EQ(r.best->complexity, 1u);
  EXPECT_TRUE(std::isnan(r.best->error));
  ASSERT_EQ(r.best->expr.nodes.size(), 1u);
  EXPECT_EQ(r.best->expr.nodes[0].kind, Node::Kind::Const);
  EXPECT_EQ(bits(r.best->expr.nodes[0].value), bits(0.0));
  EXPECT_EQ(r.levels.size(), 4u);  // all levels ran
}

TEST(Search, TargetLengthRule) {
  // Sum over the common prefix, divided by the target's length.
  const auto shorter = search({{1.0, 2.0, 3.0}}, {1.0, 2.0}, config(1));
  EXPECT_EQ(shorter->formula, "x");
  EXPECT_EQ(shorter->error, 0.0);
  const auto longer = search({{1.0, 2.0}}, {1.0, 2.0, 7.0, 7.0}, config(1));
  // Leaf x: sse 0 over two rows. Leaf 1: sse 1 over two rows, / 4.
  EXPECT_EQ(longer->formula, "x");
  EXPECT_EQ(longer->error, 0.0);
  // An empty target makes every error NaN (0 / 0): the first leaf stays.
  const auto empty = search({{1.0, 2.0}}, {}, config(3));
  EXPECT_EQ(empty->formula, "0.0000");
  EXPECT_TRUE(std::isnan(empty->error));
}

TEST(Search, ZeroRowsScoreEveryCandidateZero) {
  const auto best = search({{}}, {1.0, 2.0}, SearchConfig{});
  ASSERT_TRUE(best);
  EXPECT_EQ(best->formula, "0.0000");
  EXPECT_EQ(best->error, 0.0);
}

TEST(Search, RejectsDataOutsideItsContract) {
  EXPECT_THROW(search({}, {1.0}, SearchConfig{}), vek::Panic);
  EXPECT_THROW(search({{1.0, 2.0}, {1.0}}, {1.0}, SearchConfig{}), vek::Panic);
}

TEST(Search, KeepGoingFalseInterrupts) {
  SearchHooks stop_now;
  stop_now.keep_going = [] { return false; };
  EXPECT_THROW(search({{1.0, 2.0, 3.0}}, {5.0, 1.0, 2.0}, SearchConfig{}, &stop_now), vek::Interrupted);

  // Stopping later, from inside a long level, works too.
  int calls = 0;
  SearchHooks stop_later;
  stop_later.keep_going = [&calls] { return ++calls < 4; };
  const Columns cols{{0.1, 0.7, 1.3, 2.2, 3.1}};
  EXPECT_THROW(search(cols, {5.0, -1.0, 2.0, 0.5, 9.0}, SearchConfig{}, &stop_later), vek::Interrupted);
  EXPECT_EQ(calls, 4);

  // Saying yes changes nothing.
  SearchHooks yes;
  yes.keep_going = [] { return true; };
  const auto a = search(cols, {5.0, -1.0, 2.0, 0.5, 9.0}, config(4), &yes);
  const auto b = search(cols, {5.0, -1.0, 2.0, 0.5, 9.0}, config(4));
  EXPECT_EQ(a->formula, b->formula);
  EXPECT_EQ(bits(a->error), bits(b->error));
}

}  // namespace

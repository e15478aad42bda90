// The beam search: known results, level counts, contract failures and
// interruption; then bit-for-bit agreement with the plain reference search.
#include "builders.hpp"

#include <random>

#include "reference_search.hpp"
#include "vek/common/panic.hpp"

using namespace vek::test;
using vek::discover::search;
using vek::discover::SearchConfig;
using vek::discover::SearchHooks;
using Columns = std::vector<std::vector<double>>;

namespace {

const Columns kCols{{0.3, 1.7, 2.9, 4.1}};
const std::vector<double> kHard{5.0, -2.0, 11.0, 0.5};  // no small formula meets it: every level runs

std::vector<vek::discover::LevelInfo> levels_of(const Columns& cols, const std::vector<double>& y, SearchConfig cfg) {
  std::vector<vek::discover::LevelInfo> levels;
  SearchHooks hooks{{}, [&](const vek::discover::LevelInfo& info) { levels.push_back(info); }, {}, {}};
  return (void)search(cols, y, cfg, &hooks), levels;
}

}  // namespace

TEST(Search, KnownResults) {
  const auto out = [](std::vector<Node> nodes) { return *expr(std::move(nodes)).eval_batch(kCols, {}); };
  const struct {
    Columns cols;
    std::vector<double> y;
    SearchConfig cfg;
    const char* formula;
    double error;
  } cases[] = {
      {{{1, 2, 3}}, {2, 4, 6}, config(1), "x", 2.162407146368756},               // rmse * (0.001 * 1 + 1)
      {{{0, 0}}, {2, 3, 7}, config(1), "1.0000", std::sqrt(5.0 / 3.0) * 1.001},  // divided by the target's length
      {{{}}, {1, 2}, {}, "0.0000", 0.0},
      // exact targets: a first-level survivor wins as itself, a dropped duplicate as the earlier candidate
      {kCols, out({C(1.0), X(), O(Op::Div)}), config(3), "(1/x)", 0.0},
      {kCols, out({C(0.0), O(Op::Exp)}), config(3), "1.0000", 0.0},
      {kCols, out({C(1.0), X(), O(Op::Sub)}), config(3), "(1.0000 - x)", 0.0},
      {kCols, out({X(), C(1.0), O(Op::Vek)}), config(3), "exp(x)", 0.0},
      // unary candidates are not bound by the budget: 4 nodes under a budget of 3
      {kCols, out({X(), C(1.0), O(Op::Add), O(Op::Exp)}), config(3), "exp((x + 1.0000))", 0.0},
  };
  for (const auto& c : cases) {
    const auto best = search(c.cols, c.y, c.cfg);
    ASSERT_TRUE(best) << c.formula;
    EXPECT_TRUE(best->formula == c.formula && Same(best->error, c.error)) << best->formula << " " << best->error;
    EXPECT_TRUE(best->complexity == best->expr.nodes.size() && best->expr.to_string() == best->formula);
  }
}

TEST(Search, LevelCounts) {
  // 3 leaves x 7 unary operators, plus 6 leaf pairs x 8 binary candidates once pairs fit the budget.
  const struct {
    SearchConfig cfg;
    std::size_t levels, first_generated;
  } cases[] = {{config(1), 1, 3},
               {config(2), 2, 21},
               {config(4), 4, 21 + 48},
               {config(8, 3), 2, 69}};  // a beam too narrow to grow: level 2 finds nothing new
  for (const auto& c : cases) {
    const auto levels = levels_of(kCols, kHard, c.cfg);
    ASSERT_EQ(levels.size(), c.levels) << c.cfg.max_complexity << "/" << c.cfg.beam_width;
    EXPECT_TRUE(levels[0].generated == 3 && levels.back().level == c.levels - 1);
    EXPECT_EQ(levels[c.levels > 1].generated, c.first_generated);
  }
  const auto two = levels_of(kCols, kHard, config(2));
  EXPECT_TRUE(two[1].fingerprinted == 19 && two[1].scored == 12);  // 1/0 and ln(0) have none; 12 are new
  EXPECT_EQ(levels_of({{1, 2, 3}}, {1, 2, 3}, {}).size(), 1u);     // a leaf meeting the goal ends the search
}

TEST(Search, ContractFailuresAndInterruption) {
  EXPECT_THROW(search({}, {1.0}, SearchConfig{}), vek::Panic);
  EXPECT_THROW(search({{1.0, 2.0}, {1.0}}, {1.0}, SearchConfig{}), vek::Panic);
  int calls = 0;
  SearchHooks stop_later;  // asked inside a level too, not only between levels
  stop_later.keep_going = [&calls] { return ++calls < 4; };
  EXPECT_THROW(search(kCols, kHard, SearchConfig{}, &stop_later), vek::Interrupted);
  EXPECT_EQ(calls, 4);
  SearchHooks yes;
  yes.keep_going = [] { return true; };
  expect_same(search(kCols, kHard, config(4), &yes), search(kCols, kHard, config(4)), "keep going");
}

// ---- agreement with the reference search ----

namespace {

struct Problem {
  Columns columns;
  std::vector<double> target;
  SearchConfig config;
};

// Small random problems: edge values, ragged and short columns, short and long
// targets, every option, budget and width.
Problem random_problem(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  const auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const bool clean = uni(0, 2) == 0;
  const auto value = [&] {
    static const double specials[] = {0.0,    -0.0,   5e-324, -5e-324, 2.2250738585072014e-308,
                                      1e-300, 1e-301, 1e300,  -1e300,  1.7976931348623157e308,
                                      kInf,   -kInf,  kNaN,   709.9,   1.0,
                                      -1.0};
    const int p = uni(0, 99);
    if (clean || p >= 40) return std::uniform_real_distribution<double>(-2.0, 4.0)(rng);
    return p < 12 ? specials[uni(0, 15)] : static_cast<double>(uni(-4, 6));
  };
  const int n_cols = uni(1, 3), rows = uni(0, 9) == 0 ? uni(0, 1) : uni(2, 12), shape = uni(0, 4);
  Problem p{Columns(n_cols), {}, config(uni(0, 6))};
  for (std::size_t c = 0; c < p.columns.size(); ++c)  // a later column may be longer than the first
    for (int r = 0, n = rows + (c > 0 && uni(0, 5) == 0); r < n; ++r) p.columns[c].push_back(value());
  for (int i = 0, n = std::max(0, rows + (uni(0, 4) == 0 ? uni(-3, 3) : 0)); i < n; ++i) {
    const double x0 = i < rows ? p.columns[0][i] : 1.0, x1 = i < rows && n_cols > 1 ? p.columns[1][i] : 0.5;
    const double shapes[] = {x0 * x1 + std::sin(x0), 2.0 * x0 + 1.0, std::exp(x0) - x1, x0 * x0 / (1.0 + x1 * x1)};
    p.target.push_back(shape < 4 && (clean || uni(0, 15) != 0) ? shapes[shape] : value());
  }
  static const std::uint64_t widths[] = {0, 1, 3, 4, 5, 7, 8, 12, 16, 33, 64};
  static const double penalties[] = {0.001, 0.0, 0.05, -0.2}, goals[] = {1e-10, 0.0, -1.0, 0.3};
  p.config.beam_width = widths[uni(0, 10)];
  p.config.use_trig = uni(0, 1) == 1;
  p.config.use_vek = uni(0, 1) == 1;
  p.config.complexity_penalty = penalties[uni(0, 3)];
  p.config.precision_goal = goals[uni(0, 3)];
  return p;
}

}  // namespace

// The engine's internal knobs: a column cache too small for every member
// (down to none, in rows of the first column) and tiny scoring chunks, which
// make the early-drop bound kick in after a handful of candidates. None may
// change a result; the defaults get the most problems.
class RandomProblems : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

TEST_P(RandomProblems, SameBestAsTheReference) {
  const auto [cache_rows, chunk] = GetParam();
  const bool defaults = cache_rows == SIZE_MAX && chunk == 1024;
  for (int k = 0; k < (defaults ? 400 : 60) && !HasFailure(); ++k) {
    const Problem p = random_problem(777000 + k);
    vek::discover::detail::Tuning tuning;
    if (cache_rows != SIZE_MAX) tuning.column_cache_bytes = cache_rows * p.columns[0].size() * sizeof(double);
    tuning.score_chunk = chunk;
    const auto got = defaults
                         ? search(p.columns, p.target, p.config)
                         : vek::discover::detail::search_tuned(p.columns, p.target, p.config, nullptr, nullptr, tuning);
    expect_same(got, vek::discover::reference::search(p.columns, p.target, p.columns.size(), p.config),
                "problem " + std::to_string(777000 + k));
  }
}

INSTANTIATE_TEST_SUITE_P(CacheRowsAndChunk, RandomProblems,
                         ::testing::Values(std::pair<std::size_t, std::size_t>{SIZE_MAX, 1024}, std::pair{0, 1024},
                                           std::pair{3, 1024}, std::pair{40, 1024}, std::pair{SIZE_MAX, 1},
                                           std::pair{SIZE_MAX, 7}, std::pair{0, 5}));

// More rows than a block, and a column cache too small for most members:
// candidates are scored block by block of rows, with uncached members
// built per block. A target shorter than the data, and rows where ln and
// sqrt fail, reach every branch.
TEST(Search, BlockWiseScoringMatchesTheReference) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(-1.0, 3.0);
  const std::size_t rows = 2600;
  Columns cols(2, std::vector<double>(rows));
  std::vector<double> y(rows - 7);
  for (std::size_t r = 0; r < rows; ++r) {
    cols[0][r] = u(rng);
    cols[1][r] = u(rng);
    if (r < y.size()) y[r] = cols[0][r] * cols[1][r] + std::sin(cols[0][r]) + 0.01 * u(rng);
  }
  for (const std::size_t cache_rows : {0u, 3u, 40u}) {
    vek::discover::detail::Tuning tuning;
    tuning.column_cache_bytes = cache_rows * rows * sizeof(double);
    for (const auto& cfg : {config(5, 60), config(6, 24)}) {
      expect_same(vek::discover::detail::search_tuned(cols, y, cfg, nullptr, nullptr, tuning),
                  vek::discover::reference::search(cols, y, cols.size(), cfg),
                  "cache rows " + std::to_string(cache_rows));
    }
  }
}

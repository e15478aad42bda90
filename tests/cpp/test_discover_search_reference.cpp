// The optimized search against the plain transcription in reference_search:
// both must return the same best record, bit for bit.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <tbb/task_arena.h>

#include "reference_search.hpp"
#include "vek/discover/search.hpp"

namespace {

using vek::discover::search;
using vek::discover::SearchConfig;
using vek::discover::SearchResult;

using Columns = std::vector<std::vector<double>>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

void expect_same(const std::optional<SearchResult>& got, const std::optional<SearchResult>& want,
                 const std::string& where) {
  ASSERT_EQ(got.has_value(), want.has_value()) << where;
  if (!got) return;
  EXPECT_EQ(got->formula, want->formula) << where;
  EXPECT_EQ(bits(got->error), bits(want->error)) << where << " " << got->error << " vs " << want->error;
  EXPECT_EQ(got->complexity, want->complexity) << where;
  ASSERT_EQ(got->params.size(), want->params.size()) << where;
  for (std::size_t i = 0; i < got->params.size(); ++i) EXPECT_EQ(bits(got->params[i]), bits(want->params[i]));
  EXPECT_EQ(got->expr.n_vars, want->expr.n_vars) << where;
  ASSERT_EQ(got->expr.nodes.size(), want->expr.nodes.size()) << where;
  for (std::size_t i = 0; i < got->expr.nodes.size(); ++i) {
    const auto& a = got->expr.nodes[i];
    const auto& b = want->expr.nodes[i];
    EXPECT_TRUE(a.kind == b.kind && a.opcode == b.opcode && a.index == b.index && bits(a.value) == bits(b.value))
        << where << " node " << i;
  }
}

// ---- seeded random problems ----

struct Problem {
  Columns columns;
  std::vector<double> target;
  std::uint64_t n_vars;
  SearchConfig config;
  std::string describe;
};

double special_or_plain(std::mt19937_64& rng) {
  static const double specials[] = {0.0,   -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 1e-300, 1e-301,
                                    1e300, -1e300, 1.7976931348623157e308, kInf, -kInf, kNaN, 709.9, 1.0, -1.0};
  std::uniform_int_distribution<int> pick(0, 99);
  const int p = pick(rng);
  if (p < 12) return specials[std::uniform_int_distribution<int>(0, std::size(specials) - 1)(rng)];
  if (p < 40) return static_cast<double>(std::uniform_int_distribution<int>(-4, 6)(rng));
  return std::uniform_real_distribution<double>(-3.0, 5.0)(rng);
}

Problem random_problem(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  Problem p;
  const int n_cols = uni(1, 3);
  const int rows = uni(0, 9) == 0 ? uni(0, 1) : uni(2, 12);
  const bool clean = uni(0, 2) == 0;  // no special values at all
  for (int c = 0; c < n_cols; ++c) {
    std::vector<double> col;
    for (int r = 0; r < rows; ++r) {
      col.push_back(clean ? std::uniform_real_distribution<double>(-2.0, 3.0)(rng) : special_or_plain(rng));
    }
    p.columns.push_back(col);
  }
  // Ragged but allowed: a later column may be longer than the first.
  if (n_cols > 1 && uni(0, 5) == 0) p.columns[1].push_back(3.5);

  int target_len = rows;
  const int t = uni(0, 9);
  if (t == 0) target_len = std::max(0, rows - uni(1, 3));
  if (t == 1) target_len = rows + uni(1, 3);
  const int shape = uni(0, 4);
  for (int i = 0; i < target_len; ++i) {
    const double x0 = i < rows ? p.columns[0][i] : 1.0;
    const double x1 = i < rows && n_cols > 1 ? p.columns[1][i] : 0.5;
    double v;
    switch (shape) {
      case 0: v = x0 * x1 + std::sin(x0); break;
      case 1: v = 2.0 * x0 + 1.0; break;
      case 2: v = std::exp(x0) - x1; break;
      case 3: v = x0 * x0 / (1.0 + x1 * x1); break;
      default: v = special_or_plain(rng); break;
    }
    if (!clean && uni(0, 15) == 0) v = special_or_plain(rng);
    p.target.push_back(v);
  }

  p.n_vars = static_cast<std::uint64_t>(n_cols);
  SearchConfig& c = p.config;
  c.max_complexity = static_cast<std::uint64_t>(uni(0, 6));
  static const std::uint64_t widths[] = {0, 1, 3, 4, 5, 7, 8, 12, 16, 33, 64};
  c.beam_width = widths[uni(0, std::size(widths) - 1)];
  c.use_trig = uni(0, 1) == 1;
  c.use_vek = uni(0, 1) == 1;
  static const double penalties[] = {0.001, 0.001, 0.0, 0.05, -0.2};
  c.complexity_penalty = penalties[uni(0, std::size(penalties) - 1)];
  static const double goals[] = {1e-10, 1e-10, 0.0, -1.0, 0.3};
  c.precision_goal = goals[uni(0, std::size(goals) - 1)];

  std::ostringstream d;
  d << "seed " << seed << ": cols " << n_cols << " rows " << rows << " target " << target_len << " max "
    << c.max_complexity << " beam " << c.beam_width << " trig " << c.use_trig << " vek " << c.use_vek << " penalty "
    << c.complexity_penalty << " goal " << c.precision_goal;
  p.describe = d.str();
  return p;
}

class RandomProblems : public ::testing::TestWithParam<int> {};

TEST_P(RandomProblems, OptimizedSearchEqualsTheTranscription) {
  for (int k = 0; k < 40; ++k) {
    const Problem p = random_problem(static_cast<std::uint64_t>(GetParam()) * 1000 + k);
    const auto want = vek::discover::reference::search(p.columns, p.target, p.n_vars, p.config);
    expect_same(search(p.columns, p.target, p.config), want, p.describe);
    if (::testing::Test::HasFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomProblems, ::testing::Range(0, 10));

// The engine's internal knobs: a column cache too small for every member
// (down to none) and tiny scoring chunks, which make the early-drop bound
// kick in after a handful of candidates.
struct TuningCase {
  const char* name;
  std::size_t cache_rows;  // cache budget in rows of doubles (SIZE_MAX: default)
  std::size_t score_chunk;
};

class Tuned : public ::testing::TestWithParam<TuningCase> {};

TEST_P(Tuned, ResultsAreIdentical) {
  for (int k = 0; k < 60; ++k) {
    const Problem p = random_problem(777000 + k);
    const auto want = vek::discover::reference::search(p.columns, p.target, p.n_vars, p.config);
    vek::discover::detail::Tuning tuning;
    if (GetParam().cache_rows != SIZE_MAX) {
      tuning.column_cache_bytes = GetParam().cache_rows * p.columns[0].size() * sizeof(double);
    }
    tuning.score_chunk = GetParam().score_chunk;
    expect_same(vek::discover::detail::search_tuned(p.columns, p.target, p.config, nullptr, nullptr, tuning),
                want, p.describe);
    if (::testing::Test::HasFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Tuned,
                         ::testing::Values(TuningCase{"NoCache", 0, 1024}, TuningCase{"ThreeColumns", 3, 1024},
                                           TuningCase{"FortyColumns", 40, 1024},
                                           TuningCase{"ChunksOfOne", SIZE_MAX, 1},
                                           TuningCase{"ChunksOfSeven", SIZE_MAX, 7},
                                           TuningCase{"NoCacheChunksOfFive", 0, 5}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- default options on problems the transcription can finish quickly ----

struct DefaultCase {
  const char* name;
  Columns columns;
  std::vector<double> target;
  SearchConfig config;
};

class DefaultLike : public ::testing::TestWithParam<DefaultCase> {};

TEST_P(DefaultLike, SameBestAsTheTranscription) {
  const DefaultCase& c = GetParam();
  const auto want = vek::discover::reference::search(c.columns, c.target, c.columns.size(), c.config);
  expect_same(search(c.columns, c.target, c.config), want, c.name);
  // Dropping hopeless candidates after every single one, and caching only a
  // few member columns, changes nothing either.
  vek::discover::detail::Tuning tuning;
  tuning.score_chunk = 1;
  tuning.column_cache_bytes = 50 * c.columns[0].size() * sizeof(double);
  expect_same(vek::discover::detail::search_tuned(c.columns, c.target, c.config, nullptr, nullptr, tuning),
              want, std::string(c.name) + " tuned");
}

std::vector<double> grid(int n, double lo, double hi) {
  std::vector<double> v;
  for (int i = 0; i < n; ++i) v.push_back(lo + (hi - lo) * i / (n - 1));
  return v;
}

std::vector<double> map(const std::vector<double>& x, double (*f)(double)) {
  std::vector<double> y;
  for (double v : x) y.push_back(f(v));
  return y;
}

SearchConfig with(std::uint64_t max_complexity, std::uint64_t beam_width) {
  SearchConfig c;
  c.max_complexity = max_complexity;
  c.beam_width = beam_width;
  return c;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DefaultLike,
    ::testing::Values(
        DefaultCase{"TwiceX", {grid(30, -2, 3)}, map(grid(30, -2, 3), [](double x) { return 2 * x; }), {}},
        DefaultCase{"SquarePlusOne", {grid(20, -1, 1)},
                    map(grid(20, -1, 1), [](double x) { return x * x + 1.0; }), {}},
        DefaultCase{"NoisyCubicThreeLevels", {grid(20, -1, 1)},
                    map(grid(20, -1, 1), [](double x) { return x * x * x + x * x + x + 0.01 * std::sin(40 * x); }),
                    with(4, 2000)},
        DefaultCase{"RandomTargetWideBeam", {grid(12, 0.1, 3)},
                    {3, -1, 4, 1, -5, 9, 2, -6, 5, 3, -5, 8}, with(5, 400)},
        DefaultCase{"CubicAllLevels", {grid(20, -1, 1)},
                    map(grid(20, -1, 1), [](double x) { return x * x * x + x * x + x; }), {}},
        DefaultCase{"RandomTargetAllLevels", {grid(16, 0.1, 4)},
                    {0.3, -2.5, 1.25, 2.0, -0.75, 1.5, 2.5, -1.0, 0.0, 1.75, -2.0, 0.5, 2.25, -1.5, 1.0, -0.25}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- thread count ----

TEST(ThreadCount, SingleThreadArenaGivesTheSameResult) {
  const Columns cols{grid(40, -1.5, 2.0), map(grid(40, -1.5, 2.0), [](double x) { return std::cos(3 * x); })};
  std::vector<double> y;
  for (int i = 0; i < 40; ++i) y.push_back(cols[0][i] * cols[1][i] + std::sin(cols[0][i]) + 0.001 * i);
  const SearchConfig cfg = with(6, 1000);
  vek::discover::SearchStats many_stats, one_stats;
  const auto many = search(cols, y, cfg, nullptr, &many_stats);
  std::optional<SearchResult> one;
  tbb::task_arena arena(1);
  arena.execute([&] { one = search(cols, y, cfg, nullptr, &one_stats); });
  expect_same(one, many, "arena(1)");
  EXPECT_EQ(one_stats.generated, many_stats.generated);
  EXPECT_EQ(one_stats.scored, many_stats.scored);
  EXPECT_EQ(one_stats.peak_seen, many_stats.peak_seen);
}

}  // namespace

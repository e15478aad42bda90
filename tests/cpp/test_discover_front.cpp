// The Pareto front of search_front: its definition on hand-made levels, and
// its agreement with runs that score every candidate in full.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "vek/common/panic.hpp"
#include "vek/common/parallel.hpp"
#include "vek/discover/front.hpp"
#include "vek/discover/beam.hpp"
#include "vek/discover/penalised.hpp"
#include "vek/discover/score.hpp"
#include "vek/discover/search.hpp"

namespace {

using namespace vek::discover;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// One level of (complexity, loss) candidates; a NaN loss stands for a
// failed candidate when `failed` says so.
struct Scored {
  std::uint64_t complexity;
  double loss;
  bool failed = false;
};

void merge_level(Front& front, const std::vector<Scored>& level, int tag) {
  Scores s;
  for (const Scored& c : level) {
    s.ok.push_back(!c.failed);
    s.loss.push_back(c.loss);
    s.error.push_back(c.loss);
  }
  front.merge(
      s, [&](std::size_t i) { return level[i].complexity; },
      [&](std::size_t i) {
        SearchResult r;
        r.complexity = level[i].complexity;
        r.loss = level[i].loss;
        r.formula = std::to_string(tag);
        r.formula += ':';
        r.formula += std::to_string(i);
        return r;
      });
}

std::vector<std::string> formulas(const Front& f) {
  std::vector<std::string> out;
  for (const auto& e : f.entries()) out.push_back(e.formula);
  return out;
}

TEST(Front, BestPerComplexityThatBeatsEverySmallerOne) {
  Front f;
  EXPECT_TRUE(f.loss_bounds().empty());
  // Level 0: the first of two equal losses wins its complexity; failed and
  // NaN candidates never enter.
  merge_level(f, {{1, 5.0}, {1, 3.0}, {1, 3.0}, {1, 0.5, true}, {1, kNaN}}, 0);
  EXPECT_EQ(formulas(f), (std::vector<std::string>{"0:1"}));
  // Level 1: 4.0 at complexity 2 does not beat complexity 1; 1.0 at 3 does;
  // 2.0 at 2 comes later in the level but still enters below it.
  merge_level(f, {{2, 4.0}, {3, 1.0}, {3, 1.0}, {2, 2.0}, {5, 1.0}}, 1);
  EXPECT_EQ(formulas(f), (std::vector<std::string>{"0:1", "1:3", "1:1"}));
  EXPECT_EQ(f.loss_bounds(), (std::vector<double>{kInf, 3.0, 2.0, 1.0}));
  // Level 2: an equal loss does not replace the earlier entry; 0.5 at
  // complexity 2 removes the entry at 3; 0.25 at 6 extends the front.
  merge_level(f, {{3, 1.0}, {1, 3.0}, {2, 0.5}, {6, 0.25}, {4, 0.5}}, 2);
  EXPECT_EQ(formulas(f), (std::vector<std::string>{"0:1", "2:2", "2:3"}));
  EXPECT_EQ(f.loss_bounds(), (std::vector<double>{kInf, 3.0, 0.5, 0.5, 0.5, 0.5, 0.25}));
}

using Columns = std::vector<std::vector<double>>;

struct Problem {
  Columns columns;
  std::vector<double> target;
  SearchConfig config;
};

Problem random_problem(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-2.0, 3.0);
  Problem p;
  const int cols = 1 + static_cast<int>(seed % 3);
  const int rows = 5 + static_cast<int>(seed % 13);
  p.columns.assign(cols, {});
  for (int r = 0; r < rows; ++r) {
    for (auto& c : p.columns) c.push_back(u(rng));
    const double x = p.columns[0].back();
    p.target.push_back(seed % 2 == 0 ? x * x + std::sin(p.columns.back().back()) : u(rng));
  }
  p.config.max_complexity = 4 + seed % 3;
  p.config.beam_width = 12 + 40 * (seed % 4);
  p.config.complexity_penalty = seed % 5 == 0 ? 0.05 : 0.001;
  return p;
}

void expect_same_records(const std::vector<SearchResult>& got, const std::vector<SearchResult>& want,
                         const std::string& where) {
  ASSERT_EQ(got.size(), want.size()) << where;
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].formula, want[i].formula) << where;
    EXPECT_EQ(bits(got[i].loss), bits(want[i].loss)) << where;
    EXPECT_EQ(bits(got[i].error), bits(want[i].error)) << where;
  }
}

// Falling loss along growing complexity, each entry reproduced by plain
// evaluation, none with a smaller error than the best.
void expect_consistent(const SearchOutcome& out, const Problem& p, const std::string& where) {
  ASSERT_TRUE(out.best) << where;
  ASSERT_FALSE(out.front.empty()) << where;
  for (std::size_t i = 0; i < out.front.size(); ++i) {
    const SearchResult& e = out.front[i];
    if (i > 0) {
      EXPECT_LT(out.front[i - 1].complexity, e.complexity) << where;
      EXPECT_GT(out.front[i - 1].loss, e.loss) << where;
    }
    const auto values = e.expr.eval_batch(p.columns, {});
    ASSERT_TRUE(values) << where;
    const double loss = rmse_of(add_squares(0.0, values->data(), p.target.data(), p.target.size()),
                                static_cast<double>(p.target.size()));
    EXPECT_EQ(bits(e.loss), bits(loss)) << where << " " << e.formula;
    EXPECT_EQ(bits(e.error), bits(penalised(loss, complexity_factor(p.config.complexity_penalty, e.complexity))));
    EXPECT_LE(out.best->error, e.error) << where;
  }
}

TEST(SearchFront, NothingThatCouldEnterTheFrontIsDropped) {
  for (std::uint64_t seed = 0; seed < 24; ++seed) {
    const Problem p = random_problem(seed);
    const std::string where = "seed " + std::to_string(seed);
    const SearchOutcome out = search_front(p.columns, p.target, p.config);
    EXPECT_FALSE(out.stopped);
    expect_consistent(out, p, where);
    // Scoring everything in full, or dropping after every candidate with
    // no column cache, gives the same front.
    detail::Tuning full;
    full.drop_hopeless = false;
    detail::Tuning eager;
    eager.score_chunk = 1;
    eager.column_cache_bytes = 0;
    expect_same_records(out.front, detail::search_front_tuned(p.columns, p.target, p.config, nullptr, full).front,
                        where + " full");
    expect_same_records(out.front, detail::search_front_tuned(p.columns, p.target, p.config, nullptr, eager).front,
                        where + " eager");
    // The best record and the counts are search()'s.
    SearchStats stats;
    const auto best = search(p.columns, p.target, p.config, nullptr, &stats);
    ASSERT_TRUE(best) << where;
    EXPECT_EQ(out.best->formula, best->formula) << where;
    EXPECT_EQ(bits(out.best->error), bits(best->error)) << where;
    EXPECT_EQ(out.stats.generated, stats.generated) << where;
    EXPECT_EQ(out.stats.scored, stats.scored) << where;
  }
}

TEST(SearchFront, AStopKeepsTheFinishedLevels) {
  const Problem p = random_problem(3);
  std::vector<std::string> reported;  // best after each level
  SearchHooks hooks;
  hooks.on_level = [&](const LevelInfo& info) {
    reported.push_back(info.best->formula);
    if (reported.size() == 3) throw vek::Interrupted();
  };
  const SearchOutcome out = search_front(p.columns, p.target, p.config, &hooks);
  EXPECT_TRUE(out.stopped);
  ASSERT_EQ(reported.size(), 3u);
  ASSERT_TRUE(out.best);
  EXPECT_EQ(out.best->formula, reported.back());
  EXPECT_EQ(out.stats.levels, 3u);
  expect_consistent(out, p, "stopped");
  // Asked first between the leaves and level 1: the leaves stay.
  SearchHooks at_once;
  at_once.keep_going = [] { return false; };
  const SearchOutcome leaves = search_front(p.columns, p.target, p.config, &at_once);
  EXPECT_TRUE(leaves.stopped);
  EXPECT_EQ(leaves.stats.levels, 1u);
  ASSERT_EQ(leaves.front.size(), 1u);
  EXPECT_EQ(leaves.front[0].formula, reported.front());
}

// A memory limit below what a search needs cuts one level to its first
// candidates and ends the search there: the levels before are untouched, the
// tracked bytes stay within the limit, and the cut does not depend on the
// thread count.
TEST(SearchFront, AMemoryLimitCutsALevelToItsFirstCandidates) {
  int limited = 0;
  for (std::uint64_t seed = 0; seed < 24; ++seed) {
    Problem p = random_problem(seed);
    p.config.precision_goal = -1.0;  // every level runs
    std::vector<std::pair<std::size_t, std::size_t>> full_levels, levels;
    SearchHooks hooks;
    hooks.on_level = [&](const LevelInfo& info) { levels.emplace_back(info.generated, info.scored); };
    const SearchOutcome full = search_front(p.columns, p.target, p.config, &hooks);
    full_levels = std::exchange(levels, {});
    if (full.stats.levels < 4) continue;
    for (const std::size_t limit : {full.stats.peak_bytes / 2, full.stats.peak_bytes * 9 / 10}) {
      const std::string where = "seed " + std::to_string(seed) + " limit " + std::to_string(limit);
      SearchConfig cfg = p.config;
      cfg.memory_limit = limit;
      const SearchOutcome out = search_front(p.columns, p.target, cfg, &hooks);
      ++limited;
      EXPECT_TRUE(out.memory_limited && !out.stopped) << where;
      EXPECT_LE(out.stats.peak_bytes, limit) << where;
      expect_consistent(out, p, where);
      ASSERT_FALSE(levels.empty()) << where;
      ASSERT_LE(levels.size(), full_levels.size()) << where;
      const std::size_t cut = levels.size() - 1;
      for (std::size_t i = 0; i < cut; ++i) EXPECT_EQ(levels[i], full_levels[i]) << where << " level " << i;
      EXPECT_LT(levels[cut].second, full_levels[cut].second) << where;
      EXPECT_LE(levels[cut].first, full_levels[cut].first) << where;
      levels.clear();
      vek::par::ThreadLimit one(1);
      const SearchOutcome serial = search_front(p.columns, p.target, cfg, &hooks);
      levels.clear();
      expect_same_records(serial.front, out.front, where + " serial");
      EXPECT_EQ(serial.best->formula, out.best->formula) << where;
      EXPECT_EQ(serial.stats.scored, out.stats.scored) << where;
    }
  }
  EXPECT_GT(limited, 8);
}

// A stop while a level is scored keeps the scores of the chunks finished
// before it, exactly as a whole run scores them.
TEST(ScoreCandidates, AStopKeepsTheChunksScoredBeforeIt) {
  const Columns cols{{0.3, 1.7, -2.9, 4.1, 0.5}, {1.0, 2.0, 3.0, 4.0, -0.25}};
  const std::vector<double> y{1.0, -2.0, 0.5, 3.0, 2.0};
  Beam beam(cols, SIZE_MAX);
  beam.add_leaf(Expr{{Node::var(0)}}, Probes{});
  beam.add_leaf(Expr{{Node::var(1)}}, Probes{});
  beam.add_leaf(Expr{{Node::constant(1.0)}}, Probes{});
  std::vector<Cand> cands;
  for (const Op op : {Op::Add, Op::Sub, Op::Mul, Op::Div, Op::Exp, Op::Ln, Op::Sqrt}) {
    for (std::uint32_t a = 0; a < 3; ++a) {
      for (std::uint32_t b = 0; b < 3; ++b) cands.push_back(Cand{a, b, op});
    }
  }
  const Target target{y.data(), y.size(), static_cast<double>(y.size())};
  ScorePlan plan;
  plan.keep = 4;
  plan.chunk = 5;
  plan.least = kInf;
  plan.goal = -1.0;
  const Scores whole = score_candidates(beam, cands, target, 0.001, plan);
  ASSERT_FALSE(whole.stopped);
  for (const std::size_t stop_at : {5u, 20u, 45u}) {
    double told = kNaN;
    plan.on_chunk = [&](std::size_t done, double least_loss) {
      told = least_loss;
      if (done >= stop_at) throw vek::Interrupted();
    };
    const Scores part = score_candidates(beam, cands, target, 0.001, plan);
    ASSERT_TRUE(part.stopped);
    ASSERT_EQ(part.size(), stop_at);
    double least = kInf;
    for (std::size_t i = 0; i < stop_at; ++i) {
      ASSERT_EQ(part.ok[i], whole.ok[i]) << i;
      if (!part.ok[i]) continue;
      EXPECT_EQ(bits(part.error[i]), bits(whole.error[i])) << i;
      EXPECT_EQ(bits(part.loss[i]), bits(whole.loss[i])) << i;
      least = std::min(least, part.loss[i]);
    }
    EXPECT_EQ(told, least) << stop_at;
  }
}

}  // namespace

// Scoring levels elsewhere: a replica rebuilt from the caller's log scores
// every candidate as the caller would, so a search whose levels are scored
// in shuffled chunks, by fresh or long-lived replicas, equals the local one.
#include "builders.hpp"

#include <algorithm>
#include <memory>
#include <random>

#include "vek/common/panic.hpp"
#include "vek/discover/constants.hpp"
#include "vek/discover/remote.hpp"

using namespace vek::test;
using vek::discover::RemoteLevel;
using vek::discover::Replica;

namespace {

struct Problem {
  std::vector<std::vector<double>> columns;
  std::vector<double> target;
  vek::discover::SearchConfig config;
};

// Laws with constants on 3 to 600 rows (past 256 the fits use a sample).
Problem problem(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  const auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const auto real = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
  const int n_cols = uni(1, 3), rows = uni(0, 1) ? uni(3, 40) : uni(257, 600), law = uni(0, 3);
  Problem p{std::vector<std::vector<double>>(n_cols), {}, config(uni(3, 6), 0)};
  for (auto& c : p.columns)
    for (int r = 0; r < rows; ++r) c.push_back(real(0.2, 3.0));
  for (int i = 0; i < rows; ++i) {
    const double x0 = p.columns[0][i], x1 = p.columns[n_cols > 1][i];
    const double laws[] = {std::exp(-0.7 * x0) * 3.0, x0 * x1 + 0.4, 1.0 / (x0 + 0.5), std::sin(1.3 * x1) * x0};
    p.target.push_back(laws[law] + 0.01 * real(-1.0, 1.0));
  }
  static const std::uint64_t widths[] = {8, 16, 40, 120};
  p.config.beam_width = widths[uni(0, 3)];
  p.config.complexity_penalty = 0.01;
  return p;
}

}  // namespace

TEST(Remote, LevelsScoredByReplicasEqualTheLocalSearch) {
  for (std::uint64_t k = 0; k < 40 && !HasFailure(); ++k) {
    const Problem p = problem(9100 + k);
    vek::discover::detail::ConstantsTuning tuning;
    tuning.column_cache_bytes = (k % 3) * p.columns[0].size() * sizeof(double);  // some members re-evaluated
    const auto want =
        vek::discover::detail::search_constants_tuned(p.columns, p.target, p.config, {4}, nullptr, tuning);

    std::mt19937_64 rng(k);
    std::vector<std::string> batches;
    std::unique_ptr<Replica> kept;
    std::size_t elsewhere = 0;
    vek::discover::SearchHooks hooks;
    hooks.score_level = [&](const RemoteLevel& level) -> std::optional<std::string> {
      batches.emplace_back(level.members);
      if (rng() % 4 == 0) return std::nullopt;  // this level here
      ++elsewhere;
      // A long-lived replica gets the new batch; a fresh one every batch so far.
      std::unique_ptr<Replica> fresh;
      Replica* r = kept.get();
      if (r == nullptr || rng() % 2 == 0) {
        fresh = std::make_unique<Replica>(p.columns, p.target, level.setup);
        r = fresh.get();
        for (const std::string& b : batches) r->extend(b);
      } else {
        r->extend(batches.back());
        r->extend(batches.back());  // a batch applied twice changes nothing
      }
      EXPECT_EQ(r->size(), level.beam_size);
      // Chunks of random sizes, scored in shuffled order.
      std::vector<std::pair<std::size_t, std::size_t>> chunks;
      for (std::size_t from = 0; from < level.count;) {
        const std::size_t to = std::min(level.count, from + 1 + rng() % 50);
        chunks.emplace_back(from, to);
        from = to;
      }
      std::shuffle(chunks.begin(), chunks.end(), rng);
      std::string out(level.count * vek::discover::kScoreBytes, '\0');
      for (auto [from, to] : chunks) {
        const std::string s =
            r->score(level.cands.substr(from * vek::discover::kCandBytes, (to - from) * vek::discover::kCandBytes));
        out.replace(from * vek::discover::kScoreBytes, s.size(), s);
      }
      if (!kept || fresh) kept = std::move(fresh);
      return out;
    };
    const auto got = vek::discover::detail::search_constants_tuned(p.columns, p.target, p.config, {4}, &hooks, tuning);
    const std::string what = "problem " + std::to_string(9100 + k);
    expect_same(got.best, want.best, what + " best");
    ASSERT_EQ(got.front.size(), want.front.size()) << what;
    for (std::size_t i = 0; i < got.front.size(); ++i) expect_same(got.front[i], want.front[i], what + " front");
    EXPECT_EQ(got.stats.scored, want.stats.scored) << what;
    if (k == 0) {
      EXPECT_GT(elsewhere, 0u);
    }
  }
}

TEST(Remote, StopsAndMalformedInput) {
  const Problem p = problem(77);
  vek::discover::SearchHooks hooks;
  std::string setup, members, cands;
  std::size_t levels = 0;
  hooks.score_level = [&](const RemoteLevel& level) -> std::optional<std::string> {
    setup = level.setup;
    members = level.members;
    cands = level.cands;
    ++levels;
    throw vek::Interrupted();  // the scorers are gone
  };
  auto cfg = p.config;
  cfg.max_complexity = 6;
  const auto out = vek::discover::search_constants(p.columns, p.target, cfg, {4}, &hooks);
  EXPECT_TRUE(out.stopped);
  EXPECT_EQ(levels, 1u);
  EXPECT_EQ(out.stats.levels, 1u);  // the leaves
  EXPECT_TRUE(out.best.has_value());

  // The request held every member so far.
  Replica r(p.columns, p.target, setup);
  r.extend(members);
  EXPECT_NO_THROW(r.score(cands));
  EXPECT_THROW(Replica(p.columns, p.target, setup.substr(1)), vek::Panic);
  auto other = p.columns;
  other.pop_back();
  other.push_back(std::vector<double>(p.columns[0].size() + 1, 1.0));
  EXPECT_THROW(Replica(other, p.target, setup), vek::Panic);
  Replica empty(p.columns, p.target, setup);
  EXPECT_THROW(empty.score(cands), vek::Panic);  // names members it does not hold
  EXPECT_THROW(r.score(cands.substr(1)), vek::Panic);
  EXPECT_THROW(r.extend(members.substr(0, members.size() - 1)), vek::Panic);
  std::string gap = members;
  gap[0] = 1;  // starts past the members held
  EXPECT_THROW(empty.extend(gap), vek::Panic);
  std::vector<vek::discover::ShapeScore> scores;
  EXPECT_THROW(vek::discover::decode_scores(std::string(49, '\0'), 1, scores), vek::Panic);
}

// Continuing a search: an earlier search's beam seeds a later one.
#include "builders.hpp"

#include <cmath>

#include "vek/discover/constants.hpp"

using namespace vek::test;
using vek::discover::LevelInfo;
using vek::discover::SearchConfig;
using vek::discover::SearchHooks;
using vek::discover::SearchOutcome;

namespace {

using Columns = std::vector<std::vector<double>>;

std::vector<std::string> texts(const std::vector<std::vector<Node>>& members, std::size_t count) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < count && i < members.size(); ++i) out.push_back(Expr{members[i]}.to_string());
  return out;
}

}  // namespace

// Seeds join the beam after the leaves in their order, each function once:
// repeats, members equal to a leaf, and members the search cannot hold are
// left out. So a continued search's beam starts with the earlier beam.
TEST(Seed, JoinsAfterTheLeavesOnceEach) {
  Columns columns(2);
  std::vector<double> y;
  for (int i = 0; i < 30; ++i) {
    columns[0].push_back(0.5 + 0.1 * i);
    columns[1].push_back(2.0 - 0.05 * i);
    y.push_back(columns[0][i] * std::sin(columns[1][i]) + std::sqrt(columns[0][i]) + 0.01 * std::cos(7.0 * i));
  }
  for (const bool constants : {false, true}) {
    SCOPED_TRACE(constants ? "constants" : "plain");
    SearchConfig c;
    c.max_complexity = 4;
    c.beam_width = 200;
    const auto run = [&](const SearchConfig& config, const SearchHooks* hooks) {
      return constants ? vek::discover::search_constants(columns, y, config, {4}, hooks)
                       : vek::discover::search_front(columns, y, config, hooks);
    };
    const SearchOutcome first = run(c, nullptr);
    ASSERT_GT(first.beam.size(), 3u);

    SearchConfig warm = c;
    warm.max_complexity = 5;
    warm.seed = first.beam;
    warm.seed.push_back(first.beam[1]);                                             // a repeat
    warm.seed.push_back({X(), C(0.0), O(Op::Add)});                                 // the leaf x
    warm.seed.push_back({Node::var(2), X(), O(Op::Mul)});                           // no such variable
    warm.seed.push_back({X(), O(Op::Mul)});                                         // not one expression
    warm.seed.push_back({X(), X(), O(Op::Mul), X(), O(Op::Mul), X(), O(Op::Mul)});  // past the budget
    std::size_t leaf_scored = 0;
    SearchHooks hooks;
    hooks.on_level = [&](const LevelInfo& info) {
      if (info.level == 0) leaf_scored = info.scored;
    };
    const SearchOutcome second = run(warm, &hooks);
    EXPECT_EQ(texts(second.beam, first.beam.size()), texts(first.beam, first.beam.size()));
    if (!constants) {                                 // with constants the power blocks come back as blocks, not seeds
      EXPECT_EQ(leaf_scored, 4 + first.beam.size());  // 0, 1, x, y and each member
      ASSERT_TRUE(second.best && first.best);
      EXPECT_LE(second.best->error, first.best->error);
    }
  }
}

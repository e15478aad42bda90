// The search with fitted constants: family keys (dedup of shapes with
// constants), the fitter, and the search's thread-count independence.
#include "builders.hpp"

#include <numbers>
#include <random>

#include "reference_constants.hpp"

#include "vek/common/parallel.hpp"
#include "vek/discover/constants.hpp"
#include "vek/discover/family.hpp"
#include "vek/discover/fit.hpp"
#include "vek/discover/shape_score.hpp"
#include "vek/discover/starts.hpp"

using namespace vek::test;
using vek::discover::ProbeBits;

namespace {

Node P(std::size_t i) { return Node::param(i, 0.0); }

// The family key of an expression over two variables, its constants at
// their probe values; none when a probe fails.
std::optional<ProbeBits> family_of(const Expr& e, std::size_t n_vars = 2) {
  vek::discover::Probes values;
  vek::discover::FamilyScratch scratch;
  if (!vek::discover::family_probes(e, n_vars, 16, values, scratch)) return std::nullopt;
  return vek::discover::family_key(values);
}

ProbeBits key(std::vector<Node> nodes) {
  const auto k = family_of(expr(std::move(nodes)));
  EXPECT_TRUE(k.has_value());
  return k.value_or(ProbeBits{});
}

}  // namespace

TEST(Family, ShapesOfOneFamilyShareAKey) {
  // Each group: one family under a*g + b with free constants; every group differs from every other.
  const std::vector<std::vector<std::vector<Node>>> groups = {
      {{X()},
       {P(0), X(), O(Op::Mul)},
       {X(), P(0), O(Op::Mul)},
       {X(), X(), O(Op::Add), C(1.0), O(Op::Add)},
       {P(0), P(1), X(), O(Op::Mul), O(Op::Mul)},
       {X(), O(Op::Neg)},
       {X(), P(0), O(Op::Add)}},
      {{C(1.0)},
       {P(0)},
       {P(0), P(1), O(Op::Add)},
       {X(), X(), O(Op::Sub)},  // sin²x + cos²x: 1 up to rounding
       {X(), O(Op::Sin), X(), O(Op::Sin), O(Op::Mul), X(), O(Op::Cos), X(), O(Op::Cos), O(Op::Mul), O(Op::Add)}},
      {{P(0), X(), O(Op::Mul), O(Op::Exp)}, {X(), P(0), O(Op::Mul), O(Op::Exp)}},
      {{X(), O(Op::Exp)}, {X(), C(1.0), O(Op::Add), O(Op::Exp)}},
      {{Y()}, {Y(), C(3.0), O(Op::Div)}},
      {{X(), Y(), O(Op::Mul)}, {Y(), X(), O(Op::Mul), P(0), O(Op::Mul)}},
      {{X(), Y(), O(Op::Add)}},
      {{X(), Y(), P(0), O(Op::Mul), O(Op::Add)}, {Y(), P(0), O(Op::Mul), X(), O(Op::Add)}},
  };
  std::vector<ProbeBits> firsts;
  for (const auto& g : groups) {
    const ProbeBits k = key(g[0]);
    for (const auto& other : g) EXPECT_EQ(key(other), k) << expr(other).to_string();
    for (const ProbeBits& f : firsts) EXPECT_NE(f, k) << expr(g[0]).to_string();
    firsts.push_back(k);
  }
  // The constant family is the all-zero key; a failing probe gives none.
  EXPECT_EQ(key({P(0), P(1), O(Op::Add)}), ProbeBits{});
  EXPECT_FALSE(family_of(expr({X(), O(Op::Neg), O(Op::Ln)}), 1));
}

TEST(Fitter, RecoversKnownConstants) {
  std::vector<std::vector<double>> cols{{}};
  for (int i = 0; i < 40; ++i) cols[0].push_back(-2.0 + 0.1 * i);
  const auto data = [&](auto f) {
    std::vector<double> y;
    for (double x : cols[0]) y.push_back(f(x));
    return y;
  };
  const struct {
    std::vector<Node> shape;
    std::vector<double> start, want;
    std::vector<double> y;
  } cases[] = {
      // exp(c*x) as 3 exp(-x/2) + 1: the outer scale and offset in closed form
      {{P(0), X(), O(Op::Mul), O(Op::Exp)}, {1.0}, {-0.5}, data([](double x) {
         return 3.0 * std::exp(-0.5 * x) + 1.0;
       })},
      // x / (x + c) from the other side of the answer; two constants: exp(c0 * x) * (x + c1)
      {{X(), X(), P(0), O(Op::Add), O(Op::Div)}, {4.0}, {2.7}, data([](double x) { return x / (x + 2.7); })},
      {{P(0), X(), O(Op::Mul), O(Op::Exp), X(), P(1), O(Op::Add), O(Op::Mul)},
       {-1.0, 2.5},
       {-0.7, std::numbers::pi},
       data([](double x) { return -2.0 * std::exp(-0.7 * x) * (x + std::numbers::pi); })},
  };
  for (const auto& c : cases) {
    const vek::discover::Target t{c.y.data(), c.y.size(), static_cast<double>(c.y.size())};
    const auto stats = vek::discover::TargetStats::of(t);
    vek::discover::Fitter fitter(cols[0].size(), t, stats);
    auto prog = vek::discover::compile(c.shape, cols);
    ASSERT_TRUE(prog);
    std::vector<double> p = c.start;
    const double sse = fitter.fit(*prog, p, 50);
    EXPECT_LT(sse, 1e-20) << expr(c.shape).to_string();
    for (std::size_t j = 0; j < p.size(); ++j) EXPECT_NEAR(p[j], c.want[j], 1e-9) << expr(c.shape).to_string();
    // The program's values are the expression's, bit for bit.
    ASSERT_TRUE(fitter.eval(*prog, p.data(), false));
    const auto direct = expr(c.shape).eval_batch(cols, p);
    EXPECT_TRUE(direct && SameSeq(std::vector<double>(fitter.values(), fitter.values() + direct->size()), *direct));
  }
}

// ---- agreement with the plain reference ----

namespace {

struct ConstantsProblem {
  std::vector<std::vector<double>> columns;
  std::vector<double> target;
  vek::discover::SearchConfig config;
  std::size_t max_params;
};

// Small problems: laws with constants, noisy or not, targets of any scale,
// every option, budget and width.
ConstantsProblem constants_problem(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  const auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const auto real = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
  const int n_cols = uni(1, 3), rows = uni(3, 40), law = uni(0, 5);
  ConstantsProblem p{std::vector<std::vector<double>>(n_cols), {}, config(uni(1, 6), 0), std::size_t(uni(2, 4))};
  for (auto& c : p.columns)
    for (int r = 0; r < rows; ++r) c.push_back(real(0.2, 3.0));
  static const double scales[] = {1.0, 3.5, -0.25, 1e-19, 7e150};
  const double s = scales[uni(0, 4)], noise = uni(0, 2) == 0 ? 0.01 : 0.0;
  for (int i = 0; i < rows; ++i) {
    const double x0 = p.columns[0][i], x1 = p.columns[n_cols > 1][i];
    const double laws[] = {2.5 * x0 + 0.3,          x0 * x1,        std::exp(-0.7 * x0), 1.0 / (x0 + 0.5),
                           std::sin(1.3 * x1) * x0, real(-1.0, 1.0)};
    p.target.push_back(s * (laws[law] + noise * real(-1.0, 1.0)));
  }
  static const std::uint64_t widths[] = {0, 4, 8, 16, 40};
  static const double penalties[] = {0.01, 0.0, 0.001, 0.05}, goals[] = {1e-10, 0.0, 1e-3};
  p.config.beam_width = widths[uni(0, 4)];
  p.config.use_trig = uni(0, 1) == 1;
  p.config.use_vek = uni(0, 3) == 0;
  p.config.complexity_penalty = penalties[uni(0, 3)];
  p.config.precision_goal = goals[uni(0, 2)];
  return p;
}

}  // namespace

TEST(SearchConstants, SameBestAndFrontAsTheReference) {
  EXPECT_THROW(vek::discover::search_constants({{1.0, 2.0}}, {1.0, 2.0}, config(3), {.max_params = 1}), vek::Panic);
  for (int k = 0; k < 120 && !HasFailure(); ++k) {
    const ConstantsProblem p = constants_problem(424200 + k);
    vek::discover::detail::ConstantsTuning tuning;
    tuning.column_cache_bytes = (k % 3) * p.columns[0].size() * sizeof(double);  // some members re-evaluated
    const auto got = k % 2 == 0 ? vek::discover::search_constants(p.columns, p.target, p.config, {p.max_params})
                                : vek::discover::detail::search_constants_tuned(p.columns, p.target, p.config,
                                                                                {p.max_params}, nullptr, tuning);
    const auto want = vek::discover::reference::search_constants(p.columns, p.target, p.config, p.max_params);
    const std::string what = "problem " + std::to_string(424200 + k);
    expect_same(got.best, want.best, what + " best");
    ASSERT_EQ(got.front.size(), want.front.size()) << what;
    for (std::size_t i = 0; i < got.front.size(); ++i) expect_same(got.front[i], want.front[i], what + " front");
  }
}

TEST(SearchConstants, SimplestExactFitWins) {
  std::vector<std::vector<double>> cols{{}};
  for (int i = 0; i < 60; ++i) cols[0].push_back(0.5 + 0.05 * i);
  // An exact law met at complexities 4 and 6 (exp(c·x)·x with c = 1) under
  // no penalty: the simpler wins, and the front holds no second exact row.
  std::vector<double> y;
  for (double x : cols[0]) y.push_back(std::exp(x) * x);
  const auto out = vek::discover::search_constants(cols, y, config(6), {});
  auto cfg = config(6);
  cfg.complexity_penalty = 0.0;
  const auto zero = vek::discover::search_constants(cols, y, cfg, {});
  ASSERT_TRUE(zero.best);
  EXPECT_EQ(zero.best->formula, "(exp(x) * x)");
  EXPECT_EQ(zero.front.back().formula, "(exp(x) * x)");
  EXPECT_EQ(out.best->formula, "(exp(x) * x)");
}

TEST(SearchConstants, StartingValuesAndPolish) {
  // Starting values of a new constant: exp(c·g) spans c·g over ±0.3, ±1 and
  // ±3; sin(c·g) and cos(c·g) put phases 1.5 rad apart across the rows; a
  // shift keeps g + c above zero (and below, for a pole at zero).
  using vek::discover::Cand, vek::discover::Lift;
  const std::vector<double> g{-1.0, 0.5, 2.0}, y{1.0, 2.0, 3.0};
  const vek::discover::Target t{y.data(), y.size(), 3.0};
  const auto ts = vek::discover::TargetStats::of(t);
  const auto starts = [&](Op op, Lift lift) {
    const auto s = vek::discover::start_values(Cand{0, 0, op, lift}, g.data(), g.data(), g.size(), t, ts);
    return std::vector<double>(s.data(), s.data() + s.size());
  };
  EXPECT_TRUE(SameSeq(starts(Op::Exp, Lift::ScaleA), std::vector<double>{1.0, -0.5, 1.5, -1.5, 0.15, -0.15}));
  std::vector<double> phases{1.0};
  for (int k = 1; k <= 8; ++k) phases.push_back(1.5 * k / 3.0);
  EXPECT_TRUE(SameSeq(starts(Op::Sin, Lift::ScaleA), phases));
  EXPECT_TRUE(SameSeq(starts(Op::Cos, Lift::ScaleA), phases));
  EXPECT_TRUE(SameSeq(starts(Op::Sqrt, Lift::ShiftA), std::vector<double>{0.0, 1.3, 4.0, 31.0}));
  EXPECT_TRUE(SameSeq(starts(Op::Inv, Lift::ShiftA), std::vector<double>{0.0, 1.3, 4.0, 31.0, -2.3, -5.0}));
  EXPECT_TRUE(SameSeq(starts(Op::Ln, Lift::ReflectA), std::vector<double>{2.3, 5.0, 32.0}));

  // With more rows than the fits' sample, a full fit made on the sample
  // takes a few more steps on all rows; its result is taken only when it
  // ranks better, so a polish never worsens a record.
  std::vector<std::vector<double>> cols{{}};
  std::vector<double> big;
  for (int i = 0; i < 700; ++i) {
    cols[0].push_back(0.1 + 0.004 * i);
    big.push_back(std::exp(-1.3 * cols[0].back()) + 0.001 * std::sin(37.0 * i));
  }
  const vek::discover::Target bt{big.data(), big.size(), static_cast<double>(big.size())};
  const auto bs = vek::discover::TargetStats::of(bt);
  vek::discover::Beam beam(cols, 1 << 20);
  vek::discover::Probes p{};
  beam.add_leaf(expr({X()}), p);
  const vek::discover::ShapeScorer scorer(beam, cols, bt, bs, 0.01, {});
  vek::discover::ShapeScorer::Work w(scorer);
  for (const Cand c :
       {Cand{0, 0, Op::Exp, Lift::ScaleA}, Cand{0, 0, Op::Inv, Lift::ShiftA}, Cand{0, 0, Op::Sin, Lift::ScaleA}}) {
    const auto cheap = scorer.cheap(c, w);
    ASSERT_TRUE(cheap.ok);
    const auto full = scorer.full(c, cheap, w);
    const auto base = full ? full->first : cheap;
    std::vector<double> theta = full ? full->second : std::vector<double>{cheap.c};
    const auto polished = scorer.polish(c, base, theta, w);
    if (polished) {
      EXPECT_LT(polished->first.rank, base.rank);
    }
  }
}

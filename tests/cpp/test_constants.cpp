// The search with fitted constants: family keys (dedup of shapes with
// constants), the fitter, and the search's thread-count independence.
#include "builders.hpp"

#include <numbers>

#include "vek/common/parallel.hpp"
#include "vek/discover/constants.hpp"
#include "vek/discover/family.hpp"
#include "vek/discover/fit.hpp"

using namespace vek::test;
using vek::discover::ProbeBits;

namespace {

Node P(std::size_t i) { return Node::param(i, 0.0); }

// The family key of an expression over two variables, its constants at
// their probe values; none when a probe fails.
std::optional<ProbeBits> family_of(const Expr& e, std::size_t n_vars = 2) {
  std::vector<double> params(16), point(n_vars);
  for (std::size_t j = 0; j < params.size(); ++j) params[j] = vek::discover::family_param_probe(j);
  vek::discover::Probes values;
  for (std::size_t k = 0; k < vek::discover::kProbeCount; ++k) {
    for (std::size_t i = 0; i < n_vars; ++i) point[i] = vek::discover::family_var_probe(k, i);
    const std::optional<double> v = e.eval(point, params);
    if (!v || !std::isfinite(*v)) return std::nullopt;
    values[k] = *v;
  }
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
      {{X()}, {P(0), X(), O(Op::Mul)}, {X(), P(0), O(Op::Mul)}, {X(), X(), O(Op::Add), C(1.0), O(Op::Add)},
       {P(0), P(1), X(), O(Op::Mul), O(Op::Mul)}, {X(), O(Op::Neg)}, {X(), P(0), O(Op::Add)}},
      {{C(1.0)}, {P(0)}, {P(0), P(1), O(Op::Add)}, {X(), X(), O(Op::Sub)},  // sin²x + cos²x: 1 up to rounding
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
  const struct { std::vector<Node> shape; std::vector<double> start, want; std::vector<double> y; } cases[] = {
      // exp(c*x) as 3 exp(-x/2) + 1: the outer scale and offset in closed form
      {{P(0), X(), O(Op::Mul), O(Op::Exp)}, {1.0}, {-0.5},
       data([](double x) { return 3.0 * std::exp(-0.5 * x) + 1.0; })},
      // x / (x + c) from the other side of the answer; two constants: exp(c0 * x) * (x + c1)
      {{X(), X(), P(0), O(Op::Add), O(Op::Div)}, {4.0}, {2.7}, data([](double x) { return x / (x + 2.7); })},
      {{P(0), X(), O(Op::Mul), O(Op::Exp), X(), P(1), O(Op::Add), O(Op::Mul)}, {-1.0, 2.5}, {-0.7, std::numbers::pi},
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

TEST(SearchConstants, SameResultsForAnyThreadCount) {
  std::vector<std::vector<double>> cols{{}, {}};
  std::vector<double> y;
  for (int i = 0; i < 300; ++i) {
    cols[0].push_back(0.5 + 0.01 * i);
    cols[1].push_back(1.0 + std::fmod(0.37 * i, 2.0));
    y.push_back(std::sin(3.1 * cols[0].back()) / cols[1].back() + std::fmod(0.13 * i, 0.1));  // no exact formula
  }
  const auto run = [&](std::size_t threads) {
    vek::par::ThreadLimit limit(threads);
    return vek::discover::search_constants(cols, y, config(6, 400), {});
  };
  const auto one = run(1), two = run(2);
  expect_same(one.best, two.best, "best");
  ASSERT_EQ(one.front.size(), two.front.size());
  for (std::size_t i = 0; i < one.front.size(); ++i) expect_same(one.front[i], two.front[i], "front");
  EXPECT_FALSE(one.best->params.empty());
  EXPECT_THROW(vek::discover::search_constants(cols, y, config(3), {.max_params = 1}), vek::Panic);
}

// Expressions of the discovery engine: printing, guarded evaluation,
// fingerprints, the seen-set and the parameter optimizer. Batch evaluation,
// and the seen-set under several threads, are covered by the search's
// agreement with the reference search.
#include "builders.hpp"

#include <numbers>

#include "vek/discover/fingerprint.hpp"
#include "vek/discover/optimizer.hpp"
#include "vek/discover/seen_set.hpp"

using namespace vek::test;
using vek::discover::ProbeBits;
using vek::discover::SeenSet;

namespace {

std::optional<ProbeBits> fp(std::vector<Node> nodes, std::uint64_t n_vars = 1) {
  return vek::discover::fingerprint(expr(std::move(nodes)), n_vars);
}

}  // namespace

TEST(Expr, Texts) {
  const struct {
    std::vector<Node> nodes;
    const char* text;
  } cases[] = {
      {{Y(), X(), O(Op::Sub), C(1.0), O(Op::Add), O(Op::Exp), X(), O(Op::Neg), O(Op::Div)},
       "(exp(((y - x) + 1.0000)) / (-x))"},
      {{X(), O(Op::Inv), X(), O(Op::Sqrt), O(Op::Mul), O(Op::Ln), O(Op::Abs)}, "abs(ln(((1/x) * sqrt(x))))"},
      {{X(), O(Op::Sin), X(), O(Op::Cos), O(Op::Vek)}, "vek(sin(x), cos(x))"},
      {{C(std::numbers::pi), C(std::numbers::e), O(Op::Add)}, "(\u03C0 + e)"},
      {{C(std::nextafter(std::numbers::pi, 4.0)), C(-std::numbers::pi), O(Op::Sub)}, "(3.1416 - -3.1416)"},
      {{C(1.03125), C(1.09375)}, "1.0938"},  // two values left: the top one prints (evaluation fails)
      {{C(-0.0), C(0.00015), O(Op::Mul), C(1.03125), C(kNaN), O(Op::Sub), O(Op::Add)},
       "((-0.0000 * 0.0001) + (1.0312 - NaN))"},
      {{C(-kInf), Node::param(12, std::numbers::pi), O(Op::Div)}, "(-inf / c12(3.1416))"},
      {{}, "?"},
      {{X(), O(Op::Add), O(Op::Vek)}, "vek(, ( + x))"},  // operands short: empty texts
  };
  for (const auto& c : cases) EXPECT_EQ(expr(c.nodes).to_string(), c.text);
}

TEST(Expr, GuardedValues) {
  const struct {
    std::vector<Node> nodes;
    std::optional<double> value;
  } cases[] = {
      {{C(-0.0), O(Op::Ln)}, std::nullopt},
      {{C(5e-324), O(Op::Ln)}, -744.4400719213812},
      {{C(-0.0), O(Op::Sqrt)}, -0.0},
      {{C(-1e-20), O(Op::Sqrt)}, {}},
      {{C(-1e-301), O(Op::Inv)}, std::nullopt},
      {{C(1e-300), O(Op::Inv)}, 9.999999999999999e+299},
      {{C(-kInf), O(Op::Inv)}, -0.0},
      {{C(710.0), O(Op::Exp)}, std::nullopt},
      {{C(1.0), C(1e-301), O(Op::Div)}, std::nullopt},
      {{C(1e300), C(1e-10), O(Op::Div)}, std::nullopt},
      {{C(5.0), C(3.0), O(Op::Sub)}, 2.0},
      // vek: its own exp threshold 709.78, the log argument floored like floored_ln
      {{C(709.78), C(1.0), O(Op::Vek)}, 1.7928227943945155e+308},
      {{C(709.781), C(1.0), O(Op::Vek)}, 709.7810000000001},
      {{C(1.0), C(-1e-305), O(Op::Vek)}, 693.4938097266727},
      {{C(1.0), C(5e-324), O(Op::Vek)}, 747.1583537498402},
      {{C(1.0), C(kNaN), O(Op::Vek)}, std::nullopt},
      {{C(kNaN)}, kNaN},
      {{X()}, -kInf},  // leaves are pushed unchecked, operator results must be finite
      {{X(), O(Op::Abs)}, std::nullopt},
      {{Y()}, std::nullopt},
      {{}, std::nullopt},
      {{C(1.0), O(Op::Add)}, {}},
  };
  for (const auto& c : cases) {
    const auto got = expr(c.nodes).eval(std::vector{-kInf}, {});  // x = -inf, no y
    EXPECT_TRUE(got.has_value() == c.value.has_value() && (!got || Same(*got, *c.value))) << expr(c.nodes).to_string();
  }
  Expr deep;  // far more values than a small inline stack holds
  for (int i = 0; i < 401; ++i) deep.nodes.push_back(i < 201 ? X() : O(Op::Add));
  EXPECT_EQ(*deep.eval(std::vector{0.5}, {}), 100.5);
  const Expr scaled = expr({Node::param(1, 2.5), X(), O(Op::Mul)});  // the stored value stands in for a short vector
  EXPECT_EQ(*scaled.eval(std::vector{4.0}, std::vector{7.0}), 10.0);
  EXPECT_EQ(*scaled.eval(std::vector{4.0}, std::vector{7.0, 3.0}), 12.0);
}

TEST(Fingerprint, EqualExactlyWhenTheProbeValuesAre) {
  const struct {
    std::vector<Node> a, b;
    std::uint64_t n_vars;
    bool equal;
  } cases[] = {
      {{X(), C(0.0), O(Op::Add)}, {X()}, 1, true},
      {{X(), Y(), O(Op::Mul)}, {Y(), X(), O(Op::Mul)}, 2, true},
      {{X(), Y(), O(Op::Sub)}, {Y(), X(), O(Op::Sub)}, 2, false},
      {{X(), X(), O(Op::Add)}, {Y()}, 2, true},
      {{C(0.0)}, {C(-0.0)}, 1, false},
      {{C(2.0), O(Op::Exp)}, {C(2.0), O(Op::Exp), C(1.0), O(Op::Mul)}, 0, true},
  };
  for (const auto& c : cases) EXPECT_EQ(*fp(c.a, c.n_vars) == *fp(c.b, c.n_vars), c.equal) << &c - cases;
  for (double c : vek::discover::kProbeMultipliers) {  // 1/(x - c_k) divides by zero exactly at probe k
    EXPECT_FALSE(fp({X(), C(c), O(Op::Sub), O(Op::Inv)})) << c;
    EXPECT_TRUE(fp({X(), C(c + 0.01), O(Op::Sub), O(Op::Inv)})) << c;
  }
  EXPECT_FALSE(fp({X()}, 0) || fp({C(kInf)}));  // no variable at the probes; a non-finite value
}

TEST(SeenSet, InsertReportsWhetherAlreadyPresent) {
  SeenSet s, other;
  ProbeBits all_ones;
  all_ones.fill(~std::uint64_t{0});
  for (const ProbeBits& f : {*fp({C(0.0)}), *fp({C(-0.0)}), all_ones}) {
    EXPECT_FALSE(s.insert(f));
    EXPECT_TRUE(s.insert(f));
  }
  EXPECT_TRUE(s.size() == 3 && !other.insert(all_ones));
  SeenSet single, prehashed;  // 50000 keys: through several rehashes, single and prehashed inserts alike
  for (int round = 0; round < 2; ++round)
    for (int i = 0; i < 50000; i += 1 + round) {
      ProbeBits b{};
      for (int k = 0; k < 5; ++k) b[k] = bits(i * (k + 1) + 0.25);
      ASSERT_TRUE(single.insert(b) == round && prehashed.insert(b, prehashed.hash(b)) == round);
    }
  EXPECT_TRUE(single.size() == 50000 && prehashed.size() == 50000);
}

TEST(Optimizer, FitsAndReportsTheErrorOfTheReturnedVector) {
  const std::vector<std::vector<double>> x{{1.0, 2.0, 3.0, 4.0}};
  const std::vector<double> y{3.0, 6.0, 9.0, 12.0};
  const Expr scaled = expr({Node::param(0, 0.0), X(), O(Op::Mul)}), twice = expr({X(), X(), O(Op::Add)});
  // p0 * x + sqrt(1 - p1): p1 + h fails, so p1 gets a zero Jacobian column and stays
  const Expr root =
      expr({Node::param(0, 0.0), X(), O(Op::Mul), C(1.0), Node::param(1, 0.0), O(Op::Sub), O(Op::Sqrt), O(Op::Add)});
  const struct {
    Expr e;
    std::vector<double> y, initial, params;
    double error;
  } cases[] = {
      {scaled, y, {1.0}, {3.0}, 0.0},
      {scaled, {3.0, 6.0, 9.0, 12.0, 100.0}, {1.0}, {3.0}, 0.0},                      // longer target
      {twice, y, {0.25, -7.5}, {0.25, -7.5}, std::sqrt(30.0 / 4.0)},                  // nothing to fit: one evaluation
      {expr({X()}), {2.0, 2.0, 3.0, 4.0, 10.0, 10.0}, {}, {}, std::sqrt(1.0 / 6.0)},  // the sum stops at row 4
      {scaled, {}, {1.0}, {1.0}, kNaN},
      {expr({X(), O(Op::Neg), O(Op::Ln)}), y, {2.0}, {2.0}, kInf},
      {root, y, {1.0, 1.0}, {3.0, 1.0}, 0.0},
      {root, y, {1.0, 2.0}, {1.0, 2.0}, kInf},
      // a * x + b against 2x - 1 from (1, 0): where the damped steps stop, with the error of that vector
      {expr({Node::param(0, 0.0), X(), O(Op::Mul), Node::param(1, 0.0), O(Op::Add)}),
       {1.0, 3.0, 5.0, 7.0},
       {1.0, 0.0},
       {1.8385192076180734, -0.83847538776505837},
       0.30206776690910064},
  };
  for (const auto& c : cases) {
    const auto [p, err] = vek::discover::optimize(c.e, x, c.y, c.initial);
    EXPECT_TRUE(SameSeq(p, c.params) && Same(err, c.error)) << c.e.to_string() << " error " << err;
  }
}

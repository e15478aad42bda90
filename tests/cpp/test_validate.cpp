// Noisy observations: when they are taken for such, the additive model and
// its cross-validated error, and the selection between it and the search's
// best.
#include "builders.hpp"

#include <cmath>
#include <random>

#include "vek/discover/constants.hpp"
#include "vek/discover/reshape.hpp"
#include "vek/discover/validate.hpp"

using namespace vek::test;
namespace d = vek::discover;

namespace {

using Columns = std::vector<std::vector<double>>;

// 4 variables on [-1, 1] (x3 takes two values) and y = 3·x0 + 2·x1² − x3
// plus Gaussian noise of standard deviation `noise`.
struct Data {
  Columns x;
  std::vector<double> y;
};

Data noisy(std::size_t rows, double noise, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::normal_distribution<double> e(0.0, noise);
  Data data{Columns(4), {}};
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t c = 0; c < 3; ++c) data.x[c].push_back(u(rng));
    data.x[3].push_back(i % 3 == 0 ? 1.0 : -1.0);
    data.y.push_back(3.0 * data.x[0][i] + 2.0 * (data.x[1][i] * data.x[1][i]) - data.x[3][i] + e(rng));
  }
  return data;
}

d::SearchOutcome with_best(d::SearchResult best) {
  d::SearchOutcome out;
  out.best = best;
  out.front = {best};
  return out;
}

d::SearchResult affine_of_x0(const Data& data) {
  // a·x0 + b by least squares: the record a search would hold.
  double mx = 0.0, my = 0.0;
  const auto n = static_cast<double>(data.y.size());
  for (std::size_t i = 0; i < data.y.size(); ++i) {
    mx += data.x[0][i];
    my += data.y[i];
  }
  mx /= n;
  my /= n;
  double sxy = 0.0, sxx = 0.0;
  for (std::size_t i = 0; i < data.y.size(); ++i) {
    sxy += (data.x[0][i] - mx) * (data.y[i] - my);
    sxx += (data.x[0][i] - mx) * (data.x[0][i] - mx);
  }
  const double a = sxy / sxx;
  std::vector<Node> nodes{Node::param(0, a), X(), O(Op::Mul), Node::param(1, my - a * mx), O(Op::Add)};
  const auto values = Expr{nodes}.eval_batch(data.x, std::vector<double>{a, my - a * mx});
  double sse = 0.0;
  for (std::size_t i = 0; i < data.y.size(); ++i) sse += ((*values)[i] - data.y[i]) * ((*values)[i] - data.y[i]);
  const double loss = std::sqrt(sse / n);
  return d::record_of(std::move(nodes), loss, loss);
}

}  // namespace

// Noisy observations are told from a law with measurement noise by how much
// of y's variance the best explains, and need 100 rows.
TEST(NoisyObservations, TakenForSuchOnlyWhenLittleIsExplainedOnEnoughRows) {
  struct Case {
    std::size_t rows;
    double noise;
    bool noisy;
  };
  for (const Case& c : {Case{300, 0.02, false}, Case{300, 3.0, true}, Case{99, 3.0, false}}) {
    const Data data = noisy(c.rows, c.noise, 5);
    // The best holds the whole law but the noise: explained ≈ 1 − noise² / var.
    std::vector<Node> law{Node::param(0, 3.0), X(),        O(Op::Mul), Node::param(1, 2.0),  Y(),
                          Node::power(2.0),    O(Op::Mul), O(Op::Add), Node::param(2, -1.0), Node::var(3),
                          O(Op::Mul),          O(Op::Add)};
    const auto values = Expr{law}.eval_batch(data.x, std::vector<double>{3.0, 2.0, -1.0});
    double sse = 0.0;
    for (std::size_t i = 0; i < c.rows; ++i) sse += ((*values)[i] - data.y[i]) * ((*values)[i] - data.y[i]);
    const double loss = std::sqrt(sse / static_cast<double>(c.rows));
    EXPECT_EQ(d::noisy_observations(with_best(d::record_of(law, loss, loss)), data.y, {}), c.noisy) << c.rows;
  }
}

// The additive model finds the terms of an additive law under heavy noise
// (x1 by its square, the two-valued x3 by itself), its coefficients those of
// least squares on every row, and its cross-validated error is the one
// cross_validated_sse gives for its formula (re-fitted fold by fold).
TEST(AdditiveModel, FindsTheTermsAndAgreesWithTheFoldRefits) {
  const Data data = noisy(400, 1.0, 7);
  const auto model = d::additive_model(data.x, data.y, config(6), 6);
  ASSERT_TRUE(model.has_value());
  // The engine's text names the variables x, y, z, {.
  const std::string f = model->record.formula;
  EXPECT_NE(f.find(" * x)"), std::string::npos) << f;
  EXPECT_NE(f.find("(y ^ 2"), std::string::npos) << f;
  EXPECT_NE(f.find(" * {)"), std::string::npos) << f;
  EXPECT_EQ(f.find("({ ^ 2"), std::string::npos) << f;  // x3 takes two values: no square
  const d::RescoreConfig rescore{0.01, true, true, {}};
  const auto cv = d::cross_validated_sse(model->record, data.x, data.y, rescore);
  ASSERT_TRUE(cv.has_value());
  EXPECT_NEAR(*cv, model->cv_sse, 1e-6 * model->cv_sse);
  // A fold's error is one on rows it was not fitted on: above the fit's own.
  EXPECT_GT(model->cv_sse, model->record.loss * model->record.loss * 400.0);
}

// On noisy observations the additive model replaces a best that predicts
// worse, and stands on the front; a best that predicts as well stays; a
// law's outcome is left alone.
TEST(ValidateNoisy, TheLowerCrossValidatedErrorIsBest) {
  const Data data = noisy(300, 1.0, 3);
  d::SearchOutcome out = with_best(affine_of_x0(data));
  d::validate_noisy(out, data.x, data.y, config(6), 9);
  ASSERT_TRUE(out.validated);
  ASSERT_TRUE(out.best.has_value());
  EXPECT_NE(out.best->formula.find("(y ^ 2"), std::string::npos) << out.best->formula;
  ASSERT_EQ(out.front.size(), 2u);
  EXPECT_EQ(out.front[1].formula, out.best->formula);

  // Without add among the operators there is no additive model: the best
  // stays, selected by validation all the same.
  d::SearchConfig no_add = config(6);
  no_add.binary_ops = std::vector<Op>{Op::Mul, Op::Sub};
  d::SearchOutcome kept = with_best(affine_of_x0(data));
  d::validate_noisy(kept, data.x, data.y, no_add, 9);
  EXPECT_TRUE(kept.validated);
  EXPECT_EQ(kept.best->formula, affine_of_x0(data).formula);

  const Data law = noisy(300, 0.01, 3);
  d::SearchOutcome exact = d::search_reshaped(law.x, law.y, config(6, 400), {9});
  EXPECT_FALSE(exact.validated);
}

TEST(PutOnFront, ReplacesTheRowOfItsComplexityOrGoesInOrder) {
  const auto row = [](std::uint64_t complexity, double loss) {
    d::SearchResult r;
    r.complexity = complexity;
    r.loss = loss;
    return r;
  };
  std::vector<d::SearchResult> front{row(1, 5.0), row(5, 3.0), row(9, 1.0)};
  d::put_on_front(front, row(5, 4.0));
  d::put_on_front(front, row(7, 2.0));
  d::put_on_front(front, row(12, 2.5));
  ASSERT_EQ(front.size(), 5u);
  const std::uint64_t want[] = {1, 5, 7, 9, 12};
  for (std::size_t i = 0; i < front.size(); ++i) EXPECT_EQ(front[i].complexity, want[i]);
  EXPECT_EQ(front[1].loss, 4.0);
}

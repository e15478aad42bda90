#include "vek/discover/optimizer.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "vek/discover/penalised.hpp"

namespace vek::discover {

namespace {

constexpr double kInitialDamping = 0.001;
constexpr double kStep = 1e-6;
constexpr double kTolerance = 1e-12;
constexpr double kDampingFactor = 10.0;
constexpr int kMaxJacobians = 20;

// sqrt(S / |y|), S summed over the common prefix in ascending order.
double rmse_against(const std::vector<double>& predictions, const std::vector<double>& y) {
  const std::size_t m = std::min(predictions.size(), y.size());
  return rmse_of(add_squares(0.0, predictions.data(), y.data(), m), static_cast<double>(y.size()));
}

std::optional<double> error_of(const Expr& expr, const std::vector<std::vector<double>>& columns,
                               const std::vector<double>& y, const std::vector<double>& params) {
  const auto p = expr.eval_batch(columns, params);
  if (!p) return std::nullopt;
  return rmse_against(*p, y);
}

}  // namespace

std::pair<std::vector<double>, double> optimize(const Expr& expr, const std::vector<std::vector<double>>& columns,
                                                const std::vector<double>& y, const std::vector<double>& initial) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::size_t k = initial.size();
  if (k == 0) return {{}, error_of(expr, columns, y, initial).value_or(kInf)};

  std::vector<double> p = initial;
  double err = error_of(expr, columns, y, p).value_or(kInf);
  double lambda = kInitialDamping;
  int passes = 0;

  std::vector<double> r, jac, g(k), d(k), trial(k);
  for (bool first = true;; first = false) {
    if (!first && passes == kMaxJacobians) return {p, err};

    const auto pred = expr.eval_batch(columns, p);
    if (!pred) return {p, err};
    const std::size_t m = std::min(pred->size(), y.size());
    r.resize(m);
    for (std::size_t i = 0; i < m; ++i) r[i] = (*pred)[i] - y[i];

    jac.assign(m * k, 0.0);  // row-major: jac[i * k + j]
    ++passes;
    for (std::size_t j = 0; j < k; ++j) {
      trial = p;
      trial[j] += kStep;
      const auto shifted = expr.eval_batch(columns, trial);
      if (!shifted) continue;
      for (std::size_t i = 0; i < m; ++i) {
        const double ri = (*shifted)[i] - y[i];
        jac[i * k + j] = (ri - r[i]) / kStep;
      }
    }

    for (std::size_t j = 0; j < k; ++j) {
      double gj = 0.0;
      double dj = 0.0;
      for (std::size_t i = 0; i < m; ++i) {
        const double J = jac[i * k + j];
        gj += J * r[i];
        dj += J * J;
      }
      g[j] = gj;
      d[j] = dj;
    }

    for (std::size_t j = 0; j < k; ++j) trial[j] = p[j] - g[j] / (lambda + d[j]);

    const std::optional<double> trial_err = error_of(expr, columns, y, trial);
    if (trial_err && *trial_err < err) {
      p = trial;
      if (*trial_err < kTolerance) return {p, *trial_err};
      err = *trial_err;
      lambda = lambda / kDampingFactor;
    } else {
      if (err < kTolerance) return {p, err};
      lambda = lambda * kDampingFactor;
    }
  }
}

}  // namespace vek::discover

#include "vek/discover/sample.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "vek/discover/affine.hpp"
#include "vek/discover/beam.hpp"
#include "vek/discover/fit.hpp"
#include "vek/discover/normalized.hpp"
#include "vek/discover/penalised.hpp"
#include "vek/discover/rank.hpp"
#include "vek/discover/snap.hpp"
#include "vek/discover/validate.hpp"

namespace vek::discover {

namespace {

using Columns = std::vector<std::vector<double>>;

constexpr double kInf = std::numeric_limits<double>::infinity();
// The re-fit starts near the optimum (the sample's values), so a few steps
// reach it; each step costs one evaluation per constant on every row.
constexpr std::size_t kRefitSteps = 8;
constexpr std::size_t kDampingTries = 6;
constexpr double kStartDamping = 1e-3;
constexpr double kConverged = 1e-10;  // relative fall of the sse that ends the re-fit

// Evaluates one formula's column program on every row; the sse is
// Σ (value·unit − y)² in row order, as snap.cpp computes it.
class Evaluator {
 public:
  Evaluator(const Target& target, const TargetStats& stats)
      : rows_(target.common), target_(target), unit_(stats.unit), fitter_(target.common, target, stats) {}

  // The residuals value·unit − y at p into `out`; false when some row fails.
  bool residuals(const Program& prog, const std::vector<double>& p, std::vector<double>& out) {
    if (!fitter_.eval(prog, p.data(), false)) return false;
    const double* v = fitter_.values();
    out.resize(rows_);
    for (std::size_t i = 0; i < rows_; ++i) out[i] = v[i] * unit_ - target_.y[i];
    // Weighted least squares: each residual scaled by sqrt(w), which scales
    // the Jacobian's rows (differences of residuals) alike.
    if (target_.w != nullptr) {
      for (std::size_t i = 0; i < rows_; ++i) out[i] *= std::sqrt(target_.w[i]);
    }
    return true;
  }

  // The sse at p; +inf when some row fails.
  double sse(const Program& prog, const std::vector<double>& p) {
    if (!fitter_.eval(prog, p.data(), false)) return kInf;
    const double* v = fitter_.values();
    double s = 0.0;
    if (const double* w = target_.w) {
      for (std::size_t i = 0; i < rows_; ++i) {
        const double e = v[i] * unit_ - target_.y[i];
        s += (e * e) * w[i];
      }
      return s;
    }
    for (std::size_t i = 0; i < rows_; ++i) {
      const double e = v[i] * unit_ - target_.y[i];
      s += e * e;
    }
    return s;
  }

  // Levenberg–Marquardt from p (forward-difference Jacobian, Marquardt's
  // diagonal damping, normal equations summed in row order): p moves only
  // when the sse falls. Returns the sse at the final p.
  double refit(const Program& prog, std::vector<double>& p, double sse) {
    const std::size_t k = p.size();
    std::vector<double> r, shifted, jac(k * rows_), a(k * k), g(k), m(k * k), rhs(k), step(k), trial;
    double lambda = kStartDamping;
    for (std::size_t pass = 0; pass < kRefitSteps && std::isfinite(sse) && sse > 0.0; ++pass) {
      if (!residuals(prog, p, r)) break;
      for (std::size_t j = 0; j < k; ++j) {
        trial = p;
        trial[j] += 1.4901161193847656e-08 * std::fmax(std::fabs(p[j]), 1.0);
        const double h = trial[j] - p[j];
        double* col = jac.data() + j * rows_;
        if (!residuals(prog, trial, shifted)) {
          std::fill(col, col + rows_, 0.0);
          continue;
        }
        for (std::size_t i = 0; i < rows_; ++i) col[i] = (shifted[i] - r[i]) / h;
      }
      for (std::size_t j = 0; j < k; ++j) {
        const double* cj = jac.data() + j * rows_;
        double gj = 0.0;
        for (std::size_t i = 0; i < rows_; ++i) gj += cj[i] * r[i];
        g[j] = gj;
        for (std::size_t l = 0; l <= j; ++l) {
          const double* cl = jac.data() + l * rows_;
          double s = 0.0;
          for (std::size_t i = 0; i < rows_; ++i) s += cj[i] * cl[i];
          a[j * k + l] = a[l * k + j] = s;
        }
      }
      bool moved = false;
      double fall = 0.0;
      for (std::size_t t = 0; t < kDampingTries; ++t, lambda *= 10.0) {
        m = a;
        for (std::size_t j = 0; j < k; ++j) {
          m[j * k + j] += lambda * (a[j * k + j] > 0.0 ? a[j * k + j] : 1.0);
          rhs[j] = -g[j];
        }
        if (!solve_linear(m.data(), rhs.data(), k, step.data())) continue;
        trial = p;
        for (std::size_t j = 0; j < k; ++j) trial[j] += step[j];
        const double s = this->sse(prog, trial);
        if (s < sse) {
          fall = (sse - s) / sse;
          p = std::move(trial);
          sse = s;
          lambda = std::fmax(lambda / 10.0, 1e-12);
          moved = true;
          break;
        }
      }
      if (!moved || fall < kConverged) break;
    }
    return sse;
  }

 private:
  std::size_t rows_;
  const Target& target_;
  double unit_;
  Fitter fitter_;
};

// The loss and error of a plain formula on every row; nullopt when it fails
// on some row.
std::optional<SearchResult> plain_rescored(const SearchResult& r, const Columns& columns, const Target& target,
                                           double penalty) {
  auto values = r.expr.eval_batch(columns, r.params);
  if (!values) return std::nullopt;
  const double loss = rmse_of(target_squares(values->data(), target), target.length);
  SearchResult out = r;
  out.loss = loss;
  out.error = penalised(loss, complexity_factor(penalty, r.complexity));
  return out;
}

// Without fitted constants: the best is the lowest error, the simpler and
// then the earlier among equals; the front one row per complexity (the
// lowest loss, the earlier among equals) with losses strictly falling.
void select_plain(SearchOutcome& out, std::vector<SearchResult> all) {
  out.best.reset();
  out.front.clear();
  if (all.empty()) return;
  std::size_t best = 0;
  for (std::size_t i = 1; i < all.size(); ++i) {
    if (error_before(all[i].error, all[best].error) ||
        (!error_before(all[best].error, all[i].error) && all[i].complexity < all[best].complexity)) {
      best = i;
    }
  }
  out.best = all[best];
  std::stable_sort(all.begin(), all.end(),
                   [](const SearchResult& a, const SearchResult& b) { return a.complexity < b.complexity; });
  for (SearchResult& r : all) {
    if (std::isnan(r.loss)) continue;
    if (!out.front.empty() && out.front.back().complexity == r.complexity) {
      if (!(r.loss < out.front.back().loss)) continue;
      out.front.pop_back();
    }
    if (!out.front.empty() && !(r.loss < out.front.back().loss)) continue;
    out.front.push_back(std::move(r));
  }
}

// Formulas with fitted constants scored on every row as the search with
// fitted constants scores them, so that losses and snapping agree with the
// search's own bit for bit: constants re-fitted (when config.refit), loss
// and error of the formula as evaluated.
class Rescorer {
 public:
  Rescorer(const std::vector<double>& target, const RescoreConfig& config)
      : config_(config),
        scaled_(target, target.size()),
        t_(target_of(scaled_.y.data(), scaled_.y.size(), scaled_.y.size(), config.weights)),
        stats_(TargetStats::of(t_, scaled_.unit)),
        eval_(t_, stats_) {}

  SnapData snap_data(const Columns& columns) const {
    return SnapData{columns, t_, stats_, scaled_.scale, config_.penalty};
  }

  // nullopt when it fails on some row.
  std::optional<SearchResult> rescored(const SearchResult& r, const Columns& columns) {
    // Constants numbered in postfix order, so that p[i] is the i-th one.
    std::vector<Node> nodes = r.expr.nodes;
    renumber_params(nodes);
    std::optional<Program> prog = compile(nodes, columns);
    if (!prog) return std::nullopt;
    std::vector<double> p = param_values(nodes);
    if (p.size() != prog->n_params) return std::nullopt;
    double sse = eval_.sse(*prog, p);
    if (!std::isfinite(sse)) return std::nullopt;
    if (config_.refit && !p.empty()) sse = eval_.refit(*prog, p, sse);
    set_param_values(nodes, p);
    const double loss = rmse_of(sse, t_.length);
    const double error = penalised(loss, complexity_factor(config_.penalty, complexity_of(nodes)));
    return record_of(std::move(nodes), error * scaled_.scale, loss * scaled_.scale);
  }

 private:
  const RescoreConfig& config_;
  const Normalized scaled_;
  const Target t_;
  const TargetStats stats_;
  Evaluator eval_;
};

}  // namespace

std::vector<std::size_t> sample_rows(std::size_t rows, std::size_t take) {
  std::vector<std::size_t> out;
  if (take == 0 || take >= rows) take = rows;
  out.reserve(take);
  __extension__ using Wide = unsigned __int128;
  for (std::size_t i = 0; i < take; ++i) {
    out.push_back(static_cast<std::size_t>((Wide{2} * i + 1) * rows / (Wide{2} * take)));
  }
  return out;
}

std::vector<double> rows_of(const std::vector<double>& values, const std::vector<std::size_t>& rows) {
  std::vector<double> out;
  out.reserve(rows.size());
  for (std::size_t r : rows) out.push_back(values[r]);
  return out;
}

void rescore_outcome(SearchOutcome& out, const Columns& columns, const std::vector<double>& target,
                     const RescoreConfig& config) {
  std::vector<const SearchResult*> finalists;
  for (const SearchResult& r : out.front) finalists.push_back(&r);
  if (out.best) finalists.push_back(&*out.best);

  std::vector<SearchResult> all;
  if (!config.constants) {
    const Target plain = target_of(target.data(), target.size(), target.size(), config.weights);
    for (const SearchResult* r : finalists) {
      if (auto s = plain_rescored(*r, columns, plain, config.penalty)) all.push_back(std::move(*s));
    }
    select_plain(out, std::move(all));
    return;
  }

  Rescorer rescorer(target, config);
  // A best selected by cross-validation stays the best (re-fitted, not
  // snapped: its constants are estimates from noisy observations). It is
  // the last finalist.
  std::optional<SearchResult> validated;
  for (const SearchResult* r : finalists) {
    auto s = rescorer.rescored(*r, columns);
    if (!s) continue;
    if (out.validated && out.best && r == &*out.best) validated = s;
    all.push_back(std::move(*s));
  }
  out.best.reset();
  out.front = std::move(all);
  if (out.front.empty()) return;
  // snap_outcome snaps every record of the front and the best, then takes
  // the best and the front again: here the front holds every finalist.
  snap_outcome(out, rescorer.snap_data(columns));
  if (validated) {
    out.best = *validated;
    put_on_front(out.front, *validated);
  } else {
    out.validated = false;
  }
}

std::optional<SearchResult> refitted(const SearchResult& r, const Columns& columns, const std::vector<double>& target,
                                     const RescoreConfig& config) {
  Rescorer rescorer(target, config);
  return rescorer.rescored(r, columns);
}

void merge_outcome(SearchOutcome& out, const std::vector<SearchResult>& more, const Columns& columns,
                   const std::vector<double>& target, const RescoreConfig& config) {
  Rescorer rescorer(target, config);
  const SnapData d = rescorer.snap_data(columns);
  std::vector<SearchResult> all = out.front;
  if (out.best) all.push_back(*out.best);
  for (const SearchResult& r : more) {
    if (auto s = rescorer.rescored(r, columns)) all.push_back(snap_record(*s, d));
  }
  select_finalists(out, std::move(all), d);
}

}  // namespace vek::discover

#include "vek/discover/validate.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "vek/common/stop.hpp"
#include "vek/discover/affine.hpp"
#include "vek/discover/beam.hpp"
#include "vek/discover/fit.hpp"
#include "vek/discover/generate.hpp"
#include "vek/discover/penalised.hpp"
#include "vek/discover/sums.hpp"

namespace vek::discover {
namespace {

using Columns = std::vector<std::vector<double>>;

constexpr double kInf = std::numeric_limits<double>::infinity();

double weight_of(const std::vector<double>& w, std::size_t r) { return w.empty() ? 1.0 : w[r]; }

// The terms: each variable, then the square of each variable with more than
// two values; those whose values are not all finite or do not vary left out.
struct Pool {
  std::vector<std::vector<Node>> nodes;
  std::vector<std::vector<double>> values;
};

bool varies(const std::vector<double>& v) {
  for (double x : v) {
    if (!std::isfinite(x)) return false;
  }
  return std::any_of(v.begin(), v.end(), [&](double x) { return x != v.front(); });
}

bool more_than_two_values(const std::vector<double>& v) {
  std::set<double> seen;
  for (double x : v) {
    seen.insert(x);
    if (seen.size() > 2) return true;
  }
  return false;
}

Pool additive_pool(const Columns& columns) {
  Pool pool;
  const auto add = [&](std::vector<Node> nodes) {
    auto values = Expr{nodes}.eval_batch(columns, {});
    if (!values || !varies(*values)) return;
    pool.nodes.push_back(std::move(nodes));
    pool.values.push_back(std::move(*values));
  };
  for (std::size_t c = 0; c < columns.size(); ++c) add({Node::var(c)});
  for (std::size_t c = 0; c < columns.size(); ++c) {
    if (more_than_two_values(columns[c])) add({Node::var(c), Node::power(2.0)});
  }
  return pool;
}

// Weighted cross products of the rows' features a = (1, z_1, …, z_p), z the
// pool's columns standardized on every row (which leaves every least-squares
// prediction as it is and keeps the products well scaled), and of a with y:
// one set over every row and one per fold.
struct Products {
  std::size_t dim = 0;                     // p + 1
  std::vector<std::vector<double>> z;      // standardized columns
  std::vector<std::vector<double>> gram;   // [fold] dim × dim, row-major; [kFolds]: every row
  std::vector<std::vector<double>> cross;  // [fold] dim
};

Products products_of(const Pool& pool, const std::vector<double>& y, const std::vector<double>& w) {
  Products p;
  const std::size_t n = y.size(), terms = pool.values.size();
  p.dim = terms + 1;
  double total = 0.0;
  for (std::size_t r = 0; r < n; ++r) total += weight_of(w, r);
  for (const std::vector<double>& v : pool.values) {
    const Moments m = weighted_moments(v.data(), n, w, total);
    const double sd = std::sqrt(m.ss / total);
    std::vector<double> z(n);
    for (std::size_t r = 0; r < n; ++r) z[r] = (v[r] - m.mean) / sd;
    p.z.push_back(std::move(z));
  }
  p.gram.assign(kFolds + 1, std::vector<double>(p.dim * p.dim, 0.0));
  p.cross.assign(kFolds + 1, std::vector<double>(p.dim, 0.0));
  std::vector<double> a(p.dim);
  for (std::size_t r = 0; r < n; ++r) {
    checkpoint(p.dim * p.dim);
    a[0] = 1.0;
    for (std::size_t j = 0; j < terms; ++j) a[j + 1] = p.z[j][r];
    const double wr = weight_of(w, r);
    std::vector<double>& g = p.gram[r % kFolds];
    std::vector<double>& c = p.cross[r % kFolds];
    for (std::size_t i = 0; i < p.dim; ++i) {
      const double wa = wr * a[i];
      for (std::size_t j = i; j < p.dim; ++j) g[i * p.dim + j] += wa * a[j];
      c[i] += wa * y[r];
    }
  }
  for (std::size_t f = 0; f < kFolds; ++f) {
    for (std::size_t i = 0; i < p.dim; ++i) {
      for (std::size_t j = i; j < p.dim; ++j) {
        p.gram[f][j * p.dim + i] = p.gram[f][i * p.dim + j];
        p.gram[kFolds][i * p.dim + j] += p.gram[f][i * p.dim + j];
      }
      p.cross[kFolds][i] += p.cross[f][i];
    }
  }
  for (std::size_t i = 0; i < p.dim; ++i) {
    for (std::size_t j = i; j < p.dim; ++j) p.gram[kFolds][j * p.dim + i] = p.gram[kFolds][i * p.dim + j];
  }
  return p;
}

// The least-squares coefficients over features `set` (indices into a, the
// intercept 0 among them) from the products `gram` and `cross`; none when
// the system is singular.
std::optional<std::vector<double>> solve_on(const std::vector<double>& gram, const std::vector<double>& cross,
                                            std::size_t dim, const std::vector<std::size_t>& set) {
  const std::size_t k = set.size();
  std::vector<double> m(k * k), rhs(k), x(k);
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j < k; ++j) m[i * k + j] = gram[set[i] * dim + set[j]];
    rhs[i] = cross[set[i]];
  }
  if (!solve_linear(m.data(), rhs.data(), k, x.data())) return std::nullopt;
  return x;
}

// Forward selection on every row: each step adds the term whose model has
// the lowest sum of squares, Σ w·y² − βᵀ·(aᵀ w y) (the first such term on a
// tie). The nested sets (intercept 0 first), at most max_terms terms.
std::vector<std::vector<std::size_t>> forward_path(const Products& p, double yy, std::size_t max_terms) {
  std::vector<std::vector<std::size_t>> path;
  std::vector<std::size_t> set{0};
  std::vector<bool> used(p.dim, false);
  const std::vector<double>& gram = p.gram[kFolds];
  const std::vector<double>& cross = p.cross[kFolds];
  while (set.size() - 1 < max_terms) {
    double best = kInf;
    std::size_t pick = 0;
    for (std::size_t j = 1; j < p.dim; ++j) {
      if (used[j]) continue;
      checkpoint(set.size() * set.size() * set.size());
      std::vector<std::size_t> trial = set;
      trial.push_back(j);
      const auto beta = solve_on(gram, cross, p.dim, trial);
      if (!beta) continue;
      double explained = 0.0;
      for (std::size_t i = 0; i < trial.size(); ++i) explained += (*beta)[i] * cross[trial[i]];
      const double sse = yy - explained;
      if (std::isfinite(sse) && sse < best) {
        best = sse;
        pick = j;
      }
    }
    if (pick == 0) break;
    used[pick] = true;
    set.push_back(pick);
    path.push_back(set);
  }
  return path;
}

// The cross-validated sum of squares of the model over `set`.
double cross_validated(const Products& p, const std::vector<double>& y, const std::vector<double>& w,
                       const std::vector<std::size_t>& set) {
  double sse = 0.0;
  for (std::size_t f = 0; f < kFolds; ++f) {
    std::vector<double> gram = p.gram[kFolds], cross = p.cross[kFolds];
    for (std::size_t i = 0; i < gram.size(); ++i) gram[i] -= p.gram[f][i];
    for (std::size_t i = 0; i < cross.size(); ++i) cross[i] -= p.cross[f][i];
    const auto beta = solve_on(gram, cross, p.dim, set);
    if (!beta) return kInf;
    for (std::size_t r = f; r < y.size(); r += kFolds) {
      double pred = (*beta)[0];
      for (std::size_t i = 1; i < set.size(); ++i) pred += (*beta)[i] * p.z[set[i] - 1][r];
      const double d = pred - y[r];
      sse += (d * d) * weight_of(w, r);
    }
  }
  return std::isfinite(sse) ? sse : kInf;
}

}  // namespace

bool explains(const SearchOutcome& out, const std::vector<double>& y, const std::vector<double>& weights,
              double share) {
  if (!out.best || !(out.best->loss >= 0.0)) return false;
  const TargetStats st = TargetStats::of(target_of(y.data(), y.size(), y.size(), weights));
  return out.best->loss * out.best->loss <= (1.0 - share) * (st.centered / st.weight);
}

bool noisy_observations(const SearchOutcome& out, const std::vector<double>& target,
                        const std::vector<double>& weights) {
  if (!out.best || target.size() < kValidateRows || !(out.best->loss >= 0.0)) return false;
  return !explains(out, target, weights, kLawExplains);
}

std::optional<Validated> additive_model(const Columns& columns, const std::vector<double>& target,
                                        const SearchConfig& config, std::size_t max_terms) {
  const Operators ops = Operators::of(config);
  if (!offers(ops.binary, Op::Add) || !offers(ops.binary, Op::Mul) || max_terms == 0) return std::nullopt;
  const Pool pool = additive_pool(columns);
  if (pool.values.empty()) return std::nullopt;
  const std::vector<double>& w = config.weights;
  const Target t = target_of(target.data(), target.size(), target.size(), w);
  const TargetStats st = TargetStats::of(t);
  // y less its mean: the products then carry no large common part.
  std::vector<double> y(target.size());
  for (std::size_t r = 0; r < y.size(); ++r) y[r] = target[r] - st.mean;
  const Products p = products_of(pool, y, w);
  const std::vector<std::vector<std::size_t>> path = forward_path(p, st.centered, max_terms);
  double best = kInf;
  const std::vector<std::size_t>* chosen = nullptr;
  for (const std::vector<std::size_t>& set : path) {
    const double cv = cross_validated(p, y, w, set);
    if (cv < best) {
      best = cv;
      chosen = &set;
    }
  }
  if (chosen == nullptr) return std::nullopt;
  // The coefficients on every row, as a sum of terms is fitted.
  std::vector<const double*> columns_of;
  for (const std::vector<double>& v : pool.values) columns_of.push_back(v.data());
  SumFit sum;
  for (std::size_t i = 1; i < chosen->size(); ++i) sum.terms.push_back((*chosen)[i] - 1);
  if (!fit_sum(columns_of, t, sum)) return std::nullopt;
  std::vector<Node> nodes;
  for (std::size_t k = 0; k < sum.terms.size(); ++k) {
    nodes.push_back(Node::param(0, sum.coefs[k]));
    const std::vector<Node>& term = pool.nodes[sum.terms[k]];
    nodes.insert(nodes.end(), term.begin(), term.end());
    nodes.push_back(Node::op(Op::Mul));
    if (k > 0) nodes.push_back(Node::op(Op::Add));
  }
  nodes.push_back(Node::param(0, sum.b));
  nodes.push_back(Node::op(Op::Add));
  renumber_params(nodes);
  const auto values = Expr{nodes}.eval_batch(columns, param_values(nodes));
  if (!values) return std::nullopt;
  const double loss = rmse_of(target_squares(values->data(), t), t.length);
  if (!std::isfinite(loss)) return std::nullopt;
  const double error = penalised(loss, complexity_factor(config.complexity_penalty, complexity_of(nodes)));
  return Validated{record_of(std::move(nodes), error, loss), best};
}

std::optional<double> cross_validated_sse(const SearchResult& r, const Columns& columns,
                                          const std::vector<double>& target, const RescoreConfig& config) {
  double sse = 0.0;
  for (std::size_t f = 0; f < kFolds; ++f) {
    checkpoint(target.size() * (columns.size() + 1));
    Columns train(columns.size()), held(columns.size());
    std::vector<double> train_y, held_y, train_w, held_w;
    for (std::size_t row = 0; row < target.size(); ++row) {
      const bool in_fold = row % kFolds == f;
      for (std::size_t c = 0; c < columns.size(); ++c) (in_fold ? held : train)[c].push_back(columns[c][row]);
      (in_fold ? held_y : train_y).push_back(target[row]);
      if (!config.weights.empty()) (in_fold ? held_w : train_w).push_back(config.weights[row]);
    }
    if (held_y.empty() || train_y.empty()) return std::nullopt;
    RescoreConfig here = config;
    here.weights = std::move(train_w);
    const std::optional<SearchResult> fitted = refitted(r, train, train_y, here);
    if (!fitted) return std::nullopt;
    const auto values = fitted->expr.eval_batch(held, fitted->params);
    if (!values) return std::nullopt;
    sse = target_squares(values->data(), target_of(held_y.data(), held_y.size(), held_y.size(), held_w)) + sse;
  }
  if (!std::isfinite(sse)) return std::nullopt;
  return sse;
}

void put_on_front(std::vector<SearchResult>& front, const SearchResult& r) {
  auto at =
      std::find_if(front.begin(), front.end(), [&](const SearchResult& row) { return row.complexity >= r.complexity; });
  if (at != front.end() && at->complexity == r.complexity) {
    *at = r;
  } else {
    front.insert(at, r);
  }
}

void validate_noisy(SearchOutcome& out, const Columns& columns, const std::vector<double>& target,
                    const SearchConfig& config, std::size_t max_params) {
  if (out.stopped || !noisy_observations(out, target, config.weights)) return;
  const RescoreConfig rescore{config.complexity_penalty, true, true, config.weights};
  std::optional<double> searched;
  std::optional<Validated> additive;
  try {
    searched = cross_validated_sse(*out.best, columns, target, rescore);
    additive = additive_model(columns, target, config, max_params > 1 ? max_params - 1 : 0);
  } catch (const Interrupted&) {
    // A stop keeps the search's own pick.
    out.stopped = true;
    return;
  }
  if (additive && (!searched || additive->cv_sse < *searched)) out.best = additive->record;
  put_on_front(out.front, *out.best);
  out.validated = true;
}

}  // namespace vek::discover

#include "vek/discover/sums.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <utility>

#include "vek/common/stop.hpp"
#include "vek/discover/fit.hpp"
#include "vek/discover/penalised.hpp"

namespace vek::discover {

namespace {

// v with its weighted mean taken off, times sqrt(w) row by row; returns
// Σ w·(v - mean)².
double weighted_centred(std::vector<double>& v, const std::vector<double>& w) {
  double s = 0.0, total = 0.0;
  for (std::size_t k = 0; k < v.size(); ++k) {
    s += v[k] * w[k];
    total += w[k];
  }
  const double mean = total > 0.0 ? s / total : 0.0;
  double norm = 0.0;
  for (std::size_t k = 0; k < v.size(); ++k) {
    v[k] = (v[k] - mean) * std::sqrt(w[k]);
    norm += v[k] * v[k];
  }
  return norm;
}

}  // namespace

std::vector<SumFit> forward_sums(const std::vector<const double*>& pool, std::size_t rows, const Target& t,
                                 std::size_t max_terms, const SumCosts& costs,
                                 const std::function<bool(const std::vector<std::size_t>&, std::size_t)>& allowed) {
  std::vector<SumFit> out;
  const std::size_t m = t.common, p = pool.size();
  if (m < 3 || p < 2 || max_terms < 2 || rows < m) return out;
  // The sample rows, the centred target and the centred columns there.
  std::vector<std::size_t> at;
  for (std::size_t k = 0, n = std::min(m, kSumRows); k < n; ++k) at.push_back(k * m / n);
  const std::size_t n = at.size();
  // With row weights: the weighted mean taken off and every row scaled by
  // sqrt(w), so that the plain least squares below are the weighted ones.
  std::vector<double> ws;
  if (t.w != nullptr) {
    for (std::size_t k = 0; k < n; ++k) ws.push_back(t.w[at[k]]);
  }
  const auto centred = [n, &ws](std::vector<double>& v) {
    if (!ws.empty()) return weighted_centred(v, ws);
    double s = 0.0;
    for (double x : v) s += x;
    const double mean = s / static_cast<double>(n);
    double norm = 0.0;
    for (double& x : v) {
      x -= mean;
      norm += x * x;
    }
    return norm;
  };
  std::vector<double> r(n);
  for (std::size_t k = 0; k < n; ++k) r[k] = t.y[at[k]];
  double rss = centred(r);
  std::vector<std::vector<double>> q(p, std::vector<double>(n));
  std::vector<double> norm0(p);
  for (std::size_t j = 0; j < p; ++j) {
    for (std::size_t k = 0; k < n; ++k) q[j][k] = pool[j][at[k]];
    norm0[j] = centred(q[j]);
  }
  // Penalised error (up to a constant factor) of a sum of complexity cx:
  // it ranks the terms offered at one step.
  const double floor_sse = costs.floor_sse * static_cast<double>(n) / static_cast<double>(m);
  const auto score = [&](double sse, std::uint64_t cx) {
    return std::sqrt(std::fmax(sse, floor_sse)) * (1.0 + costs.penalty * static_cast<double>(cx));
  };
  // Whether terms are kept: ln(sse) + k·ln(1 + 4 / (n − k)) for k constants,
  // so that a term joins when it lowers the sum of squares by more than
  // about four times the noise variance left, sse / (n − k) (its
  // coefficient is some two standard errors from 0: the rule by which a
  // fitted constant snaps to 0). A fixed charge per node would ask a term
  // for a share of the error instead, more the more rows there are, and
  // stop sums of many weak terms on large noisy data. Below the floor, sums
  // are equal but for their constants.
  // With weights, rows count as in effective_rows: an integer weight as
  // that many repeated rows.
  const double rows_seen = ws.empty() ? static_cast<double>(n) : effective_rows(ws.data(), ws.size());
  const auto worth = [&](double sse, std::size_t k) {
    if (static_cast<double>(k) + 1.0 >= rows_seen) return HUGE_VAL;
    const double left = rows_seen - static_cast<double>(k);
    return std::log(std::fmax(sse, floor_sse)) + static_cast<double>(k) * std::log1p(4.0 / left);
  };
  const auto constants_of = [&](const std::vector<std::size_t>& terms) {
    std::size_t k = 1 + terms.size();  // the offset and a coefficient each
    for (std::size_t j : terms) k += j < costs.params.size() ? costs.params[j] : 0;
    return k;
  };
  const std::vector<double> y0 = r;
  const std::vector<std::vector<double>> c0 = q;  // centred columns, before any orthogonalisation
  const auto emit = [&](std::vector<std::size_t> terms) {
    std::sort(terms.begin(), terms.end());  // in pool order, whatever the order chosen
    for (bool offset : {true, false}) {
      SumFit s;
      s.terms = terms;
      s.offset = offset;
      if (fit_sum(pool, t, s)) out.push_back(std::move(s));
    }
  };
  // The penalised error of a set of terms by least squares on the sample.
  // (worth, nodes) of a set of terms, by least squares on the sample; the
  // simpler of two equally worthy sets first.
  using Worth = std::pair<double, std::uint64_t>;
  const auto subset_score = [&](const std::vector<std::size_t>& terms) -> Worth {
    const std::size_t k = terms.size();
    std::vector<double> g(k * k), b(k), x(k);
    std::uint64_t size = 2;
    for (std::size_t a = 0; a < k; ++a) {
      size += costs.cost[terms[a]] + 3;
      for (std::size_t c = 0; c <= a; ++c) {
        double d = 0.0;
        for (std::size_t row = 0; row < n; ++row) d += c0[terms[a]][row] * c0[terms[c]][row];
        g[a * k + c] = g[c * k + a] = d;
      }
      double d = 0.0;
      for (std::size_t row = 0; row < n; ++row) d += c0[terms[a]][row] * y0[row];
      b[a] = d;
    }
    if (!solve_linear(g.data(), b.data(), k, x.data())) return {HUGE_VAL, size};
    double sse = 0.0;
    for (std::size_t row = 0; row < n; ++row) {
      double e = y0[row];
      for (std::size_t a = 0; a < k; ++a) e -= x[a] * c0[terms[a]][row];
      sse += e * e;
    }
    return {worth(sse, constants_of(terms)), size};
  };
  // An exchange step: the term put in place of one of `terms` that gives
  // the best sum, into `best_terms` when it beats `best`. Each swap is
  // judged by the normal equations from cross products (the columns' with
  // the terms and the target's, one pass over the rows per step, then a
  // small solve per swap); a swap near an exact fit, where that estimate is
  // only rounding, and the swap chosen are scored on the rows.
  std::vector<double> cy(p);
  double yy = 0.0;
  for (std::size_t row = 0; row < n; ++row) yy += y0[row] * y0[row];
  for (std::size_t j = 0; j < p; ++j) {
    double d = 0.0;
    for (std::size_t row = 0; row < n; ++row) d += c0[j][row] * y0[row];
    cy[j] = d;
  }
  const auto exchange = [&](const std::vector<std::size_t>& terms, const Worth& now, Worth& best,
                            std::vector<std::size_t>& best_terms) {
    const std::size_t k = terms.size();
    if (k < 2) return;
    std::vector<double> cross(p * k);
    for (std::size_t j = 0; j < p; ++j) {
      for (std::size_t t = 0; t < k; ++t) {
        double d = 0.0;
        for (std::size_t row = 0; row < n; ++row) d += c0[j][row] * c0[terms[t]][row];
        cross[j * k + t] = d;
      }
    }
    std::uint64_t size = 2;
    for (std::size_t j : terms) size += costs.cost[j] + 3;
    const std::size_t held = constants_of(terms);
    const std::size_t o = k - 1;
    std::vector<double> chol(o * o), w(o), z(o);
    std::vector<std::size_t> others;
    bool estimated = false;
    for (std::size_t a = 0; a < k; ++a) {
      others = terms;
      others.erase(others.begin() + static_cast<std::ptrdiff_t>(a));
      // Cholesky factor of the other terms' Gram matrix.
      bool ok = true;
      for (std::size_t i = 0; i < o && ok; ++i) {
        for (std::size_t c = 0; c <= i; ++c) {
          double v = cross[others[i] * k + (c < a ? c : c + 1)];
          for (std::size_t l = 0; l < c; ++l) v -= chol[i * o + l] * chol[c * o + l];
          if (c == i) {
            ok = v > 0.0;
            chol[i * o + i] = ok ? std::sqrt(v) : 0.0;
          } else {
            chol[i * o + c] = v / chol[c * o + c];
          }
        }
      }
      if (!ok) continue;
      const auto forward = [&](const auto& rhs, std::vector<double>& out) {
        double sq = 0.0;
        for (std::size_t i = 0; i < o; ++i) {
          double v = rhs(i);
          for (std::size_t l = 0; l < i; ++l) v -= chol[i * o + l] * out[l];
          out[i] = v / chol[i * o + i];
          sq += out[i] * out[i];
        }
        return sq;
      };
      const double rss_others = yy - forward([&](std::size_t i) { return cy[others[i]]; }, w);
      const std::size_t params_out = terms[a] < costs.params.size() ? costs.params[terms[a]] : 0;
      for (std::size_t j = 0; j < p; ++j) {
        if (!(norm0[j] > 0.0) || std::find(terms.begin(), terms.end(), j) != terms.end() || !allowed(others, j))
          continue;
        const double* row = cross.data() + j * k;
        const double qq = norm0[j] - forward([&](std::size_t i) { return row[i < a ? i : i + 1]; }, z);
        if (!(qq > 1e-9 * norm0[j])) continue;
        double qr = cy[j];
        for (std::size_t i = 0; i < o; ++i) qr -= z[i] * w[i];
        const double sse = rss_others - qr * qr / qq;
        const auto swapped = [&] {
          std::vector<std::size_t> v = terms;
          v[a] = j;
          return v;
        };
        Worth e;
        const bool near_exact = sse <= 1e-8 * yy;
        if (near_exact) {
          e = subset_score(swapped());
        } else {
          const std::size_t params_in = j < costs.params.size() ? costs.params[j] : 0;
          e = {worth(sse, held - params_out + params_in), size - costs.cost[terms[a]] + costs.cost[j]};
        }
        if (e < best) {
          best = e;
          best_terms = swapped();
          estimated = !near_exact;
        }
      }
    }
    // The chosen swap as scored on the rows: kept only when that beats now.
    if (estimated) {
      best = subset_score(best_terms);
      if (!(best < now)) best_terms.clear();
    }
  };
  const auto refine = [&](std::vector<std::size_t>& terms) {
    bool changed = false;
    Worth now = subset_score(terms);
    for (int round = 0; round < 8; ++round) {
      std::vector<std::size_t> best_terms;
      Worth best = now;
      for (std::size_t a = 0; a < terms.size() && terms.size() > 2; ++a) {
        std::vector<std::size_t> fewer = terms;
        fewer.erase(fewer.begin() + static_cast<std::ptrdiff_t>(a));
        const Worth e = subset_score(fewer);
        if (e.first <= best.first) {
          best = e;
          best_terms = fewer;
        }
      }
      if (best_terms.empty()) exchange(terms, now, best, best_terms);
      if (best_terms.empty()) break;
      terms = best_terms;
      now = best;
      changed = true;
    }
    return changed;
  };
  std::vector<std::size_t> chosen;
  std::vector<bool> used(p, false);
  std::uint64_t cx = 2;  // the offset and its sum
  double current = worth(rss, 1);
  while (chosen.size() < max_terms) {
    double best = HUGE_VAL, best_gain = 0.0;
    std::size_t pick = p;
    for (std::size_t j = 0; j < p; ++j) {
      if (used[j] || !(norm0[j] > 0.0) || !allowed(chosen, j)) continue;
      double qq = 0.0, qr = 0.0;
      for (std::size_t k = 0; k < n; ++k) {
        qq += q[j][k] * q[j][k];
        qr += q[j][k] * r[k];
      }
      if (!(qq > 1e-9 * norm0[j])) continue;  // (nearly) a combination of the terms chosen
      const double gain = qr * qr / qq;
      const double e = score(rss - gain, cx + costs.cost[j] + 3);
      if (e < best) {
        best = e;
        best_gain = gain;
        pick = j;
      }
    }
    if (pick == p) break;
    std::vector<std::size_t> with = chosen;
    with.push_back(pick);
    const double now = worth(rss - best_gain, constants_of(with));
    if (!(now < current)) break;
    current = now;
    rss -= best_gain;
    cx += costs.cost[pick] + 3;
    used[pick] = true;
    chosen.push_back(pick);
    // The residual and the other columns, orthogonal to the new term.
    const std::vector<double> u = q[pick];
    double uu = 0.0;
    for (double x : u) uu += x * x;
    const auto remove = [&](std::vector<double>& v) {
      double uv = 0.0;
      for (std::size_t k = 0; k < n; ++k) uv += u[k] * v[k];
      const double f = uv / uu;
      for (std::size_t k = 0; k < n; ++k) v[k] -= f * u[k];
    };
    remove(r);
    for (std::size_t j = 0; j < p; ++j) {
      if (!used[j]) remove(q[j]);
    }
    if (chosen.size() >= 2) emit(chosen);
  }
  // Then backward and exchange steps on the last sum: drop a term, or put
  // another in its place, while that lowers the criterion (exact sums tie
  // at the floor, so the simpler one wins). Also on its first two and three
  // terms: a long chain's early greedy steps can miss a short exact sum
  // that an exchange finds (cheap at that size).
  for (std::size_t size : {std::size_t{2}, std::size_t{3}}) {
    if (chosen.size() <= size) continue;
    std::vector<std::size_t> first(chosen.begin(), chosen.begin() + static_cast<std::ptrdiff_t>(size));
    if (refine(first)) emit(first);
  }
  if (chosen.size() >= 2 && refine(chosen)) emit(chosen);
  return out;
}

namespace {

// The coefficients and offset of a sum solved from its normal equations,
// filled in `sum` as fit_sum says.
bool solve_sum(std::vector<double>& g, std::vector<double>& r, const std::vector<double>& mean, double my,
               SumFit& sum) {
  const std::size_t k = sum.terms.size();
  for (std::size_t a = 0; a < k; ++a)
    for (std::size_t b = a + 1; b < k; ++b) g[a * k + b] = g[b * k + a];
  sum.coefs.assign(k, 0.0);
  if (!solve_linear(g.data(), r.data(), k, sum.coefs.data())) return false;
  sum.b = 0.0;
  if (sum.offset) {
    sum.b = my;
    for (std::size_t a = 0; a < k; ++a) sum.b -= sum.coefs[a] * mean[a];
  }
  for (double c : sum.coefs) {
    if (c == 0.0 || !std::isfinite(c)) return false;
  }
  return std::isfinite(sum.b);
}

// fit_sum by weighted least squares: weighted means, and each row's
// products times its weight.
bool weighted_fit_sum(const std::vector<const double*>& pool, const Target& t, SumFit& sum) {
  const std::size_t k = sum.terms.size(), m = t.common;
  std::vector<double> mean(k, 0.0);
  double my = 0.0;
  if (sum.offset) {
    double total = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
      total += t.w[i];
      my += t.y[i] * t.w[i];
    }
    if (!(total > 0.0)) return false;
    my /= total;
    for (std::size_t a = 0; a < k; ++a) {
      for (std::size_t i = 0; i < m; ++i) mean[a] += pool[sum.terms[a]][i] * t.w[i];
      mean[a] /= total;
    }
  }
  std::vector<double> g(k * k, 0.0), r(k, 0.0);
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t a = 0; a < k; ++a) {
      const double da = pool[sum.terms[a]][i] - mean[a];
      r[a] += (da * (t.y[i] - my)) * t.w[i];
      for (std::size_t b = 0; b <= a; ++b) g[a * k + b] += (da * (pool[sum.terms[b]][i] - mean[b])) * t.w[i];
    }
  }
  return solve_sum(g, r, mean, my, sum);
}

}  // namespace

bool fit_sum(const std::vector<const double*>& pool, const Target& t, SumFit& sum) {
  const std::size_t k = sum.terms.size(), m = t.common;
  if (k == 0 || m <= k) return false;
  if (t.w != nullptr) return weighted_fit_sum(pool, t, sum);
  std::vector<double> mean(k, 0.0);
  double my = 0.0;
  if (sum.offset) {
    for (std::size_t i = 0; i < m; ++i) my += t.y[i];
    my /= static_cast<double>(m);
    for (std::size_t a = 0; a < k; ++a) {
      for (std::size_t i = 0; i < m; ++i) mean[a] += pool[sum.terms[a]][i];
      mean[a] /= static_cast<double>(m);
    }
  }
  std::vector<double> g(k * k, 0.0), r(k, 0.0);
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t a = 0; a < k; ++a) {
      const double da = pool[sum.terms[a]][i] - mean[a];
      r[a] += da * (t.y[i] - my);
      for (std::size_t b = 0; b <= a; ++b) g[a * k + b] += da * (pool[sum.terms[b]][i] - mean[b]);
    }
  }
  return solve_sum(g, r, mean, my, sum);
}

bool sum_values(const std::vector<const double*>& pool, std::size_t rows, const SumFit& sum, std::vector<double>& out) {
  out.resize(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    double v = sum.coefs[0] * pool[sum.terms[0]][i];
    for (std::size_t a = 1; a < sum.terms.size(); ++a) v = v + sum.coefs[a] * pool[sum.terms[a]][i];
    if (sum.offset) v = v + sum.b;
    if (!std::isfinite(v)) return false;
    out[i] = v;
  }
  return true;
}

namespace {

// A product of powers of variables (a variable, a power block, x·y, …).
bool power_product(const std::vector<Node>& nodes) {
  return std::all_of(nodes.begin(), nodes.end(), [](const Node& n) {
    return n.kind == Node::Kind::Var || (n.kind == Node::Kind::Op && (n.opcode == Op::Mul || n.opcode == Op::Pow));
  });
}

}  // namespace

std::vector<SumCandidate> sums_of_terms(const std::vector<const double*>& pool,
                                        const std::vector<std::vector<Node>>& nodes,
                                        const std::vector<std::size_t>& params, std::size_t rows, const Target& t,
                                        const SumLimits& limits) {
  SumCosts costs;
  for (const auto& term : nodes) costs.cost.push_back(complexity_of(term));
  costs.params = params;
  costs.penalty = limits.penalty;
  costs.floor_sse = limits.floor_sse;
  std::vector<SumFit> found;
  // 0: every term; else terms without constants of at most `limit` nodes;
  // 1: products of powers of variables; 2: the variables alone (a linear
  // model, which greedy steps among many products can miss); 3: powers of
  // single variables (an additive model: 1/R1 + 1/R2 + 1/R3, where a
  // product of all three fits better alone than any one term); 4: squared
  // differences of two variables (a squared distance, whose right terms
  // are hard to tell from the other pairs' among many products).
  const auto single_power = [](const std::vector<Node>& n) {
    return (n.size() == 1 && n[0].kind == Node::Kind::Var) ||
           (n.size() == 2 && n[0].kind == Node::Kind::Var && n[1].kind == Node::Kind::Op && n[1].opcode == Op::Pow);
  };
  const auto squared_difference = [](const std::vector<Node>& n) {
    return n.size() == 4 && n[0].kind == Node::Kind::Var && n[1].kind == Node::Kind::Var &&
           n[2].kind == Node::Kind::Op && n[2].opcode == Op::Sub && n[3].kind == Node::Kind::Op &&
           n[3].opcode == Op::Pow && n[3].value == 2.0;
  };
  for (const std::uint64_t limit :
       {std::uint64_t{0}, limits.simple_term, std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{3}, std::uint64_t{4}}) {
    std::vector<std::size_t> at;
    for (std::size_t j = 0; j < pool.size(); ++j) {
      const bool simple = params[j] == 0 && (limit == 1   ? power_product(nodes[j])
                                             : limit == 2 ? nodes[j].size() == 1 && nodes[j][0].kind == Node::Kind::Var
                                             : limit == 3 ? single_power(nodes[j])
                                             : limit == 4 ? squared_difference(nodes[j])
                                                          : costs.cost[j] <= limit);
      if (limit == 0 || simple) at.push_back(j);
    }
    if (limit != 0 && (at.size() == pool.size() || at.size() < 2)) continue;
    std::vector<const double*> sub;
    SumCosts sub_costs = costs;
    sub_costs.cost.clear();
    sub_costs.params.clear();
    for (std::size_t j : at) {
      sub.push_back(pool[j]);
      sub_costs.cost.push_back(costs.cost[j]);
      sub_costs.params.push_back(params[j]);
    }
    // Every constant counts: the terms' own, and a coefficient each.
    const auto allowed = [&](const std::vector<std::size_t>& chosen, std::size_t j) {
      std::size_t k = params[at[j]] + chosen.size() + 1;
      for (std::size_t c : chosen) k += params[at[c]];
      return k <= limits.max_params;
    };
    for (SumFit& sum : forward_sums(sub, rows, t, limits.max_terms, sub_costs, allowed)) {
      for (std::size_t& j : sum.terms) j = at[j];
      const bool repeat = std::any_of(found.begin(), found.end(),
                                      [&](const SumFit& f) { return f.terms == sum.terms && f.offset == sum.offset; });
      if (!repeat) found.push_back(std::move(sum));
    }
  }
  std::vector<SumCandidate> out;
  std::vector<double> values;
  for (SumFit& sum : found) {
    std::size_t k = sum.terms.size() + (sum.offset ? 1 : 0);
    for (std::size_t j : sum.terms) k += params[j];
    if (k > limits.max_params || !sum_values(pool, rows, sum, values)) continue;
    SumCandidate c;
    c.complexity = (sum.offset ? 2 : 0) + (sum.terms.size() - 1);
    for (std::size_t j : sum.terms) c.complexity += costs.cost[j] + 2;
    c.loss = rmse_of(target_squares(values.data(), t), t.length);
    c.fit = std::move(sum);
    out.push_back(std::move(c));
  }
  return out;
}

Moments weighted_moments(const double* v, std::size_t rows, const std::vector<double>& w, double total) {
  Moments m;
  for (std::size_t r = 0; r < rows; ++r) m.mean += (w.empty() ? 1.0 : w[r]) * v[r];
  m.mean /= total;
  for (std::size_t r = 0; r < rows; ++r) {
    const double d = v[r] - m.mean;
    m.ss += (w.empty() ? 1.0 : w[r]) * (d * d);
  }
  return m;
}

SubsetBeam::SubsetBeam(const std::vector<const double*>& pool, std::size_t rows, const std::vector<double>& weights)
    : rows_(rows), m_(pool.size()), w_(weights) {
  const auto w = [&](std::size_t r) { return w_.empty() ? 1.0 : w_[r]; };
  for (std::size_t r = 0; r < rows_; ++r) total_ += w(r);
  z_.resize(m_);
  for (std::size_t j = 0; j < m_; ++j) {
    checkpoint(rows_);
    const Moments m = weighted_moments(pool[j], rows_, w_, total_);
    if (!(m.ss > 0.0) || !std::isfinite(m.ss)) continue;
    const double sd = std::sqrt(m.ss);
    z_[j].resize(rows_);
    for (std::size_t r = 0; r < rows_; ++r) z_[j][r] = (pool[j][r] - m.mean) / sd;
  }
  gram_.assign(m_ * m_, 0.0);
  for (std::size_t i = 0; i < m_; ++i) {
    if (z_[i].empty()) continue;
    checkpoint(rows_ * (m_ - i));
    for (std::size_t j = i; j < m_; ++j) {
      if (z_[j].empty()) continue;
      double s = 0.0;
      for (std::size_t r = 0; r < rows_; ++r) s += w(r) * (z_[i][r] * z_[j][r]);
      gram_[i * m_ + j] = gram_[j * m_ + i] = s;
    }
  }
}

std::vector<std::vector<std::size_t>> SubsetBeam::best_sets(const double* u, const std::vector<bool>& usable,
                                                            std::size_t max_terms, std::size_t width) const {
  std::vector<std::vector<std::size_t>> out;
  if (width == 0 || max_terms < 2) return out;
  const auto w = [&](std::size_t r) { return w_.empty() ? 1.0 : w_[r]; };
  const double mean = weighted_moments(u, rows_, w_, total_).mean;
  // g_j = Σ w·z_j·(u - mean): what each column explains of u.
  std::vector<double> g(m_, 0.0);
  std::vector<bool> open(m_, false);
  for (std::size_t j = 0; j < m_; ++j) {
    if (z_[j].empty() || !usable[j]) continue;
    open[j] = true;
    double s = 0.0;
    for (std::size_t r = 0; r < rows_; ++r) s += w(r) * (z_[j][r] * (u[r] - mean));
    g[j] = s;
  }
  if (!std::isfinite(std::accumulate(g.begin(), g.end(), 0.0))) return out;
  using Ranked = std::pair<double, std::vector<std::size_t>>;  // (explained, set)
  const auto before = [](const Ranked& a, const Ranked& b) {
    return a.first > b.first || (a.first == b.first && a.second < b.second);
  };
  // Every pair: explained = (g_i² + g_j² − 2·G_ij·g_i·g_j) / (1 − G_ij²);
  // the `width` best, the first pairs among equals.
  struct Pair {
    double e;
    std::size_t i, j;
  };
  const auto pair_before = [](const Pair& a, const Pair& b) {
    return a.e > b.e || (a.e == b.e && (a.i < b.i || (a.i == b.i && a.j < b.j)));
  };
  std::vector<Pair> pairs;
  for (std::size_t i = 0; i < m_; ++i) {
    if (!open[i]) continue;
    checkpoint(m_);
    for (std::size_t j = i + 1; j < m_; ++j) {
      if (!open[j]) continue;
      const double c = gram_[i * m_ + j];
      const double det = 1.0 - c * c;
      if (!(det > 1e-10)) continue;
      const Pair p{(g[i] * g[i] + g[j] * g[j] - 2.0 * c * g[i] * g[j]) / det, i, j};
      if (!std::isfinite(p.e)) continue;
      if (pairs.size() == width && !pair_before(p, pairs.back())) continue;
      pairs.insert(std::upper_bound(pairs.begin(), pairs.end(), p, pair_before), p);
      if (pairs.size() > width) pairs.pop_back();
    }
  }
  std::vector<Ranked> beam;
  for (const Pair& p : pairs) beam.emplace_back(p.e, std::vector<std::size_t>{p.i, p.j});
  if (beam.empty()) return out;
  out.push_back(beam.front().second);
  for (std::size_t size = 3; size <= max_terms; ++size) {
    std::map<std::vector<std::size_t>, double> next;
    for (const Ranked& ranked : beam) {
      const std::vector<std::size_t>& set = ranked.second;
      const std::size_t k = set.size();
      checkpoint(k * k * m_);
      // With the inverse of G_SS: b = G_SS⁻¹·g_S and, for each column j,
      // a = G_SS⁻¹·G_S,j; the gain of column j is (g_j − G_jS·b)² /
      // (1 − G_jS·a).
      std::vector<double> m(k * k), inv(k * k), unit(k), e_col(k), b(k), col(k);
      bool ok = true;
      for (std::size_t q = 0; q < k && ok; ++q) {
        for (std::size_t p = 0; p < k; ++p) {
          for (std::size_t r = 0; r < k; ++r) m[p * k + r] = gram_[set[p] * m_ + set[r]];
          unit[p] = p == q ? 1.0 : 0.0;
        }
        ok = solve_linear(m.data(), unit.data(), k, e_col.data());
        for (std::size_t p = 0; p < k; ++p) inv[p * k + q] = e_col[p];
      }
      if (!ok) continue;
      for (std::size_t p = 0; p < k; ++p) {
        double s = 0.0;
        for (std::size_t q = 0; q < k; ++q) s += inv[p * k + q] * g[set[q]];
        b[p] = s;
      }
      // Only this set's `width` best extensions can be among the next
      // beam's: the others are not kept.
      std::vector<std::pair<double, std::size_t>> grow;  // (explained, j)
      for (std::size_t j = 0; j < m_; ++j) {
        if (!open[j] || std::find(set.begin(), set.end(), j) != set.end()) continue;
        for (std::size_t p = 0; p < k; ++p) col[p] = gram_[set[p] * m_ + j];
        double ee = 1.0, er = g[j];
        for (std::size_t p = 0; p < k; ++p) {
          double a = 0.0;
          for (std::size_t q = 0; q < k; ++q) a += inv[p * k + q] * col[q];
          ee -= col[p] * a;
          er -= col[p] * b[p];
        }
        if (!(ee > 1e-10)) continue;
        const double e = ranked.first + er * er / ee;
        if (std::isfinite(e)) grow.emplace_back(e, j);
      }
      const auto grow_before = [](const std::pair<double, std::size_t>& a, const std::pair<double, std::size_t>& b) {
        return a.first > b.first || (a.first == b.first && a.second < b.second);
      };
      const std::size_t keep = std::min(width, grow.size());
      std::partial_sort(grow.begin(), grow.begin() + static_cast<std::ptrdiff_t>(keep), grow.end(), grow_before);
      for (std::size_t t = 0; t < keep; ++t) {
        const std::size_t j = grow[t].second;
        std::vector<std::size_t> grown = set;
        grown.insert(std::upper_bound(grown.begin(), grown.end(), j), j);
        auto [at, fresh] = next.emplace(std::move(grown), grow[t].first);
        if (!fresh) at->second = std::fmax(at->second, grow[t].first);
      }
    }
    if (next.empty()) break;
    std::vector<Ranked> ranked;
    for (auto& [set, e] : next) ranked.emplace_back(e, set);
    std::stable_sort(ranked.begin(), ranked.end(), before);
    if (ranked.size() > width) ranked.resize(width);
    beam = std::move(ranked);
    out.push_back(beam.front().second);
  }
  return out;
}

}  // namespace vek::discover

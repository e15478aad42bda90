#include "vek/discover/blocks.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "vek/discover/fit.hpp"

namespace vek::discover {

namespace {

// Variables fitted at the most: the normal equations stay small.
constexpr std::size_t kMaxFactors = 12;
// Values of the products of variables offered as terms, at the most (64 MB).
constexpr std::size_t kMonomialValues = std::size_t{1} << 23;

struct LogData {
  std::vector<std::size_t> vars;       // eligible variables
  std::vector<bool> whole;             // per eligible variable: whole exponents only
  std::vector<std::vector<double>> u;  // ln|x| per eligible variable, centred
  std::vector<double> z;               // ln|y|, centred
};

bool log_data(const std::vector<std::vector<double>>& columns, const Target& t, LogData& out) {
  const std::size_t m = t.common;
  if (m < 3) return false;
  const bool positive = t.y[0] > 0.0;
  out.z.resize(m);
  double mz = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    if (!(positive ? t.y[i] > 0.0 : t.y[i] < 0.0) || !std::isfinite(t.y[i])) return false;
    out.z[i] = std::log(std::fabs(t.y[i]));
    mz += out.z[i];
  }
  mz /= static_cast<double>(m);
  for (double& v : out.z) v -= mz;
  for (std::size_t c = 0; c < columns.size() && out.vars.size() < kMaxFactors; ++c) {
    bool all_positive = true, nonzero = true;
    for (std::size_t i = 0; i < m; ++i) {
      const double x = columns[c][i];
      all_positive = all_positive && x > 0.0;
      nonzero = nonzero && x != 0.0 && std::isfinite(x);
    }
    if (!nonzero) continue;
    std::vector<double> u(m);
    double mu = 0.0;
    for (std::size_t i = 0; i < m; ++i) mu += (u[i] = std::log(std::fabs(columns[c][i])));
    mu /= static_cast<double>(m);
    double spread = 0.0;
    for (double& v : u) {
      v -= mu;
      spread += v * v;
    }
    if (!(spread > 1e-12 * static_cast<double>(m))) continue;  // |x| does not vary
    out.vars.push_back(c);
    out.whole.push_back(!all_positive);
    out.u.push_back(std::move(u));
  }
  return !out.vars.empty();
}

// Least squares of z on the chosen columns; the residual sum of squares
// (+inf when singular) and the coefficients.
double fit(const LogData& d, const std::vector<std::size_t>& chosen, std::vector<double>& k) {
  const std::size_t p = chosen.size(), m = d.z.size();
  std::vector<double> a(p * p), r(p);
  for (std::size_t i = 0; i < p; ++i) {
    for (std::size_t j = 0; j < p; ++j) {
      double s = 0.0;
      for (std::size_t row = 0; row < m; ++row) s += d.u[chosen[i]][row] * d.u[chosen[j]][row];
      a[i * p + j] = s;
    }
    double s = 0.0;
    for (std::size_t row = 0; row < m; ++row) s += d.u[chosen[i]][row] * d.z[row];
    r[i] = s;
  }
  k.assign(p, 0.0);
  if (!solve_linear(a.data(), r.data(), p, k.data())) return HUGE_VAL;
  double sse = 0.0;
  for (std::size_t row = 0; row < m; ++row) {
    double e = d.z[row];
    for (std::size_t i = 0; i < p; ++i) e -= k[i] * d.u[chosen[i]][row];
    sse += e * e;
  }
  return sse;
}

double rounded(double k, bool whole) { return whole ? std::nearbyint(k) : std::nearbyint(2.0 * k) / 2.0; }

}  // namespace

std::vector<Node> power_block(const std::vector<std::pair<std::size_t, double>>& factors) {
  std::vector<Node> nodes;
  for (std::size_t f = 0; f < factors.size(); ++f) {
    nodes.push_back(Node::var(factors[f].first));
    if (factors[f].second != 1.0) nodes.push_back(Node::power(factors[f].second));
    if (f > 0) nodes.push_back(Node::op(Op::Mul));
  }
  return nodes;
}

std::vector<std::vector<Node>> power_leaves(const std::vector<std::vector<double>>& columns, std::size_t rows) {
  std::vector<std::vector<Node>> out;
  const std::size_t n = columns.size();
  std::vector<bool> positive(n), nonzero(n);
  for (std::size_t c = 0; c < n; ++c) {
    bool pos = rows > 0, nz = rows > 0;
    for (std::size_t i = 0; i < rows; ++i) {
      pos = pos && columns[c][i] > 0.0;
      nz = nz && columns[c][i] != 0.0;
    }
    positive[c] = pos;
    nonzero[c] = nz;
    if (pos) {
      for (double k : {2.0, -1.0, 0.5, 3.0, -2.0, 4.0}) out.push_back(power_block({{c, k}}));
    } else {
      for (double k : {2.0, 3.0, 4.0}) out.push_back(power_block({{c, k}}));
      if (nz) {
        for (double k : {-1.0, -2.0}) out.push_back(power_block({{c, k}}));
      }
    }
  }
  // Squared differences of two variables, (x_i - x_j)²: squared distances
  // between coordinates, the terms of sqrt(dx² + dy² + dz²) and of 1/r².
  for (std::size_t a = 0; a < n; ++a) {
    for (std::size_t b = a + 1; b < n; ++b) {
      out.push_back({Node::var(a), Node::var(b), Node::op(Op::Sub), Node::power(2.0)});
    }
  }
  // Products of two and three variables, the terms of energies, moments and
  // superpositions (m·v², M/r², ρ·g·h, P·a/L): two with whole exponents from
  // -2 to 2, three with exponents ±1, at most one of them -1. Their values
  // are kept on every row, so they stop at kMonomialValues values in all.
  const std::size_t cap = rows == 0 ? 0 : kMonomialValues / rows;
  const auto add = [&](std::vector<std::pair<std::size_t, double>> factors) {
    for (const auto& [c, k] : factors) {
      if (k < 0.0 && !nonzero[c]) return;
    }
    if (out.size() < cap) out.push_back(power_block(factors));
  };
  for (std::size_t a = 0; a < n; ++a) {
    for (std::size_t b = a + 1; b < n; ++b) {
      for (double ka : {1.0, 2.0, -1.0, -2.0})
        for (double kb : {1.0, 2.0, -1.0, -2.0}) add({{a, ka}, {b, kb}});
    }
  }
  for (std::size_t a = 0; a < n; ++a) {
    for (std::size_t b = a + 1; b < n; ++b) {
      for (std::size_t c = b + 1; c < n; ++c) {
        add({{a, 1.0}, {b, 1.0}, {c, 1.0}});
        add({{a, -1.0}, {b, 1.0}, {c, 1.0}});
        add({{a, 1.0}, {b, -1.0}, {c, 1.0}});
        add({{a, 1.0}, {b, 1.0}, {c, -1.0}});
      }
    }
  }
  return out;
}

std::vector<std::vector<std::pair<std::size_t, double>>> proportional_blocks(
    const std::vector<std::vector<double>>& columns, const Target& target) {
  std::vector<std::vector<std::pair<std::size_t, double>>> out;
  LogData d;
  if (!log_data(columns, target, d)) return out;
  // Variables of one sign: a whole power of a negative one keeps its sign.
  std::vector<std::size_t> positive;
  std::vector<bool> whole_only;
  for (std::size_t c = 0; c < d.vars.size(); ++c) {
    const std::vector<double>& x = columns[d.vars[c]];
    const bool negative = std::all_of(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(target.common),
                                      [](double v) { return v < 0.0; });
    if (!d.whole[c] || negative) {
      positive.push_back(c);
      whole_only.push_back(negative);
    }
  }
  std::vector<double> k;
  if (positive.empty() || !(fit(d, positive, k) < HUGE_VAL)) return out;
  // Whole exponents first: a variable whose exponent lies near a half only
  // is often one y depends on otherwise (ln(V2/V1) looks like (V2/V1)^1.5).
  for (const auto& [tolerance, whole] :
       {std::pair{0.02, true}, std::pair{0.05, true}, std::pair{0.05, false}, std::pair{0.25, false}}) {
    std::vector<std::pair<std::size_t, double>> factors;
    for (std::size_t i = 0; i < positive.size(); ++i) {
      const double e = rounded(k[i], whole || whole_only[i]);
      if (e != 0.0 && std::fabs(e) <= 4.0 && std::fabs(k[i] - e) < tolerance) {
        factors.emplace_back(d.vars[positive[i]], e);
      }
    }
    if (!factors.empty() && std::find(out.begin(), out.end(), factors) == out.end()) out.push_back(factors);
  }
  return out;
}

std::vector<std::vector<Node>> propose_power_blocks(const std::vector<std::vector<double>>& columns,
                                                    const Target& target, std::size_t max_blocks) {
  std::vector<std::vector<Node>> out;
  LogData d;
  if (max_blocks == 0 || !log_data(columns, target, d)) return out;
  std::vector<std::vector<std::pair<std::size_t, double>>> seen;
  const auto propose = [&](const std::vector<std::size_t>& chosen, const std::vector<double>& k, bool all_whole) {
    std::vector<std::pair<std::size_t, double>> factors;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
      const double e = rounded(k[i], all_whole || d.whole[chosen[i]]);
      if (e != 0.0 && std::isfinite(e) && std::fabs(e) <= 4.0) factors.emplace_back(d.vars[chosen[i]], e);
    }
    std::sort(factors.begin(), factors.end());
    if (factors.empty() || (factors.size() == 1 && factors[0].second == 1.0)) return;
    if (std::find(seen.begin(), seen.end(), factors) != seen.end() || out.size() >= max_blocks) return;
    seen.push_back(factors);
    out.push_back(power_block(factors));
  };
  // Forward selection: each step adds the variable that lowers the
  // residual most (the first among equals).
  std::vector<std::size_t> chosen;
  std::vector<double> k;
  std::vector<bool> used(d.vars.size(), false);
  while (chosen.size() < d.vars.size()) {
    double best = HUGE_VAL;
    std::size_t pick = d.vars.size();
    for (std::size_t c = 0; c < d.vars.size(); ++c) {
      if (used[c]) continue;
      std::vector<std::size_t> trial = chosen;
      trial.push_back(c);
      const double sse = fit(d, trial, k);
      if (sse < best) {
        best = sse;
        pick = c;
      }
    }
    if (pick == d.vars.size()) break;
    used[pick] = true;
    chosen.push_back(pick);
    fit(d, chosen, k);
    propose(chosen, k, false);
  }
  if (!chosen.empty() && fit(d, chosen, k) < HUGE_VAL) propose(chosen, k, true);
  return out;
}

}  // namespace vek::discover

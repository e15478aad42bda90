#include "vek/discover/affine.hpp"

#include <cmath>

#include "vek/discover/penalised.hpp"
#include "vek/discover/rank.hpp"

namespace vek::discover {

namespace {

// The weighted forms of the sums below: each row's term times its weight,
// (term) * w[i], summed in row order, and counts replaced by Σ w. Kept apart
// so that the unweighted sums stay exactly as they are.

TargetStats weighted_stats(const Target& t) noexcept {
  TargetStats s;
  const std::size_t m = t.common;
  double sum = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    s.weight += t.w[i];
    sum += t.y[i] * t.w[i];
  }
  if (!(s.weight > 0.0)) return s;
  s.mean = sum / s.weight;
  for (std::size_t i = 0; i < m; ++i) {
    const double d = t.y[i] - s.mean;
    s.centered += (d * d) * t.w[i];
    s.squares += (t.y[i] * t.y[i]) * t.w[i];
  }
  s.noise = 1e-12 * std::sqrt(s.squares / s.weight);
  return s;
}

AffineFit weighted_affine_from_mean(const double* g, const Target& t, const TargetStats& ts, double mg) noexcept {
  AffineFit f;
  double sgg = 0.0, sgy = 0.0;
  for (std::size_t i = 0; i < t.common; ++i) {
    const double dg = g[i] - mg;
    sgg += (dg * dg) * t.w[i];
    sgy += (dg * (t.y[i] - ts.mean)) * t.w[i];
  }
  f.a = sgg > 0.0 ? sgy / sgg : 0.0;
  f.b = ts.mean - f.a * mg;
  return f;
}

double weighted_mean(const double* g, const Target& t, const TargetStats& ts) noexcept {
  double sum = 0.0;
  for (std::size_t i = 0; i < t.common; ++i) sum += g[i] * t.w[i];
  return sum / ts.weight;
}

}  // namespace

TargetStats TargetStats::of(const Target& t) noexcept {
  if (t.w != nullptr) return weighted_stats(t);
  TargetStats s;
  const std::size_t m = t.common;
  s.weight = static_cast<double>(m);
  if (m == 0) return s;
  double sum = 0.0;
  for (std::size_t i = 0; i < m; ++i) sum += t.y[i];
  s.mean = sum / static_cast<double>(m);
  for (std::size_t i = 0; i < m; ++i) {
    const double d = t.y[i] - s.mean;
    s.centered += d * d;
    s.squares += t.y[i] * t.y[i];
  }
  s.noise = 1e-12 * std::sqrt(s.squares / static_cast<double>(m));
  return s;
}

namespace {

// a and b of a·g + b from the mean of g, by centred sums.
AffineFit affine_from_mean(const double* g, const Target& t, const TargetStats& ts, double mg) noexcept {
  if (t.w != nullptr) return weighted_affine_from_mean(g, t, ts, mg);
  AffineFit f;
  double sgg = 0.0, sgy = 0.0;
  for (std::size_t i = 0; i < t.common; ++i) {
    const double dg = g[i] - mg;
    sgg += dg * dg;
    sgy += dg * (t.y[i] - ts.mean);
  }
  f.a = sgg > 0.0 ? sgy / sgg : 0.0;
  f.b = ts.mean - f.a * mg;
  return f;
}

}  // namespace

AffineFit affine_fit(const double* g, const Target& t, const TargetStats& ts) noexcept {
  const std::size_t m = t.common;
  if (m == 0) return AffineFit{};
  if (t.w != nullptr) return affine_from_mean(g, t, ts, weighted_mean(g, t, ts));
  double sum = 0.0;
  for (std::size_t i = 0; i < m; ++i) sum += g[i];
  return affine_from_mean(g, t, ts, sum / static_cast<double>(m));
}

double affine_sse(const double* g, const Target& t, double a, double b) noexcept {
  double sse = 0.0;
  if (t.w != nullptr) {
    for (std::size_t i = 0; i < t.common; ++i) {
      const double d = (a * g[i] + b) - t.y[i];
      sse += (d * d) * t.w[i];
    }
    return sse;
  }
  for (std::size_t i = 0; i < t.common; ++i) {
    const double d = (a * g[i] + b) - t.y[i];
    sse += d * d;
  }
  return sse;
}

Wrapped best_wrap(const double* g, std::size_t rows, const Target& t, const TargetStats& ts, double penalty,
                  std::uint64_t shape_complexity) noexcept {
  Wrapped out;
  const std::size_t m = t.common;
  // Coefficients: scale alone Σgy / Σgg, offset alone mean(y - g), both by
  // centred sums.
  const double u = ts.unit;
  double gg = 0.0, gy = 0.0, ymg = 0.0, sg = 0.0;
  const double* w = t.w;
  if (w != nullptr) {
    for (std::size_t i = 0; i < m; ++i) {
      gg += (g[i] * g[i]) * w[i];
      gy += (g[i] * t.y[i]) * w[i];
      ymg += (t.y[i] - u * g[i]) * w[i];
      sg += g[i] * w[i];
    }
  } else {
    for (std::size_t i = 0; i < m; ++i) {
      gg += g[i] * g[i];
      gy += g[i] * t.y[i];
      ymg += t.y[i] - u * g[i];
      sg += g[i];
    }
  }
  // With weights, ts.weight is Σ w; without, the row count m.
  const AffineFit both = m > 0 ? affine_from_mean(g, t, ts, sg / ts.weight) : AffineFit{};
  const double a1 = gg > 0.0 ? gy / gg : 0.0;
  const double b2 = m > 0 ? ymg / ts.weight : 0.0;
  const double a3 = both.a, b3 = both.b;
  bool ok[4] = {true, m > 0 && std::isfinite(a1) && a1 != 0.0, m > 0 && std::isfinite(b2),
                m > 0 && std::isfinite(a3) && std::isfinite(b3) && a3 != 0.0};
  double sse[4] = {0.0, 0.0, 0.0, 0.0};
  for (std::size_t i = 0; i < rows; ++i) {
    const double v0 = u * g[i];
    const double v1 = a1 * g[i];
    const double v2 = v0 + b2;
    const double v3 = a3 * g[i] + b3;
    ok[0] = ok[0] && std::isfinite(v0);
    ok[1] = ok[1] && std::isfinite(v1);
    ok[2] = ok[2] && std::isfinite(v2);
    ok[3] = ok[3] && std::isfinite(v3);
    if (i < m) {
      const double d0 = v0 - t.y[i], d1 = v1 - t.y[i], d2 = v2 - t.y[i], d3 = v3 - t.y[i];
      if (w != nullptr) {
        sse[0] += (d0 * d0) * w[i];
        sse[1] += (d1 * d1) * w[i];
        sse[2] += (d2 * d2) * w[i];
        sse[3] += (d3 * d3) * w[i];
      } else {
        sse[0] += d0 * d0;
        sse[1] += d1 * d1;
        sse[2] += d2 * d2;
        sse[3] += d3 * d3;
      }
    }
  }
  // By rank: an exact fit does not pick up a scale or offset that only
  // moves rounding errors.
  constexpr Wrap kinds[4] = {Wrap::None, Wrap::Scale, Wrap::Offset, Wrap::Affine};
  for (int k = 0; k < 4; ++k) {
    if (!ok[k]) continue;
    const double loss = rmse_of(sse[k], t.length);
    const double factor = complexity_factor(penalty, shape_complexity + wrap_nodes(kinds[k]));
    const double error = penalised(loss, factor);
    const double rank = ts.rank(loss, factor);
    if (!out.ok || error_before(rank, out.rank)) {
      out.rank = rank;
      out.ok = true;
      out.wrap = kinds[k];
      out.error = error;
      out.loss = loss;
      out.a = k == 1 ? a1 : (k == 3 ? a3 : 1.0);
      out.b = k == 2 ? b2 : (k == 3 ? b3 : 0.0);
    }
  }
  return out;
}

}  // namespace vek::discover

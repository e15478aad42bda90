#include "vek/discover/starts.hpp"

#include <cmath>
#include <limits>

#include "vek/discover/shapes.hpp"

namespace vek::discover {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// y ≈ α·U + β·V + γ (centred sums), c = β / α, where the shape is
// U + c·V up to its wrapper: for c·h in the second operand U = op(g, 0) and
// V = h·∂op/∂b, for g + c in an operand U = op(g, h) and V = ∂op/∂(that
// operand).
void linear_start(const Cand& c, const double* ca, const double* cb, const Target& target, const TargetStats& stats,
                  Starts& out) {
  const OpDef& d = op_def(c.op);
  const auto uv = [&](std::size_t i, double& u, double& v) {
    const double a = ca[i], b = cb[i];
    double value = 0.0, da = 0.0, db = 0.0;
    if (c.lift == Lift::ScaleB) {
      d.value(a, 0.0, value);
      d.value(a, b, v);
      op_partials(c.op, a, b, v, da, db);
      u = value;
      v = b * db;
      return;
    }
    d.value(a, b, value);
    op_partials(c.op, a, b, value, da, db);
    u = value;
    v = lifts_a(c.lift) ? da : db;
  };
  const std::size_t m = target.common;
  double su = 0.0, sv = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    double u, v;
    uv(i, u, v);
    su += u;
    sv += v;
  }
  const double mu = su / static_cast<double>(m), mv = sv / static_cast<double>(m);
  double suu = 0.0, suv = 0.0, svv = 0.0, suy = 0.0, svy = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    double u, v;
    uv(i, u, v);
    const double du = u - mu, dv = v - mv, dy = target.y[i] - stats.mean;
    suu += du * du;
    suv += du * dv;
    svv += dv * dv;
    suy += du * dy;
    svy += dv * dy;
  }
  const double det = suu * svv - suv * suv;
  if (det > 0.0) {
    const double alpha = (svv * suy - suv * svy) / det;
    const double beta = (suu * svy - suv * suy) / det;
    const double value = beta / alpha;
    if (std::isfinite(value)) out.push(value);
  }
}

}  // namespace

Starts start_values(const Cand& c, const double* ca, const double* cb, std::size_t rows, const Target& target,
                    const TargetStats& stats) {
  Starts out;
  const double plain = scales(c.lift) ? 1.0 : 0.0;  // the shape without its constant
  if (linear_in_constant(c.op, c.lift)) {
    linear_start(c, ca, cb, target, stats, out);
    out.push(plain);
    return out;
  }
  const double* u = lifts_a(c.lift) ? ca : cb;
  double lo = kInf, hi = -kInf;
  for (std::size_t i = 0; i < rows; ++i) {
    lo = std::fmin(lo, u[i]);
    hi = std::fmax(hi, u[i]);
  }
  if (!reflects(c.lift)) out.push(plain);
  if (!(lo <= hi) || !std::isfinite(hi - lo)) return out;
  const StartRule rule = op_def(c.op).start;
  if (scales(c.lift) && rule == StartRule::Span) {
    const double s = std::fmax(std::fabs(lo), std::fabs(hi));
    if (s > 0.0) {
      for (double t : {-1.0, 3.0, -3.0, 0.3, -0.3}) out.push(t / s);
    }
    return out;
  }
  if (scales(c.lift) && rule == StartRule::Phases) {
    if (hi - lo > 0.0) {
      for (int k = 1; k <= 8; ++k) out.push(1.5 * k / (hi - lo));
    }
    return out;
  }
  double w = hi - lo;
  if (!(w > 0.0)) w = std::fmax(std::fabs(lo), 1.0);
  if (reflects(c.lift)) {
    for (double t : {0.1, 1.0, 10.0}) out.push(hi + t * w);
    return out;
  }
  for (double t : {0.1, 1.0, 10.0}) out.push(t * w - lo);
  if (rule == StartRule::TwoSided) {
    for (double t : {0.1, 1.0}) out.push(-hi - t * w);
  }
  return out;
}

}  // namespace vek::discover

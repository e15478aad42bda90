#include "vek/kernels/kernels.hpp"

#include <algorithm>
#include <cmath>

#include "vek/common/parallel.hpp"

namespace vek::kernels {

std::pair<double, double> boost_elem(double x, double y, double phi, double c) noexcept {
  const double t = guarded_exp(x);
  const double X = floored_ln(y);
  const double s = std::sinh(phi);
  const double ch = std::cosh(phi);
  double x_new = ch * X - s * (c * t);
  if (x_new < -kBoostClamp) x_new = -kBoostClamp;
  if (x_new > kBoostClamp) x_new = kBoostClamp;
  const double t_new = t * ch - s * (X / c);
  const double t_safe = std::fmax(t_new, kTiny);
  return {std::log(t_safe), std::exp(x_new)};
}

namespace {

template <class F>
void unary(const double* xs, std::size_t n, double* out, F f) {
  par::for_ranges(n, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) out[i] = f(xs[i]);
  });
}

template <class F>
void binary(const double* a, const double* b, std::size_t n, double* out, F f) {
  par::for_ranges(n, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) out[i] = f(a[i], b[i]);
  });
}

}  // namespace

void exp_into(const double* xs, std::size_t n, double* out) { unary(xs, n, out, guarded_exp); }
void ln_into(const double* ys, std::size_t n, double* out) { unary(ys, n, out, guarded_ln); }
void sqrt_into(const double* xs, std::size_t n, double* out) { unary(xs, n, out, sqrt_elem); }
void sin_into(const double* xs, std::size_t n, double* out) { unary(xs, n, out, sin_elem); }
void cos_into(const double* xs, std::size_t n, double* out) { unary(xs, n, out, cos_elem); }
void add_into(const double* a, const double* b, std::size_t n, double* out) { binary(a, b, n, out, add_elem); }
void sub_into(const double* a, const double* b, std::size_t n, double* out) { binary(a, b, n, out, sub_elem); }
void mul_into(const double* a, const double* b, std::size_t n, double* out) { binary(a, b, n, out, mul_elem); }
void div_into(const double* a, const double* b, std::size_t n, double* out) { binary(a, b, n, out, div_elem); }
void pow_into(const double* b, const double* e, std::size_t n, double* out) { binary(b, e, n, out, pow_elem); }
void tension_into(const double* xs, const double* ys, std::size_t n, double* out) {
  binary(xs, ys, n, out, vek_tension);
}

PairVec boost_n(const PairVec& points, const Vec& phis, double c) {
  PairVec out(std::min(points.size(), phis.size()));
  par::map_index(out.size(), out.data(),
                 [&](std::size_t i) { return boost_elem(points[i].first, points[i].second, phis[i], c); });
  return out;
}

}  // namespace vek::kernels

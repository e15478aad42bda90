#include "vek/objects/pair.hpp"

#include <algorithm>
#include <cmath>

#include "vek/common/format.hpp"
#include "vek/common/guards.hpp"
#include "vek/common/stop.hpp"

namespace vek::objects {

namespace {

inline constexpr double kEqualTolerance = 1e-9;

// The one phase rotation shared by the method and both batch functions.
inline std::pair<double, double> rotate(double re, double im, double angle) {
  const double s = std::sin(angle);
  const double c = std::cos(angle);
  return {re * c - im * s, im * c + re * s};
}

}  // namespace

Pair Pair::from_polar(double r, double theta) { return Pair{r * std::cos(theta), r * std::sin(theta)}; }

double Pair::modulus() const {
  const double rr = real * real;
  const double ii = imag * imag;
  return std::sqrt(rr + ii);
}

double Pair::argument() const { return std::atan2(imag, real); }

Pair Pair::rotate_phase(double angle) const {
  const auto [re, im] = rotate(real, imag, angle);
  return Pair{re, im};
}

Pair Pair::conjugate() const { return Pair{real, -imag}; }

Pair operator+(Pair p, Pair q) { return Pair{p.real + q.real, p.imag + q.imag}; }

Pair operator-(Pair p, Pair q) { return Pair{p.real - q.real, p.imag - q.imag}; }

Pair operator*(Pair p, Pair q) {
  const double a = p.real, b = p.imag, c = q.real, d = q.imag;
  return Pair{a * c - b * d, b * c + a * d};
}

Pair operator/(Pair p, Pair q) {
  const double a = p.real, b = p.imag, c = q.real, d = q.imag;
  double den = c * c + d * d;
  if (den < kTiny) den = kTiny;  // NaN fails the test and stays NaN
  return Pair{(b * d + a * c) / den, (b * c - a * d) / den};
}

bool Pair::tolerant_equal(const Pair& q) const {
  return std::fabs(real - q.real) < kEqualTolerance && std::fabs(imag - q.imag) < kEqualTolerance;
}

std::string Pair::repr() const {
  std::string out = "VEKPair(";
  fmt::append_fixed(out, real, 6);
  out += imag < 0 ? " - " : " + ";
  fmt::append_fixed(out, std::fabs(imag), 6);
  out += "i)";
  return out;
}

// Long batches stop between pieces of this many elements when asked to.
constexpr std::size_t kCheckEvery = std::size_t{1} << 14;

std::vector<std::pair<double, double>> rotate_phase_n(const std::vector<std::pair<double, double>>& pairs,
                                                      const std::vector<double>& angles) {
  const std::size_t n = std::min(pairs.size(), angles.size());
  std::vector<std::pair<double, double>> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i % kCheckEvery == 0) checkpoint(kCheckEvery);
    out[i] = rotate(pairs[i].first, pairs[i].second, angles[i]);
  }
  return out;
}

std::vector<std::pair<double, double>> schrodinger_step_n(const std::vector<std::pair<double, double>>& psi,
                                                          const std::vector<double>& v, double dt, double hbar) {
  const std::size_t n = std::min(psi.size(), v.size());
  std::vector<std::pair<double, double>> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i % kCheckEvery == 0) checkpoint(kCheckEvery);
    const double theta = (-(v[i] * dt)) / hbar;
    out[i] = rotate(psi[i].first, psi[i].second, theta);
  }
  return out;
}

}  // namespace vek::objects

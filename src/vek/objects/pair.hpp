// VEKPair: an immutable complex number of the vek frame, and the sequential
// batch phase rotations. Every operation is plain IEEE double arithmetic in
// the order written in pair.cpp (no FMA, no hypot).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vek::objects {

struct Pair {
  double real;
  double imag;

  // (r cos theta, r sin theta).
  static Pair from_polar(double r, double theta);

  // sqrt(real*real + imag*imag), squares formed separately.
  double modulus() const;
  // atan2(imag, real), in [-pi, pi].
  double argument() const;
  // The receiver times e^(i angle).
  Pair rotate_phase(double angle) const;
  // (real, -imag): the sign bit of imag flipped.
  Pair conjugate() const;

  friend Pair operator+(Pair p, Pair q);
  friend Pair operator-(Pair p, Pair q);
  friend Pair operator*(Pair p, Pair q);
  // Complex quotient with the denominator c*c + d*d lifted to 1e-300 when it
  // is smaller (so a zero divisor gives a finite result, never a trap).
  friend Pair operator/(Pair p, Pair q);

  // |real - q.real| < 1e-9 and |imag - q.imag| < 1e-9; false for any NaN.
  bool tolerant_equal(const Pair& q) const;

  // "VEKPair(1.000000 - 2.000000i)": the sign is "-" only when imag < 0.
  std::string repr() const;
};

// Also visible by qualified name, not only through argument lookup.
Pair operator+(Pair p, Pair q);
Pair operator-(Pair p, Pair q);
Pair operator*(Pair p, Pair q);
Pair operator/(Pair p, Pair q);

// pairs[i] rotated by angles[i], for i below the shorter length.
std::vector<std::pair<double, double>> rotate_phase_n(const std::vector<std::pair<double, double>>& pairs,
                                                      const std::vector<double>& angles);

// psi[i] rotated by (-(v[i] * dt)) / hbar, for i below the shorter length.
std::vector<std::pair<double, double>> schrodinger_step_n(const std::vector<std::pair<double, double>>& psi,
                                                          const std::vector<double>& v, double dt, double hbar);

}  // namespace vek::objects

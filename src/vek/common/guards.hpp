// The scalar guards shared by the whole system (kernels, objects, discovery,
// algebra). Each is a pure function of doubles, evaluated exactly in the
// order written (no FMA, no fast-math).
#pragma once

#include <cmath>

namespace vek {

inline constexpr double kTiny = 1e-300;                  // floor of divisors and log arguments
inline constexpr double kLogFloor = -690.7755278982137;  // ln(1e-300)
inline constexpr double kExpLimit = 709.782712893384;    // ln(largest finite double)
// The exp limit cut to two decimals: the threshold of the vek operator inside
// formulas and of the Schwarzschild radius, a little below kExpLimit.
inline constexpr double kExpLimitShort = 709.78;

// ln(|y|) for every non-zero y; the log floor for both zeros; NaN stays NaN.
inline double guarded_ln(double y) noexcept {
  const double a = y > 0 ? y : std::fabs(y);
  if (a == 0.0) return kLogFloor;
  return std::log(a);
}

// ln(y) for y > 0 or NaN; otherwise ln(max(|y|, 1e-300)).
inline double floored_ln(double y) noexcept {
  if (y > 0 || std::isnan(y)) return std::log(y);
  return std::log(std::fmax(std::fabs(y), kTiny));
}

// exp(x), with arguments above `threshold` replaced by ln(x) first (so the
// result stays finite and grows like x). NaN stays NaN.
inline double exp_through_ln(double x, double threshold) noexcept {
  const double e = x > threshold ? std::log(x) : x;
  return std::exp(e);
}

// exp(x) through ln above the exp limit.
inline double guarded_exp(double x) noexcept { return exp_through_ln(x, kExpLimit); }

// The vek operator vek(x, y) = exp(x) - ln(y), both guarded.
inline double vek_tension(double x, double y) noexcept { return guarded_exp(x) - guarded_ln(y); }

}  // namespace vek

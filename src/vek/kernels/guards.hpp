// The scalar guards shared by the whole system. Each is a pure function of
// doubles, evaluated exactly in the order written (no FMA, no fast-math).
#pragma once

#include <cmath>

namespace vek {

inline constexpr double kTiny = 1e-300;                   // floor of divisors and log arguments
inline constexpr double kLogFloor = -690.7755278982137;   // ln(1e-300)
inline constexpr double kExpLimit = 709.782712893384;     // ln(largest finite double)
inline constexpr double kBoostClamp = 709.0;

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

// exp(x), with arguments above the exp limit replaced by ln(x) first.
inline double guarded_exp(double x) noexcept {
  const double e = x > kExpLimit ? std::log(x) : x;
  return std::exp(e);
}

// The vek operator vek(x, y) = exp(x) - ln(y), both guarded.
inline double vek_tension(double x, double y) noexcept { return guarded_exp(x) - guarded_ln(y); }

}  // namespace vek

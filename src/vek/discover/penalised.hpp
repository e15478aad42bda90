// The score of a candidate formula: its root-mean-square error against the
// target, scaled by a complexity factor,
//
//   error = rmse × (penalty × complexity + 1),   rmse = sqrt(sse / |target|),
//
// sse summed in row order over the rows both the outputs and the target
// have. Every scorer (the search, the optimizer, the plain reference search
// of the tests) computes it with these functions, in this order.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace vek::discover {

// sse + Σ (out[i] - y[i])² for i < m, in row order; the square is d * d.
inline double add_squares(double sse, const double* out, const double* y, std::size_t m) noexcept {
  for (std::size_t i = 0; i < m; ++i) {
    const double d = out[i] - y[i];
    sse += d * d;
  }
  return sse;
}

// add_squares with row weights: sse + Σ (d * d) * w[i], in row order.
inline double add_weighted_squares(double sse, const double* out, const double* y, const double* w,
                                   std::size_t m) noexcept {
  for (std::size_t i = 0; i < m; ++i) {
    const double d = out[i] - y[i];
    sse += (d * d) * w[i];
  }
  return sse;
}

inline double rmse_of(double sse, double target_len) noexcept { return std::sqrt(sse / target_len); }

inline double complexity_factor(double penalty, std::uint64_t complexity) noexcept {
  return penalty * static_cast<double>(complexity) + 1.0;
}

inline double penalised(double rmse, double factor) noexcept { return rmse * factor; }

// Early drop. A partial sse only grows as rows are added (its terms are
// non-negative and rounding is monotone), and so does the penalised error
// of a positive factor: once the partial error exceeds `limit`, the final
// one will too.
inline bool exceeds(double partial_sse, double target_len, double factor, double limit) noexcept {
  return penalised(rmse_of(partial_sse, target_len), factor) > limit;
}

// The limit a candidate of this factor can be dropped against: the bound,
// or none (+inf) when the factor is not positive (the argument above needs
// a positive one).
inline double drop_limit(double factor, double bound) noexcept {
  return factor > 0.0 ? bound : std::numeric_limits<double>::infinity();
}

}  // namespace vek::discover

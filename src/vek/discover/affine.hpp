// The outer scale and offset of the search with fitted constants: a shape's
// output column g is fitted to the target as g, a·g, g + b or a·g + b, the
// coefficients in closed form by least squares, and the variant with the
// smallest penalised error is kept (each parameter costs its Param node and
// its operator: two nodes).
//
// In formulas the variants are written, in postfix order,
//   a·g      [a] g... [mul]
//   g + b    g... [b] [add]
//   a·g + b  [a] g... [mul] [b] [add]
// so their values are (a * g) + b row by row exactly as computed here, and a
// fitted formula's loss is what evaluating it gives, bit for bit.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "vek/discover/penalised.hpp"
#include "vek/discover/score.hpp"

namespace vek::discover {

enum class Wrap : std::uint8_t { None = 0, Scale, Offset, Affine };

constexpr std::size_t wrap_params(Wrap w) noexcept { return w == Wrap::None ? 0 : (w == Wrap::Affine ? 2 : 1); }
constexpr std::uint64_t wrap_nodes(Wrap w) noexcept { return 2 * wrap_params(w); }

// Sums of the target over its first `common` rows, computed once per search;
// with row weights, every sum weighted (Σ w·y, Σ w·(y - mean)², …).
struct TargetStats {
  double mean = 0.0;      // Σ y / common
  double centered = 0.0;  // Σ (y - mean)²
  double squares = 0.0;   // Σ y²
  double weight = 0.0;    // Σ w: the rows' count when the target has no weights
  // Losses below this (1e-12 of the target's RMS) are rounding noise: they
  // rank as equal, so that the simpler of two exact fits is preferred.
  double noise = 0.0;
  // The value a coefficient of 1 has: the search with fitted constants
  // scores a target divided by a power of two, 1 / unit, and a shape g
  // without a scale stands for g in the caller's units, unit·g here.
  double unit = 1.0;
  static TargetStats of(const Target& t) noexcept;
  // Those of a target scored in units of `unit` (the search's scaled one).
  static TargetStats of(const Target& t, double unit) noexcept {
    TargetStats s = of(t);
    s.unit = unit;
    return s;
  }

  // The value a candidate ranks by: its penalised error with the loss
  // raised to the noise level.
  double rank(double loss, double factor) const noexcept {
    return penalised(std::isnan(loss) || loss > noise ? loss : noise, factor);
  }
};

// Least-squares a and b of a·g + b against the target (centred sums; a = 0
// when g does not vary over the rows).
struct AffineFit {
  double a = 0.0;
  double b = 0.0;
};
AffineFit affine_fit(const double* g, const Target& t, const TargetStats& ts) noexcept;

// Σ ((a * g) + b - y)² over the common rows, in row order.
double affine_sse(const double* g, const Target& t, double a, double b) noexcept;

struct Wrapped {
  Wrap wrap = Wrap::None;
  double a = 1.0, b = 0.0;  // meaningful as the variant says
  double error = 0.0, loss = 0.0;
  double rank = 0.0;  // TargetStats::rank of the variant
  bool ok = false;    // some variant evaluates on every row
};

// The best variant for the shape's column g (all `rows` finite values) of
// `shape_complexity` nodes: the smallest penalised error, ties to the
// variant with fewer parameters, by TargetStats::rank. A variant is a
// candidate only when its coefficients and its value on every row are
// finite. Without a scale the variants are unit·g and unit·g + b.
Wrapped best_wrap(const double* g, std::size_t rows, const Target& t, const TargetStats& ts, double penalty,
                  std::uint64_t shape_complexity) noexcept;

}  // namespace vek::discover

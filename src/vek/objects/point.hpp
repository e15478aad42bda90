// VEKPoint: an immutable point (x, y) of the vek frame. t = exp(x) is its
// canonical time and X = ln(y) its canonical space coordinate. All arithmetic
// is plain IEEE double arithmetic in the order written in point.cpp.
#pragma once

#include <string>

#include "vek/objects/pair.hpp"

namespace vek::objects {

struct Point {
  double x;
  double y;

  // vek(x, y) = guarded_exp(x) - guarded_ln(y).
  double tension() const;
  // (L, guarded_exp(x) - ln L) with L = y made positive, a zero L replaced by
  // 1e-300; a NaN y stays NaN.
  Point mirror_pulse() const;
  // Like the mirror pulse, but the new x is max(|y|, 1e-300) with a NaN |y|
  // giving 1e-300, so every magnitude below 1e-300 is lifted.
  Point frame_shift() const;
  // x above the exp limit, where guarded_exp stops computing exp(x) directly.
  bool is_slipping() const;
  // Round-trip check a -> b + (a - b) of the receiver's exp(x) against
  // next.y's log; true without looking further when exp(x) is not finite.
  bool conserves_tension(const Point& next, double tol) const;
  // (guarded_exp(x), floored_ln(y)).
  Pair pair() const;
  // sqrt(t*t + X*X).
  double euclidean_delta() const;
  // sqrt(|t*t - (c*X)^2|).
  double minkowski_delta(double c) const;
  // Lorentz boost by rapidity phi in the canonical frame, mapped back to
  // point coordinates (the per-element rule of the batch boost).
  Point boost(double phi, double c) const;

  // "VEKPoint(x=1.000000, y=-0.500000)".
  std::string repr() const;
  // "VEKPoint { x: 0.0, y: 1.0 }", each float in shortest round-trip form.
  std::string debug() const;
};

}  // namespace vek::objects

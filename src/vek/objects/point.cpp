#include "vek/objects/point.hpp"

#include <cmath>

#include "vek/common/format.hpp"
#include "vek/common/guards.hpp"
#include "vek/kernels/kernels.hpp"

namespace vek::objects {

double Point::tension() const { return vek_tension(x, y); }

Point Point::mirror_pulse() const {
  const double l = (y > 0 || std::isnan(y)) ? y : std::fabs(y);
  const double nx = l == 0.0 ? kTiny : l;
  return Point{nx, guarded_exp(x) - std::log(nx)};
}

Point Point::frame_shift() const {
  const double nx = std::fmax(std::fabs(y), kTiny);  // fmax drops a NaN operand
  return Point{nx, guarded_exp(x) - std::log(nx)};
}

bool Point::is_slipping() const { return x > kExpLimit; }

bool Point::conserves_tension(const Point& next, double tol) const {
  const double a = guarded_exp(x);
  if (!std::isfinite(a)) return true;
  const double b = guarded_ln(next.y);
  const double d = a - b;
  const double s = b + d;
  const double r = std::fabs(s - a);
  return r < tol;
}

Pair Point::pair() const { return Pair{guarded_exp(x), floored_ln(y)}; }

double Point::euclidean_delta() const {
  const double t = guarded_exp(x);
  const double X = floored_ln(y);
  const double tt = t * t;
  const double XX = X * X;
  return std::sqrt(tt + XX);
}

double Point::minkowski_delta(double c) const {
  const double t = guarded_exp(x);
  const double X = floored_ln(y);
  const double s = c * X;
  const double tt = t * t;
  const double ss = s * s;
  return std::sqrt(std::fabs(tt - ss));
}

Point Point::boost(double phi, double c) const {
  const auto [nx, ny] = kernels::boost_elem(x, y, phi, c);
  return Point{nx, ny};
}

std::string Point::repr() const {
  std::string out = "VEKPoint(x=";
  fmt::append_fixed(out, x, 6);
  out += ", y=";
  fmt::append_fixed(out, y, 6);
  out += ')';
  return out;
}

std::string Point::debug() const {
  std::string out = "VEKPoint { x: ";
  out += fmt::shortest(x);
  out += ", y: ";
  out += fmt::shortest(y);
  out += " }";
  return out;
}

}  // namespace vek::objects

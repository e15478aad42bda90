// The target of the search with fitted constants, scaled by a power of two.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace vek::discover {

// The target divided by a power of two, 2^e, so that its largest magnitude
// lies in [0.5, 1): squares cannot overflow, and the search on y and on s·y
// differs only by what s does to the mantissas. Exact (a power of two),
// short of values far below the largest one reaching the subnormal range.
struct Normalized {
  std::vector<double> y;
  double scale = 1.0;  // 2^e
  double unit = 1.0;   // 2^-e

  explicit Normalized(const std::vector<double>& target, std::size_t common) : y(target) {
    double top = 0.0;
    for (std::size_t i = 0; i < common; ++i) top = std::fmax(top, std::fabs(target[i]));
    if (!(top > 0.0) || !std::isfinite(top)) return;
    int e = 0;
    std::frexp(top, &e);
    e = std::clamp(e, -1000, 1000);
    scale = std::ldexp(1.0, e);
    unit = std::ldexp(1.0, -e);
    for (double& v : y) v *= unit;
  }
};

}  // namespace vek::discover

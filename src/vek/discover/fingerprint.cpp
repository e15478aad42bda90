#include "vek/discover/fingerprint.hpp"

#include <cmath>
#include <vector>

namespace vek::discover {

std::optional<ProbeBits> fingerprint(const Expr& expr, std::uint64_t n_vars) {
  Probes values;
  std::vector<double> point(static_cast<std::size_t>(n_vars));
  for (std::size_t k = 0; k < kProbeCount; ++k) {
    for (std::size_t i = 0; i < point.size(); ++i) point[i] = probe_value(k, i);
    const std::optional<double> v = expr.eval(point, {});
    if (!v || !std::isfinite(*v)) return std::nullopt;
    values[k] = *v;
  }
  return probe_bits(values);
}

}  // namespace vek::discover

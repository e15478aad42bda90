#include "vek/discover/family.hpp"

#include <bit>
#include <cmath>
#include <vector>

namespace vek::discover {

namespace {

// Irrational numbers between 0.5 and 1.7, none 1 or a simple multiple of
// another: Gauss's constant, the plastic number, the omega constant, the
// supergolden ratio, Catalan's constant, the Erdős–Borwein constant, the
// Laplace limit and the Ramanujan–Soldner constant.
constexpr std::array<double, 8> kParamProbes = {
    0.8346268416740731, 1.3247179572447460, 0.5671432904097838, 1.4655712318767680,
    0.9159655941772190, 1.6066951524152917, 0.6627434193491816, 1.4513692348833810,
};

constexpr double kQuantum = 67108864.0;  // 2^26

}  // namespace

double family_var_probe(std::size_t k, std::size_t index) noexcept {
  std::uint64_t z = (static_cast<std::uint64_t>(index) * kProbeCount + k + 1) * 0x9E3779B97F4A7C15u;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  z ^= z >> 31;
  return 0.5 + 2.0 * (static_cast<double>(z >> 11) * 0x1.0p-53);
}

double family_param_probe(std::size_t j) noexcept {
  // Beyond the table: the same values shifted by whole numbers, still distinct.
  return kParamProbes[j % kParamProbes.size()] + static_cast<double>(j / kParamProbes.size());
}

ProbeBits family_key(const Probes& p) noexcept {
  ProbeBits key{};  // all zeros: the constant family
  double mean = 0.0;
  for (double v : p) mean += v;
  mean /= static_cast<double>(kProbeCount);
  Probes s;
  double largest = 0.0;
  for (std::size_t k = 0; k < kProbeCount; ++k) {
    s[k] = p[k] - mean;
    largest = std::fmax(largest, std::fabs(s[k]));
  }
  if (!(largest > 1e-7 * std::fabs(mean)) || !(largest > 1e-290)) return key;
  double norm = 0.0;
  for (double& v : s) {
    v /= largest;
    norm += v * v;
  }
  norm = std::sqrt(norm);
  double sign = 0.0;
  for (double v : s) {
    if (std::fabs(v) > 0.1 * norm) {
      sign = v > 0.0 ? 1.0 : -1.0;
      break;
    }
  }
  for (std::size_t k = 0; k < kProbeCount; ++k) {
    const double q = std::nearbyint(sign * s[k] / norm * kQuantum);
    key[k] = std::bit_cast<std::uint64_t>(static_cast<std::int64_t>(q));
  }
  return key;
}

bool family_probes(const Expr& expr, std::size_t n_vars, std::size_t n_params, Probes& out, FamilyScratch& scratch) {
  scratch.params.resize(n_params);
  for (std::size_t j = 0; j < n_params; ++j) scratch.params[j] = family_param_probe(j);
  scratch.point.resize(n_vars);
  for (std::size_t k = 0; k < kProbeCount; ++k) {
    for (std::size_t i = 0; i < n_vars; ++i) scratch.point[i] = family_var_probe(k, i);
    const std::optional<double> v = expr.eval(scratch.point, scratch.params);
    if (!v || !std::isfinite(*v)) return false;
    out[k] = *v;
  }
  return true;
}

}  // namespace vek::discover

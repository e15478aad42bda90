// Fingerprints: an expression's values at five fixed probe points, used to
// recognise candidates that compute the same function as an earlier one.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <optional>

#include "vek/discover/expr.hpp"

namespace vek::discover {

inline constexpr std::size_t kProbeCount = 5;

// Probe k gives variable i the value (i + 1) * kProbeMultipliers[k].
// The multipliers are γ, Glaisher's A, φ, ln 2 and ζ(3), fixed bit for bit.
inline constexpr std::array<double, kProbeCount> kProbeMultipliers = {
    std::bit_cast<double>(std::uint64_t{0x3FE2788CFC6FB618}), std::bit_cast<double>(std::uint64_t{0x3FF484D24F2FD873}),
    std::bit_cast<double>(std::uint64_t{0x3FF9E3779B97F4A8}), std::bit_cast<double>(std::uint64_t{0x3FE62E42FEFA39EF}),
    std::bit_cast<double>(std::uint64_t{0x3FF33BA004F00621}),
};

// Value of variable `index` at probe k.
inline double probe_value(std::size_t k, std::size_t index) noexcept {
  return static_cast<double>(index + 1) * kProbeMultipliers[k];
}

// An expression's values at the five probe points, in probe order.
using Probes = std::array<double, kProbeCount>;

// A fingerprint: the five probe results as raw bit patterns. Equal
// fingerprints mean bit-identical probe results (+0.0 and -0.0 differ).
using ProbeBits = std::array<std::uint64_t, kProbeCount>;

inline ProbeBits probe_bits(const Probes& p) noexcept {
  ProbeBits bits;
  for (std::size_t k = 0; k < kProbeCount; ++k) bits[k] = std::bit_cast<std::uint64_t>(p[k]);
  return bits;
}

// Evaluates `expr` at the five probe points for `n_vars` variables, in probe
// order, with no parameters. No fingerprint when any evaluation fails or
// gives a non-finite value.
std::optional<ProbeBits> fingerprint(const Expr& expr, std::uint64_t n_vars);

}  // namespace vek::discover

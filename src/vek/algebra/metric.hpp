// Christoffel symbols of the Schwarzschild metric, time-radius block only
// (index 0 is t, 1 is r; every symbol touching another index is zero). A
// point's radius is given logarithmically, r = exp(x).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace vek::algebra {

// Gamma^lam_{mu nu} at r = exp(x) (x above 709.78 goes through ln first),
// with r kept at least 1e-9 outside the horizon rs. Degenerate radii
// (r <= 0 or r <= rs) give 0.0; a NaN rs makes every non-zero symbol NaN.
double christoffel(double x, std::uint64_t lam, std::uint64_t mu, std::uint64_t nu, double rs);

// christoffel(points[i].first, ...) for every point, on the shared pool; the
// second member of each point is not used.
std::vector<double> christoffel_batch_n(const std::vector<std::pair<double, double>>& points, std::uint64_t lam,
                                        std::uint64_t mu, std::uint64_t nu, double rs);

}  // namespace vek::algebra

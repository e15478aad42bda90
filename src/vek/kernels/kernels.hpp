// The element-wise batch kernels. Each runs an order-preserving parallel map
// on the shared pool; element i depends only on the inputs at i.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "vek/common/guards.hpp"

namespace vek::kernels {

using Vec = std::vector<double>;
using PairVec = std::vector<std::pair<double, double>>;

// Boosted rapidities are clamped to [-kBoostClamp, kBoostClamp].
inline constexpr double kBoostClamp = 709.0;

// Scalar element rules, exposed for the tests and for other subsystems; the
// batch kernels below and the numpy ufuncs both apply exactly these.
inline double add_elem(double a, double b) noexcept { return a + b; }
inline double sub_elem(double a, double b) noexcept { return a - b; }
inline double mul_elem(double a, double b) noexcept { return a * b; }
inline double sin_elem(double x) noexcept { return std::sin(x); }
inline double cos_elem(double x) noexcept { return std::cos(x); }
inline double div_elem(double a, double b) noexcept { return std::fabs(b) < kTiny ? std::nan("") : a / b; }
inline double sqrt_elem(double x) noexcept { return std::sqrt(std::fabs(x)); }
inline double pow_elem(double b, double e) noexcept { return std::pow(std::fabs(b), e); }
std::pair<double, double> boost_elem(double x, double y, double phi, double c) noexcept;

// The boost batch (the output as long as the shorter input).
PairVec boost_n(const PairVec& points, const Vec& phis, double c);

// Raw-pointer forms: the binding layer feeds these straight from its input
// buffers. `out` must hold n values.
void exp_into(const double* xs, std::size_t n, double* out);
void ln_into(const double* ys, std::size_t n, double* out);
void add_into(const double* a, const double* b, std::size_t n, double* out);
void sub_into(const double* a, const double* b, std::size_t n, double* out);
void mul_into(const double* a, const double* b, std::size_t n, double* out);
void div_into(const double* a, const double* b, std::size_t n, double* out);
void sqrt_into(const double* xs, std::size_t n, double* out);
void sin_into(const double* xs, std::size_t n, double* out);
void cos_into(const double* xs, std::size_t n, double* out);
void pow_into(const double* b, const double* e, std::size_t n, double* out);
void tension_into(const double* xs, const double* ys, std::size_t n, double* out);

}  // namespace vek::kernels

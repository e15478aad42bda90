// Array loops of the cheap element rules (add, sub, mul, div, sqrt) for the
// numpy ufuncs: 8 or 4 elements at a time with AVX-512 or AVX2 where
// simd::level() allows, else the scalar element rule one element at a time.
// Each gives the element rule's bits (vek/common/simd.hpp says why); the
// list kernels keep the scalar loops and are what the vector loops are
// checked against.
#pragma once

#include <cstddef>

namespace vek::kernels {

// out[i] = rule(a[i * sa], b[i * sb]) for i < n, with steps sa and sb in
// elements: 1 for an array, 0 for a broadcast scalar. out may be a or b
// exactly (in place) but must not otherwise overlap them: a vector loop
// reads a few elements ahead of what it writes.
using BinaryArrayFn = void (*)(const double* a, std::size_t sa, const double* b, std::size_t sb, double* out,
                               std::size_t n) noexcept;
void add_array(const double* a, std::size_t sa, const double* b, std::size_t sb, double* out, std::size_t n) noexcept;
void sub_array(const double* a, std::size_t sa, const double* b, std::size_t sb, double* out, std::size_t n) noexcept;
void mul_array(const double* a, std::size_t sa, const double* b, std::size_t sb, double* out, std::size_t n) noexcept;
void div_array(const double* a, std::size_t sa, const double* b, std::size_t sb, double* out, std::size_t n) noexcept;

// out[i] = sqrt_elem(x[i * sx]) for i < n, on the same terms.
using UnaryArrayFn = void (*)(const double* x, std::size_t sx, double* out, std::size_t n) noexcept;
void sqrt_array(const double* x, std::size_t sx, double* out, std::size_t n) noexcept;

}  // namespace vek::kernels

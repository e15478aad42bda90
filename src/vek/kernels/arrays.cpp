#include "vek/kernels/arrays.hpp"

#include <cmath>
#include <cstdint>

#include "vek/common/simd.hpp"
#include "vek/kernels/kernels.hpp"

namespace vek::kernels {
namespace {

enum class Rule { Add, Sub, Mul, Div, Sqrt };

template <Rule R>
double scalar_rule(double a, double b) noexcept {
  if constexpr (R == Rule::Add) return add_elem(a, b);
  if constexpr (R == Rule::Sub) return sub_elem(a, b);
  if constexpr (R == Rule::Mul) return mul_elem(a, b);
  if constexpr (R == Rule::Div) return div_elem(a, b);
  if constexpr (R == Rule::Sqrt) return sqrt_elem(a);
}

template <Rule R>
void scalar_loop(const double* a, std::size_t sa, const double* b, std::size_t sb, double* out,
                 std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) out[i] = scalar_rule<R>(a[i * sa], b[i * sb]);
}

#if VEK_SIMD_X86
using namespace simd;

// The rule on four lanes, with the scalar rule's operations in its order.
template <Rule R>
VEK_WIDE_INLINE __m256d wide_rule(__m256d a, __m256d b, __m256d nan) noexcept {
  if constexpr (R == Rule::Add) return _mm256_add_pd(a, b);
  if constexpr (R == Rule::Sub) return _mm256_sub_pd(a, b);
  if constexpr (R == Rule::Mul) return _mm256_mul_pd(a, b);
  if constexpr (R == Rule::Div) {
    // A divisor below kTiny in magnitude gives the rule's NaN; it is swapped
    // for 1 before dividing so that no lane raises a flag the scalar rule,
    // which never divides there, would not.
    const __m256d tiny = less4(abs4(b), _mm256_set1_pd(kTiny));
    const __m256d q = _mm256_div_pd(a, select4(tiny, _mm256_set1_pd(1.0), b));
    return select4(tiny, nan, q);
  }
  if constexpr (R == Rule::Sqrt) return _mm256_sqrt_pd(abs4(a));
}

// The rule on eight lanes. A division by a divisor below kTiny is masked
// off (the lane takes the rule's NaN and raises no flag).
template <Rule R>
VEK_WIDER_INLINE __m512d wider_rule(__m512d a, __m512d b, __m512d nan) noexcept {
  if constexpr (R == Rule::Add) return _mm512_add_pd(a, b);
  if constexpr (R == Rule::Sub) return _mm512_sub_pd(a, b);
  if constexpr (R == Rule::Mul) return _mm512_mul_pd(a, b);
  if constexpr (R == Rule::Div) {
    const __mmask8 divide = _mm512_cmp_pd_mask(_mm512_abs_pd(b), _mm512_set1_pd(kTiny), _CMP_NLT_UQ);
    return _mm512_mask_div_pd(nan, divide, a, b);
  }
  if constexpr (R == Rule::Sqrt) {
    const __m512d x = _mm512_abs_pd(a);
    return _mm512_mask_sqrt_pd(x, 0xFF, x);  // every lane; the unmasked form trips a false warning of GCC 12
  }
}

// SA and SB: whether a and b move (else one value broadcast). The tail
// goes through the scalar rule.
template <Rule R, bool SA, bool SB>
VEK_WIDE void wide_loop(const double* a, const double* b, double* out, std::size_t n) noexcept {
  const __m256d nan = _mm256_set1_pd(std::nan(""));  // div_elem's NaN, bit for bit
  const __m256d a0 = _mm256_set1_pd(a[0]);
  const __m256d b0 = _mm256_set1_pd(b[0]);
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256d x = SA ? _mm256_loadu_pd(a + i) : a0;
    const __m256d y = SB ? _mm256_loadu_pd(b + i) : b0;
    _mm256_storeu_pd(out + i, wide_rule<R>(x, y, nan));
  }
  for (; i < n; ++i) out[i] = scalar_rule<R>(a[SA ? i : 0], b[SB ? i : 0]);
}

template <Rule R, bool SA, bool SB>
VEK_WIDER void wider_loop(const double* a, const double* b, double* out, std::size_t n) noexcept {
  const __m512d nan = _mm512_set1_pd(std::nan(""));
  const __m512d a0 = _mm512_set1_pd(a[0]);
  const __m512d b0 = _mm512_set1_pd(b[0]);
  // Scalar rows until the output is aligned to a cache line, so that no
  // store straddles two.
  std::size_t i = 0;
  for (; i < n && (reinterpret_cast<std::uintptr_t>(out + i) & 63) != 0; ++i)
    out[i] = scalar_rule<R>(a[SA ? i : 0], b[SB ? i : 0]);
  for (; i + 16 <= n; i += 16) {
    const __m512d x0 = SA ? _mm512_loadu_pd(a + i) : a0, x1 = SA ? _mm512_loadu_pd(a + i + 8) : a0;
    const __m512d y0 = SB ? _mm512_loadu_pd(b + i) : b0, y1 = SB ? _mm512_loadu_pd(b + i + 8) : b0;
    _mm512_store_pd(out + i, wider_rule<R>(x0, y0, nan));
    _mm512_store_pd(out + i + 8, wider_rule<R>(x1, y1, nan));
  }
  for (; i + 8 <= n; i += 8) {
    const __m512d x = SA ? _mm512_loadu_pd(a + i) : a0;
    const __m512d y = SB ? _mm512_loadu_pd(b + i) : b0;
    _mm512_store_pd(out + i, wider_rule<R>(x, y, nan));
  }
  for (; i < n; ++i) out[i] = scalar_rule<R>(a[SA ? i : 0], b[SB ? i : 0]);
}

template <Rule R, bool SA, bool SB>
void vector_loop(const double* a, const double* b, double* out, std::size_t n) noexcept {
  if (simd::wider()) return wider_loop<R, SA, SB>(a, b, out, n);
  wide_loop<R, SA, SB>(a, b, out, n);
}
#endif

template <Rule R>
void run(const double* a, std::size_t sa, const double* b, std::size_t sb, double* out, std::size_t n) noexcept {
  if (n == 0) return;
#if VEK_SIMD_X86
  if (simd::wide()) {
    if (sa != 0 && sb != 0) return vector_loop<R, true, true>(a, b, out, n);
    if (sa != 0) return vector_loop<R, true, false>(a, b, out, n);
    if (sb != 0) return vector_loop<R, false, true>(a, b, out, n);
    return vector_loop<R, false, false>(a, b, out, n);
  }
#endif
  scalar_loop<R>(a, sa, b, sb, out, n);
}

}  // namespace

void add_array(const double* a, std::size_t sa, const double* b, std::size_t sb, double* out, std::size_t n) noexcept {
  run<Rule::Add>(a, sa, b, sb, out, n);
}
void sub_array(const double* a, std::size_t sa, const double* b, std::size_t sb, double* out, std::size_t n) noexcept {
  run<Rule::Sub>(a, sa, b, sb, out, n);
}
void mul_array(const double* a, std::size_t sa, const double* b, std::size_t sb, double* out, std::size_t n) noexcept {
  run<Rule::Mul>(a, sa, b, sb, out, n);
}
void div_array(const double* a, std::size_t sa, const double* b, std::size_t sb, double* out, std::size_t n) noexcept {
  run<Rule::Div>(a, sa, b, sb, out, n);
}
void sqrt_array(const double* x, std::size_t sx, double* out, std::size_t n) noexcept {
  run<Rule::Sqrt>(x, sx, x, sx, out, n);
}

}  // namespace vek::kernels

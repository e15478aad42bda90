// Vector loops where no bit can change, chosen at run time.
//
// IEEE 754 rounds add, sub, mul, div and sqrt once per element, and the
// comparisons, selects and sign masks of the guards are exact, so a lane of
// a vector instruction gives the bits the scalar instruction gives, as long
// as the vector code does the same operations in the same order. Intrinsics
// are never contracted into fused multiply-adds (and -ffp-contract=off holds
// for the rest), so the 4- and 8-wide loops built on this header equal the
// scalar loops bit for bit. Reductions keep their scalar accumulation order.
//
// The build stays baseline x86-64 (and builds elsewhere): the vector
// functions carry [[gnu::target("avx2")]] (VEK_WIDE) or
// [[gnu::target("avx512f")]] (VEK_WIDER) and run only where wide() or
// wider() says the processor has those instructions.
#pragma once

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define VEK_SIMD_X86 1
#include <immintrin.h>
#else
#define VEK_SIMD_X86 0
#endif

namespace vek::simd {

// The vector loops in use: none (the scalar ones), the 4-wide AVX2 ones, or
// also the 8-wide AVX-512 ones (only the ufuncs' array loops have those).
enum Level : int { kScalar = 0, kAvx2 = 1, kAvx512 = 2 };

// The widest level the processor has, unless VEK_SIMD was "0" (or "off")
// in the environment when first asked, or set_level chose another since.
int level() noexcept;
inline bool wide() noexcept { return level() >= kAvx2; }
inline bool wider() noexcept { return level() >= kAvx512; }

// Uses the vector loops up to `wanted` (at most what the processor has)
// for every thread from now on; returns the level used before. The scalar
// loops are the reference the tests compare the vector ones against.
int set_level(int wanted) noexcept;

#if VEK_SIMD_X86
#define VEK_WIDE [[gnu::target("avx2")]]
#define VEK_WIDE_INLINE [[gnu::target("avx2"), gnu::always_inline]] inline
#define VEK_WIDER [[gnu::target("avx512f")]]
#define VEK_WIDER_INLINE [[gnu::target("avx512f"), gnu::always_inline]] inline

// |x| lane by lane: the sign bit cleared, as std::fabs does.
VEK_WIDE_INLINE __m256d abs4(__m256d x) noexcept { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), x); }

// -x lane by lane: the sign bit flipped, as unary minus does.
VEK_WIDE_INLINE __m256d neg4(__m256d x) noexcept { return _mm256_xor_pd(_mm256_set1_pd(-0.0), x); }

// All bits set where x < y (false for NaN), as the scalar `x < y`.
VEK_WIDE_INLINE __m256d less4(__m256d x, __m256d y) noexcept { return _mm256_cmp_pd(x, y, _CMP_LT_OQ); }

// All bits set where x is finite, as std::isfinite: |x| < inf.
VEK_WIDE_INLINE __m256d finite4(__m256d x) noexcept { return less4(abs4(x), _mm256_set1_pd(__builtin_inf())); }

// t where mask is set, else f.
VEK_WIDE_INLINE __m256d select4(__m256d mask, __m256d t, __m256d f) noexcept { return _mm256_blendv_pd(f, t, mask); }

// Whether every lane of the mask is set.
VEK_WIDE_INLINE bool all4(__m256d mask) noexcept { return _mm256_movemask_pd(mask) == 0xF; }
#endif

}  // namespace vek::simd

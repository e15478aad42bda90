// Per-operator row kernels of the search: one operator applied down whole
// output columns of its operands, instantiated for every operator and
// reached through dispatch tables indexed by the operator code. Each row is
// apply<O> (ops.hpp), so a kernel's values equal the expression evaluator's
// bit for bit.
//
// The operators whose value is plain arithmetic behind a guard (kWideOp)
// also have 4-wide AVX kernels (score_rows_wide, fill_rows_wide), chosen at
// run time by score_rows_for and fill_rows_for where simd::wide() allows.
// wide_value repeats their rows of kOps lane by lane, in the same order of
// operations; the native tests hold the two forms to the same bits.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "vek/common/simd.hpp"
#include "vek/discover/expr.hpp"
#include "vek/discover/penalised.hpp"

namespace vek::discover {

enum class Outcome : std::uint8_t { Failed, Scored, Dropped };

// Rows between two checks of the early drop.
inline constexpr std::size_t kCheckEvery = 16;

// Scores op(a[i], b[i]) against the target: every one of the n rows must
// evaluate (else Failed), the squared differences of the first m rows are
// summed in row order, rmse = rmse_of(sse, target_len) and error =
// penalised(rmse, factor). A candidate whose partial error exceeds `limit`
// (penalised.hpp: exceeds) stops early as Dropped; pass at least
// drop_limit(factor, bound) as the limit.
// Weighted: each square is multiplied by its row's weight w[i] (else w is
// not read).
template <Op O, bool Weighted>
Outcome score_rows_of(const double* a, const double* b, std::size_t n, const double* y, const double* w, std::size_t m,
                      double target_len, double factor, double limit, double& error_out, double& rmse_out) {
  double sse = 0.0;
  double v;
  std::size_t i = 0;
  while (i < m) {
    const std::size_t stop = std::min(m, i + kCheckEvery);
    for (; i < stop; ++i) {
      if (!apply<O>(a[i], b[i], v)) return Outcome::Failed;
      const double d = v - y[i];
      if constexpr (Weighted) {
        sse += (d * d) * w[i];
      } else {
        sse += d * d;
      }
    }
    if (exceeds(sse, target_len, factor, limit)) return Outcome::Dropped;
  }
  const double rmse = rmse_of(sse, target_len);
  const double error = penalised(rmse, factor);
  if (error > limit) return Outcome::Dropped;
  for (; i < n; ++i) {
    if (!apply<O>(a[i], b[i], v)) return Outcome::Failed;
  }
  error_out = error;
  rmse_out = rmse;
  return Outcome::Scored;
}

// The unweighted kernel, the search's usual one.
template <Op O>
Outcome score_rows(const double* a, const double* b, std::size_t n, const double* y, std::size_t m, double target_len,
                   double factor, double limit, double& error_out, double& rmse_out) {
  return score_rows_of<O, false>(a, b, n, y, nullptr, m, target_len, factor, limit, error_out, rmse_out);
}

// score_rows with row weights w: each squared difference is multiplied by
// its row's weight, (d * d) * w[i], and target_len is the sum of the
// weights. The weights are not negative, so the partial sse still only
// grows and the early drop holds.
template <Op O>
Outcome score_rows_weighted(const double* a, const double* b, std::size_t n, const double* y, const double* w,
                            std::size_t m, double target_len, double factor, double limit, double& error_out,
                            double& rmse_out) {
  return score_rows_of<O, true>(a, b, n, y, w, m, target_len, factor, limit, error_out, rmse_out);
}

// out[i] = op(a[i], b[i]) for i < n; false as soon as a row fails.
template <Op O>
bool fill_rows(const double* a, const double* b, std::size_t n, double* out) {
  for (std::size_t i = 0; i < n; ++i) {
    if (!apply<O>(a[i], b[i], out[i])) return false;
  }
  return true;
}

// Whether the operator has the 4-wide kernels below.
template <Op O>
inline constexpr bool kWideOp = O == Op::Neg || O == Op::Inv || O == Op::Sqrt || O == Op::Abs || O == Op::Add ||
                                O == Op::Sub || O == Op::Mul || O == Op::Div || O == Op::Square || O == Op::Cube;

#if VEK_SIMD_X86
// op(a, b) on four rows. `ok` has all bits set in the rows where apply<O>
// succeeds: the guard passes and the value is finite. A row that fails the
// guard has its operand swapped for a harmless one first, so that it raises
// no floating-point flag the scalar form (which stops there) would not.
template <Op O>
VEK_WIDE_INLINE __m256d wide_value(__m256d a, __m256d b, __m256d& ok) noexcept {
  static_assert(kWideOp<O>);
  using namespace simd;
  const __m256d one = _mm256_set1_pd(1.0);
  __m256d fail = _mm256_setzero_pd();
  __m256d v;
  if constexpr (O == Op::Neg) {
    v = neg4(a);
  } else if constexpr (O == Op::Inv) {
    fail = less4(abs4(a), _mm256_set1_pd(kTiny));
    v = _mm256_div_pd(one, select4(fail, one, a));
  } else if constexpr (O == Op::Sqrt) {
    fail = less4(a, _mm256_setzero_pd());
    v = _mm256_sqrt_pd(select4(fail, one, a));
  } else if constexpr (O == Op::Abs) {
    v = abs4(a);
  } else if constexpr (O == Op::Add) {
    v = _mm256_add_pd(a, b);
  } else if constexpr (O == Op::Sub) {
    v = _mm256_sub_pd(a, b);
  } else if constexpr (O == Op::Mul) {
    v = _mm256_mul_pd(a, b);
  } else if constexpr (O == Op::Div) {
    fail = less4(abs4(b), _mm256_set1_pd(kTiny));
    v = _mm256_div_pd(a, select4(fail, one, b));
  } else if constexpr (O == Op::Square) {
    v = _mm256_mul_pd(a, a);
  } else if constexpr (O == Op::Cube) {
    v = _mm256_mul_pd(_mm256_mul_pd(a, a), a);
  }
  ok = _mm256_andnot_pd(fail, finite4(v));
  return v;
}

// score_rows, four rows at a time. Within a block of kCheckEvery rows the
// squared differences go to a small buffer, then into sse one by one in row
// order, so sse is the scalar kernel's sum bit for bit; any failing row of a
// block fails the candidate before that block's drop check, as there.
template <Op O>
VEK_WIDE Outcome score_rows_wide(const double* a, const double* b, std::size_t n, const double* y, std::size_t m,
                                 double target_len, double factor, double limit, double& error_out, double& rmse_out) {
  alignas(32) double squares[kCheckEvery];
  double sse = 0.0;
  std::size_t i = 0;
  while (i < m) {
    const std::size_t stop = std::min(m, i + kCheckEvery);
    std::size_t j = i;
    for (; j + 4 <= stop; j += 4) {
      __m256d ok;
      const __m256d v = wide_value<O>(_mm256_loadu_pd(a + j), _mm256_loadu_pd(b + j), ok);
      if (!simd::all4(ok)) return Outcome::Failed;
      const __m256d d = _mm256_sub_pd(v, _mm256_loadu_pd(y + j));
      _mm256_store_pd(squares + (j - i), _mm256_mul_pd(d, d));
    }
    for (; j < stop; ++j) {
      double v;
      if (!apply<O>(a[j], b[j], v)) return Outcome::Failed;
      const double d = v - y[j];
      squares[j - i] = d * d;
    }
    for (std::size_t k = 0; k < stop - i; ++k) sse += squares[k];
    i = stop;
    if (exceeds(sse, target_len, factor, limit)) return Outcome::Dropped;
  }
  const double rmse = rmse_of(sse, target_len);
  const double error = penalised(rmse, factor);
  if (error > limit) return Outcome::Dropped;
  for (; i + 4 <= n; i += 4) {
    __m256d ok;
    wide_value<O>(_mm256_loadu_pd(a + i), _mm256_loadu_pd(b + i), ok);
    if (!simd::all4(ok)) return Outcome::Failed;
  }
  double v;
  for (; i < n; ++i) {
    if (!apply<O>(a[i], b[i], v)) return Outcome::Failed;
  }
  error_out = error;
  rmse_out = rmse;
  return Outcome::Scored;
}

// fill_rows, four rows at a time; the four rows holding a failure go to
// the scalar loop, which writes the rows before it and reports it.
template <Op O>
VEK_WIDE bool fill_rows_wide(const double* a, const double* b, std::size_t n, double* out) {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m256d ok;
    const __m256d v = wide_value<O>(_mm256_loadu_pd(a + i), _mm256_loadu_pd(b + i), ok);
    if (!simd::all4(ok)) break;
    _mm256_storeu_pd(out + i, v);
  }
  for (; i < n; ++i) {
    if (!apply<O>(a[i], b[i], out[i])) return false;
  }
  return true;
}
#endif

using ScoreRowsFn = Outcome (*)(const double*, const double*, std::size_t, const double*, std::size_t, double, double,
                                double, double&, double&);
using FillRowsFn = bool (*)(const double*, const double*, std::size_t, double*);
using WeightedScoreRowsFn = Outcome (*)(const double*, const double*, std::size_t, const double*, const double*,
                                        std::size_t, double, double, double, double&, double&);

namespace row_ops_detail {
template <Op O>
constexpr ScoreRowsFn wide_score() {
#if VEK_SIMD_X86
  if constexpr (kWideOp<O>) return &score_rows_wide<O>;
#endif
  return &score_rows<O>;
}
template <Op O>
constexpr FillRowsFn wide_fill() {
#if VEK_SIMD_X86
  if constexpr (kWideOp<O>) return &fill_rows_wide<O>;
#endif
  return &fill_rows<O>;
}
template <std::size_t... I>
constexpr std::array<ScoreRowsFn, kOpCount> score_table(std::index_sequence<I...>) {
  return {&score_rows<static_cast<Op>(I)>...};
}
template <std::size_t... I>
constexpr std::array<WeightedScoreRowsFn, kOpCount> weighted_score_table(std::index_sequence<I...>) {
  return {&score_rows_weighted<static_cast<Op>(I)>...};
}
template <std::size_t... I>
constexpr std::array<FillRowsFn, kOpCount> fill_table(std::index_sequence<I...>) {
  return {&fill_rows<static_cast<Op>(I)>...};
}
template <std::size_t... I>
constexpr std::array<ScoreRowsFn, kOpCount> wide_score_table(std::index_sequence<I...>) {
  return {wide_score<static_cast<Op>(I)>()...};
}
template <std::size_t... I>
constexpr std::array<FillRowsFn, kOpCount> wide_fill_table(std::index_sequence<I...>) {
  return {wide_fill<static_cast<Op>(I)>()...};
}
}  // namespace row_ops_detail

// The scalar kernels, and the kernels used where simd::wide() (the 4-wide
// ones for kWideOp, the scalar ones for the rest).
inline constexpr auto kScoreRows = row_ops_detail::score_table(std::make_index_sequence<kOpCount>{});
inline constexpr auto kWeightedScoreRows = row_ops_detail::weighted_score_table(std::make_index_sequence<kOpCount>{});
inline constexpr auto kFillRows = row_ops_detail::fill_table(std::make_index_sequence<kOpCount>{});
inline constexpr auto kWideScoreRows = row_ops_detail::wide_score_table(std::make_index_sequence<kOpCount>{});
inline constexpr auto kWideFillRows = row_ops_detail::wide_fill_table(std::make_index_sequence<kOpCount>{});

inline ScoreRowsFn score_rows_for(Op op) noexcept {
  return (simd::wide() ? kWideScoreRows : kScoreRows)[static_cast<std::size_t>(op)];
}
inline WeightedScoreRowsFn weighted_score_rows_for(Op op) noexcept {
  return kWeightedScoreRows[static_cast<std::size_t>(op)];
}
inline FillRowsFn fill_rows_for(Op op) noexcept {
  return (simd::wide() ? kWideFillRows : kFillRows)[static_cast<std::size_t>(op)];
}

}  // namespace vek::discover

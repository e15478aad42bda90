// Per-operator row kernels of the search: one operator applied down whole
// output columns of its operands, instantiated for every operator and
// reached through dispatch tables indexed by the operator code. Each row is
// apply<O> (ops.hpp), so a kernel's values equal the expression evaluator's
// bit for bit.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "vek/discover/expr.hpp"
#include "vek/discover/penalised.hpp"

namespace vek::discover {

enum class Outcome : std::uint8_t { Failed, Scored, Dropped };

// Scores op(a[i], b[i]) against the target: every one of the n rows must
// evaluate (else Failed), the squared differences of the first m rows are
// summed in row order, rmse = rmse_of(sse, target_len) and error =
// penalised(rmse, factor). A candidate whose partial error exceeds `limit`
// (penalised.hpp: exceeds) stops early as Dropped; pass at least
// drop_limit(factor, bound) as the limit.
template <Op O>
Outcome score_rows(const double* a, const double* b, std::size_t n, const double* y, std::size_t m, double target_len,
                   double factor, double limit, double& error_out, double& rmse_out) {
  constexpr std::size_t kCheckEvery = 16;
  double sse = 0.0;
  double v;
  std::size_t i = 0;
  while (i < m) {
    const std::size_t stop = std::min(m, i + kCheckEvery);
    for (; i < stop; ++i) {
      if (!apply<O>(a[i], b[i], v)) return Outcome::Failed;
      const double d = v - y[i];
      sse += d * d;
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

// out[i] = op(a[i], b[i]) for i < n; false as soon as a row fails.
template <Op O>
bool fill_rows(const double* a, const double* b, std::size_t n, double* out) {
  for (std::size_t i = 0; i < n; ++i) {
    if (!apply<O>(a[i], b[i], out[i])) return false;
  }
  return true;
}

using ScoreRowsFn = Outcome (*)(const double*, const double*, std::size_t, const double*, std::size_t, double, double,
                                double, double&, double&);
using FillRowsFn = bool (*)(const double*, const double*, std::size_t, double*);

namespace row_ops_detail {
template <std::size_t... I>
constexpr std::array<ScoreRowsFn, kOpCount> score_table(std::index_sequence<I...>) {
  return {&score_rows<static_cast<Op>(I)>...};
}
template <std::size_t... I>
constexpr std::array<FillRowsFn, kOpCount> fill_table(std::index_sequence<I...>) {
  return {&fill_rows<static_cast<Op>(I)>...};
}
}  // namespace row_ops_detail

inline constexpr auto kScoreRows = row_ops_detail::score_table(std::make_index_sequence<kOpCount>{});
inline constexpr auto kFillRows = row_ops_detail::fill_table(std::make_index_sequence<kOpCount>{});

inline ScoreRowsFn score_rows_for(Op op) noexcept { return kScoreRows[static_cast<std::size_t>(op)]; }
inline FillRowsFn fill_rows_for(Op op) noexcept { return kFillRows[static_cast<std::size_t>(op)]; }

}  // namespace vek::discover

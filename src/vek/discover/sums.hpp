// Sums of terms for the search with fitted constants: formulas
//
//   a_1·g_1 + a_2·g_2 + … + a_K·g_K + b
//
// whose terms g_j are shapes the search already holds (beam members and a
// level's best candidates), chosen by forward selection: each step adds the
// term that lowers the residual most, judged on the centred columns
// orthogonalised against the terms already chosen (on an evenly strided
// sample of at most kSumRows rows); the coefficients then come by least
// squares on every row. Multi-term laws (energies, superpositions,
// polynomials) are reached without enumerating every sum. Serial, in a fixed
// order: the same sums for any thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "vek/discover/affine.hpp"
#include "vek/discover/expr.hpp"
#include "vek/discover/score.hpp"

namespace vek::discover {

inline constexpr std::size_t kSumRows = 2048;

// One sum: its terms (indices into the pool, in pool order), their
// coefficients and the offset (none: `offset` false).
struct SumFit {
  std::vector<std::size_t> terms;
  std::vector<double> coefs;
  double b = 0.0;
  bool offset = true;
};

// What a step of the selection weighs: among the terms offered, the one
// whose sum has the lowest penalised error, a term j costing cost[j] + 3
// nodes (its coefficient, product and sum) in a formula whose error is its
// RMSE times (1 + penalty × complexity); it joins when it lowers the sum of
// squares by more than about four times the noise variance left (counting
// params[j], its own constants, with its coefficient and the offset).
// Squared residuals below `floor_sse` (the target's noise level) count as
// equal, so among exact sums the simplest is chosen.
struct SumCosts {
  std::vector<std::uint64_t> cost;
  std::vector<std::size_t> params;
  double penalty = 0.0;
  double floor_sse = 0.0;
};

// The nested sums of 2, 3, … up to max_terms terms over the pool's columns
// (each `rows` finite values) against the target, each step taking the term
// whose sum has the lowest penalised error, as long as it pays for itself.
// `allowed(chosen, j)` says whether term j may join the chosen terms (their
// budget of constants). Each sum is fitted with and without the offset.
std::vector<SumFit> forward_sums(const std::vector<const double*>& pool, std::size_t rows, const Target& t,
                                 std::size_t max_terms, const SumCosts& costs,
                                 const std::function<bool(const std::vector<std::size_t>&, std::size_t)>& allowed);

// The least-squares coefficients (and offset, when sum.offset) of the chosen
// terms on every common row; false when they are not determined.
bool fit_sum(const std::vector<const double*>& pool, const Target& t, SumFit& sum);

// The sum's value row by row, in the order its formula evaluates:
// ((a_1·g_1 + a_2·g_2) + …) + b; false when a value is not finite.
bool sum_values(const std::vector<const double*>& pool, std::size_t rows, const SumFit& sum, std::vector<double>& out);

// What sums of terms may be.
struct SumLimits {
  double penalty = 0.0;        // of the penalised error
  double floor_sse = 0.0;      // squared errors below it are equal (exact fits)
  std::size_t max_params = 4;  // constants of a sum: a coefficient per term, the offset, the terms' own
  std::size_t max_terms = 8;
  std::uint64_t simple_term = 5;  // nodes of a term of the simple selection
};

// A sum of terms with its complexity and loss (RMSE against the target).
struct SumCandidate {
  SumFit fit;
  std::uint64_t complexity = 0;
  double loss = 0.0;
};

// The sums over a pool of terms (their columns, nodes and constants), from
// six selections: over every term; over the simple ones alone (no
// constants, at most simple_term nodes), where greedy steps cannot be led
// astray by a complex term that fits well on its own (polynomials,
// energies); over products of powers of variables (the power blocks and
// products of a few variables); over the variables alone (a linear model);
// over powers of single variables (an additive model); and over squared
// differences of two variables (a squared distance). Repeats dropped; each
// within max_params.
std::vector<SumCandidate> sums_of_terms(const std::vector<const double*>& pool,
                                        const std::vector<std::vector<Node>>& nodes,
                                        const std::vector<std::size_t>& params, std::size_t rows, const Target& t,
                                        const SumLimits& limits);

// The weighted mean of v's `rows` values and Σ w·(v − mean)², summed in row
// order (w empty: every weight 1; `total`: Σ w).
struct Moments {
  double mean = 0.0;
  double ss = 0.0;
};
Moments weighted_moments(const double* v, std::size_t rows, const std::vector<double>& w, double total);

// A beam search over sets of columns of a fixed pool, for targets that
// change while the pool stays (ratios of sums: y·h0 for each h0). Greedy
// steps miss a short exact sum whose terms fit badly one by one; this
// weighs every pair, then extends the `width` best sets by every other
// column, size by size, each set ranked by its least-squares sum of squares
// with an offset, computed from the weighted cross products of the columns
// standardized (so a rough rank: the sets it names are fitted on the rows
// again). Ties go to the set whose indices come first. Serial.
class SubsetBeam {
 public:
  // The pool's columns (each `rows` finite values) and the row weights
  // (empty: none).
  SubsetBeam(const std::vector<const double*>& pool, std::size_t rows, const std::vector<double>& weights);

  // The best set (column indices, increasing) of each size from 2 to
  // max_terms against u, over the columns with usable[j]; fewer when no
  // larger set is determined.
  std::vector<std::vector<std::size_t>> best_sets(const double* u, const std::vector<bool>& usable,
                                                  std::size_t max_terms, std::size_t width) const;

 private:
  std::size_t rows_ = 0, m_ = 0;
  std::vector<double> w_;
  double total_ = 0.0;                  // Σ w
  std::vector<std::vector<double>> z_;  // standardized columns; empty where a column does not vary
  std::vector<double> gram_;            // m × m, Σ w·z_i·z_j
};

}  // namespace vek::discover

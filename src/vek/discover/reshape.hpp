// Searching a reshaped target: laws that are long in the grammar but short
// after a change of the target.
//
// Many laws are a simple formula of y after dividing it by a power block or
// taking a reciprocal or a square: 1/y = 1/R1 + 1/R2 (parallel resistors),
// 1/y² = 1 − v² (a Lorentz factor), y² = p²c² + m²c⁴, y/(n·T) = c·ln(V2/V1),
// y/A = exp(c·E/T). The search with fitted constants reaches them when it
// searches u = f(y) and writes y = f⁻¹(g) for what it finds:
//
//   u = 1/y        y = 1/g              (y never near 0)
//   u = y²         y = ±sqrt(g)         (y of one sign)
//   u = 1/y²       y = ±1/sqrt(g)       (y of one sign)
//   u = y/P        y = g·P              (P a power block)
//   u = P/y        y = P/g
//   u = (P/y)²     y = ±P/sqrt(g)
//
// P: products of powers of the variables that are positive on every row,
// the exponents those of a least-squares fit of ln|y| on ln x that lie close
// to a whole number or a half (a variable whose exponent does, y is often
// proportional to a power of it; blocks.hpp: proportional_blocks). For y of
// both signs only y/P, with the blocks of |y| over the rows where it is at
// least a tenth of its largest; the others need y of one sign.
//
// The main search runs first; a reshaped search only when it did not meet
// its precision goal and there are at least 32 rows, with the main search's
// options but a beam a quarter as wide and one node fewer, on at most 500
// rows spread evenly through the data (sample.hpp: sample_rows). Its formulas count
// only when its best explains at least 90 % of the variance of u: where y is
// proportional to P and noisy, u = y/P is a constant and noise, and what a
// search finds there is noise. Each reshaped search's best and front, written
// as formulas of y (the 8 with the lowest penalised error on the rows
// searched), join the finalists: re-fitted on y by
// Levenberg–Marquardt, snapped, and the best and the front taken again
// on every row (sample.hpp: merge_outcome), so a reshaped formula wins only by the same
// penalised error as any other. The reshaped searches stop once the best
// formula of y is within the precision goal and no longer than a shape of
// max_complexity with its a and b (a long sum meeting the goal does not stop
// them: a later target may give the law's short formula). Operators the
// configuration does not offer are not used to write y back (no square root
// where sqrt is not offered), and a stop ends the reshaped searches with the
// outcome stopped. Fixed rules in a fixed order: the same result for any
// thread count and across runs.
#pragma once

#include <cstddef>
#include <vector>

#include "vek/discover/constants.hpp"
#include "vek/discover/expr.hpp"
#include "vek/discover/search.hpp"

namespace vek::discover {

enum class Reshape : unsigned char { Inverse, Square, InverseSquare, Divide, Over, OverSquare };

// One reshaped target: u = f(y) row by row, and how a formula g of u is
// written as one of y (its nodes around g's).
struct ReshapedTarget {
  Reshape kind = Reshape::Inverse;
  std::vector<Node> block;  // P's nodes (Divide, Over, OverSquare)
  bool negative = false;    // y < 0 (Square, InverseSquare), y/P < 0 (OverSquare) on every row
  std::vector<double> u;
};

// The reshaped targets of y over the columns, in the order they are
// searched; none whose values are not all finite.
std::vector<ReshapedTarget> reshaped_targets(const std::vector<std::vector<double>>& columns,
                                             const std::vector<double>& y, const SearchConfig& config);

// g's nodes (a formula of u) written as a formula of y.
std::vector<Node> reshaped_formula(const ReshapedTarget& t, const std::vector<Node>& g);

// Ratios of sums, y = (Σ a_j·g_j + b) / (h0 − Σ c_k·h_k), over the terms
// every search offers (the variables, their powers and products of a few,
// squared differences) above and variables, their reciprocals and products
// of two below: the sum y·h0 = Σ a_j·g_j + Σ c_k·(y·h_k) + b is linear in
// its coefficients, so forward selection (sums.hpp) finds it, for h0 = 1 and
// each denominator term; so does a beam over sets of terms (sums.hpp:
// SubsetBeam, up to 5 terms), for short ratios greedy steps miss. Formulas with a term above and below, their
// constants as fitted there (to be re-fitted on y); at most max_params
// constants each. None on fewer than 32 rows or without division offered.
std::vector<SearchResult> ratios_of_sums(const std::vector<std::vector<double>>& columns, const std::vector<double>& y,
                                         const SearchConfig& config, std::size_t max_params);

// search_constants, then the reshaped searches (above), then ratios of
// sums, each only while no formula meets the precision goal.
SearchOutcome search_reshaped(const std::vector<std::vector<double>>& columns, const std::vector<double>& target,
                              const SearchConfig& config, const ConstantsConfig& constants,
                              const SearchHooks* hooks = nullptr);

}  // namespace vek::discover

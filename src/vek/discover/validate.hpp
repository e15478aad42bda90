// Noisy observations: selection by cross-validation.
//
// A law measured with some noise leaves a small part of y's variance to its
// formula's residuals. Where the best formula leaves more than a tenth of it
// (explains under 90 %) on at least kValidateRows rows, y is an observation
// that the variables tell only in part (a patient's disease progression,
// a yield), and every formula the search fits there fits noise as well: the
// more so, the more shapes were tried. The penalised error then keeps short
// formulas that leave signal behind, and longer ones found by trying many
// shapes predict new rows worse than a plain linear model.
//
// Such data get one more candidate, an additive model
//
//   y = a_1·t_1 + … + a_k·t_k + b,   t_j among the variables and their squares,
//
// whose terms are chosen by forward selection by least squares on every row
// (a square only of a variable with more than two values), and whose length
// k, up to max_params − 1 terms, is the one of the lowest 5-fold
// cross-validated squared error (rows in fold r mod 5; the coefficients of
// each fold's model by least squares on the other folds). The additive
// model and the search's best then compete by that same cross-validated
// error, the best's constants re-fitted on the other folds by
// Levenberg–Marquardt from its own values; the lower wins (the search's
// best on a tie). The winner is the outcome's best, on its front (in place
// of the row of its complexity), and the outcome is marked validated.
// Serial, in a fixed order: the same result for any thread count.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "vek/discover/expr.hpp"
#include "vek/discover/sample.hpp"
#include "vek/discover/search.hpp"

namespace vek::discover {

inline constexpr std::size_t kValidateRows = 100;
inline constexpr std::size_t kFolds = 5;
inline constexpr double kLawExplains = 0.9;

// Whether the outcome's best explains at least `share` of the variance of y
// (weighted, with weights): its mean square error is at most (1 − share)
// times y's variance. False without a best or with a NaN loss.
bool explains(const SearchOutcome& out, const std::vector<double>& y, const std::vector<double>& weights, double share);

// Whether the outcome's best, on at least kValidateRows rows, explains
// under kLawExplains of the target's variance (weighted, with weights).
bool noisy_observations(const SearchOutcome& out, const std::vector<double>& target,
                        const std::vector<double>& weights);

// The additive model (see above) of the target with its cross-validated
// squared error; none without add and mul offered, without a term whose
// values are finite and vary, or when no fold's fit is determined.
struct Validated {
  SearchResult record;  // in the caller's units; error penalised by `penalty`
  double cv_sse = 0.0;
};
std::optional<Validated> additive_model(const std::vector<std::vector<double>>& columns,
                                        const std::vector<double>& target, const SearchConfig& config,
                                        std::size_t max_terms);

// The cross-validated squared error of a formula: its constants re-fitted on
// the rows outside each fold (from their values), its squared error summed
// on the fold's rows (weighted, with weights). None when it fails on a row.
std::optional<double> cross_validated_sse(const SearchResult& r, const std::vector<std::vector<double>>& columns,
                                          const std::vector<double>& target, const RescoreConfig& config);

// `r` on the front: in place of the row of its complexity, or inserted in
// complexity order.
void put_on_front(std::vector<SearchResult>& front, const SearchResult& r);

// The selection above, when noisy_observations holds and the outcome was
// not stopped; otherwise nothing changes.
void validate_noisy(SearchOutcome& out, const std::vector<std::vector<double>>& columns,
                    const std::vector<double>& target, const SearchConfig& config, std::size_t max_params);

}  // namespace vek::discover

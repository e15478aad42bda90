// Searching large data on a sample of its rows.
//
// Past `max_samples` rows a search runs on max_samples rows spread evenly
// through the data (sample_rows: the same rows for any thread count and on
// every run), and its finalists, the best and the Pareto front, are then
// scored again on every row (rescore_outcome):
//   - a formula with fitted constants is re-fitted on all rows by a few
//     Levenberg–Marquardt steps starting from the values found on the
//     sample; the new values are kept only when the squared error falls;
//   - its loss and error are those of evaluating it on all rows;
//   - with fitted constants, constants snap again (snap.hpp) under the rule
//     for all rows, and the best and the front are taken again from the
//     rescored finalists as the search takes them; without, the best is the
//     lowest error (the simpler, then the earlier among equals) and the front
//     is rebuilt by complexity with strictly falling losses.
// A finalist that fails on some row outside the sample (a logarithm of a
// negative number, a division by zero) is dropped. So every loss reported
// is one on all rows.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "vek/discover/search.hpp"

namespace vek::discover {

// `take` row indices spread evenly through `rows`, increasing: row
// floor((2i + 1) * rows / (2 * take)) for i < take, the middle of each of
// take equal stretches. Every row when take is 0 or at least rows.
std::vector<std::size_t> sample_rows(std::size_t rows, std::size_t take);

// The values of `values` at the given rows, in their order.
std::vector<double> rows_of(const std::vector<double>& values, const std::vector<std::size_t>& rows);

struct RescoreConfig {
  double penalty = 0.001;  // the search's complexity penalty
  bool constants = false;  // the search fitted constants (snap and its ranking apply)
  bool refit = true;       // re-fit constants on all rows (off: only evaluate them there)
  // Row weights of the target, one per row (empty: none), as SearchConfig.
  std::vector<double> weights{};
};

// Scores the outcome's best and front again on every row of `columns`
// against `target` (see above). Leaves the outcome's stop flags and
// counters alone.
void rescore_outcome(SearchOutcome& out, const std::vector<std::vector<double>>& columns,
                     const std::vector<double>& target, const RescoreConfig& config);

// A formula with fitted constants scored and re-fitted (when config.refit)
// on these rows as rescore_outcome scores it, not snapped; nullopt when it
// fails on some row.
std::optional<SearchResult> refitted(const SearchResult& r, const std::vector<std::vector<double>>& columns,
                                     const std::vector<double>& target, const RescoreConfig& config);

// Adds formulas with fitted constants found elsewhere (another search's
// records, in the caller's units) to the outcome's finalists: each is scored
// on every row, re-fitted (when config.refit) and snapped as
// rescore_outcome does; then the best and the front are taken again from
// the outcome's own records and those. A record failing on some row is
// dropped. config.constants is taken as true.
void merge_outcome(SearchOutcome& out, const std::vector<SearchResult>& more,
                   const std::vector<std::vector<double>>& columns, const std::vector<double>& target,
                   const RescoreConfig& config);

}  // namespace vek::discover

// The noise-aware last step of the search with fitted constants.
//
// A fitted constant snaps to a simple value within 5 % of it (a whole
// number or a half up to 100, a third or a quarter up to 12, π times k, k/2
// or k/4 up to 12π) when that costs no more than the noise: the formula's
// sum of squared errors may grow to
//
//   sse × (1 + 4 / (n − k))     (n rows, k constants)
//
// — the constant moves by about two standard errors — or stay below the noise
// floor of exact fits; failing those, it snaps to 0 on the same terms (a
// constant that does not pay for itself). Constants are tried in postfix order, each one's
// candidates nearest first, against the sse of the formula as found. A
// constant that snaps to a neutral value then goes with its operator
// (1·g and g·1 become g, g + 0 becomes g, −1·g becomes −g, 0·g drops its
// term from a sum), so an extra constant stays only when it pays for itself.
// The front is then taken again (one row per complexity, losses strictly
// falling above the floor) and the best is the lowest rank, the simpler
// among equals.
#pragma once

#include <vector>

#include "vek/discover/affine.hpp"
#include "vek/discover/search.hpp"

namespace vek::discover {

struct SnapData {
  const std::vector<std::vector<double>>& columns;
  const Target& target;      // as scored: the caller's target times `unit`
  const TargetStats& stats;  // of that target (its noise floor, its unit)
  double scale;              // 1 / unit: records are in the caller's units
  double penalty;
};

// The record with its constants snapped and neutral ones dropped; its
// loss, error and complexity those of the new formula (as evaluating it
// gives them). The record itself when nothing snaps.
SearchResult snap_record(const SearchResult& r, const SnapData& d);

// snap_record on every record of the outcome, then the front and the best
// taken again.
void snap_outcome(SearchOutcome& out, const SnapData& d);

// The best and the front of `all` (records scored as `d` scores them), into
// the outcome, as snap_outcome takes them; the outcome unchanged when `all`
// is empty.
void select_finalists(SearchOutcome& out, std::vector<SearchResult> all, const SnapData& d);

}  // namespace vek::discover

// The ranking order of scored candidates, shared by the search and the plain
// reference search of the tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vek::discover {

// Ascending error, NaN after every number. Not a total order on its own:
// equal errors (and NaNs among themselves) are tied.
inline bool error_before(double p, double q) noexcept { return (!std::isnan(p) && std::isnan(q)) || p < q; }

// A scored candidate: the error it ranks by, a tie-break (the search with
// fitted constants puts the simpler of two equal errors first: its
// complexity; 0 otherwise) and its position in the level's candidates.
struct Ranked {
  double error;
  std::uint32_t tie;
  std::uint32_t index;
};

// error_before, ties broken by `tie`, then by candidate order: a total
// order. Taking the first K under it is the same as a stable sort by
// (error, tie) cut to K.
inline bool rank_before(const Ranked& p, const Ranked& q) noexcept {
  if (error_before(p.error, q.error)) return true;
  if (error_before(q.error, p.error)) return false;
  if (p.tie != q.tie) return p.tie < q.tie;
  return p.index < q.index;
}

// Keeps the first `take` records in rank order, sorted.
inline void keep_first_ranked(std::vector<Ranked>& records, std::size_t take) {
  if (take == 0) {
    records.clear();
    return;
  }
  if (take < records.size()) {
    std::nth_element(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(take), records.end(), rank_before);
    records.resize(take);
  }
  std::sort(records.begin(), records.end(), rank_before);
}

}  // namespace vek::discover

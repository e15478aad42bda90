// The Pareto front of a search: for each complexity met, the candidate with
// the lowest loss (plain RMSE; the first scored among equals) when it beats
// every candidate of smaller complexity. Along the front complexity grows
// and loss strictly falls. Candidates that failed on the data, and NaN
// losses, never enter.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "vek/discover/score.hpp"
#include "vek/discover/search.hpp"

namespace vek::discover {

class Front {
 public:
  const std::vector<SearchResult>& entries() const noexcept { return entries_; }
  std::vector<SearchResult> take() { return std::move(entries_); }

  // P(c), the smallest loss at complexities <= c (+inf when none), for
  // every c: bounds[min(c, bounds.size() - 1)], or +inf when empty. A
  // candidate of complexity c can enter the front only with a loss below
  // P(c), so with a positive factor f it can be dropped once its partial
  // error exceeds P(c) × f (rounding is monotone).
  std::vector<double> loss_bounds() const;

  // Merges one level's scored candidates (scores.ok, scores.loss), met after
  // every current entry. complexity(i) is candidate i's node count and
  // make(i) builds its record (called only for the entries that join).
  template <class ComplexityFn, class MakeFn>
  void merge(const Scores& scores, ComplexityFn&& complexity, MakeFn&& make) {
    // The level's first lowest loss per complexity.
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::vector<std::size_t> level_best;
    for (std::size_t i = 0; i < scores.ok.size(); ++i) {
      if (!scores.ok[i] || std::isnan(scores.loss[i])) continue;
      const auto c = static_cast<std::size_t>(complexity(i));
      if (c >= level_best.size()) level_best.resize(c + 1, kNone);
      std::size_t& b = level_best[c];
      if (b == kNone || scores.loss[i] < scores.loss[b]) b = i;
    }
    // Complexity by complexity: the entry there wins ties (it came first);
    // the winner stays when it beats every smaller complexity.
    std::vector<SearchResult> merged;
    double least = std::numeric_limits<double>::infinity();
    std::size_t e = 0;
    const std::size_t top =
        std::max(level_best.size(), entries_.empty() ? 0 : static_cast<std::size_t>(entries_.back().complexity) + 1);
    for (std::size_t c = 0; c < top; ++c) {
      SearchResult* old = e < entries_.size() && entries_[e].complexity == c ? &entries_[e++] : nullptr;
      const std::size_t fresh = c < level_best.size() ? level_best[c] : kNone;
      if (fresh != kNone && (old == nullptr || scores.loss[fresh] < old->loss)) {
        if (scores.loss[fresh] < least) {
          least = scores.loss[fresh];
          merged.push_back(make(fresh));
        }
      } else if (old != nullptr && old->loss < least) {
        least = old->loss;
        merged.push_back(std::move(*old));
      }
    }
    entries_ = std::move(merged);
  }

 private:
  std::vector<SearchResult> entries_;  // increasing complexity
};

}  // namespace vek::discover

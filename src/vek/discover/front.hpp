// The Pareto front of a search: for each complexity met, the candidate with
// the lowest loss (plain RMSE; the first scored among equals) when it beats
// every candidate of smaller complexity. Along the front complexity grows
// and loss strictly falls. Candidates that failed on the data, and NaN
// losses, never enter.
//
// Losses are compared as the search scored them, raised to a floor: the
// search with fitted constants counts losses below its noise level as
// equal, so an exact fit is never followed by a more complex exact fit; the
// plain search has no floor.
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
  explicit Front(double floor = 0.0) : floor_(floor) {}

  const std::vector<SearchResult>& entries() const noexcept { return entries_; }
  std::vector<SearchResult> take() {
    losses_.clear();
    return std::move(entries_);
  }

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
    for (std::size_t i = 0; i < scores.size(); ++i) {
      if (!scores.ok[i] || std::isnan(scores.loss[i])) continue;
      const auto c = static_cast<std::size_t>(complexity(i));
      if (c >= level_best.size()) level_best.resize(c + 1, kNone);
      std::size_t& b = level_best[c];
      if (b == kNone || floored(scores.loss[i]) < floored(scores.loss[b])) b = i;
    }
    // Complexity by complexity: the entry there wins ties (it came first);
    // the winner stays when it beats every smaller complexity.
    std::vector<SearchResult> merged;
    std::vector<double> losses;
    double least = std::numeric_limits<double>::infinity();
    std::size_t e = 0;
    const std::size_t top =
        std::max(level_best.size(), entries_.empty() ? 0 : static_cast<std::size_t>(entries_.back().complexity) + 1);
    for (std::size_t c = 0; c < top; ++c) {
      const bool old = e < entries_.size() && entries_[e].complexity == c;
      const std::size_t fresh = c < level_best.size() ? level_best[c] : kNone;
      if (fresh != kNone && (!old || floored(scores.loss[fresh]) < floored(losses_[e]))) {
        if (floored(scores.loss[fresh]) < least) {
          least = floored(scores.loss[fresh]);
          merged.push_back(make(fresh));
          losses.push_back(scores.loss[fresh]);
        }
      } else if (old && floored(losses_[e]) < least) {
        least = floored(losses_[e]);
        merged.push_back(std::move(entries_[e]));
        losses.push_back(losses_[e]);
      }
      if (old) ++e;
    }
    entries_ = std::move(merged);
    losses_ = std::move(losses);
  }

 private:
  double floored(double loss) const noexcept { return loss < floor_ ? floor_ : loss; }

  double floor_;
  std::vector<SearchResult> entries_;  // increasing complexity
  std::vector<double> losses_;         // their losses as scored
};

}  // namespace vek::discover

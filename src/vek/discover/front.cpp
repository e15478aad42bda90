#include "vek/discover/front.hpp"

#include <algorithm>

namespace vek::discover {

std::vector<double> Front::loss_bounds() const {
  std::vector<double> bounds;
  if (entries_.empty()) return bounds;
  bounds.assign(static_cast<std::size_t>(entries_.back().complexity) + 1, std::numeric_limits<double>::infinity());
  for (const SearchResult& r : entries_) {
    // Losses fall along the front: each entry bounds its complexity and up.
    std::fill(bounds.begin() + static_cast<std::ptrdiff_t>(r.complexity), bounds.end(), r.loss);
  }
  return bounds;
}

}  // namespace vek::discover

#include "vek/discover/front.hpp"

#include <algorithm>

namespace vek::discover {

std::vector<double> Front::loss_bounds() const {
  std::vector<double> bounds;
  if (entries_.empty()) return bounds;
  bounds.assign(static_cast<std::size_t>(entries_.back().complexity) + 1, std::numeric_limits<double>::infinity());
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    // Losses fall along the front: each entry bounds its complexity and up.
    std::fill(bounds.begin() + static_cast<std::ptrdiff_t>(entries_[i].complexity), bounds.end(), losses_[i]);
  }
  return bounds;
}

}  // namespace vek::discover

// The search with fitted constants as a plain step-by-step procedure, the
// ground truth of the engine in the tests: every shape is built as nodes,
// keyed by evaluating it at the family probe points, scored serially by
// evaluating whole expressions, and the best record, the front and the beam
// are chosen by sorting. At most 256 rows (no sampled fits).
#pragma once

#include <vector>

#include "vek/discover/constants.hpp"

namespace vek::discover::reference {

SearchOutcome search_constants(const std::vector<std::vector<double>>& columns, const std::vector<double>& target,
                               const SearchConfig& config, std::size_t max_params);

}  // namespace vek::discover::reference

// The discovery search as a plain step-by-step procedure, the ground truth of
// the optimized engine in the tests and the search benchmark: every candidate
// is built, fingerprinted by evaluation, offered to a SeenSet, scored with
// eval_batch and the optimizer, and printed.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "vek/discover/search.hpp"

namespace vek::discover::reference {

// Same contract as vek::discover::search. When `keep_going` is set it is
// asked before each candidate is built; false throws vek::Interrupted.
std::optional<SearchResult> search(const std::vector<std::vector<double>>& columns, const std::vector<double>& target,
                                   std::uint64_t n_vars, const SearchConfig& config,
                                   const std::function<bool()>& keep_going = {});

}  // namespace vek::discover::reference

// A plain, step-by-step rendering of the discovery search, used only by the
// tests and the benchmark as the ground truth for the optimized engine.
// Every candidate is materialised, fingerprinted by evaluation, offered to a
// SeenSet, scored with eval_batch and the optimizer, and printed.
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

// The record behind vek_core.PySearchResult: what the search found, without
// its expression. Shared by every module that makes or reads one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vek/python/py.hpp"

namespace vek::py {

struct Found {
  std::string formula;
  double error;
  std::uint64_t complexity;
  std::vector<double> params;
};

}  // namespace vek::py

// Results of the engine entry points as plain Python values.
#pragma once

#include <vector>

#include "vek/discover/expr.hpp"
#include "vek/discover/search.hpp"
#include "vek/python/py.hpp"

namespace vek::py {

// ("const", value) | ("var", index) | ("param", index) | ("op", name) per
// node, in postfix order: a new list.
PyObject* to_py(const std::vector<discover::Node>& nodes);

// {"nodes", "formula", "complexity", "loss", "error", "params"}: a new dict.
PyObject* to_py(const discover::SearchResult& r);

// {"best", "front", "stopped", "levels", "generated", "scored"}, with
// `stopped` the reason text or nullptr (None): a new dict.
PyObject* to_py(const discover::SearchOutcome& out, const char* stopped);

}  // namespace vek::py

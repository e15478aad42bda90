// Results of the engine entry points as Python values: expressions as lists
// of node tuples, and the engine's named records (struct sequences, like
// os.stat_result): Operator, Record and Outcome.
#pragma once

#include <vector>

#include "vek/discover/expr.hpp"
#include "vek/discover/ops.hpp"
#include "vek/discover/search.hpp"
#include "vek/python/py.hpp"

namespace vek::py {

// Creates the record types (once per process) and adds them to `module`
// with OPERATORS, the operator table as a tuple of Operator in code order.
// False with an error set on failure.
bool add_engine_records(PyObject* module);

// ("const", value) | ("var", index) | ("param", index) | ("op", name) per
// node, in postfix order: a new list.
PyObject* to_py(const std::vector<discover::Node>& nodes);

// An Operator: one row of the operator table.
PyObject* to_py(const discover::OpDef& d);

// A Record (nodes, formula, complexity, loss, error, params).
PyObject* to_py(const discover::SearchResult& r);

// An Outcome (best, front, stopped, levels, generated, scored), with
// `stopped` the reason text or nullptr (None).
PyObject* to_py(const discover::SearchOutcome& out, const char* stopped);

}  // namespace vek::py

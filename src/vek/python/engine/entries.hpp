// The entry points of vek_math._engine beside search_result (module.cpp).
#pragma once

#include "vek/python/py.hpp"

namespace vek::py::engine {

PyObject* search(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* evaluate(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

inline constexpr const char kSearchDoc[] =
    "search(X, y, *, max_complexity=8, beam_width=2000, precision_goal=1e-10, use_trig=True, use_vek=True, "
    "complexity_penalty=0.001, n_threads=None, time_limit=None, progress=None, constants=False, max_params=4)\n--\n\n"
    "The formula search of find_formula on X (C-contiguous float64, (n_samples, n_features)) against y\n"
    "(float64, n_samples), with its Pareto front.\n\n"
    "Returns {'best': record or None, 'front': [record, ...], 'stopped': None, 'time_limit' or\n"
    "'interrupted', 'levels': int, 'generated': int, 'scored': int}. A record is {'nodes': [...],\n"
    "'formula': str, 'complexity': int, 'loss': RMSE, 'error': loss * (penalty * complexity + 1),\n"
    "'params': [...]}; nodes are ('const', value), ('var', index), ('param', index) or ('op', name)\n"
    "in postfix order. The front holds, for each complexity, the lowest-loss candidate that beats\n"
    "every smaller complexity, by increasing complexity. 'best' equals find_formula's result.\n\n"
    "n_threads: threads for this call, at most the pool's (the default). time_limit: seconds; past it, or on\n"
    "Ctrl-C, the search returns what the finished levels found. progress(level, generated, scored,\n"
    "best) is called after each level with the best record so far (or None); an exception it raises\n"
    "ends the search and propagates (KeyboardInterrupt counts as Ctrl-C).\n\n"
    "constants: search with fitted constants instead: every formula is a shape g as g, a*g, g + b or\n"
    "a*g + b, shapes may hold constants of their own, and a record's params hold the fitted values of its\n"
    "('param', i) nodes (max_params of them at most, 2 to 16, a and b included). max_complexity bounds\n"
    "the shape; every node counts in 'complexity'. 'best' is then the lowest error of that search, losses\n"
    "below 1e-12 of the RMS of y counting as equal (the simplest exact fit wins).";

inline constexpr const char kEvaluateDoc[] =
    "evaluate(nodes, X, params, out)\n--\n\n"
    "Evaluates the expression `nodes` (as in a search record) on every row of X (C-contiguous\n"
    "float64, (n_samples, n_features)) into out (writable C-contiguous float64, n_samples) and\n"
    "returns out. Exactly the search's evaluation: NaN in rows where an operator's guard fails, so a\n"
    "record's loss is sqrt(sum((out - y)**2 in row order) / n_samples) bit for bit.";

}  // namespace vek::py::engine

// The entry points of vek_math._engine beside search_result (module.cpp):
// their implementations and docstring bodies; module.cpp holds their rows.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "vek/python/engine/from_py.hpp"
#include "vek/python/py.hpp"

namespace vek::py::engine {

PyObject* search(const F64Array<2>& x, const F64Array<1>& y, std::uint64_t max_complexity, std::uint64_t beam_width,
                 double precision_goal, bool use_trig, bool use_vek, double complexity_penalty,
                 std::optional<std::int64_t> n_threads, std::optional<double> time_limit, Callback progress,
                 bool constants, std::uint64_t max_params, const OpNames<1>& unary_operators,
                 const OpNames<2>& binary_operators, std::optional<std::uint64_t> max_samples, const Seed& seed,
                 Callback tick, std::optional<std::int64_t> memory_limit, Callback scorer,
                 const std::optional<F64Array<1>>& weights);

PyObject* evaluate(Nodes nodes, const F64Array<2>& x, const std::vector<double>& params, const F64Array<1, true>& out);

namespace doc {

inline constexpr const char search[] =
    "The formula search of find_formula, with its Pareto front.\n"
    "\n"
    "X is a C-contiguous float64 array (n_samples, n_features), y a float64\n"
    "array (n_samples,). The options before n_threads are find_formula's, with\n"
    "the same defaults; then:\n"
    "\n"
    "n_threads   threads for this call, at most the pool's (the default).\n"
    "time_limit  seconds; past it, on Ctrl-C, or when memory runs out, the\n"
    "            search returns what the finished levels found, with the\n"
    "            candidates the unfinished level had scored (the first ones in\n"
    "            the order they were built, so the same prefix always gives the\n"
    "            same result).\n"
    "progress    progress(level, generated, scored, best) is called after each\n"
    "            level with the best Record so far (or None); an exception it\n"
    "            raises ends the search and propagates (KeyboardInterrupt\n"
    "            counts as Ctrl-C).\n"
    "constants   search with fitted constants instead: every formula is a\n"
    "            shape g as g, a*g, g + b or a*g + b, shapes may hold constants\n"
    "            of their own, and a record's params hold the fitted values of\n"
    "            its ('param', i) nodes. max_complexity bounds the shape; every\n"
    "            node counts in complexity. best is then the lowest error of\n"
    "            that search, losses below 1e-12 of the RMS of y counting as\n"
    "            equal (the simplest exact fit wins), and precision_goal is\n"
    "            relative to the RMS of y, so y and s*y give the same formula\n"
    "            up to s. Short of that goal (on 32 rows or more) it also\n"
    "            searches 1/y, y**2, 1/y**2, y/P, P/y and (P/y)**2 for power\n"
    "            blocks P y looks proportional to, and ratios of sums; what\n"
    "            those find, written as formulas of y and re-fitted on y,\n"
    "            competes under the same error. Where its best then explains\n"
    "            under 90 % of the variance of y on 100 rows or more (noisy\n"
    "            observations), an additive model (variables and their\n"
    "            squares by forward selection, its length by 5-fold cross-\n"
    "            validation, rows in fold r mod 5) and that best compete by\n"
    "            their 5-fold cross-validated error; the lower is best, on the\n"
    "            front, and Outcome.validated is True. progress and tick see\n"
    "            only the main search's levels.\n"
    "max_params  at most this many constants per formula (2 to 16), a and b\n"
    "            included.\n"
    "unary_operators, binary_operators\n"
    "            the operators offered, by name (OPERATORS lists them), in\n"
    "            this order; None: the defaults (use_trig and use_vek apply).\n"
    "max_samples past this many rows the search runs on as many rows spread\n"
    "            evenly through the data, then scores its best and front again\n"
    "            on every row (constants re-fitted there), so every loss is one\n"
    "            on all rows; None or 0: every row.\n"
    "seed        Outcome.beam of an earlier search on data of as many\n"
    "            columns, to continue it: its members join the beam after the\n"
    "            leaves (when new, within max_complexity and holding no more\n"
    "            constants than the search can) and are scored with them.\n"
    "tick        tick(level, done, total, best_loss) is called while a level is\n"
    "            scored, at most about five times a second: candidates scored\n"
    "            so far and in the level, and the smallest loss scored so far\n"
    "            (None while none); an exception it raises ends the search as\n"
    "            progress's does.\n"
    "memory_limit\n"
    "            bytes the search may hold (its seen fingerprints, its beam\n"
    "            and a level's candidates); None: a quarter of the physical\n"
    "            memory, at most 2 GiB. A level that would pass it keeps its first candidates\n"
    "            (in the order they were built) that fit, and the search ends\n"
    "            after it with stopped 'memory_limit'.\n"
    "scorer      with constants: scorer(level, setup, members, beam_size,\n"
    "            cands, count) is called for each expansion level to score\n"
    "            its count candidates elsewhere (replica, replica_extend,\n"
    "            score_chunk): it returns their scores as bytes, in order, or\n"
    "            None to leave the level to the search. A ConnectionError it\n"
    "            raises ends the search with what the finished levels found\n"
    "            (stopped 'cluster'); any other exception as progress's does.\n"
    "weights     None, or a float64 array (n_samples,) of row weights, none\n"
    "            negative, not all zero: the loss is then the weighted RMSE\n"
    "            sqrt(sum(w * (f - y)**2) / sum(w)), and constants are fitted\n"
    "            by weighted least squares. Rows of weight 0 are left out.\n"
    "\n"
    "Returns an Outcome (best, front, stopped, levels, generated, scored,\n"
    "beam):\n"
    "best is a Record or None, front a list of Records, stopped None,\n"
    "'time_limit', 'interrupted', 'memory', 'memory_limit' or 'cluster'. Without constants, best equals\n"
    "find_formula's result. The front holds, for each complexity, the\n"
    "lowest-loss candidate that beats every smaller complexity, by increasing\n"
    "complexity. beam lists the beam's members beyond the single-node leaves\n"
    "as (nodes, params) pairs, in the order they joined.\n"
    "\n"
    "A Record is (nodes, formula, complexity, loss: RMSE, error: loss *\n"
    "(penalty * complexity + 1), params); its nodes are ('const', value),\n"
    "('var', index), ('param', index), ('op', name) (a name of OPERATORS) or\n"
    "('pow', exponent) (the top of the stack raised to the exponent), in\n"
    "postfix order.";

inline constexpr const char evaluate[] =
    "Evaluates the expression `nodes` (as in a search record) on every row of X\n"
    "(C-contiguous float64, (n_samples, n_features)) into out (writable\n"
    "C-contiguous float64, (n_samples,)) and returns out.\n"
    "\n"
    "Exactly the search's evaluation: NaN in rows where an operator's guard\n"
    "fails, so a record's loss is sqrt(sum((out - y)**2 in row order) /\n"
    "n_samples) bit for bit.";

inline constexpr const char search_result[] =
    "A PySearchResult holding exactly these fields (used to unpickle results).";

}  // namespace doc

}  // namespace vek::py::engine

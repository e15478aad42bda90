// The formula search with fitted constants.
//
// Every formula is a shape g wrapped as g, a·g, g + b or a·g + b, where a
// and b are fitted in closed form by least squares (affine.hpp); shapes may
// also hold free constants inside, fitted numerically (fit.hpp). The node
// budget (max_complexity) bounds the shape; the wrapper's nodes come on top
// and count, like every Param node, in a record's complexity and so in its
// penalised error.
//
// Search space. The leaves are the variables (and, scored once, the
// constant family: one fitted constant, the target's mean). Each level
// applies the usual operators to the beam members and pairs of members
// within the budget, as the search without constants does, and adds shapes
// with one new constant where it is not absorbed by the wrapper:
//   exp(c·g), sin(c·g), cos(c·g), 1/(g + c), sqrt(g + c), ln(g + c),
//   sqrt(c - g), ln(c - g)
//   g + c·h, (g + c)·h, g·(h + c), (g + c)/h, g/(h + c)
// No operator is ever applied to constants alone (a constant family is a
// constant), and a shape holds at most min(max_params - 2, 2) inner
// constants, so that every formula has at most max_params.
//
// Beside the beam's shapes: power blocks, products of powers of variables
// proposed from the data, are leaves (blocks.hpp); powers of single
// variables are scored and offered as terms; after every level, sums of
// terms a_1·g_1 + … + b over the beam, the level's best and simple shapes
// and those powers are selected and scored as more candidates of the level
// (sums.hpp; they stay out of the beam, and one meeting the goal does not
// end the search); at the end, constants snap to simple values within the
// noise and neutral ones are dropped (snap.hpp).
//
// Deduplication: family fingerprints (family.hpp), invariant under the
// wrapper, with the constants at fixed probe values; the first shape
// generated in a family wins, so c·x, x·c and 2x + 1 all give way to x, and
// every shape of constant value to the constant family.
//
// Scoring, per level:
//   1. every shape is scored cheaply from its operands' cached columns, the
//      operands' own constants kept as fitted: a shape without a new
//      constant is one column, wrapped; a new constant starts from a few
//      fixed candidates (the exact least-squares value where the shape is
//      linear in it, a small scale, shift or frequency grid otherwise), the
//      best start is refined by a few Levenberg–Marquardt steps, then the
//      shape is wrapped;
//   2. the shapes with constants that rank best by that cheap error (the
//      level's fit quota, a quarter-beam by default) get a full fit of all
//      their inner constants together, starting from the cheap values; a fit
//      replaces the cheap result only when it ranks better;
//   3. as in the search without constants: the best, the Pareto front, and
//      the best quarter-beam joins the beam, each member with its fitted
//      constants and its output column.
// With more than 256 rows, constants are fitted on an evenly strided
// sample of 256 of them (the 16 best full fits of a level then take a few
// more steps on all rows); losses and errors always cover every row.
//
// Candidates rank by penalised error with losses below 1e-12 of the
// target's RMS counted as equal (rounding noise): among exact fits the
// simplest wins, also for the choice between g, a·g, g + b and a·g + b.
//
// A record's params are its Param nodes' values in postfix order (the
// nodes carry them too), and its loss is what evaluating it with them gives.
//
// The target is scored divided by the power of two of its largest
// magnitude, and the precision goal is relative to its RMS, so y and s·y
// give the same formula up to s; records are in the caller's units.
//
// Starts, steps and selections are fixed and every fit is serial, so the
// result is the same for any thread count and across runs.
#pragma once

#include <cstddef>
#include <vector>

#include "vek/discover/search.hpp"

namespace vek::discover {

struct ConstantsConfig {
  // Param nodes per formula, the outer scale and offset included; at least 2.
  std::size_t max_params = 4;
};

// search_front with fitted constants: the same options, hooks and stops.
// Throws vek::Panic for max_params below 2 and for the column
// preconditions of search().
SearchOutcome search_constants(const std::vector<std::vector<double>>& columns, const std::vector<double>& target,
                               const SearchConfig& config, const ConstantsConfig& constants,
                               const SearchHooks* hooks = nullptr);

namespace detail {

struct ConstantsTuning {
  std::size_t column_cache_bytes = std::size_t{1} << 30;
  // Full fits per level; 0: max(64, beam_width / 4).
  std::size_t fits_per_level = 0;
  // Evaluations of a cheap fit and of a full fit; with more than 256 rows
  // (fits on a sample of them), the full fits that rank best and the
  // evaluations of their last steps on all rows.
  std::size_t cheap_evals = 6;
  std::size_t full_evals = 50;
  std::size_t polish_per_level = 16;
  std::size_t polish_evals = 10;
};

SearchOutcome search_constants_tuned(const std::vector<std::vector<double>>& columns, const std::vector<double>& target,
                                     const SearchConfig& config, const ConstantsConfig& constants,
                                     const SearchHooks* hooks, const ConstantsTuning& tuning);

}  // namespace detail

}  // namespace vek::discover

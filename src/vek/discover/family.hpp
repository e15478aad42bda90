// Fingerprints of function families, for the search with fitted constants
// (constants.hpp).
//
// There every formula is an outer scale and offset around a shape g,
// a·g + b, so g and 2g + 1 are the same candidate, and a shape with free
// constants (Param nodes) stands for the whole family of functions its
// constants reach. A family fingerprint is therefore taken
//
//   * at five probe points whose variable values are pseudo-random numbers
//     in [0.5, 2.5) (not proportional from one variable to the next, so
//     that x and y differ after normalisation),
//   * with parameter j set to a fixed probe value of its own (postfix
//     order), the same for every shape,
//   * and normalised for scale and offset: the five values less their mean,
//     divided by their norm, the sign chosen so that the first clearly
//     non-zero value is positive, then quantised to multiples of 2^-26, so
//     that rounding in g versus a·g + b does not split one family in two.
//
// A shape whose probe values vary by less than 1e-7 of their mean is a
// constant: every such shape has the one key of all zeros, which no other
// key equals (a normalised key has a value of magnitude at least 1/sqrt(5)).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "vek/discover/expr.hpp"
#include "vek/discover/fingerprint.hpp"

namespace vek::discover {

// Value of variable `index` at probe k: a pseudo-random number in [0.5, 2.5).
double family_var_probe(std::size_t k, std::size_t index) noexcept;

// Value of parameter j at every probe point.
double family_param_probe(std::size_t j) noexcept;

// Buffers of family_probes, reused between calls.
struct FamilyScratch {
  std::vector<double> params, point;
};

// An expression's values at the five probe points over `n_vars` variables,
// its `n_params` parameters at their probe values; false when an evaluation
// fails or gives a value that is not finite.
bool family_probes(const Expr& expr, std::size_t n_vars, std::size_t n_params, Probes& out, FamilyScratch& scratch);

// The family key of five probe values (all finite).
ProbeBits family_key(const Probes& p) noexcept;

}  // namespace vek::discover

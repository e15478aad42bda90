// The shapes of the search with fitted constants (constants.hpp): where a
// new constant may go, a shape's family fingerprint, and the generation of
// a level's shapes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vek/discover/beam.hpp"
#include "vek/discover/family.hpp"
#include "vek/discover/generate.hpp"
#include "vek/discover/seen_set.hpp"

namespace vek::discover {

// The lift of one LiftBit.
Lift lift_of(LiftBit bit) noexcept;

// The new constant of the shape enters its value linearly (a·(U + c·V) + b),
// so its least-squares value comes from a regression on U and V.
bool linear_in_constant(Op op, Lift lift) noexcept;

// Buffers of shape_probes, reused between calls.
struct ShapeScratch {
  Expr expr;
  FamilyScratch family;
};

// The shape's probe values for its family key: variables and constants at
// their family probe values (family.hpp). False when an evaluation fails or
// is not finite.
bool shape_probes(const Beam& beam, const Cand& c, Probes& out, ShapeScratch& scratch);

// The level's shapes in generation order, deduplicated by family key: for
// each member from new_begin on, the unary operators, then its unary lifts
// (the table's lifts of each unary operator, in table order); then for each
// such member i and each member j <= i, the binary operators (both operand
// orders where it matters), then the binary lifts. Every shape fits the
// node budget and holds at most inner_cap constants; in each group the
// shapes without a new constant come first, so they win a family over one
// with a constant.
Generated generate_shapes(const Beam& beam, std::size_t new_begin, const Operators& ops, std::uint64_t budget,
                          std::size_t inner_cap, SeenSet& seen, std::size_t room = SIZE_MAX);

}  // namespace vek::discover

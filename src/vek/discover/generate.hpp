// Candidate generation of one expansion level, with duplicates dropped by
// fingerprint.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vek/discover/beam.hpp"
#include "vek/discover/seen_set.hpp"

namespace vek::discover {

// The operators a search uses, in the order candidates are built with them.
struct Operators {
  std::vector<Op> unary;
  std::vector<Op> binary;

  // Neg, Inv, Exp, Ln, Sqrt (then Sin, Cos); Add, Sub, Mul, Div (then Vek).
  static Operators of(bool use_trig, bool use_vek);
};

struct Generated {
  std::vector<Cand> survivors;  // candidates with a fingerprint not met before, in generation order
  std::size_t generated = 0;    // candidates built
  std::size_t fingerprinted = 0;  // those with a fingerprint
};

// Builds the level's candidates from the beam, in generation order: every
// unary operator on each member from `new_begin` on, then for each such
// member i every binary operator on (i, j) for the members j <= i whose
// node counts fit the budget together (operands swapped as well for the
// order-sensitive operators). Only candidates with a member from new_begin
// on can be new at this level; the others were generated before.
//
// Fingerprints are computed in parallel, block by block, and offered to
// `seen` in generation order on the calling thread, so the first generated
// candidate wins every collision.
Generated generate(const Beam& beam, std::size_t new_begin, const Operators& ops, std::uint64_t budget,
                   SeenSet& seen);

}  // namespace vek::discover

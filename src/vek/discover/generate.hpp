// Candidate generation of one expansion level, with duplicates dropped by
// fingerprint.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vek/common/parallel.hpp"
#include "vek/discover/beam.hpp"
#include "vek/discover/fingerprint.hpp"
#include "vek/discover/search.hpp"
#include "vek/discover/seen_set.hpp"

namespace vek::discover {

// The operators a search uses, in the order candidates are built with them.
struct Operators {
  std::vector<Op> unary;
  std::vector<Op> binary;

  // The table's Core operators, then Trig (unary) and Vek (binary) when on.
  static Operators of(bool use_trig, bool use_vek);
  // Those of the configuration: its own lists where given.
  static Operators of(const SearchConfig& config);
};

struct Generated {
  std::vector<Cand> survivors;    // candidates with a fingerprint not met before, in generation order
  std::size_t generated = 0;      // candidates built
  std::size_t fingerprinted = 0;  // those with a fingerprint
};

// Drops candidates whose key was met before, as they are emitted in
// generation order: keys are computed in parallel, block by block, and
// offered to the seen-set in generation order on the calling thread, so the
// first candidate of a key wins whatever the block size or thread count.
//
// make_keyer() is called once per parallel range and returns a callable
// bool(const Cand&, ProbeBits&) that computes a candidate's key (false: none).
template <class MakeKeyer>
class Deduplicator {
 public:
  Deduplicator(SeenSet& seen, Generated& out, MakeKeyer make_keyer, std::size_t block, std::size_t grain)
      : seen_(seen), out_(out), make_keyer_(make_keyer), block_size_(block), grain_(grain) {}

  void emit(const Cand& c) {
    block_.push_back(c);
    if (block_.size() == block_size_) flush();
  }

  void flush() {
    const std::size_t n = block_.size();
    keys_.resize(n);
    hashes_.resize(n);
    has_.resize(n);
    par::for_ranges(
        n,
        [&](std::size_t b, std::size_t e) {
          auto key = make_keyer_();
          for (std::size_t i = b; i < e; ++i) {
            has_[i] = key(block_[i], keys_[i]);
            if (has_[i]) hashes_[i] = seen_.hash(keys_[i]);
          }
        },
        grain_);
    for (std::size_t i = 0; i < n; ++i) {
      if (!has_[i]) continue;
      ++out_.fingerprinted;
      if (!seen_.insert(keys_[i], hashes_[i])) out_.survivors.push_back(block_[i]);
    }
    out_.generated += n;
    block_.clear();
  }

 private:
  SeenSet& seen_;
  Generated& out_;
  MakeKeyer make_keyer_;
  const std::size_t block_size_;
  const std::size_t grain_;
  std::vector<Cand> block_;
  std::vector<ProbeBits> keys_;
  std::vector<std::uint64_t> hashes_;
  std::vector<std::uint8_t> has_;
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
Generated generate(const Beam& beam, std::size_t new_begin, const Operators& ops, std::uint64_t budget, SeenSet& seen);

}  // namespace vek::discover

// Candidate generation of one expansion level, with duplicates dropped by
// fingerprint.
#pragma once

#include <algorithm>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vek/common/parallel.hpp"
#include "vek/common/stop.hpp"
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

// Whether `op` is among `ops`.
inline bool offers(const std::vector<Op>& ops, Op op) { return std::find(ops.begin(), ops.end(), op) != ops.end(); }

struct Generated {
  std::vector<Cand> survivors;    // candidates with a fingerprint not met before, in generation order
  std::size_t generated = 0;      // candidates built
  std::size_t fingerprinted = 0;  // those with a fingerprint
  bool cut = false;               // more were new than `room` allowed
};

// Drops candidates whose key was met before, as they are emitted in
// generation order: keys are computed in parallel, block by block, and
// offered to the seen-set in generation order on the calling thread, so the
// first candidate of a key wins whatever the block size or thread count.
//
// make_keyer() is called once per parallel range and returns a callable
// bool(const Cand&, ProbeBits&) that computes a candidate's key (false: none).
//
// At most `room` survivors are kept: the first new candidate past them is
// not added to the seen-set, the output is marked cut and the generator
// stops (full()), so the level is a prefix in generation order.
template <class MakeKeyer>
class Deduplicator {
 public:
  Deduplicator(SeenSet& seen, Generated& out, MakeKeyer make_keyer, std::size_t block, std::size_t grain,
               std::size_t room = SIZE_MAX)
      : seen_(seen), out_(out), make_keyer_(make_keyer), block_size_(block), grain_(grain), room_(room) {}

  void emit(const Cand& c) {
    if (out_.cut) return;
    block_.push_back(c);
    if (block_.size() == block_size_) flush();
  }
  // No more candidates are wanted.
  bool full() const noexcept { return out_.cut; }

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
    StopSource* const stop = current_stop();
    std::size_t i = 0;
    for (; i < n && !out_.cut; ++i) {
      if (i % 4096 == 0) checkpoint(stop, 4096);
      if (!has_[i]) continue;
      ++out_.fingerprinted;
      if (out_.survivors.size() == room_) {
        // Past the room: only a key met before may still pass, as a drop.
        if (seen_.contains(keys_[i], hashes_[i])) continue;
        out_.cut = true;
        --out_.fingerprinted;
        break;
      }
      if (!seen_.insert(keys_[i], hashes_[i])) out_.survivors.push_back(block_[i]);
    }
    out_.generated += i;
    block_.clear();
  }

 private:
  SeenSet& seen_;
  Generated& out_;
  MakeKeyer make_keyer_;
  const std::size_t block_size_;
  const std::size_t grain_;
  const std::size_t room_;
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
//
// At most `room` candidates are kept (Deduplicator): past them the level is
// cut and generation stops.
Generated generate(const Beam& beam, std::size_t new_begin, const Operators& ops, std::uint64_t budget, SeenSet& seen,
                   std::size_t room = SIZE_MAX);

}  // namespace vek::discover

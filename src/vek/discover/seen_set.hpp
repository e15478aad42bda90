// The set of fingerprints met so far during one search.
//
// A sharded hash set: a key's hash picks its shard, and each shard is an
// open-addressing table behind its own reader-writer lock. The hash is keyed
// from a random source when the set is created, so nothing may depend on
// the set's internal order (nothing can: there is no iteration). Only
// membership is observable, through the single insert-if-absent operation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <vector>

#include "vek/discover/fingerprint.hpp"

namespace vek::discover {

class SeenSet {
 public:
  SeenSet();
  ~SeenSet();
  SeenSet(const SeenSet&) = delete;
  SeenSet& operator=(const SeenSet&) = delete;

  // Adds the fingerprint unless present. Returns true when it was already
  // present (the set is then unchanged), false when it was added. Safe to
  // call from several threads at once.
  bool insert(const Fingerprint& fp);

  std::size_t size() const;

  // Shards per set: the smallest power of two that is at least four times
  // the hardware thread count. Worked out once per process.
  static std::size_t shard_count();

  // The keyed hash of a key in compact form. Pure; may run on any thread.
  std::uint64_t hash(const ProbeBits& key) const noexcept;

  // Exclusive access to every shard for a run of inserts in a fixed order
  // (the search inserts a whole block of candidates this way). Results are
  // exactly those of calling insert() for each key in the same order.
  class Batch {
   public:
    explicit Batch(SeenSet& set);
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // `h` must be set.hash(key). Returns true when the key was present.
    bool insert(const ProbeBits& key, std::uint64_t h);
    // Hint that the key with hash h will be inserted soon.
    void prefetch(std::uint64_t h) const noexcept;

   private:
    SeenSet& set_;
  };

 private:
  struct Shard;

  Shard& shard_of(std::uint64_t h) const noexcept;
  bool insert_locked(Shard& shard, const ProbeBits& key, std::uint64_t h);
  void grow(Shard& shard);

  std::unique_ptr<Shard[]> shards_;
  std::size_t shard_bits_ = 0;
  std::uint64_t seed_[4] = {};

  // Word sets that are not the image of five bit patterns, and the one
  // pattern the tables use as their empty marker. Never produced by
  // fingerprint(); kept apart so the tables stay compact.
  mutable std::mutex odd_mutex_;
  std::set<std::array<std::int64_t, 2 * kProbeCount>> odd_;
};

}  // namespace vek::discover

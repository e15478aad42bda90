// The set of fingerprints met so far during one search.
//
// A oneTBB concurrent set keyed by the five probe bit patterns, hashed with a
// hash keyed at random when the set is created, so nothing may depend on the
// set's internal order (nothing can: there is no iteration). Only membership
// is observable, through the single insert-if-absent operation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>

#include <tbb/concurrent_unordered_set.h>
#include <tbb/scalable_allocator.h>

#include "vek/discover/fingerprint.hpp"

namespace vek::discover {

// oneTBB's scalable allocator for the set's nodes and tables, failing with a
// std::bad_alloc thrown here rather than inside libtbb: an exception raised
// in libtbb belongs to its C++ runtime, which need not be this code's (the
// portable wheel links libc++ statically).
template <class T>
struct ScalableAllocator {
  using value_type = T;
  ScalableAllocator() = default;
  template <class U>
  ScalableAllocator(const ScalableAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    void* p = scalable_malloc(n * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t) noexcept { scalable_free(p); }
  template <class U>
  bool operator==(const ScalableAllocator<U>&) const noexcept {
    return true;
  }
};

class SeenSet {
 public:
  SeenSet();
  SeenSet(const SeenSet&) = delete;
  SeenSet& operator=(const SeenSet&) = delete;

  // Adds the fingerprint unless present. Returns true when it was already
  // present (the set is then unchanged), false when it was added. Safe to
  // call from several threads at once.
  bool insert(const ProbeBits& key) { return insert(key, hash(key)); }

  // Bytes one key costs the set, roughly (its node and its share of the
  // bucket table), for the search's memory limit.
  static constexpr std::size_t kBytesPerKey = 96;

  std::size_t size() const { return keys_.size(); }

  // The keyed hash of a key in compact form. Pure; may run on any thread.
  std::uint64_t hash(const ProbeBits& key) const noexcept;

  // insert() for a key in compact form whose hash(key) is already known
  // (the search hashes whole blocks of candidates in parallel first).
  bool insert(const ProbeBits& key, std::uint64_t h);
  // Whether the key (with its hash(key)) is present; the set is unchanged.
  bool contains(const ProbeBits& key, std::uint64_t h) const;

 private:
  // A key with its hash computed once, outside the set (on any thread).
  struct Key {
    ProbeBits bits;
    std::uint64_t hash;
    bool operator==(const Key& o) const noexcept { return bits == o.bits; }
  };
  struct KeyHash {
    std::size_t operator()(const Key& k) const noexcept { return static_cast<std::size_t>(k.hash); }
  };

  // Nodes come from oneTBB's scalable allocator: a search inserts up to
  // millions of small keys, one allocation each.
  tbb::concurrent_unordered_set<Key, KeyHash, std::equal_to<Key>, ScalableAllocator<Key>> keys_;
  std::uint64_t seed_[4] = {};
};

}  // namespace vek::discover

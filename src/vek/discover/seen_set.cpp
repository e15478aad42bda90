#include "vek/discover/seen_set.hpp"

#include <atomic>
#include <bit>
#include <chrono>
#include <random>
#include <thread>

namespace vek::discover {

namespace {

// Marks a free slot. As a double it is a NaN, which no fingerprint holds.
constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
constexpr std::size_t kInitialSlots = 16;

inline std::uint64_t mum(std::uint64_t a, std::uint64_t b) noexcept {
  const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

inline std::uint64_t splitmix64(std::uint64_t& state) noexcept {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

inline bool same_key(const ProbeBits& a, const ProbeBits& b) noexcept {
  return ((a[0] ^ b[0]) | (a[1] ^ b[1]) | (a[2] ^ b[2]) | (a[3] ^ b[3]) | (a[4] ^ b[4])) == 0;
}

}  // namespace

struct alignas(64) SeenSet::Shard {
  mutable std::shared_mutex mutex;
  std::vector<ProbeBits> slots;  // size is zero or a power of two
  std::size_t count = 0;
};

std::size_t SeenSet::shard_count() {
  static const std::size_t count = [] {
    std::size_t threads = std::thread::hardware_concurrency();
    if (threads == 0) threads = 1;
    return std::bit_ceil(4 * threads);
  }();
  return count;
}

SeenSet::SeenSet() {
  const std::size_t n = shard_count();
  shards_ = std::make_unique<Shard[]>(n);
  shard_bits_ = static_cast<std::size_t>(std::countr_zero(n));
  // Keys: a process-wide secret from the system's random source, drawn
  // once (opening the source costs more than a small search), spread over
  // the sets by a counter and the clock, then mixed.
  static const std::uint64_t secret = [] {
    std::random_device rd;
    return (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
  }();
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t state = secret ^ (counter.fetch_add(1, std::memory_order_relaxed) * 0x9E3779B97F4A7C15u) ^
                        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  for (auto& s : seed_) {
    s = splitmix64(state);
    s |= 1;  // never a zero multiplier
  }
}

SeenSet::~SeenSet() = default;

std::uint64_t SeenSet::hash(const ProbeBits& key) const noexcept {
  const std::uint64_t a = mum(key[0] ^ seed_[0], key[1] ^ seed_[1]);
  const std::uint64_t b = mum(key[2] ^ seed_[2], key[3] ^ seed_[3]);
  const std::uint64_t c = mum(key[4] ^ seed_[1], seed_[2] ^ 0x9E3779B97F4A7C15u);
  return mum(a ^ c ^ seed_[0], b ^ seed_[3]);
}

SeenSet::Shard& SeenSet::shard_of(std::uint64_t h) const noexcept {
  const std::size_t i = shard_bits_ == 0 ? 0 : static_cast<std::size_t>(h >> (64 - shard_bits_));
  return shards_[i];
}

void SeenSet::grow(Shard& shard) {
  const std::size_t cap = shard.slots.empty() ? kInitialSlots : 2 * shard.slots.size();
  std::vector<ProbeBits> fresh(cap);
  for (auto& s : fresh) s[0] = kEmpty;
  const std::size_t mask = cap - 1;
  for (const ProbeBits& key : shard.slots) {
    if (key[0] == kEmpty) continue;
    std::size_t i = static_cast<std::size_t>(hash(key)) & mask;
    while (fresh[i][0] != kEmpty) i = (i + 1) & mask;
    fresh[i] = key;
  }
  shard.slots.swap(fresh);
}

bool SeenSet::insert_locked(Shard& shard, const ProbeBits& key, std::uint64_t h) {
  if ((shard.count + 1) * 4 > shard.slots.size() * 3) grow(shard);
  const std::size_t mask = shard.slots.size() - 1;
  std::size_t i = static_cast<std::size_t>(h) & mask;
  for (;;) {
    ProbeBits& slot = shard.slots[i];
    if (slot[0] == kEmpty) {
      slot = key;
      ++shard.count;
      return false;
    }
    if (same_key(slot, key)) return true;
    i = (i + 1) & mask;
  }
}

bool SeenSet::insert(const Fingerprint& fp) {
  const std::optional<ProbeBits> bits = fp.to_bits();
  if (!bits || (*bits)[0] == kEmpty) {
    std::lock_guard lock(odd_mutex_);
    return !odd_.insert(fp.words).second;
  }
  const std::uint64_t h = hash(*bits);
  Shard& shard = shard_of(h);
  std::unique_lock lock(shard.mutex);
  return insert_locked(shard, *bits, h);
}

std::size_t SeenSet::size() const {
  std::size_t total = 0;
  for (std::size_t i = 0; i < shard_count(); ++i) {
    std::shared_lock lock(shards_[i].mutex);
    total += shards_[i].count;
  }
  std::lock_guard lock(odd_mutex_);
  return total + odd_.size();
}

SeenSet::Batch::Batch(SeenSet& set) : set_(set) {
  // Always in shard order, so concurrent batches cannot deadlock.
  for (std::size_t i = 0; i < shard_count(); ++i) set_.shards_[i].mutex.lock();
}

SeenSet::Batch::~Batch() {
  for (std::size_t i = shard_count(); i-- > 0;) set_.shards_[i].mutex.unlock();
}

bool SeenSet::Batch::insert(const ProbeBits& key, std::uint64_t h) {
  if (key[0] == kEmpty) {
    std::lock_guard lock(set_.odd_mutex_);
    return !set_.odd_.insert(Fingerprint::from_bits(key).words).second;
  }
  return set_.insert_locked(set_.shard_of(h), key, h);
}

void SeenSet::Batch::prefetch(std::uint64_t h) const noexcept {
  const Shard& shard = set_.shard_of(h);
  if (shard.slots.empty()) return;
  __builtin_prefetch(&shard.slots[static_cast<std::size_t>(h) & (shard.slots.size() - 1)]);
}

}  // namespace vek::discover

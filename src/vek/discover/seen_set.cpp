#include "vek/discover/seen_set.hpp"

#include <atomic>
#include <chrono>
#include <random>

namespace vek::discover {

namespace {

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

}  // namespace

SeenSet::SeenSet() {
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

std::uint64_t SeenSet::hash(const ProbeBits& key) const noexcept {
  const std::uint64_t a = mum(key[0] ^ seed_[0], key[1] ^ seed_[1]);
  const std::uint64_t b = mum(key[2] ^ seed_[2], key[3] ^ seed_[3]);
  const std::uint64_t c = mum(key[4] ^ seed_[1], seed_[2] ^ 0x9E3779B97F4A7C15u);
  return mum(a ^ c ^ seed_[0], b ^ seed_[3]);
}

bool SeenSet::insert(const ProbeBits& key, std::uint64_t h) { return !keys_.insert(Key{key, h}).second; }

bool SeenSet::contains(const ProbeBits& key, std::uint64_t h) const { return keys_.count(Key{key, h}) != 0; }

}  // namespace vek::discover

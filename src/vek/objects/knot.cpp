#include "vek/objects/knot.hpp"

#include <cmath>

#include "vek/common/format.hpp"
#include "vek/common/guards.hpp"
#include "vek/common/panic.hpp"
#include "vek/common/stop.hpp"

namespace vek::objects {

static_assert(kMaxPulses == 384307168202282324ULL,
              "entries are 24 bytes; the byte count must fit in a signed 64-bit size");

Knot Knot::make(Point p, std::int64_t n, double theta) { return Knot{p, n, std::fmod(theta, kTwoPi)}; }

Knot Knot::mirror_pulse() const {
  // Unsigned arithmetic wraps; the conversion back is modular in C++20.
  const auto next = static_cast<std::int64_t>(static_cast<std::uint64_t>(flip_count) + 1u);
  return Knot{point.mirror_pulse(), next, std::fmod(phase + kQuarterTurn, kTwoPi)};
}

Knot Knot::three_one_flip() const { return mirror_pulse().mirror_pulse().mirror_pulse().mirror_pulse(); }

double Knot::rho() const { return std::fabs(point.tension()); }

std::int64_t Knot::tread_yield() const {
  // |flip_count / 4| <= 2^61, so doubling stays in range.
  return (flip_count / 4) * 2;
}

std::string Knot::repr() const {
  std::string out = "VEKKnot(n=";
  out += std::to_string(flip_count);
  out += ", rho=";
  fmt::append_fixed(out, rho(), 6);
  out += ", theta=";
  fmt::append_fixed(out, phase, 4);
  out += ", point=";
  out += point.debug();
  out += ')';
  return out;
}

std::vector<std::array<double, 3>> simulate_pulses_n(double x0, double y0, std::uint64_t n_pulses) {
  if (n_pulses > kMaxPulses) panic("capacity overflow");
  std::vector<std::array<double, 3>> out;
  out.reserve(static_cast<std::size_t>(n_pulses) + 1);  // may throw std::bad_alloc, before any work
  Point p{x0, y0};
  out.push_back({p.x, p.y, p.tension()});
  constexpr std::uint64_t kCheckEvery = std::uint64_t{1} << 16;
  for (std::uint64_t i = 0; i < n_pulses; ++i) {
    if (i % kCheckEvery == 0) checkpoint(kCheckEvery);
    p = p.mirror_pulse();
    out.push_back({p.x, p.y, p.tension()});
  }
  return out;
}

}  // namespace vek::objects

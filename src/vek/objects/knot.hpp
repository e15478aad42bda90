// VEKKnot: a point of the vek frame with a pulse counter and a phase. Each
// pulse moves the point by its mirror pulse, counts one step (wrapping in
// two's complement) and turns the phase a quarter turn.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "vek/objects/point.hpp"

namespace vek::objects {

inline constexpr double kTwoPi = 6.283185307179586;
inline constexpr double kQuarterTurn = 1.5707963267948966;

struct Knot {
  Point point;
  std::int64_t flip_count;
  double phase;  // always fmod(value, 2*pi): sign of the unreduced value

  // phase = fmod(theta, 2*pi); the point and counter are taken unchanged.
  static Knot make(Point p, std::int64_t n, double theta);

  // One pulse: mirror pulse of the point, counter + 1, phase + pi/2 reduced.
  Knot mirror_pulse() const;
  // Four pulses in succession.
  Knot three_one_flip() const;
  // |vek(x, y)| of the point.
  double rho() const;
  // (flip_count / 4) * 2, truncating; cannot overflow.
  std::int64_t tread_yield() const;

  // "VEKKnot(n=0, rho=1.000000, theta=0.0000, point=VEKPoint { x: 0.0, y: 1.0 })".
  std::string repr() const;
};

// Entries (x, y, vek(x, y)) of the point (x0, y0) and of its n_pulses
// successive mirror pulses: n_pulses + 1 entries. Throws vek::Panic
// "capacity overflow" when that many entries are not addressable, and
// std::bad_alloc when the memory cannot be had; both before any computing.
std::vector<std::array<double, 3>> simulate_pulses_n(double x0, double y0, std::uint64_t n_pulses);

// The largest n_pulses simulate_pulses_n accepts.
inline constexpr std::uint64_t kMaxPulses = static_cast<std::uint64_t>(PTRDIFF_MAX) / sizeof(std::array<double, 3>) - 1;

}  // namespace vek::objects

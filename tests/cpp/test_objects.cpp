// Points, pairs and knots of the vek frame, and their batch companions.
#include "builders.hpp"

#include <new>

#include "vek/common/panic.hpp"
#include "vek/objects/knot.hpp"

using namespace vek::test;
using namespace vek::objects;

namespace {
constexpr double kE = 2.718281828459045, kPi = 3.141592653589793, kFloor = 690.7755278982137;
constexpr std::int64_t kMin = INT64_MIN, kMax = INT64_MAX;
}  // namespace

TEST(Objects, KnownValues) {
  const auto schrodinger = schrodinger_step_n({{0.6, -0.8}, {1.0, 0.0}}, {0.1}, 0.7, 0.1);
  const auto rotated = rotate_phase_n({{1.0, 0.0}, {0.0, 1.0}}, {kPi / 2, kInf, 1.0});
  const auto steps = simulate_pulses_n(0.0, 1.0, 2);  // (x, y, tension): the new y is the last tension
  const struct {
    double got, want;
  } cases[] = {
      {Point{0.0, -0.0}.tension(), 1.0 + kFloor},
      {Point{710.0, 1.0}.tension(), 710.0000000000002},
      {Point{0.0, kInf}.tension(), -kInf},
      // the mirror pulse replaces only an exact zero y, the frame shift every magnitude below 1e-300
      {Point{1.0, -0.0}.mirror_pulse().x, 1e-300},
      {Point{0.0, -1e-310}.mirror_pulse().x, 1e-310},
      {Point{0.0, 1e-310}.mirror_pulse().y, 714.8013788281542},
      {Point{0.0, kNaN}.mirror_pulse().x, kNaN},
      {Point{0.0, -1e-310}.frame_shift().x, 1e-300},
      {Point{1.0, -2.0}.frame_shift().y, 2.0251346478990997},
      {Point{0.0, -1e-310}.pair().imag, vek::kLogFloor},
      {Point{0.0, 1e-310}.pair().imag, -713.8013788281542},
      {Point{710.0, kE}.pair().real, 710.0000000000002},
      {Point{0.0, 0.0}.minkowski_delta(0.0), 1.0},
      {Point{400.0, 1.0}.euclidean_delta(), kInf},
      {Point{-400.0, 1.0}.euclidean_delta(), 0.0},  // plain squares
      {Pair{1e200, 1e200}.modulus(), kInf},
      {Pair{1e-200, 1e-200}.modulus(), 0.0},
      {Pair::from_polar(2.0, kPi / 2).real, 2.0 * 6.123233995736766e-17},
      {(Pair{1, 2} / Pair{3, 4}).imag, 0.08},
      // the divisor's c*c + d*d is lifted to 1e-300 when smaller
      {(Pair{1, 1} / Pair{1e-200, 0}).imag, 1e100},
      {(Pair{1, 0} / Pair{1e-160, 0}).real, 1e-160 / 1e-300},
      {(Pair{1, 0} / Pair{kNaN, 0}).imag, kNaN},
      {Knot::make({0.0, 7.38905609893065}, 0, 0.0).rho(), 1.0},
      // the angle is the negated product divided by hbar: a reciprocal, or dt divided first, rounds differently
      {schrodinger.at(0).first, -0.05646883741945963},
      {schrodinger.at(0).second, -0.9984043621702053},
      {rotated.at(1).second, kNaN},
      {steps.at(2)[1], kE},
      {steps.at(2)[2], kE - 1.0},
  };
  for (const auto& c : cases) EXPECT_TRUE(Same(c.got, c.want)) << &c - cases;
  EXPECT_TRUE(schrodinger.size() == 1 && rotated.size() == 2 && steps.size() == 3);
}

TEST(Objects, KnownTruths) {
  const double swallowed = std::exp(-40.0);  // exp(-40) vanishes next to ln(1e300)
  const struct {
    bool got, want;
  } cases[] = {
      {Point{710.0, 1.0}.is_slipping(), true},
      {Point{std::nextafter(vek::kExpLimit, kInf), 1.0}.is_slipping(), true},
      {Point{vek::kExpLimit, 1.0}.is_slipping(), false},
      {Point{kNaN, 1.0}.is_slipping(), false},
      // a non-finite exp(x) passes whatever tol is; only the receiver's x and next's y take part
      {Point{kInf, 1.0}.conserves_tension(Point{kNaN, kNaN}, kNaN), true},
      {Point{kNaN, 1.0}.conserves_tension(Point{kNaN, kNaN}, -1.0), true},
      {Point{0.5, 1.0}.conserves_tension(Point{0.0, 2.0}, 0.0), false},
      {Point{-40.0, kNaN}.conserves_tension(Point{kNaN, 1e300}, swallowed * 1.5), true},
      {Point{-40.0, kNaN}.conserves_tension(Point{kNaN, 1e300}, swallowed * 0.5), false},
      // pairs are equal strictly within 1e-9, never with an infinity
      {Pair{1, 2}.tolerant_equal({1, 2 - 2e-9}), false},
      {Pair{0, 0}.tolerant_equal({1e-9, 0}), false},
      {Pair{kInf, 0}.tolerant_equal({kInf, 0}), false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << &c - cases;
}

TEST(Objects, Texts) {
  const std::pair<std::string, const char*> cases[] = {
      {Point{1e20, -1e-9}.repr(), "VEKPoint(x=100000000000000000000.000000, y=-0.000000)"},
      {Pair{0.0, -kNaN}.repr(), "VEKPair(0.000000 + NaNi)"},
      {Pair{-0.0, -kInf}.repr(), "VEKPair(-0.000000 - infi)"},
      {Pair{1.0, -1e-9}.repr(), "VEKPair(1.000000 - 0.000000i)"},
      {Knot::make({-1.0, 1e-5}, 5, -0.00001).repr(),
       "VEKKnot(n=5, rho=11.880805, theta=-0.0000, point=VEKPoint { x: -1.0, y: 1e-5 })"},
      {Knot::make({kNaN, -1e16}, kMin, kInf).repr(),
       "VEKKnot(n=-9223372036854775808, rho=NaN, theta=NaN, point=VEKPoint { x: NaN, y: -1e16 })"},
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}

TEST(Knot, PhaseCounterAndYield) {
  const struct {
    double theta, phase, after_pulse, after_flip;
  } phases[] = {
      // remainders by 2 pi keep the sign
      {7.0, 0.7168146928204138, 2.2876110196153103, 0.7168146928204138},
      {-7.0, -0.7168146928204138, 0.8539816339744828, 5.5663706143591725},  // a negative phase comes back a turn up
      {-0.0, -0.0, kQuarterTurn, 0.0},
      {kInf, kNaN, kNaN, kNaN}};
  for (const auto& c : phases) {
    const Knot k = Knot::make({1.0, 2.0}, 3, c.theta);
    EXPECT_TRUE(Same(k.phase, c.phase) && Same(k.mirror_pulse().phase, c.after_pulse) &&
                Same(k.three_one_flip().phase, c.after_flip))
        << c.theta;
    EXPECT_TRUE(k.mirror_pulse().flip_count == 4 && k.three_one_flip().flip_count == 7);
  }
  EXPECT_EQ(Knot::make({1.0, 2.0}, kMax, 0.0).mirror_pulse().flip_count, kMin);  // the counter wraps
  EXPECT_EQ(Knot::make({1.0, 2.0}, kMax - 1, 0.0).three_one_flip().flip_count, kMin + 2);
  const std::pair<std::int64_t, std::int64_t> yields[] = {
      // (n / 4) * 2, truncating
      {kMin, kMin / 2}, {kMax, kMax / 2 - 1}, {-7, -2}, {-4, -2}, {-3, 0}, {3, 0}, {4, 2}, {7, 2}};
  for (const auto& [n, yield] : yields) EXPECT_EQ(Knot::make({0.0, 1.0}, n, 0.0).tread_yield(), yield) << n;
}

TEST(SimulatePulses, ImpossibleSizesFailBeforeAnyWork) {
  for (std::uint64_t n : {kMaxPulses + 1, std::uint64_t{1} << 62, UINT64_MAX}) {
    try {
      (void)simulate_pulses_n(0.0, 1.0, n);
      ADD_FAILURE() << "no panic for " << n;
    } catch (const vek::Panic& e) {
      EXPECT_STREQ(e.what(), "capacity overflow");
    }
  }
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer aborts on impossible allocations instead of throwing";
#endif
  EXPECT_THROW((void)simulate_pulses_n(0.0, 1.0, kMaxPulses), std::bad_alloc);
  EXPECT_THROW((void)simulate_pulses_n(0.0, 1.0, 100000000000000000ULL), std::bad_alloc);
}

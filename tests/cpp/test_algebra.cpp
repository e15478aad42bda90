// Algebra kernels: octonion product, geometric product, Schwarzschild
// Christoffel symbols.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "vek/algebra/metric.hpp"
#include "vek/algebra/multivector.hpp"
#include "vek/algebra/octonion.hpp"
#include "vek/common/panic.hpp"

namespace {

using vek::algebra::Octonion;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

template <class Seq>
::testing::AssertionResult SameSeq(const Seq& got, const Seq& want) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure() << "size " << got.size() << " vs " << want.size();
  for (std::size_t i = 0; i < got.size(); ++i)
    if (!same_bits(got[i], want[i]))
      return ::testing::AssertionFailure() << "at " << i << ": " << got[i] << " vs " << want[i];
  return ::testing::AssertionSuccess();
}

Octonion basis(int k, double v = 1.0) {
  Octonion o{};
  o[k] = v;
  return o;
}

// ------------------------------------------------------------- Octonion ----

// The multiplication table exactly as published with the algebra: row i is
// the left factor ei, column j the right factor ej.
const char* const kOctonionTable[8] = {
    "+e0 +e1 +e2 +e3 +e4 +e5 +e6 +e7",  //
    "+e1 -e0 +e4 +e7 -e2 +e6 -e5 -e3",  //
    "+e2 -e4 -e0 +e5 +e1 -e3 +e7 -e6",  //
    "+e3 -e7 -e5 -e0 +e6 +e2 -e4 +e1",  //
    "+e4 +e2 -e1 -e6 -e0 +e7 +e3 -e5",  //
    "+e5 -e6 +e3 -e2 -e7 -e0 +e1 +e4",  //
    "+e6 +e5 -e7 +e4 -e3 -e1 -e0 +e2",  //
    "+e7 +e3 +e6 -e1 +e5 -e4 -e2 -e0",  //
};

TEST(Octonion, EveryBasisProductMatchesTheTable) {
  for (int i = 0; i < 8; ++i) {
    std::istringstream row(kOctonionTable[i]);
    for (int j = 0; j < 8; ++j) {
      std::string cell;
      row >> cell;
      ASSERT_EQ(cell.size(), 3u);
      const double sign = cell[0] == '+' ? 1.0 : -1.0;
      const int k = cell[2] - '0';
      SCOPED_TRACE(::testing::Message() << "e" << i << " * e" << j);
      EXPECT_TRUE(SameSeq(vek::algebra::octonion_mul(basis(i), basis(j)), basis(k, sign)));
    }
  }
}

TEST(Octonion, NotAssociative) {
  using vek::algebra::octonion_mul;
  const Octonion left = octonion_mul(octonion_mul(basis(1), basis(2)), basis(3));
  const Octonion right = octonion_mul(basis(1), octonion_mul(basis(2), basis(3)));
  EXPECT_TRUE(SameSeq(left, basis(6, -1.0)));
  EXPECT_TRUE(SameSeq(right, basis(6, 1.0)));
}

TEST(Octonion, RealUnitIsTheIdentityWithZerosNormalised) {
  const Octonion x = {-0.0, 1.5, -2.25, 0.0, 1e300, -1e-310, kInf, -0.0};
  const Octonion want = {0.0, 1.5, -2.25, 0.0, 1e300, -1e-310, kInf, 0.0};
  EXPECT_TRUE(SameSeq(vek::algebra::octonion_mul(basis(0), x), want));
  EXPECT_TRUE(SameSeq(vek::algebra::octonion_mul(x, basis(0)), want));
}

TEST(Octonion, ZeroCoefficientsAreSkipped) {
  using vek::algebra::octonion_mul;
  const Octonion inf_real = basis(0, kInf);
  EXPECT_TRUE(SameSeq(octonion_mul(basis(1), inf_real), basis(1, kInf)));
  EXPECT_TRUE(SameSeq(octonion_mul(inf_real, basis(1)), basis(1, kInf)));
  // A NaN in one factor reaches only the coefficients it actually multiplies.
  const Octonion r = octonion_mul(basis(2), basis(4, kNaN));
  for (int k = 0; k < 8; ++k) EXPECT_EQ(std::isnan(r[k]), k == 1) << k;
  // All-zero factors give +0.0 everywhere, even with signed zeros.
  EXPECT_TRUE(SameSeq(octonion_mul(Octonion{-0.0, -0.0, -0.0, -0.0, -0.0, -0.0, -0.0, -0.0}, basis(3, kNaN)),
                      Octonion{}));
}

TEST(Octonion, AccumulatesInAscendingOrderOfTheLeftIndex) {
  // p[0] collects +1 (i = 0, e0*e0), +1e16 (i = 1, e1*e1 = -e0 against
  // -1e16) and -1e16 (i = 2). In that order the 1 is absorbed: the result is
  // 0, where any other order gives 1.
  const Octonion a = {1.0, 1e16, 1e16, 0, 0, 0, 0, 0};
  const Octonion b = {1.0, -1.0, 1.0, 0, 0, 0, 0, 0};
  const Octonion r = vek::algebra::octonion_mul(a, b);
  EXPECT_TRUE(same_bits(r[0], 0.0)) << r[0];
}

TEST(Octonion, NormIsMultiplicative) {
  std::mt19937_64 rng(12345);
  std::uniform_real_distribution<double> u(-3.0, 3.0);
  auto norm2 = [](const Octonion& o) {
    long double s = 0;
    for (double v : o) s += static_cast<long double>(v) * v;
    return s;
  };
  for (int n = 0; n < 2000; ++n) {
    Octonion a, b;
    for (auto& v : a) v = u(rng);
    for (auto& v : b) v = u(rng);
    const long double lhs = norm2(vek::algebra::octonion_mul(a, b));
    const long double rhs = norm2(a) * norm2(b);
    ASSERT_NEAR(static_cast<double>(lhs / rhs), 1.0, 1e-13) << n;
  }
}

TEST(Octonion, BatchMatchesScalarAndTruncates) {
  EXPECT_TRUE(vek::algebra::octonion_mul_n({}, {}).empty());
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-10.0, 10.0);
  for (std::size_t na : {3u, 5u, 20000u}) {
    const std::size_t nb = na == 3 ? 5 : (na == 5 ? 3 : na + 17);
    std::vector<Octonion> a(na), b(nb);
    for (auto& o : a)
      for (auto& v : o) v = (rng() % 4 == 0) ? 0.0 : u(rng);
    for (auto& o : b)
      for (auto& v : o) v = (rng() % 4 == 0) ? 0.0 : u(rng);
    const auto out = vek::algebra::octonion_mul_n(a, b);
    ASSERT_EQ(out.size(), std::min(na, nb));
    for (std::size_t i = 0; i < out.size(); ++i)
      ASSERT_TRUE(SameSeq(out[i], vek::algebra::octonion_mul(a[i], b[i]))) << i;
  }
}

// ------------------------------------------------------ Geometric product ----

using MV = std::vector<double>;
using Sig = std::vector<std::int8_t>;

MV blade(std::size_t dim, std::size_t index, double v = 1.0) {
  MV m(dim, 0.0);
  m[index] = v;
  return m;
}

struct GpCase {
  const char* name;
  MV a, b;
  Sig sig;
  MV want;
};

class GeometricProduct : public ::testing::TestWithParam<GpCase> {};

TEST_P(GeometricProduct, Example) {
  const auto& c = GetParam();
  EXPECT_TRUE(SameSeq(vek::algebra::geometric_product(c.a, c.b, c.sig), c.want));
}

INSTANTIATE_TEST_SUITE_P(
    Examples, GeometricProduct,
    ::testing::Values(
        GpCase{"plane_e0_e1", blade(4, 1), blade(4, 2), {1, 1}, {0, 0, 0, 1}},
        GpCase{"plane_e1_e0", blade(4, 2), blade(4, 1), {1, 1}, {0, 0, 0, -1}},
        GpCase{"plane_bivector_squared", blade(4, 3), blade(4, 3), {1, 1}, {-1, 0, 0, 0}},
        GpCase{"plane_e0_squared", blade(4, 1), blade(4, 1), {1, 1}, {1, 0, 0, 0}},
        GpCase{"mixed_e0_squared", blade(4, 1), blade(4, 1), {-1, 1}, {-1, 0, 0, 0}},
        GpCase{"mixed_bivector_squared", blade(4, 3), blade(4, 3), {-1, 1}, {1, 0, 0, 0}},
        GpCase{"space_e01_e2", blade(8, 3), blade(8, 4), {1, 1, 1}, blade(8, 7)},
        GpCase{"space_e2_e0", blade(8, 4), blade(8, 1), {1, 1, 1}, blade(8, 5, -1.0)},
        GpCase{"space_pseudoscalar_squared", blade(8, 7), blade(8, 7), {1, 1, 1}, blade(8, 0, -1.0)},
        GpCase{"null_vector", blade(4, 2), blade(4, 2), {1, 0}, {0, 0, 0, 0}},
        GpCase{"scalar_times_b", {2, 0, 0, 0}, {1.5, -3, 0.25, 7}, {1, 1}, {3, -6, 0.5, 14}},
        GpCase{"zero_left_short_b", {0, -0.0, 0, 0}, {kNaN}, {}, {0, 0, 0, 0}},
        GpCase{"zero_skips_inf", blade(4, 1), {kInf, 2, 0, 0}, {1, 1}, {2, kInf, 0, 0}},
        GpCase{"b_longer_than_a", blade(2, 1), {0, 3, kNaN, kNaN}, {-1}, {-3, 0}},
        GpCase{"signature_entry_is_a_factor", blade(2, 1, 3.0), blade(2, 1, 5.0), {-2}, {-30, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GeometricProductChecks, ThreeVectorChain) {
  using vek::algebra::geometric_product;
  const Sig sig = {1, 1, 1};
  const MV e01 = geometric_product(blade(8, 1), blade(8, 2), sig);
  EXPECT_TRUE(SameSeq(geometric_product(e01, blade(8, 4), sig), blade(8, 7)));
}

TEST(GeometricProductChecks, AssociativeOnIntegerCoefficients) {
  // Small integers keep every sum exact, so associativity must hold exactly;
  // a wrong reordering sign breaks it.
  using vek::algebra::geometric_product;
  std::mt19937_64 rng(99);
  for (const Sig& sig : {Sig{1, 1, 1}, Sig{-1, 1, 1}, Sig{1, -1, -1, 1}, Sig{1, 1, 0}}) {
    const std::size_t dim = std::size_t{1} << sig.size();
    for (int n = 0; n < 50; ++n) {
      MV a(dim), b(dim), c(dim);
      for (auto* m : {&a, &b, &c})
        for (auto& v : *m) v = static_cast<double>(static_cast<int>(rng() % 7) - 3);
      const MV ab_c = geometric_product(geometric_product(a, b, sig), c, sig);
      const MV a_bc = geometric_product(a, geometric_product(b, c, sig), sig);
      for (std::size_t k = 0; k < dim; ++k) ASSERT_EQ(ab_c[k] + 0.0, a_bc[k] + 0.0) << "k=" << k;
    }
  }
}

TEST(GeometricProductChecks, BladeSquares) {
  // e_A e_A = (-1)^(g(g-1)/2) * prod of the signature over A, g = grade of A.
  using vek::algebra::geometric_product;
  const Sig sig = {-1, 1, -1, 1};
  for (std::size_t a = 0; a < 16; ++a) {
    const int g = std::popcount(a);
    double want = ((g * (g - 1) / 2) % 2) ? -1.0 : 1.0;
    for (int k = 0; k < 4; ++k)
      if ((a >> k) & 1u) want *= sig[k];
    EXPECT_TRUE(SameSeq(geometric_product(blade(16, a), blade(16, a), sig), blade(16, 0, want))) << a;
  }
}

struct PanicCase {
  const char* name;
  MV a, b;
  Sig sig;
  const char* message;
};

class GeometricProductPanic : public ::testing::TestWithParam<PanicCase> {};

TEST_P(GeometricProductPanic, ExactMessage) {
  const auto& c = GetParam();
  try {
    (void)vek::algebra::geometric_product(c.a, c.b, c.sig);
    FAIL() << "no panic";
  } catch (const vek::Panic& e) {
    EXPECT_STREQ(e.what(), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Failures, GeometricProductPanic,
    ::testing::Values(
        PanicCase{"b_too_short", {1, 0, 0, 0}, {1, 2}, {1, 1}, "index out of bounds: the len is 2 but the index is 2"},
        PanicCase{"b_too_short_even_if_zero", {1, 0, 0, 0}, {0, 0}, {1, 1},
                  "index out of bounds: the len is 2 but the index is 2"},
        PanicCase{"dimension_not_power_of_two", {0, 1, 1}, {0, 1, 1}, {1, 1},
                  "index out of bounds: the len is 3 but the index is 3"},
        PanicCase{"signature_too_short", blade(4, 2), blade(4, 2), {1},
                  "index out of bounds: the len is 1 but the index is 1"},
        PanicCase{"empty_signature", blade(2, 1), blade(2, 1), {}, "index out of bounds: the len is 0 but the index is 0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GeometricProductChecks, ShortSignatureIsFineWhenUnused) {
  EXPECT_TRUE(SameSeq(vek::algebra::geometric_product(blade(4, 1), blade(4, 1), {1}), MV{1, 0, 0, 0}));
  EXPECT_TRUE(SameSeq(vek::algebra::geometric_product(blade(4, 1), blade(4, 2), {1}), MV{0, 0, 0, 1}));
}

TEST(GeometricProductBatch, MatchesScalarAndTruncates) {
  using vek::algebra::geometric_product;
  using vek::algebra::geometric_product_n;
  EXPECT_TRUE(geometric_product_n({}, {}, {}).empty());
  const Sig sig = {1, -1, 1};
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> u(-5.0, 5.0);
  std::vector<MV> a(5000, MV(8)), b(5003, MV(8));
  for (auto& m : a)
    for (auto& v : m) v = rng() % 3 == 0 ? 0.0 : u(rng);
  for (auto& m : b)
    for (auto& v : m) v = rng() % 3 == 0 ? 0.0 : u(rng);
  const auto out = geometric_product_n(a, b, sig);
  ASSERT_EQ(out.size(), a.size());
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_TRUE(SameSeq(out[i], geometric_product(a[i], b[i], sig))) << i;
  EXPECT_EQ(geometric_product_n({blade(4, 1)}, {}, {1, 1}).size(), 0u);
}

TEST(GeometricProductBatch, OneBadPairFailsTheWholeCall) {
  const std::size_t n = 100000;
  std::vector<MV> a(n, blade(4, 1)), b(n, blade(4, 2));
  for (std::size_t bad : {std::size_t{0}, n / 2 + 3, n - 1}) {
    auto bb = b;
    bb[bad] = {1.0, 1.0};
    try {
      (void)vek::algebra::geometric_product_n(a, bb, {1, 1});
      ADD_FAILURE() << "no panic with the bad pair at " << bad;
    } catch (const vek::Panic& e) {
      EXPECT_STREQ(e.what(), "index out of bounds: the len is 2 but the index is 2");
    }
  }
}

// ------------------------------------------------------------ Christoffel ----

struct ChristoffelCase {
  const char* name;
  double x;
  std::uint64_t lam, mu, nu;
  double rs;
  double want;
};

class Christoffel : public ::testing::TestWithParam<ChristoffelCase> {};

TEST_P(Christoffel, Value) {
  const auto& c = GetParam();
  EXPECT_TRUE(same_bits(vek::algebra::christoffel(c.x, c.lam, c.mu, c.nu, c.rs), c.want))
      << vek::algebra::christoffel(c.x, c.lam, c.mu, c.nu, c.rs);
}

const double kLn4 = std::log(4.0);

INSTANTIATE_TEST_SUITE_P(
    Values, Christoffel,
    ::testing::Values(ChristoffelCase{"t_tr", kLn4, 0, 0, 1, 2.0, 0.125},
                      ChristoffelCase{"t_rt", kLn4, 0, 1, 0, 2.0, 0.125},
                      ChristoffelCase{"r_tt", kLn4, 1, 0, 0, 2.0, 0.03125},
                      ChristoffelCase{"r_rr", kLn4, 1, 1, 1, 2.0, -0.125},
                      ChristoffelCase{"inside_horizon", 0.0, 0, 0, 1, 2.0, 499999958.3798179},
                      ChristoffelCase{"t_tt_zero", kLn4, 0, 0, 0, 2.0, 0.0},
                      ChristoffelCase{"t_rr_zero", kLn4, 0, 1, 1, 2.0, 0.0},
                      ChristoffelCase{"r_tr_zero", kLn4, 1, 0, 1, 2.0, 0.0},
                      ChristoffelCase{"r_rt_zero", kLn4, 1, 1, 0, 2.0, 0.0},
                      ChristoffelCase{"lam2", kLn4, 2, 0, 1, 2.0, 0.0},
                      ChristoffelCase{"lam3", kLn4, 3, 1, 1, 2.0, 0.0},
                      ChristoffelCase{"lam7", kLn4, 7, 0, 0, 2.0, 0.0},
                      ChristoffelCase{"mu2", kLn4, 0, 2, 1, 2.0, 0.0},
                      ChristoffelCase{"nu_huge", kLn4, 1, 1, std::numeric_limits<std::uint64_t>::max(), 2.0, 0.0},
                      ChristoffelCase{"rs_swallows_margin", 0.0, 0, 0, 1, 1e300, 0.0},
                      ChristoffelCase{"radius_underflows", -1000.0, 1, 1, 1, -1.0, 0.0},
                      ChristoffelCase{"flat", kLn4, 1, 0, 0, 0.0, 0.0},
                      ChristoffelCase{"nan_x_uses_margin", kNaN, 0, 0, 1, 2.0, 499999958.3798179}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ChristoffelChecks, NaNRadiusParameter) {
  using vek::algebra::christoffel;
  for (double x : {-5.0, 0.0, kLn4, 800.0}) {
    EXPECT_TRUE(std::isnan(christoffel(x, 0, 0, 1, kNaN))) << x;
    EXPECT_TRUE(std::isnan(christoffel(x, 0, 1, 0, kNaN))) << x;
    EXPECT_TRUE(std::isnan(christoffel(x, 1, 0, 0, kNaN))) << x;
    EXPECT_TRUE(std::isnan(christoffel(x, 1, 1, 1, kNaN))) << x;
    EXPECT_EQ(christoffel(x, 2, 0, 1, kNaN), 0.0) << x;
    EXPECT_EQ(christoffel(x, 0, 0, 0, kNaN), 0.0) << x;
  }
}

TEST(ChristoffelChecks, OwnExponentThreshold) {
  // 709.781 lies between 709.78 and the exp limit: the radius goes through
  // the logarithm, so r is about 709.781 rather than about 1.8e308.
  const double r = 709.781;
  const double want = 2.0 / (2.0 * r * (r - 2.0));
  const double got = vek::algebra::christoffel(709.781, 0, 0, 1, 2.0);
  EXPECT_NEAR(got / want, 1.0, 1e-12);
  EXPECT_NEAR(vek::algebra::christoffel(709.77, 0, 0, 1, 2.0), 0.0, 1e-300);  // plain exp: enormous r
}

TEST(ChristoffelChecks, BatchMatchesScalarAndIgnoresSecondMember) {
  using vek::algebra::christoffel;
  using vek::algebra::christoffel_batch_n;
  EXPECT_TRUE(christoffel_batch_n({}, 0, 0, 1, 2.0).empty());
  std::vector<std::pair<double, double>> pts;
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(-3.0, 800.0);
  for (int i = 0; i < 30000; ++i) pts.emplace_back(u(rng), static_cast<double>(i));
  pts.emplace_back(kNaN, 1.0);
  pts.emplace_back(709.781, kNaN);
  for (auto [lam, mu, nu] : {std::tuple{0u, 0u, 1u}, std::tuple{1u, 0u, 0u}, std::tuple{1u, 1u, 1u}, std::tuple{3u, 0u, 1u}}) {
    const auto out = christoffel_batch_n(pts, lam, mu, nu, 1.5);
    ASSERT_EQ(out.size(), pts.size());
    for (std::size_t i = 0; i < pts.size(); ++i)
      ASSERT_TRUE(same_bits(out[i], christoffel(pts[i].first, lam, mu, nu, 1.5))) << i;
  }
  const auto a = christoffel_batch_n({{0.3, 0.0}}, 1, 0, 0, 0.5);
  const auto b = christoffel_batch_n({{0.3, 123.0}}, 1, 0, 0, 0.5);
  EXPECT_TRUE(same_bits(a[0], b[0]));
}

}  // namespace

// Batches look blade signs up in a table built once per call (up to a size);
// pairs beyond it, and every failure, must come out as from the scalar rule.
TEST(GeometricProductBatch, SharedSignsAgreeWithScalarForMixedSizes) {
  using vek::algebra::geometric_product;
  using vek::algebra::geometric_product_n;
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  const Sig sig = {1, -1, 0, 2, -1, -3};  // e(6) has no entry
  std::vector<MV> a, b;
  for (std::size_t dim : {1u, 2u, 4u, 8u, 16u, 32u, 64u, 128u}) {
    for (int k = 0; k < 20; ++k) {
      MV x(dim), y(dim);
      for (auto& v : x) v = rng() % 4 == 0 ? 0.0 : u(rng);
      for (auto& v : y) v = rng() % 4 == 0 ? 0.0 : u(rng);
      a.push_back(x);
      b.push_back(y);
    }
  }
  std::vector<std::string> scalar_errors;
  for (std::size_t i = 0; i < a.size(); ++i) {
    try {
      (void)geometric_product(a[i], b[i], sig);
    } catch (const vek::Panic& e) {
      scalar_errors.push_back(e.what());
    }
  }
  // The 128-dimensional pairs contract e(6) with itself: the whole batch fails.
  ASSERT_FALSE(scalar_errors.empty());
  for (const auto& msg : scalar_errors) EXPECT_EQ(msg, "index out of bounds: the len is 6 but the index is 6");
  try {
    (void)geometric_product_n(a, b, sig);
    ADD_FAILURE() << "the batch did not fail";
  } catch (const vek::Panic& e) {
    EXPECT_STREQ(e.what(), "index out of bounds: the len is 6 but the index is 6");
  }
  // A failure found inside the table reads the same.
  try {
    (void)geometric_product_n(std::vector<MV>(100, blade(64, 32)), std::vector<MV>(100, blade(64, 33)),
                              {1, 1, 1, 1, 1});
    ADD_FAILURE() << "the batch did not fail";
  } catch (const vek::Panic& e) {
    EXPECT_STREQ(e.what(), "index out of bounds: the len is 5 but the index is 5");
  }
  // Without them every product is defined, through the table or beside it.
  a.resize(140);
  b.resize(140);
  const auto out = geometric_product_n(a, b, sig);
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_TRUE(SameSeq(out[i], geometric_product(a[i], b[i], sig))) << i;
}

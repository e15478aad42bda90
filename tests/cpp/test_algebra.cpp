// Octonion and geometric products, Christoffel symbols.
#include "builders.hpp"

#include <random>
#include <sstream>

#include "vek/algebra/metric.hpp"
#include "vek/algebra/multivector.hpp"
#include "vek/algebra/octonion.hpp"
#include "vek/common/panic.hpp"

using namespace vek::test;
using namespace vek::algebra;
using MV = std::vector<double>;
using Sig = std::vector<std::int8_t>;

namespace {

MV blade(std::size_t dim, std::size_t k, double v = 1.0) {
  MV m(dim);
  return m[k] = v, m;
}
Octonion basis(int k, double v = 1.0) {
  Octonion o{};
  return o[k] = v, o;
}

template <class F>
std::string panic_of(F&& f) {
  try {
    f();
  } catch (const vek::Panic& e) {
    return e.what();
  }
  return "no panic";
}

}  // namespace

TEST(Octonion, BasisProductsFollowThePublishedTable) {
  const char* const table[8] = {// ei * ej: row i is the left factor, column j the right one
                                "+e0 +e1 +e2 +e3 +e4 +e5 +e6 +e7", "+e1 -e0 +e4 +e7 -e2 +e6 -e5 -e3",
                                "+e2 -e4 -e0 +e5 +e1 -e3 +e7 -e6", "+e3 -e7 -e5 -e0 +e6 +e2 -e4 +e1",
                                "+e4 +e2 -e1 -e6 -e0 +e7 +e3 -e5", "+e5 -e6 +e3 -e2 -e7 -e0 +e1 +e4",
                                "+e6 +e5 -e7 +e4 -e3 -e1 -e0 +e2", "+e7 +e3 +e6 -e1 +e5 -e4 -e2 -e0"};
  for (int i = 0; i < 8; ++i) {
    std::istringstream row(table[i]);
    std::string cell;
    for (int j = 0; j < 8 && row >> cell; ++j)
      EXPECT_TRUE(SameSeq(octonion_mul(basis(i), basis(j)), basis(cell[2] - '0', cell[0] == '+' ? 1.0 : -1.0)))
          << "e" << i << " * e" << j;
  }
  // Terms with a zero factor are never formed (-0.0 comes back +0.0, a NaN reaches only its own terms), and
  // p[0] sums 1 (i = 0), 1e16 (i = 1), -1e16 (i = 2) in that order, so the 1 is absorbed.
  EXPECT_TRUE(SameSeq(octonion_mul({-0.0, 1.5, 0, 0, 0, 0, kInf, -0.0}, basis(0)), Octonion{0, 1.5, 0, 0, 0, 0, kInf}));
  EXPECT_TRUE(SameSeq(octonion_mul(basis(2), basis(4, kNaN)), Octonion{0, kNaN, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(Same(octonion_mul({1, 1e16, 1e16, 0, 0, 0, 0, 0}, {1, -1, 1, 0, 0, 0, 0, 0})[0], 0.0));
}

TEST(GeometricProduct, KnownProducts) {
  const struct {
    MV a, b;
    Sig sig;
    MV want;
  } cases[] = {
      {blade(4, 2), blade(4, 1), {1, 1}, {0, 0, 0, -1}},
      {blade(4, 3), blade(4, 3), {-1, 1}, {1, 0, 0, 0}},
      {blade(8, 4), blade(8, 1), {1, 1, 1}, blade(8, 5, -1)},
      {blade(8, 7), blade(8, 7), {1, 1, 1}, blade(8, 0, -1)},
      {blade(4, 2), blade(4, 2), {1, 0}, {0, 0, 0, 0}},
      {blade(2, 1, 3), blade(2, 1, 5), {-2}, {-30, 0}},
      {{0, -0.0, 0, 0}, {kNaN}, {}, {0, 0, 0, 0}},              // zero left factor: b is never read
      {blade(4, 1), {kInf, 2, 0, 0}, {1, 1}, {2, kInf, 0, 0}},  // zeros never meet inf
      {blade(2, 1), {0, 3, kNaN, kNaN}, {-1}, {-3, 0}},         // the dimension is a's
      {blade(4, 1), blade(4, 2), {1}, {0, 0, 0, 1}},            // a short signature is fine while unused
  };
  for (const auto& c : cases) EXPECT_TRUE(SameSeq(geometric_product(c.a, c.b, c.sig), c.want)) << &c - cases;
  std::mt19937_64 rng(99);  // exact sums: a wrong reordering sign breaks (ab)c == a(bc)
  for (const Sig& sig : {Sig{1, 1, 1}, Sig{-1, 1, 1}, Sig{1, -1, -1, 1}, Sig{1, 1, 0}})
    for (int n = 0; n < 50; ++n) {
      MV m[3];
      for (auto& v : m)
        for (std::size_t k = 0; k < (1u << sig.size()); ++k) v.push_back(static_cast<int>(rng() % 7) - 3);
      const MV left = geometric_product(geometric_product(m[0], m[1], sig), m[2], sig);
      ASSERT_EQ(left, geometric_product(m[0], geometric_product(m[1], m[2], sig), sig));
    }
}

// Batches look blade signs up in a table built once per call (up to a size);
// pairs beyond it, and every failure, must come out as from the scalar rule.
TEST(GeometricProduct, BatchesAgreeWithTheScalarRuleAcrossSizesAndFailures) {
  std::mt19937_64 rng(11);
  const Sig sig = {1, -1, 0, 2, -1, -3};  // e(6) has no entry
  std::vector<MV> a, b;
  for (std::size_t dim = 1; dim <= 128; dim *= 2)
    for (int k = 0; k < 40; ++k) {
      (k % 2 ? b : a).emplace_back(dim);
      for (double& c : (k % 2 ? b : a).back()) c = rng() % 4 ? std::uniform_real_distribution<double>(-2, 2)(rng) : 0;
    }
  // The 128-dimensional pairs contract e(6) with itself: the whole batch fails like the scalar rule.
  const char* e6 = "index out of bounds: the len is 6 but the index is 6";
  EXPECT_EQ(panic_of([&] { (void)geometric_product(a.back(), b.back(), sig); }), e6);
  EXPECT_EQ(panic_of([&] { (void)geometric_product_n(a, b, sig); }), e6);
  EXPECT_EQ(panic_of([&] { (void)geometric_product_n({100, blade(64, 32)}, {100, blade(64, 33)}, {1, 1, 1, 1, 1}); }),
            "index out of bounds: the len is 5 but the index is 5");  // a failure found inside the table
  const std::size_t n = 100000;  // one bad pair anywhere fails the whole pooled call
  std::vector<MV> ones(n, blade(4, 1)), twos(n, blade(4, 2));
  for (std::size_t bad : {std::size_t{0}, n / 2 + 3, n - 1}) {
    twos[bad] = {1.0, 1.0};
    EXPECT_EQ(panic_of([&] { (void)geometric_product_n(ones, twos, {1, 1}); }),
              "index out of bounds: the len is 2 but the index is 2")
        << bad;
    twos[bad] = blade(4, 2);
  }
  a.resize(140);  // without them every product is defined, through the table or beside it
  const auto out = geometric_product_n(a, b, sig);
  ASSERT_EQ(out.size(), a.size());
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_TRUE(SameSeq(out[i], geometric_product(a[i], b[i], sig))) << i;
}

TEST(Christoffel, KnownValues) {
  const double ln4 = std::log(4.0);
  const struct {
    double got, want;
  } cases[] = {
      {christoffel(ln4, 0, 1, 0, 2.0), 0.125},
      {christoffel(ln4, 1, 0, 0, 2.0), 0.03125},
      {christoffel(ln4, 1, 1, 1, 2.0), -0.125},
      {christoffel(ln4, 1, 0, 1, 2.0), 0.0},
      {christoffel(ln4, 3, 0, 1, 2.0), 0.0},
      {christoffel(ln4, 1, 1, UINT64_MAX, 2.0), 0.0},
      {christoffel(kNaN, 0, 0, 1, 2.0), 499999958.3798179},  // inside the horizon: r = rs + 1e-9
      {christoffel(0.0, 0, 0, 1, 1e300), 0.0},               // rs + 1e-9 rounds back to rs
      {christoffel(-1000.0, 1, 1, 1, -1.0), 0.0},            // r underflows to 0
      {christoffel(ln4, 1, 1, 1, kNaN), kNaN},
      {christoffel(ln4, 2, 0, 1, kNaN), 0.0},
      {christoffel(709.781, 0, 0, 1, 2.0), 1.990566680768303e-06},  // above 709.78: r = exp(ln(x))
  };
  for (const auto& c : cases) EXPECT_TRUE(Same(c.got, c.want)) << &c - cases;
}

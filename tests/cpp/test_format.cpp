#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "vek/common/format.hpp"
#include "vek/common/parallel.hpp"

namespace fmt = vek::fmt;

struct FixedCase {
  double v;
  int digits;
  const char* text;
};

class FixedFormat : public ::testing::TestWithParam<FixedCase> {};

TEST_P(FixedFormat, MatchesExpectedText) {
  const auto& c = GetParam();
  EXPECT_EQ(fmt::fixed(c.v, c.digits), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FixedFormat,
    ::testing::Values(FixedCase{1.0, 6, "1.000000"}, FixedCase{-0.5, 6, "-0.500000"},
                      FixedCase{-0.0, 6, "-0.000000"}, FixedCase{-1e-9, 6, "-0.000000"},
                      FixedCase{2.5e-7, 6, "0.000000"}, FixedCase{1e20, 6, "100000000000000000000.000000"},
                      FixedCase{std::nan(""), 6, "NaN"}, FixedCase{-std::nan(""), 4, "NaN"},
                      FixedCase{INFINITY, 6, "inf"}, FixedCase{-INFINITY, 4, "-inf"},
                      // 0.125 is exact: ties go to even; 0.1 is slightly above 0.1.
                      FixedCase{0.125, 2, "0.12"}, FixedCase{0.375, 2, "0.38"},
                      FixedCase{3.14159, 4, "3.1416"}, FixedCase{-0.00001, 4, "-0.0000"},
                      FixedCase{11.880805, 6, "11.880805"}));

TEST(Exp2Format, TwoDigitMantissaPlainExponent) {
  EXPECT_EQ(fmt::exp2(0.00000015), "1.50e-7");
  EXPECT_EQ(fmt::exp2(0.0), "0.00e0");
  EXPECT_EQ(fmt::exp2(-0.0), "-0.00e0");
  EXPECT_EQ(fmt::exp2(2.162407146368756), "2.16e0");
  EXPECT_EQ(fmt::exp2(-2.5e12), "-2.50e12");
  EXPECT_EQ(fmt::exp2(1e-300), "1.00e-300");
  EXPECT_EQ(fmt::exp2(9.999e9), "1.00e10");
  EXPECT_EQ(fmt::exp2(std::nan("")), "NaN");
  EXPECT_EQ(fmt::exp2(-INFINITY), "-inf");
}

TEST(ShortestFormat, RoundTripDigits) {
  const std::pair<double, const char*> cases[] = {
      {1.0, "1.0"},        {-0.5, "-0.5"},   {0.0001, "0.0001"}, {1e15, "1000000000000000.0"},
      {1e-5, "1e-5"},      {2.5e-7, "2.5e-7"}, {1e16, "1e16"},   {-1.5e20, "-1.5e20"},
      {0.0, "0.0"},        {-0.0, "-0.0"},   {0.1, "0.1"},       {123.456, "123.456"},
      {5e-324, "5e-324"},  {1.7976931348623157e308, "1.7976931348623157e308"},
  };
  for (auto [v, text] : cases) EXPECT_EQ(fmt::shortest(v), text) << v;
  EXPECT_EQ(fmt::shortest(std::nan("")), "NaN");
  EXPECT_EQ(fmt::shortest(INFINITY), "inf");
  EXPECT_EQ(fmt::shortest(-INFINITY), "-inf");
}

TEST(VarChar, CodePointsWrapAndEncodeAsUtf8) {
  auto var = [](std::size_t i) {
    std::string s;
    fmt::append_var_char(s, i);
    return s;
  };
  EXPECT_EQ(var(0), "x");
  EXPECT_EQ(var(2), "z");
  EXPECT_EQ(var(3), "{");
  EXPECT_EQ(var(8), "\xC2\x80");     // U+0080
  EXPECT_EQ(var(135), "\xC3\xBF");   // U+00FF
  EXPECT_EQ(var(136), std::string(1, '\0'));  // wraps to U+0000
  EXPECT_EQ(var(256), "x");
}

TEST(ThreadCount, ParsesLikeTheEnvironmentVariable) {
  EXPECT_EQ(vek::par::parse_thread_count(nullptr), 0u);
  EXPECT_EQ(vek::par::parse_thread_count(""), 0u);
  EXPECT_EQ(vek::par::parse_thread_count("4"), 4u);
  EXPECT_EQ(vek::par::parse_thread_count("+2"), 2u);
  EXPECT_EQ(vek::par::parse_thread_count("0"), 0u);
  EXPECT_EQ(vek::par::parse_thread_count("two"), 0u);
  EXPECT_EQ(vek::par::parse_thread_count("-1"), 0u);
  EXPECT_EQ(vek::par::parse_thread_count("99999999999999999999999"), 0u);
}

// Scalar guards, the boost element rule, number formats, the renderings of a
// found formula, the pool's thread-count parsing and failures inside parallel
// loops.
#include "builders.hpp"

#include <atomic>
#include <new>
#include <stdexcept>

#include "vek/common/format.hpp"
#include "vek/common/parallel.hpp"
#include "vek/discover/render.hpp"
#include "vek/discover/seen_set.hpp"
#include "vek/kernels/kernels.hpp"

using namespace vek::test;

TEST(Guards, KnownValues) {
  using namespace vek;
  const auto boost = [](double x, double y, double phi, double c) { return kernels::boost_elem(x, y, phi, c); };
  const struct {
    double got, want;
  } cases[] = {
      {guarded_ln(-0.0), kLogFloor},
      {guarded_ln(-2.718281828459045), 1.0},
      {guarded_ln(-1e-305), -702.288453363184},
      {guarded_ln(-kInf), kInf},
      {floored_ln(-1e-305), kLogFloor},
      {floored_ln(5e-324), -744.4400719213812},
      {floored_ln(kNaN), kNaN},
      {guarded_exp(709.0), 8.218407461554972e+307},
      {guarded_exp(710.0), 710.0000000000002},
      {guarded_exp(1000.0), 999.9999999999998},
      {vek_tension(0.0, 0.0), 691.7755278982137},
      {boost(0.0, 0.0, 0.0, 1.0).second, 1.0000000000000237e-300},
      {boost(0.0, kNaN, 0.0, 1.0).first, kLogFloor},
      {boost(0.0, 1.0, 0.0, 0.0).first, kLogFloor},                  // (X / 0) * sinh(0) is NaN
      {boost(0.0, 1e308, 0.0, 1.0).second, 8.218407461554972e+307},  // space clamped at 709
  };
  for (const auto& c : cases) EXPECT_TRUE(Same(c.got, c.want)) << &c - cases;
}

TEST(Format, KnownTexts) {
  using namespace vek::fmt;
  const auto exp2 = vek::fmt::exp2;  // not the one of <cmath>
  using vek::discover::to_latex, vek::discover::to_python, vek::discover::result_repr;
  const auto var = [](std::size_t i) {
    std::string s;
    return append_var_char(s, i), s;
  };
  const std::pair<std::string, std::string> cases[] = {
      {fixed(-1e-9, 6), "-0.000000"},
      {fixed(1e20, 2), "100000000000000000000.00"},
      {fixed(-kNaN, 4), "NaN"},
      {fixed(-kInf, 4), "-inf"},
      {fixed(0.125, 2), "0.12"},
      {fixed(0.375, 2), "0.38"},
      {exp2(-0.0), "-0.00e0"},
      {exp2(9.999e9), "1.00e10"},
      {exp2(-kInf), "-inf"},
      {shortest(1e15), "1000000000000000.0"},
      {shortest(1e-5), "1e-5"},
      {shortest(0.0001), "0.0001"},
      {shortest(-1.5e20), "-1.5e20"},
      {shortest(-0.0), "-0.0"},
      {shortest(5e-324), "5e-324"},
      {shortest(1.7976931348623157e308), "1.7976931348623157e308"},
      {shortest(kNaN), "NaN"},
      {var(3), "{"},
      {var(8), "\xC2\x80"},
      {var(136), std::string(1, '\0')},
      {var(256), "x"},
      {to_latex("(vek(x, ln(y)) - cos(abs(π)))"), "(\\mathrm{vek}(x, \\ln(y)) - \\cos(abs(π)))"},
      {to_latex("sqrt((x + sqrt(exp(y))))"), "\\sqrt{(x + \\sqrt{\\exp(y)})}"},
      {to_latex("sqrt((x"), "\\sqrt{(x"},  // unbalanced text stays as it is
      {to_python("vek(sqrt(x), sin(cos(ln(abs(x)))))"),
       "import math\nf = lambda x: vek(math.sqrt(x), math.sin(math.cos(math.log(abs(x)))))"},
      {result_repr("x'", 0.00000015, 18446744073709551615ull),
       "SearchResult(formula='x'', error=1.50e-7, complexity=18446744073709551615)"},
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}

TEST(Pool, ThreadCountParsesLikeTheEnvironmentVariable) {
  const std::pair<const char*, std::size_t> cases[] = {
      {nullptr, 0}, {"", 0}, {"4", 4}, {"+2", 2}, {"0", 0}, {"two", 0}, {"-1", 0}, {"99999999999999999999999", 0}};
  for (const auto& [text, want] : cases) EXPECT_EQ(vek::par::parse_thread_count(text), want) << (text ? text : "null");
}

// A loop body's exception reaches the caller as thrown (type and message, not
// the pool's own failure), on any number of threads, and the pool keeps
// working afterwards.
TEST(Pool, ABodysExceptionReachesTheCallerAsThrown) {
  const std::size_t n = std::size_t{1} << 18;  // many pieces, far above the serial threshold
  for (const std::size_t threads : {1, 2, 4}) {
    const vek::par::ThreadLimit limit(threads);
    std::atomic<std::size_t> done{0};
    try {
      vek::par::for_ranges(n, [&](std::size_t b, std::size_t e) {
        if (b <= n / 2 && n / 2 < e) throw std::out_of_range("at the middle");
        done += e - b;
      });
      ADD_FAILURE() << "no exception on " << threads << " threads";
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ(e.what(), "at the middle");
    }
    EXPECT_LT(done.load(), n);
    std::vector<double> out(n);
    vek::par::map_index(n, out.data(), [](std::size_t i) { return static_cast<double>(i); });
    EXPECT_EQ(out[n - 1], static_cast<double>(n - 1)) << threads << " threads";
  }
}

// The seen set's allocator fails with std::bad_alloc of its own, for a count
// whose byte size overflows and for one no allocator can serve.
TEST(SeenSetAllocator, FailsWithBadAlloc) {
  vek::discover::ScalableAllocator<double> alloc;
  for (const std::size_t count : {static_cast<std::size_t>(-1) / 4, std::size_t{1} << 58}) {
    EXPECT_THROW((void)alloc.allocate(count), std::bad_alloc) << count;
  }
}

#include <gtest/gtest.h>

#include <cmath>

#include "vek/discover/render.hpp"

using vek::discover::result_repr;
using vek::discover::to_latex;
using vek::discover::to_python;

TEST(Render, LatexRewritesFunctionNames) {
  EXPECT_EQ(to_latex("vek(x, ln(y))"), "\\mathrm{vek}(x, \\ln(y))");
  EXPECT_EQ(to_latex("exp((x * x))"), "\\exp((x * x))");
  EXPECT_EQ(to_latex("(sin(x) - cos((1/x)))"), "(\\sin(x) - \\cos((1/x)))");
  EXPECT_EQ(to_latex("abs(π)"), "abs(π)");  // the π character is not "pi"
  EXPECT_EQ(to_latex("(x + x)"), "(x + x)");
}

TEST(Render, LatexSquareRootsBecomeGroups) {
  EXPECT_EQ(to_latex("sqrt(x)"), "\\sqrt{x}");
  EXPECT_EQ(to_latex("sqrt((x + sqrt(exp(y))))"), "\\sqrt{(x + \\sqrt{\\exp(y)})}");
  EXPECT_EQ(to_latex("(sqrt(x) * c0(1.5000))"), "(\\sqrt{x} * c0(1.5000))");
  EXPECT_EQ(to_latex("sqrt((x"), "\\sqrt{(x");  // unbalanced text stays as it is
}

TEST(Render, PythonLambda) {
  EXPECT_EQ(to_python("(exp(x) + ln(x))"), "import math\nf = lambda x: (math.exp(x) + math.log(x))");
  EXPECT_EQ(to_python("abs(x)"), "import math\nf = lambda x: abs(x)");
  EXPECT_EQ(to_python("vek(sqrt(x), sin(cos(x)))"),
            "import math\nf = lambda x: vek(math.sqrt(x), math.sin(math.cos(x)))");
}

TEST(Render, ReprUsesTwoDigitExponents) {
  EXPECT_EQ(result_repr("(x * x)", 0.00000015, 3), "SearchResult(formula='(x * x)', error=1.50e-7, complexity=3)");
  EXPECT_EQ(result_repr("x", 0.0, 1), "SearchResult(formula='x', error=0.00e0, complexity=1)");
  EXPECT_EQ(result_repr("0.0000", NAN, 1), "SearchResult(formula='0.0000', error=NaN, complexity=1)");
  EXPECT_EQ(result_repr("x'", INFINITY, 18446744073709551615ull),
            "SearchResult(formula='x'', error=inf, complexity=18446744073709551615)");
}

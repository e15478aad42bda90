// Text renderings of a found formula: LaTeX, a Python lambda, the record's
// representation.
#pragma once

#include <cstdint>
#include <string>

namespace vek::discover {

// Rewrites function names into LaTeX commands ("exp(" -> "\exp(", "vek(" ->
// "\mathrm{vek}(", ...). A square root becomes a "\sqrt{...}" group: the
// parenthesis closing its argument turns into "}".
std::string to_latex(const std::string& formula);

// "import math\nf = lambda x: " followed by the formula with math.exp,
// math.log, math.sqrt, math.sin and math.cos.
std::string to_python(const std::string& formula);

// "SearchResult(formula='...', error=1.50e-7, complexity=3)".
std::string result_repr(const std::string& formula, double error, std::uint64_t complexity);

}  // namespace vek::discover

#include "vek/discover/render.hpp"

#include <initializer_list>
#include <string_view>
#include <utility>

#include "vek/common/format.hpp"

namespace vek::discover {

namespace {

using Replacement = std::pair<std::string_view, std::string_view>;

// Applies each replacement in turn to the whole output of the previous one,
// every occurrence by a left-to-right scan that never re-reads what it wrote.
std::string rewrite(std::string text, std::initializer_list<Replacement> table) {
  for (const auto& [from, to] : table) {
    std::string out;
    out.reserve(text.size() + 16);
    std::size_t pos = 0;
    for (std::size_t hit; (hit = text.find(from, pos)) != std::string::npos; pos = hit + from.size()) {
      out.append(text, pos, hit - pos);
      out.append(to);
    }
    out.append(text, pos, std::string::npos);
    text = std::move(out);
  }
  return text;
}

// Turns the parenthesis that closes each "sqrt(" into "}". Text whose
// parentheses do not balance is left as it is.
std::string close_square_roots(std::string text) {
  constexpr std::string_view open = "sqrt(";
  for (std::size_t at = text.find(open); at != std::string::npos; at = text.find(open, at + 1)) {
    int depth = 0;
    for (std::size_t i = at + open.size() - 1; i < text.size(); ++i) {
      if (text[i] == '(') ++depth;
      if (text[i] == ')' && --depth == 0) {
        text[i] = '}';
        break;
      }
    }
  }
  return text;
}

}  // namespace

std::string to_latex(const std::string& formula) {
  return rewrite(close_square_roots(formula), {{"exp(", "\\exp("},
                                               {"ln(", "\\ln("},
                                               {"sqrt(", "\\sqrt{"},
                                               {"sin(", "\\sin("},
                                               {"cos(", "\\cos("},
                                               {"vek(", "\\mathrm{vek}("},
                                               {"pi", "\\pi"}});
}

std::string to_python(const std::string& formula) {
  return "import math\nf = lambda x: " + rewrite(formula, {{"exp(", "math.exp("},
                                                            {"ln(", "math.log("},
                                                            {"sqrt(", "math.sqrt("},
                                                            {"sin(", "math.sin("},
                                                            {"cos(", "math.cos("}});
}

std::string result_repr(const std::string& formula, double error, std::uint64_t complexity) {
  return "SearchResult(formula='" + formula + "', error=" + fmt::exp2(error) +
         ", complexity=" + std::to_string(complexity) + ")";
}

}  // namespace vek::discover

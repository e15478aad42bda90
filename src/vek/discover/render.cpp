#include "vek/discover/render.hpp"

#include <string_view>
#include <utility>
#include <vector>

#include "vek/common/format.hpp"
#include "vek/discover/ops.hpp"

namespace vek::discover {

namespace {

using Replacement = std::pair<std::string_view, std::string_view>;

// Applies each replacement in turn to the whole output of the previous one,
// every occurrence by a left-to-right scan that never re-reads what it wrote.
std::string rewrite(std::string text, const std::vector<Replacement>& table) {
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

// The part of an operator rendering before its first operand.
std::string_view prefix_of(std::string_view pattern) { return pattern.substr(0, pattern.find("{0}")); }

// Rows printed as "name(…)" in the operator sets of find_formula; their
// renderings are rewritten by prefix.
bool call_form(const OpDef& d) {
  const std::string_view p = prefix_of(d.text);
  return d.group != OpGroup::Extra && p.size() == d.name.size() + 1 && p.starts_with(d.name) && p.back() == '(';
}

// Turns the parenthesis that closes each `open` into "}". Text whose
// parentheses do not balance is left as it is.
std::string close_braced(std::string text, std::string_view open) {
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

// The (text prefix, rendering prefix) pairs of the call-form rows whose
// rendering differs, in table order.
template <class Field>
std::vector<Replacement> call_rewrites(Field field) {
  std::vector<Replacement> out;
  for (const OpDef& d : kOps) {
    if (call_form(d) && prefix_of(d.*field) != prefix_of(d.text))
      out.emplace_back(prefix_of(d.text), prefix_of(d.*field));
  }
  return out;
}

}  // namespace

std::string to_latex(const std::string& formula) {
  std::string text = formula;
  for (const OpDef& d : kOps) {
    if (call_form(d) && d.latex.ends_with("{0}}")) text = close_braced(std::move(text), prefix_of(d.text));
  }
  std::vector<Replacement> table = call_rewrites(&OpDef::latex);
  table.emplace_back("pi", "\\pi");
  return rewrite(std::move(text), table);
}

std::string to_python(const std::string& formula) {
  return "import math\nf = lambda x: " + rewrite(formula, call_rewrites(&OpDef::python));
}

std::string result_repr(const std::string& formula, double error, std::uint64_t complexity) {
  return "SearchResult(formula='" + formula + "', error=" + fmt::exp2(error) +
         ", complexity=" + std::to_string(complexity) + ")";
}

}  // namespace vek::discover

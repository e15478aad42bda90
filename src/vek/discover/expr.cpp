#include "vek/discover/expr.hpp"

#include <array>
#include <cstdio>
#include <memory>
#include <numbers>

#include "vek/common/format.hpp"
#include "vek/common/panic.hpp"

namespace vek::discover {

namespace {

// Value stack with room for `capacity` values, on the C++ stack when small.
class ValueStack {
 public:
  explicit ValueStack(std::size_t capacity) {
    if (capacity > kInline) {
      heap_ = std::make_unique<double[]>(capacity);
      data_ = heap_.get();
    } else {
      data_ = inline_.data();
    }
  }
  double* data() noexcept { return data_; }

 private:
  static constexpr std::size_t kInline = 64;
  std::array<double, kInline> inline_;
  std::unique_ptr<double[]> heap_;
  double* data_;
};

// Runs the postfix program once. `var(i, out)` supplies variable i or
// returns false when it does not exist. `stack` holds at least nodes.size()
// values.
template <class VarFn>
std::optional<double> run(const std::vector<Node>& nodes, VarFn&& var, std::span<const double> params, double* stack) {
  if (nodes.empty()) return std::nullopt;
  std::size_t top = 0;
  for (const Node& node : nodes) {
    switch (node.kind) {
      case Node::Kind::Const: stack[top++] = node.value; break;
      case Node::Kind::Param: stack[top++] = node.index < params.size() ? params[node.index] : node.value; break;
      case Node::Kind::Var: {
        double v;
        if (!var(node.index, v)) return std::nullopt;
        stack[top++] = v;
        break;
      }
      case Node::Kind::Op: {
        const unsigned n = arity(node.opcode);
        if (top < n) return std::nullopt;
        double out;
        if (n == 1) {
          if (!apply_op(node.opcode, stack[top - 1], node.value, out)) return std::nullopt;
          stack[top - 1] = out;
        } else {
          if (!apply_op(node.opcode, stack[top - 2], stack[top - 1], out)) return std::nullopt;
          --top;
          stack[top - 1] = out;
        }
        break;
      }
      default: return std::nullopt;
    }
  }
  if (top != 1) return std::nullopt;
  return stack[0];
}

}  // namespace

std::optional<double> Expr::eval(std::span<const double> vars, std::span<const double> params) const {
  ValueStack stack(nodes.size());
  auto var = [&](std::size_t i, double& v) {
    if (i >= vars.size()) return false;
    v = vars[i];
    return true;
  };
  return run(nodes, var, params, stack.data());
}

std::optional<std::vector<double>> Expr::eval_batch(const std::vector<std::vector<double>>& columns,
                                                    std::span<const double> params) const {
  if (columns.empty()) panic("eval_batch: no data columns");
  const std::size_t n = columns[0].size();
  for (const auto& c : columns) {
    if (c.size() < n) panic("eval_batch: a data column is shorter than the first");
  }
  std::vector<double> out;
  if (n == 0) return out;
  out.reserve(n);
  ValueStack stack(nodes.size());
  std::size_t row = 0;
  auto var = [&](std::size_t i, double& v) {
    if (i >= columns.size()) return false;
    v = columns[i][row];
    return true;
  };
  for (; row < n; ++row) {
    const auto v = run(nodes, var, params, stack.data());
    if (!v) return std::nullopt;
    out.push_back(*v);
  }
  return out;
}

void fill_template(std::string& out, std::string_view pattern, const std::string* operands, std::string_view value) {
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = i + 2 < pattern.size() && pattern[i] == '{' && pattern[i + 2] == '}' ? pattern[i + 1] : '\0';
    if (c == '0' || c == '1' || c == 'k') {
      out += c == 'k' ? value : std::string_view(operands[c - '0']);
      i += 2;
    } else {
      out += pattern[i];
    }
  }
}

std::string exponent_text(double k) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", k);
  std::string text = buf;
  if (std::isfinite(k) && text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

void append_const_text(std::string& out, double v) {
  if (v == std::numbers::pi) {
    out += "\u03C0";
  } else if (v == std::numbers::e) {
    out += 'e';
  } else {
    fmt::append_fixed(out, v, 4);
  }
}

std::string Expr::to_string() const {
  std::vector<std::string> stack;
  stack.reserve(nodes.size());
  auto pop = [&stack]() {
    if (stack.empty()) return std::string();
    std::string s = std::move(stack.back());
    stack.pop_back();
    return s;
  };
  for (const Node& node : nodes) {
    std::string text;
    switch (node.kind) {
      case Node::Kind::Const: append_const_text(text, node.value); break;
      case Node::Kind::Param:
        text += 'c';
        text += std::to_string(node.index);
        text += '(';
        fmt::append_fixed(text, node.value, 4);
        text += ')';
        break;
      case Node::Kind::Var: fmt::append_var_char(text, node.index); break;
      case Node::Kind::Op: {
        if (static_cast<std::size_t>(node.opcode) >= kOpCount) break;
        std::string operands[2];
        const unsigned n = arity(node.opcode);
        for (unsigned k = n; k-- > 0;) operands[k] = pop();
        std::string exponent = exponent_text(node.value);
        fill_template(text, op_def(node.opcode).text, operands, exponent);
        break;
      }
    }
    stack.push_back(std::move(text));
  }
  if (stack.empty()) return "?";
  return std::move(stack.back());
}

}  // namespace vek::discover

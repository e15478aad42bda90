// Comparisons and builders shared by the native tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "vek/discover/search.hpp"

namespace vek::test {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();

inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// Bit for bit, except that any NaN matches a NaN (IEEE leaves a produced NaN's sign open).
inline ::testing::AssertionResult Same(double got, double want) {
  if (bits(got) == bits(want) || (std::isnan(got) && std::isnan(want))) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << got << ", want " << want;
}

template <class A, class B>
::testing::AssertionResult SameSeq(const A& got, const B& want) {
  if (got.size() != want.size()) return ::testing::AssertionFailure() << "size " << got.size() << " vs " << want.size();
  for (std::size_t i = 0; i < got.size(); ++i)
    if (!Same(got[i], want[i])) return ::testing::AssertionFailure() << "at " << i << ": " << got[i] << ", " << want[i];
  return ::testing::AssertionSuccess();
}

// Postfix expressions: X() and Y() are the first two variables, C a constant, O an operator.
using discover::Expr, discover::Node, discover::Op;
inline Node X() { return Node::var(0); }
inline Node Y() { return Node::var(1); }
inline Node C(double v) { return Node::constant(v); }
inline Node O(Op o) { return Node::op(o); }
inline Expr expr(std::vector<Node> nodes) { return Expr{std::move(nodes)}; }

inline discover::SearchConfig config(std::uint64_t max_complexity, std::uint64_t beam_width = 2000) {
  discover::SearchConfig c;
  c.max_complexity = max_complexity;
  c.beam_width = beam_width;
  return c;
}

// The whole best record, bit for bit.
inline void expect_same(const std::optional<discover::SearchResult>& got,
                        const std::optional<discover::SearchResult>& want, const std::string& where) {
  ASSERT_EQ(got.has_value(), want.has_value()) << where;
  const auto same_node = [](const Node& p, const Node& q) {
    return p.kind == q.kind && p.opcode == q.opcode && p.index == q.index && bits(p.value) == bits(q.value);
  };
  EXPECT_TRUE(!got || (got->formula == want->formula && bits(got->error) == bits(want->error) &&
                       got->complexity == want->complexity && SameSeq(got->params, want->params) &&
                       std::ranges::equal(got->expr.nodes, want->expr.nodes, same_node)))
      << where << ": " << got->formula << " " << got->error << " vs " << want->formula << " " << want->error;
}

}  // namespace vek::test

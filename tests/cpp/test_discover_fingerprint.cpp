#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include "vek/discover/fingerprint.hpp"
#include "vek/discover/seen_set.hpp"

namespace {

using vek::discover::Expr;
using Fingerprint = vek::discover::ProbeBits;
using vek::discover::fingerprint;
using vek::discover::Node;
using vek::discover::Op;
using vek::discover::SeenSet;

Expr expr(std::vector<Node> nodes) { return Expr{std::move(nodes), 0}; }
Node x() { return Node::var(0); }
Node y() { return Node::var(1); }
Node c(double v) { return Node::constant(v); }
Node op(Op o) { return Node::op(o); }

Fingerprint fp(std::vector<Node> nodes, std::uint64_t n_vars = 1) {
  const auto f = fingerprint(expr(std::move(nodes)), n_vars);
  EXPECT_TRUE(f.has_value());
  return f.value_or(Fingerprint{});
}

TEST(Fingerprint, BitPatternsOfTheProbeResults) {
  // Neg(x): the five multipliers with the sign bit set.
  const Fingerprint f = fp({x(), op(Op::Neg)});
  const std::uint64_t multipliers[5] = {0x3FE2788CFC6FB618, 0x3FF484D24F2FD873, 0x3FF9E3779B97F4A8,
                                        0x3FE62E42FEFA39EF, 0x3FF33BA004F00621};
  for (int k = 0; k < 5; ++k) EXPECT_EQ(f[k], multipliers[k] | (std::uint64_t{1} << 63));
}

TEST(Fingerprint, ProbeOfVariableIIsIPlusOneTimesTheMultiplier) {
  const Fingerprint z = fp({Node::var(2)}, 3);
  for (int k = 0; k < 5; ++k) {
    const double expected = 3.0 * vek::discover::kProbeMultipliers[k];
    EXPECT_EQ(z[k], std::bit_cast<std::uint64_t>(expected));
  }
  EXPECT_EQ(vek::discover::kProbeMultipliers[2], 1.618033988749895);
  EXPECT_EQ(vek::discover::kProbeMultipliers[4], 1.2020569031595942);
}

TEST(Fingerprint, NeutralOperationsShareTheLeafFingerprint) {
  const Fingerprint leaf = fp({x()});
  EXPECT_EQ(fp({x(), c(0.0), op(Op::Add)}), leaf);
  EXPECT_EQ(fp({x(), c(1.0), op(Op::Mul)}), leaf);
  EXPECT_EQ(fp({x(), c(0.0), op(Op::Sub)}), leaf);
  EXPECT_EQ(fp({x(), c(1.0), op(Op::Div)}), leaf);
  EXPECT_EQ(fp({x(), op(Op::Neg), op(Op::Neg)}), leaf);
  EXPECT_FALSE(fp({x(), op(Op::Sin)}) == leaf);
}

TEST(Fingerprint, CommutativeOperatorsCollideOthersDoNot) {
  const auto ab = [](Op o) { return fp({x(), y(), op(o)}, 2); };
  const auto ba = [](Op o) { return fp({y(), x(), op(o)}, 2); };
  EXPECT_EQ(ab(Op::Add), ba(Op::Add));
  EXPECT_EQ(ab(Op::Mul), ba(Op::Mul));
  EXPECT_FALSE(ab(Op::Sub) == ba(Op::Sub));
  EXPECT_FALSE(ab(Op::Div) == ba(Op::Div));
  EXPECT_FALSE(ab(Op::Vek) == ba(Op::Vek));
}

TEST(Fingerprint, SignedZerosDiffer) {
  EXPECT_FALSE(fp({c(0.0)}) == fp({c(0.0), op(Op::Neg)}));
  EXPECT_FALSE(fp({c(0.0)}) == fp({c(-0.0)}));
}

TEST(Fingerprint, SecondVariableIsTwiceTheFirstAtEveryProbe) {
  EXPECT_EQ(fp({x(), x(), op(Op::Add)}, 2), fp({y()}, 2));
  EXPECT_EQ(fp({y(), x(), op(Op::Sub)}, 2), fp({x()}, 2));
  EXPECT_EQ(fp({x(), c(2.0), op(Op::Mul)}, 2), fp({y()}, 2));
}

TEST(Fingerprint, NoneWhenAnyProbeFailsOrIsNotFinite) {
  struct Case {
    std::vector<Node> nodes;
    std::uint64_t n_vars;
  };
  const std::vector<Case> none = {
      {{x(), op(Op::Neg), op(Op::Sqrt)}, 1},                      // probes are positive
      {{x(), op(Op::Neg), op(Op::Ln)}, 1},
      {{x(), c(1000.0), op(Op::Mul), op(Op::Exp)}, 1},            // overflows
      {{x()}, 0},                                                 // no variables at the probes
      {{c(std::numeric_limits<double>::quiet_NaN())}, 0},         // a non-finite leaf
      {{c(std::numeric_limits<double>::infinity())}, 1},
      {{}, 1},
      {{x(), x()}, 1},
  };
  for (const Case& k : none) EXPECT_FALSE(fingerprint(expr(k.nodes), k.n_vars).has_value()) << expr(k.nodes).to_string();
}

TEST(Fingerprint, AFailureAtAnySingleProbeIsEnough) {
  // 1/(x - c_k) divides by zero exactly at probe k and nowhere else.
  for (int k = 0; k < 5; ++k) {
    const double ck = vek::discover::kProbeMultipliers[k];
    EXPECT_FALSE(fingerprint(expr({x(), c(ck), op(Op::Sub), op(Op::Inv)}), 1)) << k;
    EXPECT_TRUE(fingerprint(expr({x(), c(ck + 0.01), op(Op::Sub), op(Op::Inv)}), 1)) << k;
  }
}

TEST(Fingerprint, ConstantsWithoutVariables) {
  EXPECT_EQ(fp({c(2.0), op(Op::Exp)}, 0), fp({c(2.0), op(Op::Exp)}, 4));
  EXPECT_FALSE(fp({c(2.0)}, 0) == fp({c(3.0)}, 0));
}

// ---- the seen-set ----

TEST(SeenSet, InsertReportsWhetherAlreadyPresent) {
  SeenSet s;
  const Fingerprint a = fp({x()});
  const Fingerprint b = fp({x(), op(Op::Neg)});
  EXPECT_FALSE(s.insert(a));
  EXPECT_TRUE(s.insert(a));
  EXPECT_FALSE(s.insert(b));
  EXPECT_TRUE(s.insert(b));
  EXPECT_EQ(s.size(), 2u);
}

TEST(SeenSet, SignedZerosAreDistinctKeys) {
  SeenSet s;
  EXPECT_FALSE(s.insert(fp({c(0.0)})));
  EXPECT_FALSE(s.insert(fp({c(-0.0)})));
  EXPECT_EQ(s.size(), 2u);
}

TEST(SeenSet, SetsAreIndependent) {
  const Fingerprint a = fp({x()});
  SeenSet s1;
  EXPECT_FALSE(s1.insert(a));
  SeenSet s2;
  EXPECT_FALSE(s2.insert(a));
  EXPECT_EQ(s2.size(), 1u);
}

// Many distinct keys, many repeats: grows the set through several rehashes
// and checks membership survives them.
std::vector<Fingerprint> many_keys(int count) {
  std::vector<Fingerprint> keys;
  for (int i = 0; i < count; ++i) {
    vek::discover::ProbeBits b{};
    for (int k = 0; k < 5; ++k) b[k] = std::bit_cast<std::uint64_t>(static_cast<double>(i) * (k + 1) + 0.25);
    keys.push_back(b);
  }
  return keys;
}

TEST(SeenSet, GrowsAndKeepsEveryKey) {
  const auto keys = many_keys(50000);
  SeenSet s;
  for (const auto& k : keys) ASSERT_FALSE(s.insert(k));
  for (const auto& k : keys) ASSERT_TRUE(s.insert(k));
  EXPECT_EQ(s.size(), keys.size());
}

TEST(SeenSet, PrehashedInsertAgreesWithSingleInserts) {
  const auto keys = many_keys(5000);
  SeenSet single, prehashed;
  std::vector<bool> expected, got;
  for (int round = 0; round < 2; ++round) {
    for (std::size_t i = 0; i < keys.size(); i += 1 + round) {
      expected.push_back(single.insert(keys[i]));
      const auto& b = keys[i];
      got.push_back(prehashed.insert(b, prehashed.hash(b)));
    }
  }
  EXPECT_EQ(got, expected);
  EXPECT_EQ(prehashed.size(), single.size());
}

TEST(SeenSet, ConcurrentInsertsReportEachKeyNewExactlyOnce) {
  const auto keys = many_keys(20000);
  SeenSet s;
  std::atomic<int> added{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t i = 0; i < keys.size(); ++i) {
        if (!s.insert(keys[(i * 7 + static_cast<std::size_t>(t) * 1013) % keys.size()])) ++added;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(added.load(), static_cast<int>(keys.size()));
  EXPECT_EQ(s.size(), keys.size());
}

}  // namespace

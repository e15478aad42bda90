// The search's beam and its candidate record.
//
// The beam holds its members in the order they joined, each with its nodes
// (fitted constants in its Param nodes), those constants, its values at the
// probe points (meaningful for members without constants) and, within a
// byte budget, its output column on the data.
//
// A candidate is an operator over one or two members, op(lift(a), lift(b)),
// where the search with fitted constants may lift one operand by a new
// constant (c·X, X + c or c - X); the plain search never lifts.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "vek/discover/expr.hpp"
#include "vek/discover/fingerprint.hpp"

namespace vek::discover {

// Where a candidate's new constant goes: none, or c·X / X + c for the first
// operand (A) or the second (B), or c - X for the first.
enum class Lift : std::uint8_t { None, ScaleA, ShiftA, ScaleB, ShiftB, ReflectA };

constexpr bool lifts_a(Lift l) noexcept { return l == Lift::ScaleA || l == Lift::ShiftA || l == Lift::ReflectA; }
constexpr bool lifts_b(Lift l) noexcept { return l == Lift::ScaleB || l == Lift::ShiftB; }
constexpr bool scales(Lift l) noexcept { return l == Lift::ScaleA || l == Lift::ScaleB; }
constexpr bool reflects(Lift l) noexcept { return l == Lift::ReflectA; }
// The operator a lift applies with its constant, the constant first when
// it is c·X or c - X.
constexpr Op lift_op(Lift l) noexcept { return scales(l) ? Op::Mul : (reflects(l) ? Op::Sub : Op::Add); }
constexpr bool constant_first(Lift l) noexcept { return scales(l) || reflects(l); }

// The candidate record: op(lift(member a), lift(member b)); b == a for a
// unary operator.
struct Cand {
  std::uint32_t a;
  std::uint32_t b;
  Op op;
  Lift lift = Lift::None;
};

// The candidate's probe values from its operands' (no new constant);
// false when one fails. One dispatch per candidate, not per probe.
bool probe_op(Op op, const Probes& a, const Probes& b, Probes& out) noexcept;

class Beam {
 public:
  using Columns = std::vector<std::vector<double>>;

  // Output columns are cached up to `cache_bytes` in total; members beyond
  // it are re-evaluated whenever a candidate reads them. `columns` (one per
  // variable) must outlive the beam: variable leaves read them in place.
  Beam(const Columns& columns, std::size_t cache_bytes);

  std::size_t size() const noexcept { return members_.size(); }
  std::size_t rows() const noexcept { return rows_; }
  std::size_t n_vars() const noexcept { return columns_.size(); }
  const Expr& expr(std::size_t i) const noexcept { return members_[i].expr; }
  const Probes& probes(std::size_t i) const noexcept { return probes_[i]; }
  std::uint64_t complexity(std::size_t i) const noexcept { return complexity_[i]; }
  std::size_t n_params(std::size_t i) const noexcept { return members_[i].theta.size(); }
  // Bytes the beam holds, roughly: its members with their nodes, constants,
  // probe values and cached columns.
  std::size_t bytes() const noexcept { return bytes_; }
  // What bytes() may grow by when n members of at most `nodes` nodes join.
  std::size_t growth_bytes(std::size_t n, std::size_t nodes) const noexcept {
    const std::size_t cache_left = cache_bytes_ > cache_used_ ? cache_bytes_ - cache_used_ : 0;
    return n * (sizeof(Member) + sizeof(Probes) + sizeof(std::uint64_t) + nodes * sizeof(Node) +
                4 * sizeof(double)) +
           std::min(cache_left, n * rows_ * sizeof(double));
  }

  // Node count of the candidate (a new constant adds itself and its operator).
  std::uint64_t complexity(const Cand& c) const noexcept {
    return complexity_[c.a] + (arity(c.op) == 1 ? 0 : complexity_[c.b]) + op_cost(c.op) +
           (c.lift == Lift::None ? 0 : 2);
  }
  // Constants of the candidate: its operands' and the new one.
  std::size_t n_params(const Cand& c) const noexcept {
    return n_params(c.a) + (arity(c.op) == 1 ? 0 : n_params(c.b)) + (c.lift == Lift::None ? 0 : 1);
  }
  // The probe values of a candidate without a new constant.
  bool probe(const Cand& c, Probes& out) const noexcept { return probe_op(c.op, probes_[c.a], probes_[c.b], out); }

  // The candidate's nodes: the new constant (if any) set to `value`, the
  // operands' constants as fitted, Param nodes numbered in postfix order.
  void compose(const Cand& c, double value, std::vector<Node>& out) const;
  Expr compose(const Cand& c) const {
    Expr e;
    compose(c, 0.0, e.nodes);
    return e;
  }

  // Outputs of member i on the data: the cache, or a fresh evaluation into
  // scratch.
  const double* column(std::uint32_t i, std::vector<double>& scratch) const;

  // Adds a leaf (a variable or a constant) with its probe values.
  void add_leaf(Expr expr, const Probes& probes);
  // Adds a whole shape without constants (a power block) with its probe
  // values and its values on every row.
  void add_shape(Expr expr, const Probes& probes, std::vector<double> values);
  // Adds a scored candidate with the nodes it was scored with (its new
  // constant and its operands' constants as fitted) and its probe values.
  // It must evaluate on every row.
  void add(const Cand& c, std::vector<Node> nodes, const Probes& probes);
  void reserve(std::size_t n);

 private:
  struct Member {
    Expr expr;
    std::vector<double> theta;         // the values of its Param nodes, in postfix order
    bool cached = false;               // outputs available through column()
    const double* external = nullptr;  // outputs held by the caller's data (variable leaves)
    std::vector<double> own;           // outputs held here

    const double* cached_column() const noexcept { return external != nullptr ? external : own.data(); }
  };

  void push(Member m, const Probes& probes);
  // Caches the member's values when the budget allows.
  void keep(Member& m, std::vector<double> values);
  bool may_cache() const noexcept { return cache_used_ + rows_ * sizeof(double) <= cache_bytes_; }

  const Columns& columns_;
  const std::size_t cache_bytes_;
  const std::size_t rows_;  // length of the first column
  std::size_t cache_used_ = 0;
  std::size_t bytes_ = 0;

  std::vector<Member> members_;
  std::vector<Probes> probes_;             // probe values per member
  std::vector<std::uint64_t> complexity_;  // node count per member
};

// The values of Param nodes in postfix order; renumbering them so.
std::vector<double> param_values(const std::vector<Node>& nodes);
void renumber_params(std::vector<Node>& nodes);
void set_param_values(std::vector<Node>& nodes, const std::vector<double>& values);

}  // namespace vek::discover

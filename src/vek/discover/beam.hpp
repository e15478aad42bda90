// The search's beam: its members in the order they joined, each with its
// values at the probe points and, within a byte budget, its output column
// on the data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vek/discover/expr.hpp"
#include "vek/discover/fingerprint.hpp"

namespace vek::discover {

// A candidate before it is built: op(member a, member b); b == a for a
// unary operator.
struct Cand {
  std::uint32_t a;
  std::uint32_t b;
  Op op;
};

class Beam {
 public:
  using Columns = std::vector<std::vector<double>>;

  // Output columns are cached up to `cache_bytes` in total; members beyond
  // it are re-evaluated whenever a candidate reads them. `columns` (one per
  // variable) must outlive the beam: variable leaves read them in place.
  Beam(const Columns& columns, std::size_t cache_bytes);

  std::size_t size() const noexcept { return members_.size(); }
  std::size_t rows() const noexcept { return rows_; }
  const Expr& expr(std::size_t i) const noexcept { return members_[i].expr; }
  std::uint64_t complexity(std::size_t i) const noexcept { return complexity_[i]; }

  // Node count of the candidate.
  std::uint64_t complexity(const Cand& c) const noexcept {
    return complexity_[c.a] + (arity(c.op) == 1 ? 0 : complexity_[c.b]) + 1;
  }
  // The candidate's probe values from its operands'; false when one fails.
  bool probe(const Cand& c, Probes& out) const noexcept {
    const Probes& a = probes_[c.a];
    const Probes& b = probes_[c.b];
    for (std::size_t k = 0; k < kProbeCount; ++k) {
      if (!apply_op(c.op, a[k], b[k], out[k])) return false;
    }
    return true;
  }
  // The candidate as an expression.
  Expr compose(const Cand& c) const;

  // Outputs of member i on the data: the cache, or a fresh evaluation into
  // scratch.
  const double* column(std::uint32_t i, std::vector<double>& scratch) const;

  // Adds a leaf with its probe values (always finite).
  void add_leaf(Expr expr, const Probes& probes);
  // Adds a scored candidate (it has probe values and evaluates on the data).
  void add(const Cand& c);
  void reserve(std::size_t n);

 private:
  struct Member {
    Expr expr;
    bool cached = false;               // outputs available through column()
    const double* external = nullptr;  // outputs held by the caller's data (variable leaves)
    std::vector<double> own;           // outputs held here

    const double* cached_column() const noexcept { return external != nullptr ? external : own.data(); }
  };

  void cache_leaf(Member& m);
  bool may_cache() const noexcept { return cache_used_ + rows_ * sizeof(double) <= cache_bytes_; }

  const Columns& columns_;
  const std::size_t cache_bytes_;
  const std::size_t rows_;  // length of the first column
  std::size_t cache_used_ = 0;

  std::vector<Member> members_;
  std::vector<Probes> probes_;             // probe values per member
  std::vector<std::uint64_t> complexity_;  // node count per member
};

}  // namespace vek::discover

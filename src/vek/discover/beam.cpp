#include "vek/discover/beam.hpp"

#include <cmath>

#include <utility>

#include "vek/common/panic.hpp"
#include "vek/discover/row_ops.hpp"

namespace vek::discover {

namespace {

template <Op O>
bool probe_with(const Probes& a, const Probes& b, Probes& out) noexcept {
  for (std::size_t k = 0; k < kProbeCount; ++k) {
    if (!apply<O>(a[k], b[k], out[k])) return false;
  }
  return true;
}

using ProbeFn = bool (*)(const Probes&, const Probes&, Probes&) noexcept;

template <std::size_t... I>
constexpr std::array<ProbeFn, kOpCount> probe_table(std::index_sequence<I...>) {
  return {&probe_with<static_cast<Op>(I)>...};
}

constexpr auto kProbe = probe_table(std::make_index_sequence<kOpCount>{});

}  // namespace

bool probe_op(Op op, const Probes& a, const Probes& b, Probes& out) noexcept {
  const auto i = static_cast<std::size_t>(op);
  return i < kOpCount && kProbe[i](a, b, out);
}

bool seed_fits(const std::vector<Node>& nodes, std::size_t n_vars, std::size_t max_params) {
  std::size_t depth = 0, params = 0;
  for (const Node& n : nodes) {
    switch (n.kind) {
      case Node::Kind::Var:
        if (n.index >= n_vars) return false;
        break;
      case Node::Kind::Param:
        if (++params > max_params || !std::isfinite(n.value)) return false;
        break;
      case Node::Kind::Const:
        if (!std::isfinite(n.value)) return false;
        break;
      case Node::Kind::Op:
        if (depth < arity(n.opcode)) return false;
        depth -= arity(n.opcode);
        break;
    }
    ++depth;
  }
  return depth == 1;
}

std::vector<double> param_values(const std::vector<Node>& nodes) {
  std::vector<double> out;
  for (const Node& n : nodes) {
    if (n.kind == Node::Kind::Param) out.push_back(n.value);
  }
  return out;
}

void renumber_params(std::vector<Node>& nodes) {
  std::size_t j = 0;
  for (Node& n : nodes) {
    if (n.kind == Node::Kind::Param) n.index = j++;
  }
}

void set_param_values(std::vector<Node>& nodes, const std::vector<double>& values) {
  std::size_t j = 0;
  for (Node& n : nodes) {
    if (n.kind == Node::Kind::Param && j < values.size()) n.value = values[j++];
  }
}

Beam::Beam(const Columns& columns, std::size_t cache_bytes)
    : columns_(columns), cache_bytes_(cache_bytes), rows_(columns.empty() ? 0 : columns[0].size()) {}

void Beam::compose(const Cand& c, double value, std::vector<Node>& out) const {
  out.clear();
  const auto operand = [&](std::uint32_t m, bool lifted) {
    const std::vector<Node>& nodes = members_[m].expr.nodes;
    if (lifted && constant_first(c.lift)) out.push_back(Node::param(0, value));
    out.insert(out.end(), nodes.begin(), nodes.end());
    if (lifted && !constant_first(c.lift)) out.push_back(Node::param(0, value));
    if (lifted) out.push_back(Node::op(lift_op(c.lift)));
  };
  out.reserve(complexity(c));
  operand(c.a, lifts_a(c.lift));
  if (arity(c.op) == 2) operand(c.b, lifts_b(c.lift));
  out.push_back(Node::op(c.op));
  if (n_params(c) > 0) renumber_params(out);
}

const double* Beam::column(std::uint32_t i, std::vector<double>& scratch) const {
  const Member& m = members_[i];
  if (m.cached) return m.cached_column();
  auto out = m.expr.eval_batch(columns_, m.theta);
  if (!out) panic("search: a beam member no longer evaluates");
  scratch = std::move(*out);
  return scratch.data();
}

const double* ColumnMemo::get(const Beam& beam, std::uint32_t i) {
  if (const double* c = beam.cached(i)) return c;
  for (int k = 0; k < 2; ++k) {
    if (id_[k] == i) {
      last_ = k;
      return col_[k].data();
    }
  }
  const int k = 1 - last_;
  id_[k] = kNone;  // until the evaluation succeeds
  const double* c = beam.column(i, col_[k]);
  id_[k] = i;
  last_ = k;
  return c;
}

void Beam::push(Member m, const Probes& probes) {
  if (!m.cached) {
    ++uncached_;
    if (m.source == Source::Other) ++uncached_other_;
  }
  bytes_ += sizeof(Member) + sizeof(Probes) + sizeof(std::uint64_t) + m.expr.nodes.capacity() * sizeof(Node) +
            m.theta.capacity() * sizeof(double) + m.own.capacity() * sizeof(double);
  complexity_.push_back(m.expr.complexity());
  probes_.push_back(probes);
  members_.push_back(std::move(m));
}

void Beam::add_leaf(Expr expr, const Probes& probes) {
  Member m;
  m.expr = std::move(expr);
  const Node& leaf = m.expr.nodes[0];
  if (leaf.kind == Node::Kind::Const) m.source = Source::Constant;
  if (rows_ == 0) {
    m.cached = true;
  } else if (leaf.kind == Node::Kind::Var) {
    m.external = columns_[leaf.index].data();
    m.cached = true;
  } else if (may_cache()) {
    m.own.assign(rows_, leaf.value);
    m.cached = true;
    cache_used_ += rows_ * sizeof(double);
  }
  push(std::move(m), probes);
}

void Beam::keep(Member& m, std::vector<double> values) {
  if (rows_ == 0) {
    m.cached = true;
  } else if (may_cache()) {
    m.own = std::move(values);
    m.cached = true;
    cache_used_ += rows_ * sizeof(double);
  }
}

void Beam::add_shape(Expr expr, const Probes& probes, std::vector<double> values) {
  Member m;
  m.theta = param_values(expr.nodes);
  m.expr = std::move(expr);
  keep(m, std::move(values));
  push(std::move(m), probes);
}

void Beam::add(const Cand& c, std::vector<Node> nodes, const Probes& probes) {
  Member m;
  m.theta = param_values(nodes);
  m.expr.nodes = std::move(nodes);
  if (m.theta.empty() && c.lift == Lift::None) {
    m.source = Source::Composed;
    m.origin = c;
  }
  std::vector<double> values;
  if (rows_ > 0 && may_cache()) {
    if (m.theta.empty()) {
      // Without constants the operands' columns are the candidate's inputs.
      std::vector<double> sa, sb;
      const double* a = column(c.a, sa);
      const double* b = arity(c.op) == 1 ? a : column(c.b, sb);
      values.resize(rows_);
      if (!fill_rows_for(c.op)(a, b, rows_, values.data())) panic("search: a scored candidate no longer evaluates");
    } else {
      auto out = m.expr.eval_batch(columns_, m.theta);
      if (!out) panic("search: a scored shape no longer evaluates");
      values = std::move(*out);
    }
  }
  keep(m, std::move(values));
  push(std::move(m), probes);
}

void Beam::reserve(std::size_t n) {
  members_.reserve(n);
  probes_.reserve(n);
  complexity_.reserve(n);
}

std::vector<std::vector<Node>> Beam::shapes() const {
  std::vector<std::vector<Node>> out;
  for (const Member& m : members_) {
    if (m.expr.nodes.size() > 1) out.push_back(m.expr.nodes);
  }
  return out;
}

}  // namespace vek::discover

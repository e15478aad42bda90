#include "vek/discover/beam.hpp"

#include <utility>

#include "vek/common/panic.hpp"
#include "vek/discover/row_ops.hpp"

namespace vek::discover {

Beam::Beam(const Columns& columns, std::size_t cache_bytes)
    : columns_(columns), cache_bytes_(cache_bytes), rows_(columns.empty() ? 0 : columns[0].size()) {}

Expr Beam::compose(const Cand& c) const {
  const Expr& a = members_[c.a].expr;
  Expr e;
  e.n_vars = columns_.size();
  if (arity(c.op) == 1) {
    e.nodes.reserve(a.nodes.size() + 1);
    e.nodes = a.nodes;
  } else {
    const Expr& b = members_[c.b].expr;
    e.nodes.reserve(a.nodes.size() + b.nodes.size() + 1);
    e.nodes.insert(e.nodes.end(), a.nodes.begin(), a.nodes.end());
    e.nodes.insert(e.nodes.end(), b.nodes.begin(), b.nodes.end());
  }
  e.nodes.push_back(Node::op(c.op));
  return e;
}

const double* Beam::column(std::uint32_t i, std::vector<double>& scratch) const {
  const Member& m = members_[i];
  if (m.cached) return m.cached_column();
  auto out = m.expr.eval_batch(columns_, {});
  if (!out) panic("search: a beam member no longer evaluates");
  scratch = std::move(*out);
  return scratch.data();
}

void Beam::cache_leaf(Member& m) {
  const Node& leaf = m.expr.nodes[0];
  if (rows_ == 0) {
    m.cached = true;
    return;
  }
  if (leaf.kind == Node::Kind::Var) {
    m.external = columns_[leaf.index].data();
    m.cached = true;
    return;
  }
  if (may_cache()) {
    m.own.assign(rows_, leaf.value);
    m.cached = true;
    cache_used_ += rows_ * sizeof(double);
  }
}

void Beam::add_leaf(Expr expr, const Probes& probes) {
  Member m;
  m.expr = std::move(expr);
  cache_leaf(m);
  complexity_.push_back(m.expr.complexity());
  probes_.push_back(probes);
  members_.push_back(std::move(m));
}

void Beam::add(const Cand& c) {
  Member m;
  m.expr = compose(c);
  Probes p;
  if (!probe(c, p)) panic("search: a scored candidate lost its fingerprint");
  if (rows_ == 0) {
    m.cached = true;
  } else if (may_cache()) {
    std::vector<double> sa, sb;
    const double* a = column(c.a, sa);
    const double* b = arity(c.op) == 1 ? a : column(c.b, sb);
    m.own.resize(rows_);
    if (!fill_rows_for(c.op)(a, b, rows_, m.own.data())) panic("search: a scored candidate no longer evaluates");
    m.cached = true;
    cache_used_ += rows_ * sizeof(double);
  }
  complexity_.push_back(m.expr.complexity());
  probes_.push_back(p);
  members_.push_back(std::move(m));
}

void Beam::reserve(std::size_t n) {
  members_.reserve(n);
  probes_.reserve(n);
  complexity_.reserve(n);
}

}  // namespace vek::discover

#include "vek/discover/snap.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>

#include "vek/discover/beam.hpp"
#include "vek/discover/penalised.hpp"

namespace vek::discover {

namespace {

// Σ (value·unit − y)² over the common rows (each times its weight, if any); nullopt when the formula fails
// on some row.
std::optional<double> sse_of(const std::vector<Node>& nodes, const SnapData& d) {
  auto values = Expr{nodes}.eval_batch(d.columns, param_values(nodes));
  if (!values) return std::nullopt;
  const double unit = d.stats.unit;
  double sse = 0.0;
  if (const double* w = d.target.w) {
    for (std::size_t i = 0; i < d.target.common; ++i) {
      const double e = (*values)[i] * unit - d.target.y[i];
      sse += (e * e) * w[i];
    }
    return sse;
  }
  for (std::size_t i = 0; i < d.target.common; ++i) {
    const double e = (*values)[i] * unit - d.target.y[i];
    sse += e * e;
  }
  return sse;
}

// Simple values near c, nearest first, within 5 % (c itself left out):
// whole numbers and halves up to 100, thirds and quarters up to 12, and
// π times k/1, k/2 or k/4 up to 12π; then 0.
std::vector<double> simple_values(double c) {
  std::vector<double> out;
  const double size = std::fabs(c);
  if (!std::isfinite(c) || c == 0.0) return out;
  for (double d : {1.0, 2.0, 3.0, 4.0}) {
    if (size <= (d <= 2.0 ? 100.0 : 12.0)) out.push_back(std::nearbyint(c * d) / d);
  }
  for (double d : {1.0, 2.0, 4.0}) {
    const double m = std::nearbyint(c / std::numbers::pi * d);
    if (m != 0.0 && std::fabs(m / d) <= 12.0) out.push_back(m * std::numbers::pi / d);
  }
  std::sort(out.begin(), out.end(), [c](double a, double b) { return std::fabs(a - c) < std::fabs(b - c); });
  out.erase(std::unique(out.begin(), out.end()), out.end());
  std::erase_if(out, [c](double v) { return v == c || v == 0.0 || std::fabs(v - c) > 0.05 * std::fabs(c); });
  out.push_back(0.0);  // last: a constant that does not pay for itself
  return out;
}

bool is_param(const Node& n, double v) { return n.kind == Node::Kind::Param && n.value == v; }

// The nodes with neutral constants dropped (one pass, bottom up).
std::vector<Node> simplified(const std::vector<Node>& nodes) {
  // Each subtree rebuilt: its nodes, and whether it is the constant 0.
  struct Part {
    std::vector<Node> nodes;
    bool zero = false;
  };
  std::vector<Part> stack;
  for (const Node& n : nodes) {
    if (n.kind != Node::Kind::Op) {
      stack.push_back(Part{{n}, is_param(n, 0.0)});
      continue;
    }
    if (arity(n.opcode) == 1) {
      stack.back().nodes.push_back(n);
      stack.back().zero = false;
      continue;
    }
    Part b = std::move(stack.back());
    stack.pop_back();
    Part a = std::move(stack.back());
    stack.pop_back();
    const bool a1 = a.nodes.size() == 1 && is_param(a.nodes[0], 1.0);
    const bool b1 = b.nodes.size() == 1 && is_param(b.nodes[0], 1.0);
    const bool am1 = a.nodes.size() == 1 && is_param(a.nodes[0], -1.0);
    if (n.opcode == Op::Mul && (a.zero || b.zero) && (a.nodes.size() == 1 || b.nodes.size() == 1)) {
      stack.push_back(Part{{Node::param(0, 0.0)}, true});
    } else if (n.opcode == Op::Mul && a1) {
      stack.push_back(std::move(b));
    } else if (n.opcode == Op::Mul && b1) {
      stack.push_back(std::move(a));
    } else if (n.opcode == Op::Mul && am1) {
      b.nodes.push_back(Node::op(Op::Neg));
      stack.push_back(std::move(b));
    } else if (n.opcode == Op::Add && b.zero) {
      stack.push_back(std::move(a));
    } else if (n.opcode == Op::Add && a.zero) {
      stack.push_back(std::move(b));
    } else {
      a.nodes.insert(a.nodes.end(), b.nodes.begin(), b.nodes.end());
      a.nodes.push_back(n);
      a.zero = false;
      stack.push_back(std::move(a));
    }
  }
  std::vector<Node> out = stack.size() == 1 ? std::move(stack[0].nodes) : nodes;
  renumber_params(out);
  return out;
}

SearchResult snapped_record(std::vector<Node> nodes, double sse, const SnapData& d) {
  const double loss = rmse_of(sse, d.target.length);
  const double error = penalised(loss, complexity_factor(d.penalty, complexity_of(nodes)));
  return record_of(std::move(nodes), error * d.scale, loss * d.scale);
}

double rank_of(const SearchResult& r, const SnapData& d) {
  return d.stats.rank(r.loss / d.scale, complexity_factor(d.penalty, r.complexity));
}

}  // namespace

SearchResult snap_record(const SearchResult& r, const SnapData& d) {
  std::vector<Node> nodes = r.expr.nodes;
  const std::optional<double> start = sse_of(nodes, d);
  if (!start || r.params.empty()) return r;
  const double n =
      d.target.w == nullptr ? static_cast<double>(d.target.common) : effective_rows(d.target.w, d.target.common);
  const double k = static_cast<double>(r.params.size());
  const double floor = d.stats.noise * d.stats.noise * d.target.length;
  const double allowed = std::fmax(*start * (1.0 + 4.0 / std::fmax(1.0, n - k)), floor);
  bool changed = false;
  double sse = *start;
  for (Node& node : nodes) {
    if (node.kind != Node::Kind::Param) continue;
    const double fitted = node.value;
    for (double v : simple_values(fitted)) {
      node.value = v;
      const std::optional<double> s = sse_of(nodes, d);
      if (s && *s <= allowed) {
        sse = *s;
        changed = true;
        break;
      }
      node.value = fitted;
    }
  }
  if (!changed) return r;
  std::vector<Node> simple = simplified(nodes);
  if (simple.size() != nodes.size()) {
    const std::optional<double> s = sse_of(simple, d);
    if (s && *s <= allowed) {
      nodes = std::move(simple);
      sse = *s;
    }
  }
  return snapped_record(std::move(nodes), sse, d);
}

void snap_outcome(SearchOutcome& out, const SnapData& d) {
  std::vector<SearchResult> all;
  for (const SearchResult& r : out.front) all.push_back(snap_record(r, d));
  if (out.best) all.push_back(snap_record(*out.best, d));
  select_finalists(out, std::move(all), d);
}

void select_finalists(SearchOutcome& out, std::vector<SearchResult> all, const SnapData& d) {
  if (all.empty()) return;
  // The best: the lowest rank, the simpler among equals, the earlier among
  // those (front rows come first, by complexity).
  std::size_t best = 0;
  for (std::size_t i = 1; i < all.size(); ++i) {
    const double a = rank_of(all[i], d), b = rank_of(all[best], d);
    if (a < b || (a == b && all[i].complexity < all[best].complexity)) best = i;
  }
  out.best = all[best];
  // The front again: by complexity, one row each, losses strictly falling.
  std::vector<SearchResult> rows = std::move(all);
  std::stable_sort(rows.begin(), rows.end(),
                   [](const SearchResult& a, const SearchResult& b) { return a.complexity < b.complexity; });
  const auto floored = [&](double loss) { return std::fmax(loss / d.scale, d.stats.noise); };
  std::vector<SearchResult> front;
  for (SearchResult& r : rows) {
    if (std::isnan(r.loss)) continue;
    if (!front.empty() && front.back().complexity == r.complexity) {
      if (floored(r.loss) < floored(front.back().loss)) {
        front.pop_back();
      } else {
        continue;
      }
    }
    if (!front.empty() && !(floored(r.loss) < floored(front.back().loss))) continue;
    front.push_back(std::move(r));
  }
  out.front = std::move(front);
}

}  // namespace vek::discover

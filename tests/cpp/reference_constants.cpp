#include "reference_constants.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "vek/discover/affine.hpp"
#include "vek/discover/blocks.hpp"
#include "vek/discover/family.hpp"
#include "vek/discover/fit.hpp"
#include "vek/discover/generate.hpp"
#include "vek/discover/rank.hpp"
#include "vek/discover/seen_set.hpp"
#include "vek/discover/snap.hpp"
#include "vek/discover/starts.hpp"
#include "vek/discover/sums.hpp"

namespace vek::discover::reference {

namespace {

using Columns = std::vector<std::vector<double>>;

struct Shape {
  std::vector<Node> nodes;  // Param nodes hold the fitted constants
  Probes probes{};
};

struct Scored {
  std::vector<Node> nodes;  // the shape, constants fitted (a sum: its terms' nodes, one after the other)
  double error = 0, loss = 0, rank = 0, a = 1, b = 0;
  Wrap wrap = Wrap::None;
  bool ok = false;
  // A sum of terms: its terms, coefficients and offset (b, when `offset`).
  std::vector<std::vector<Node>> terms;
  std::vector<double> coefs;
  bool offset = false;
  std::uint64_t complexity() const {
    if (terms.empty()) return complexity_of(nodes) + wrap_nodes(wrap);
    std::uint64_t cx = (offset ? 2 : 0) + terms.size() - 1;
    for (const auto& term : terms) cx += complexity_of(term) + 2;
    return cx;
  }
};

std::size_t params_in(const std::vector<Node>& nodes) {
  return static_cast<std::size_t>(
      std::count_if(nodes.begin(), nodes.end(), [](const Node& n) { return n.kind == Node::Kind::Param; }));
}

// Nodes of op(lift(a), lift(b)) with the new constant at `value`.
std::vector<Node> compose(const Shape& a, const Shape* b, Op op, Lift lift, double value) {
  std::vector<Node> out;
  const auto operand = [&](const Shape& s, bool lifted) {
    if (lifted && constant_first(lift)) out.push_back(Node::param(0, value));
    out.insert(out.end(), s.nodes.begin(), s.nodes.end());
    if (lifted && !constant_first(lift)) out.push_back(Node::param(0, value));
    if (lifted) out.push_back(Node::op(lift_op(lift)));
  };
  operand(a, lifts_a(lift));
  if (b != nullptr) operand(*b, lifts_b(lift));
  out.push_back(Node::op(op));
  renumber_params(out);
  return out;
}

std::optional<Probes> family_probes(const std::vector<Node>& nodes, std::size_t n_vars) {
  Probes p;
  FamilyScratch scratch;
  if (!vek::discover::family_probes(Expr{nodes}, n_vars, params_in(nodes), p, scratch)) return std::nullopt;
  return p;
}

// The nodes with every Param but the first turned into a constant: the
// program of a cheap fit, which moves only the new constant.
std::vector<Node> freeze_operands(std::vector<Node> nodes, std::size_t new_at) {
  std::size_t j = 0;
  for (Node& n : nodes) {
    if (n.kind != Node::Kind::Param) continue;
    n = j++ == new_at ? Node::param(0, n.value) : Node::constant(n.value);
  }
  return nodes;
}

Scored wrapped(std::vector<Node> nodes, const Wrapped& w) {
  Scored s;
  s.nodes = std::move(nodes);
  s.error = w.error;
  s.loss = w.loss;
  s.rank = w.rank;
  s.a = w.a;
  s.b = w.b;
  s.wrap = w.wrap;
  s.ok = w.ok;
  return s;
}

SearchResult present(const Scored& s, double scale) {
  std::vector<Node> nodes;
  if (!s.terms.empty()) {
    for (std::size_t k = 0; k < s.terms.size(); ++k) {
      nodes.push_back(Node::param(0, s.coefs[k] * scale));
      nodes.insert(nodes.end(), s.terms[k].begin(), s.terms[k].end());
      nodes.push_back(Node::op(Op::Mul));
      if (k > 0) nodes.push_back(Node::op(Op::Add));
    }
  } else {
    if (s.wrap == Wrap::Scale || s.wrap == Wrap::Affine) nodes.push_back(Node::param(0, s.a * scale));
    nodes.insert(nodes.end(), s.nodes.begin(), s.nodes.end());
    if (s.nodes.size() == 1 && s.nodes[0].kind == Node::Kind::Param) nodes.back().value *= scale;  // the constant
    if (s.wrap == Wrap::Scale || s.wrap == Wrap::Affine) nodes.push_back(Node::op(Op::Mul));
  }
  if (s.terms.empty() ? s.wrap == Wrap::Offset || s.wrap == Wrap::Affine : s.offset) {
    nodes.push_back(Node::param(0, s.b * scale));
    nodes.push_back(Node::op(Op::Add));
  }
  renumber_params(nodes);
  return record_of(std::move(nodes), s.error * scale, s.loss * scale);
}

}  // namespace

SearchOutcome search_constants(const Columns& columns, const std::vector<double>& target, const SearchConfig& config,
                               std::size_t max_params) {
  const std::size_t rows = columns[0].size(), n_vars = columns.size(), m = std::min(rows, target.size());
  // The target divided by the power of two of its largest magnitude.
  double top = 0.0, scale = 1.0;
  for (std::size_t i = 0; i < m; ++i) top = std::fmax(top, std::fabs(target[i]));
  std::vector<double> y = target;
  if (top > 0.0 && std::isfinite(top)) {
    int e = 0;
    std::frexp(top, &e);
    scale = std::ldexp(1.0, e);
    for (double& v : y) v /= scale;
  }
  const Target t{y.data(), m, static_cast<double>(target.size())};
  TargetStats ts = TargetStats::of(t);
  ts.unit = 1.0 / scale;
  const double penalty = config.complexity_penalty;
  const double goal = m > 0 ? config.precision_goal * std::sqrt(ts.squares / static_cast<double>(m)) : 0.0;
  const Operators ops = Operators::of(config);
  Fitter fitter(rows, t, ts);

  SearchOutcome out;
  std::vector<Scored> front_by_cx;  // per complexity: the first lowest loss
  std::optional<Scored> best;
  const auto floored = [&](double loss) { return loss < ts.noise ? ts.noise : loss; };
  bool goal_met = false;  // by a shape: sums do not end the search
  const auto take = [&](const std::vector<Scored>& level) {
    for (const Scored& s : level) {
      if (!s.ok) continue;
      goal_met = goal_met || (s.terms.empty() && s.error <= goal);
      if (!best || s.rank < best->rank || (s.rank == best->rank && s.complexity() < best->complexity())) best = s;
      if (std::isnan(s.loss)) continue;
      if (front_by_cx.size() <= s.complexity()) front_by_cx.resize(s.complexity() + 1);
      Scored& f = front_by_cx[s.complexity()];
      if (!f.ok || floored(s.loss) < floored(f.loss)) f = s;
    }
  };
  const auto score_column = [&](std::vector<Node> nodes, const std::vector<double>& g) {
    const std::uint64_t cx = complexity_of(nodes);
    return wrapped(std::move(nodes), best_wrap(g.data(), rows, t, ts, penalty, cx));
  };
  const std::size_t inner_cap = std::min<std::size_t>(max_params - 2, 2);
  // Sums over the beam's shapes and the given ones, appended to the level.
  const auto sums = [&](const std::vector<std::vector<Node>>& shapes, std::vector<Scored>& level) {
    std::vector<std::vector<double>> columns_of;
    std::vector<std::vector<Node>> terms = shapes;
    for (const auto& term : terms) columns_of.push_back(*Expr{term}.eval_batch(columns, param_values(term)));
    std::vector<const double*> pool;
    for (const auto& c : columns_of) pool.push_back(c.data());
    SumLimits limits;
    limits.penalty = penalty;
    limits.floor_sse = ts.noise * ts.noise * static_cast<double>(m);
    limits.max_params = max_params;
    std::vector<std::size_t> params;
    for (const auto& term : terms) params.push_back(params_in(term));
    for (SumCandidate& c : sums_of_terms(pool, terms, params, rows, t, limits)) {
      const SumFit& sum = c.fit;
      Scored x;
      for (std::size_t j : sum.terms) x.terms.push_back(terms[j]);
      x.coefs = sum.coefs;
      x.b = sum.b;
      x.offset = sum.offset;
      x.ok = true;
      x.loss = c.loss;
      x.error = penalised(x.loss, complexity_factor(penalty, x.complexity()));
      x.rank = ts.rank(x.loss, complexity_factor(penalty, x.complexity()));
      level.push_back(std::move(x));
    }
  };

  SeenSet seen;
  seen.insert(ProbeBits{});
  std::vector<Scored> level;
  if (m > 0) {
    Scored c;
    c.nodes = {Node::param(0, ts.mean)};
    double sse = 0.0;
    for (std::size_t i = 0; i < m; ++i) sse += (ts.mean - y[i]) * (ts.mean - y[i]);
    c.loss = rmse_of(sse, t.length);
    c.error = penalised(c.loss, complexity_factor(penalty, 1));
    c.rank = ts.rank(c.loss, complexity_factor(penalty, 1));
    c.ok = true;
    level.push_back(c);
  }
  std::vector<Shape> beam;
  for (std::size_t i = 0; i < n_vars; ++i) {
    Shape s{{Node::var(i)}, *family_probes({Node::var(i)}, n_vars)};
    if (seen.insert(family_key(s.probes))) continue;
    level.push_back(score_column(s.nodes, columns[i]));
    beam.push_back(s);
  }
  std::vector<std::vector<Node>> powers;  // terms of sums only
  for (std::vector<Node>& power : power_leaves(columns, rows)) {
    const auto g = Expr{power}.eval_batch(columns, {});
    if (!g) continue;
    level.push_back(score_column(power, *g));
    powers.push_back(power);
  }
  for (std::vector<Node>& block : propose_power_blocks(columns, t, 12)) {
    const auto p = family_probes(block, n_vars);
    if (!p || seen.insert(family_key(*p))) continue;
    const auto g = Expr{block}.eval_batch(columns, {});
    if (!g) continue;
    level.push_back(score_column(block, *g));
    beam.push_back(Shape{block, *p});
  }
  {
    std::vector<std::vector<Node>> shapes = powers;
    for (const Shape& b : beam) shapes.push_back(b.nodes);
    sums(shapes, level);
  }
  take(level);
  const auto done = [&] { return goal_met; };

  std::size_t new_begin = 0;
  for (std::uint64_t lv = 1; lv < config.max_complexity && !done(); ++lv) {
    struct C {
      std::uint32_t a, b;
      Op op;
      Lift lift;
    };
    std::vector<C> cands;
    const auto lifted = [&](std::size_t a, std::size_t b, Op op, std::uint8_t bits, bool side_a) {
      for (Lift l : side_a ? std::vector<Lift>{Lift::ScaleA, Lift::ShiftA, Lift::ReflectA}
                           : std::vector<Lift>{Lift::ScaleB, Lift::ShiftB}) {
        const std::uint8_t bit = l == Lift::ScaleA     ? kScaleA
                                 : l == Lift::ShiftA   ? kShiftA
                                 : l == Lift::ReflectA ? kReflectA
                                 : l == Lift::ScaleB   ? kScaleB
                                                       : kShiftB;
        if (bits & bit) cands.push_back(C{std::uint32_t(a), std::uint32_t(b), op, l});
      }
    };
    const auto cx = [&](std::size_t i) { return complexity_of(beam[i].nodes); };
    const auto np = [&](std::size_t i) { return params_in(beam[i].nodes); };
    for (std::size_t e = new_begin; e < beam.size(); ++e) {
      if (cx(e) + 1 <= config.max_complexity)
        for (Op u : ops.unary) cands.push_back(C{std::uint32_t(e), std::uint32_t(e), u, Lift::None});
      if (np(e) + 1 <= inner_cap && cx(e) + 3 <= config.max_complexity)
        for (Op u : ops.unary) lifted(e, e, u, op_def(u).lifts, true);
    }
    for (std::size_t i = new_begin; i < beam.size(); ++i) {
      for (std::size_t j = 0; j <= i; ++j) {
        if (cx(i) + cx(j) + 1 > config.max_complexity) continue;
        const std::size_t k = np(i) + np(j);
        if (k <= inner_cap) {
          for (Op o : ops.binary) {
            cands.push_back(C{std::uint32_t(i), std::uint32_t(j), o, Lift::None});
            if (order_sensitive(o) && i != j) cands.push_back(C{std::uint32_t(j), std::uint32_t(i), o, Lift::None});
          }
        }
        if (k + 1 > inner_cap || cx(i) + cx(j) + 3 > config.max_complexity) continue;
        for (Op o : ops.binary) {
          const std::uint8_t bits = op_def(o).lifts;
          if (!order_sensitive(o)) {
            lifted(i, j, o, bits, true);
            if (i != j) lifted(i, j, o, bits, false);
          } else {
            lifted(i, j, o, bits, false);
            if (i != j) {
              lifted(i, j, o, bits, true);
              lifted(j, i, o, bits, true);
              lifted(j, i, o, bits, false);
            }
          }
        }
      }
    }
    // Dedup by family key, then the cheap scores.
    std::vector<C> fresh;
    std::vector<std::vector<Node>> shapes;
    for (const C& c : cands) {
      const Shape* b = arity(c.op) == 2 ? &beam[c.b] : nullptr;
      std::vector<Node> nodes = compose(beam[c.a], b, c.op, c.lift, 0.0);
      const auto p = family_probes(nodes, n_vars);
      if (!p || seen.insert(family_key(*p))) continue;
      fresh.push_back(c);
      shapes.push_back(std::move(nodes));
    }
    if (fresh.empty()) break;
    level.assign(fresh.size(), Scored{});
    for (std::size_t i = 0; i < fresh.size(); ++i) {
      const C& c = fresh[i];
      if (c.lift == Lift::None) {
        const auto g = Expr{shapes[i]}.eval_batch(columns, param_values(shapes[i]));
        if (g) level[i] = score_column(shapes[i], *g);
        continue;
      }
      const auto ca = Expr{beam[c.a].nodes}.eval_batch(columns, param_values(beam[c.a].nodes));
      const auto cb = Expr{beam[c.b].nodes}.eval_batch(columns, param_values(beam[c.b].nodes));
      // The new constant is the Param the lift put in.
      const std::size_t pa = params_in(beam[c.a].nodes), pb = params_in(beam[c.b].nodes);
      const std::size_t new_at =
          lifts_a(c.lift) ? (constant_first(c.lift) ? 0 : pa) : (constant_first(c.lift) ? pa : pa + pb);
      const Starts starts = start_values(Cand{0, 0, c.op, c.lift}, ca->data(), cb->data(), rows, t, ts);
      auto prog = compile(freeze_operands(shapes[i], new_at), columns);
      if (!prog) continue;
      double sse = std::numeric_limits<double>::infinity(), start = 0.0;
      for (std::size_t s = 0; s < starts.size(); ++s) {
        const double v = fitter.affine_sse_at(*prog, &starts.data()[s]);
        if (v < sse) sse = v, start = starts[s];
      }
      if (!(sse < std::numeric_limits<double>::infinity())) continue;
      std::vector<double> p{start};
      fitter.fit(*prog, p, 6);
      if (!fitter.eval(*prog, p.data(), false)) continue;
      std::vector<Node> nodes = shapes[i];
      std::vector<double> theta = param_values(nodes);
      theta[new_at] = p[0];
      set_param_values(nodes, theta);
      level[i] = wrapped(nodes, best_wrap(fitter.values(), rows, t, ts, penalty, complexity_of(nodes)));
    }
    // Full fits of the best-ranked shapes with constants.
    std::vector<Ranked> chosen;
    for (std::size_t i = 0; i < fresh.size(); ++i)
      if (level[i].ok && params_in(level[i].nodes) > 0) chosen.push_back(Ranked{level[i].rank, 0, std::uint32_t(i)});
    keep_first_ranked(chosen, std::min<std::size_t>(chosen.size(), std::max<std::uint64_t>(64, config.beam_width / 4)));
    for (const Ranked& r : chosen) {
      std::vector<Node> nodes = level[r.index].nodes;
      std::vector<double> theta = param_values(nodes);
      auto prog = compile(nodes, columns);
      if (!prog || !(fitter.fit(*prog, theta, 50) < std::numeric_limits<double>::infinity())) continue;
      if (!fitter.eval(*prog, theta.data(), false)) continue;
      const Wrapped w = best_wrap(fitter.values(), rows, t, ts, penalty, complexity_of(nodes));
      if (!w.ok || !error_before(w.rank, level[r.index].rank)) continue;
      set_param_values(nodes, theta);
      level[r.index] = wrapped(nodes, w);
    }
    {
      std::vector<Ranked> top;
      for (std::size_t i = 0; i < fresh.size(); ++i)
        if (level[i].ok) top.push_back(Ranked{level[i].rank, 0, std::uint32_t(i)});
      keep_first_ranked(top, std::min<std::size_t>(top.size(), 64));
      std::vector<std::vector<Node>> shapes = powers;
      for (const Shape& b : beam) shapes.push_back(b.nodes);
      std::vector<bool> taken(fresh.size(), false);
      for (const Ranked& r : top) shapes.push_back(level[r.index].nodes), taken[r.index] = true;
      for (std::size_t i = 0, simple = 0; i < fresh.size() && simple < 4096; ++i) {
        if (taken[i] || !level[i].ok || params_in(level[i].nodes) > 0 || complexity_of(level[i].nodes) > 5) continue;
        shapes.push_back(level[i].nodes);
        ++simple;
      }
      sums(shapes, level);
    }
    take(level);
    if (done() || lv + 1 >= config.max_complexity) break;
    std::vector<Ranked> joining;
    for (std::size_t i = 0; i < level.size(); ++i)
      if (level[i].ok && i < fresh.size())  // sums stay out of the beam
        joining.push_back(Ranked{level[i].rank, std::uint32_t(level[i].complexity()), std::uint32_t(i)});
    keep_first_ranked(joining, std::min<std::size_t>(joining.size(), config.beam_width / 4));
    new_begin = beam.size();
    for (const Ranked& r : joining) {
      Probes p{};
      if (params_in(level[r.index].nodes) == 0) p = *family_probes(level[r.index].nodes, n_vars);
      beam.push_back(Shape{level[r.index].nodes, p});
    }
  }
  if (best) out.best = present(*best, scale);
  const auto finish = [&] { snap_outcome(out, SnapData{columns, t, ts, scale, penalty}); };
  double least = std::numeric_limits<double>::infinity();
  for (const Scored& s : front_by_cx) {
    if (s.ok && floored(s.loss) < least) {
      least = floored(s.loss);
      out.front.push_back(present(s, scale));
    }
  }
  finish();
  return out;
}

}  // namespace vek::discover::reference

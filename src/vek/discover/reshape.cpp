#include "vek/discover/reshape.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "vek/common/stop.hpp"
#include "vek/discover/blocks.hpp"
#include "vek/discover/generate.hpp"
#include "vek/discover/penalised.hpp"
#include "vek/discover/sample.hpp"
#include "vek/discover/score.hpp"
#include "vek/discover/sums.hpp"
#include "vek/discover/validate.hpp"

namespace vek::discover {

namespace {

using Columns = std::vector<std::vector<double>>;

// Rows a reshaped search needs: on fewer, a wider search mostly finds
// formulas that fit the noise.
constexpr std::size_t kMinRows = 32;
constexpr std::size_t kBeamTerms = 5;   // the subset beam's longest sums of ratios
constexpr std::size_t kBeamWidth = 40;  // and the sets it keeps
// The share of the reshaped target's variance its search must explain for
// its formulas to count: a target that is a constant and noise (y/P where y
// is proportional to P) has only formulas of the noise to offer.
constexpr double kMinExplained = 0.9;
// Rows the reshaped searches run on, at the most.
constexpr std::size_t kSearchRows = 500;
// Formulas of y from one reshaped search (or from the ratios of sums) that
// are re-fitted on every row and compete, at the most: the best by their
// penalised error on the rows searched.
constexpr std::size_t kMergeMax = 8;

// The terms of ratios of sums: the variables and the powers and products
// of them that every search offers (blocks.hpp: power_leaves), with their
// values; those failing on some row left out.
struct Terms {
  std::vector<std::vector<Node>> nodes;
  std::vector<std::vector<double>> values;
};

Terms ratio_terms(const Columns& columns, std::size_t rows) {
  Terms t;
  std::vector<std::vector<Node>> all;
  for (std::size_t c = 0; c < columns.size(); ++c) all.push_back({Node::var(c)});
  for (std::vector<Node>& leaf : power_leaves(columns, rows)) all.push_back(std::move(leaf));
  for (std::vector<Node>& nodes : all) {
    auto values = Expr{nodes}.eval_batch(columns, {});
    if (!values) continue;
    t.nodes.push_back(std::move(nodes));
    t.values.push_back(std::move(*values));
  }
  return t;
}

// A term that may stand in a denominator: a variable, its reciprocal, or
// the product of two variables.
bool denominator_term(const std::vector<Node>& n) {
  const auto var = [](const Node& x) { return x.kind == Node::Kind::Var; };
  const auto op = [](const Node& x, Op o) { return x.kind == Node::Kind::Op && x.opcode == o; };
  if (n.size() == 1) return var(n[0]);
  if (n.size() == 2) return var(n[0]) && op(n[1], Op::Pow) && n[1].value == -1.0;
  return n.size() == 3 && var(n[0]) && var(n[1]) && op(n[2], Op::Mul);
}

// The kMergeMax formulas of y with the lowest penalised error on these rows
// (the first among equals); those failing on some row left out.
std::vector<SearchResult> best_of(std::vector<SearchResult> found, const Columns& columns, const std::vector<double>& y,
                                  double penalty) {
  std::vector<std::pair<double, std::size_t>> ranked;
  for (std::size_t k = 0; k < found.size(); ++k) {
    auto values = found[k].expr.eval_batch(columns, found[k].params);
    if (!values) continue;
    const double sse = add_squares(0.0, values->data(), y.data(), y.size());
    if (!std::isfinite(sse)) continue;
    ranked.emplace_back(
        penalised(rmse_of(sse, static_cast<double>(y.size())), complexity_factor(penalty, found[k].complexity)), k);
  }
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<SearchResult> out;
  for (std::size_t r = 0; r < ranked.size() && r < kMergeMax; ++r) out.push_back(std::move(found[ranked[r].second]));
  return out;
}

}  // namespace

std::vector<SearchResult> ratios_of_sums(const Columns& columns, const std::vector<double>& y,
                                         const SearchConfig& config, std::size_t max_params) {
  std::vector<SearchResult> out;
  const std::size_t n = y.size();
  if (n < kMinRows || columns.empty() || max_params < 3) return out;
  const Operators ops = Operators::of(config);
  if (!offers(ops.binary, Op::Div) || !offers(ops.binary, Op::Mul) || !offers(ops.binary, Op::Sub)) return out;
  const Terms terms = ratio_terms(columns, n);
  std::vector<std::size_t> dens;
  for (std::size_t j = 0; j < terms.nodes.size(); ++j) {
    if (denominator_term(terms.nodes[j])) dens.push_back(j);
  }
  const std::size_t none = terms.nodes.size();  // h0 = 1
  std::vector<std::size_t> firsts{none};
  firsts.insert(firsts.end(), dens.begin(), dens.end());
  std::vector<std::vector<double>> scaled(dens.size(), std::vector<double>(n));
  for (std::size_t d = 0; d < dens.size(); ++d) {
    for (std::size_t i = 0; i < n; ++i) scaled[d][i] = y[i] * terms.values[dens[d]][i];
  }
  std::vector<const double*> beam_pool;  // every term, then y times every denominator term
  for (const std::vector<double>& v : terms.values) beam_pool.push_back(v.data());
  for (const std::vector<double>& v : scaled) beam_pool.push_back(v.data());
  const SubsetBeam beam(beam_pool, n, config.weights);
  for (std::size_t h0 : firsts) {
    checkpoint(n * terms.nodes.size());
    // y·h0 = Σ a_j·g_j + Σ c_k·(y·h_k) + b over the numerators' terms and
    // y times the denominators' (h_k ≠ h0).
    std::vector<double> u(n);
    for (std::size_t i = 0; i < n; ++i) u[i] = h0 == none ? y[i] : y[i] * terms.values[h0][i];
    std::vector<const double*> pool;
    SumCosts costs;
    std::vector<std::size_t> source;  // pool index -> term; past `none`: denominator dens[k - none - 1]
    for (std::size_t j = 0; j < terms.nodes.size(); ++j) {
      if (j == h0) continue;
      pool.push_back(terms.values[j].data());
      costs.cost.push_back(complexity_of(terms.nodes[j]));
      source.push_back(j);
    }
    for (std::size_t d = 0; d < dens.size(); ++d) {
      if (dens[d] == h0) continue;
      pool.push_back(scaled[d].data());
      costs.cost.push_back(complexity_of(terms.nodes[dens[d]]) + 1);
      source.push_back(none + 1 + d);
    }
    costs.params.assign(pool.size(), 0);
    costs.penalty = config.complexity_penalty;
    const Target t = target_of(u.data(), n, n, config.weights);
    const TargetStats st = TargetStats::of(t);
    costs.floor_sse = st.noise * st.noise * st.weight;  // as the sums of the search itself
    const auto allowed = [&](const std::vector<std::size_t>& chosen, std::size_t) {
      return chosen.size() + 2 <= max_params;
    };
    // Term sets emitted, those without the offset marked by a last SIZE_MAX.
    std::set<std::vector<std::size_t>> emitted;
    const auto emit = [&](const SumFit& sum) {
      std::vector<std::size_t> key = sum.terms;
      if (!sum.offset) key.push_back(std::numeric_limits<std::size_t>::max());
      if (!emitted.insert(std::move(key)).second) return;
      std::vector<Node> num, den;
      std::size_t num_terms = 0, den_terms = 0;
      for (std::size_t k = 0; k < sum.terms.size(); ++k) {
        const std::size_t src = source[sum.terms[k]];
        if (src < none) {
          num.push_back(Node::param(0, sum.coefs[k]));
          num.insert(num.end(), terms.nodes[src].begin(), terms.nodes[src].end());
          num.push_back(Node::op(Op::Mul));
          if (num_terms++ > 0) num.push_back(Node::op(Op::Add));
        } else {
          if (den_terms++ == 0) {
            if (h0 == none) {
              den.push_back(Node::constant(1.0));
            } else {
              den.insert(den.end(), terms.nodes[h0].begin(), terms.nodes[h0].end());
            }
          }
          const std::vector<Node>& h = terms.nodes[dens[src - none - 1]];
          den.push_back(Node::param(0, sum.coefs[k]));
          den.insert(den.end(), h.begin(), h.end());
          den.push_back(Node::op(Op::Mul));
          den.push_back(Node::op(Op::Sub));
        }
      }
      if (num_terms == 0 || den_terms == 0) return;
      if (sum.offset) {
        num.push_back(Node::param(0, sum.b));
        num.push_back(Node::op(Op::Add));
      }
      num.insert(num.end(), den.begin(), den.end());
      num.push_back(Node::op(Op::Div));
      renumber_params(num);
      out.push_back(record_of(std::move(num), std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::quiet_NaN()));
    };
    for (const SumFit& sum : forward_sums(pool, n, t, 8, costs, allowed)) emit(sum);
    // Short sums whose terms fit badly one by one (f1·f2/(f1 + f2 − d),
    // weighted means): the subset beam's best set of each size.
    std::vector<bool> usable(beam_pool.size(), true);
    std::vector<std::size_t> local(beam_pool.size());
    for (std::size_t g = 0, k = 0; g < beam_pool.size(); ++g) {
      usable[g] = g < none ? g != h0 : dens[g - none] != h0;
      local[g] = usable[g] ? k++ : none;
    }
    const std::size_t most = std::min<std::size_t>(kBeamTerms, max_params - 2);
    for (const std::vector<std::size_t>& set : beam.best_sets(u.data(), usable, most, kBeamWidth)) {
      SumFit sum;
      for (std::size_t g : set) sum.terms.push_back(local[g]);
      if (fit_sum(pool, t, sum)) emit(sum);
    }
  }
  return out;
}

std::vector<ReshapedTarget> reshaped_targets(const Columns& columns, const std::vector<double>& y,
                                             const SearchConfig& config) {
  std::vector<ReshapedTarget> out;
  const std::size_t n = y.size();
  if (n < kMinRows || columns.empty()) return out;
  const bool negative = y[0] < 0.0;
  bool one_sign = true;
  for (double v : y) {
    if (!std::isfinite(v)) return out;
    one_sign = one_sign && (negative ? v < 0.0 : v > 0.0);
  }
  const Operators ops = Operators::of(config);
  const bool mul = offers(ops.binary, Op::Mul), div = offers(ops.binary, Op::Div), inv = offers(ops.unary, Op::Inv),
             root = offers(ops.unary, Op::Sqrt) && (!negative || offers(ops.unary, Op::Neg));
  const auto add = [&](Reshape kind, std::vector<Node> block, const auto& u_of) {
    ReshapedTarget t{kind, std::move(block), negative, std::vector<double>(n)};
    std::vector<double> p(n, 1.0);
    if (!t.block.empty()) {
      auto values = Expr{t.block}.eval_batch(columns, {});
      if (!values) return;
      p = std::move(*values);
    }
    for (std::size_t i = 0; i < n; ++i) {
      t.u[i] = u_of(y[i], p[i]);
      if (!std::isfinite(t.u[i])) return;
    }
    // y = ±P/sqrt(g): the sign of y/P (a block of a negative variable is
    // negative).
    if (kind == Reshape::OverSquare) t.negative = (y[0] < 0.0) != (p[0] < 0.0);
    out.push_back(std::move(t));
  };
  const auto ratio = [](double v, double p) { return v / p; };
  const auto over = [](double v, double p) { return p / v; };
  const auto over_square = [](double v, double p) {
    const double r = p / v;
    return r * r;
  };
  std::vector<std::vector<Node>> blocks;
  if (one_sign) {
    for (const auto& factors : proportional_blocks(columns, target_of(y.data(), n, n, {}))) {
      blocks.push_back(power_block(factors));
    }
  } else {
    // y of both signs (A·cos(ω·t + φ)): the blocks of |y| on the rows where
    // it is at least a tenth of its largest, away from the zeros where ln|y|
    // says nothing of the factors; only y/P, the others need y of one sign.
    double top = 0.0;
    for (double v : y) top = std::fmax(top, std::fabs(v));
    std::vector<std::size_t> rows;
    for (std::size_t i = 0; i < n; ++i) {
      if (std::fabs(y[i]) >= 0.1 * top) rows.push_back(i);
    }
    Columns kept;
    for (const auto& c : columns) kept.push_back(rows_of(c, rows));
    std::vector<double> size = rows_of(y, rows);
    for (double& v : size) v = std::fabs(v);
    for (const auto& factors : proportional_blocks(kept, target_of(size.data(), size.size(), size.size(), {}))) {
      blocks.push_back(power_block(factors));
    }
  }
  // Proportional to a block first: the commonest shape of a law.
  if (mul) {
    for (const auto& b : blocks) add(Reshape::Divide, b, ratio);
  }
  if (!one_sign) return out;
  if (inv) add(Reshape::Inverse, {}, [](double v, double) { return 1.0 / v; });
  if (inv && root) add(Reshape::InverseSquare, {}, [](double v, double) { return 1.0 / (v * v); });
  if (root) add(Reshape::Square, {}, [](double v, double) { return v * v; });
  if (div) {
    for (const auto& b : blocks) add(Reshape::Over, b, over);
  }
  if (div && root) {
    for (const auto& b : blocks) add(Reshape::OverSquare, b, over_square);
  }
  return out;
}

std::vector<Node> reshaped_formula(const ReshapedTarget& t, const std::vector<Node>& g) {
  std::vector<Node> nodes;
  const auto append = [&](const std::vector<Node>& more) { nodes.insert(nodes.end(), more.begin(), more.end()); };
  switch (t.kind) {
    case Reshape::Inverse:
      append(g);
      nodes.push_back(Node::op(Op::Inv));
      break;
    case Reshape::Square:
      append(g);
      nodes.push_back(Node::op(Op::Sqrt));
      break;
    case Reshape::InverseSquare:
      append(g);
      nodes.push_back(Node::op(Op::Sqrt));
      nodes.push_back(Node::op(Op::Inv));
      break;
    case Reshape::Divide:
      append(g);
      append(t.block);
      nodes.push_back(Node::op(Op::Mul));
      break;
    case Reshape::Over:
      append(t.block);
      append(g);
      nodes.push_back(Node::op(Op::Div));
      break;
    case Reshape::OverSquare:
      append(t.block);
      append(g);
      nodes.push_back(Node::op(Op::Sqrt));
      nodes.push_back(Node::op(Op::Div));
      break;
  }
  const bool rooted = t.kind == Reshape::Square || t.kind == Reshape::InverseSquare || t.kind == Reshape::OverSquare;
  if (rooted && t.negative) nodes.push_back(Node::op(Op::Neg));
  renumber_params(nodes);
  return nodes;
}

SearchOutcome search_reshaped(const Columns& columns, const std::vector<double>& target, const SearchConfig& config,
                              const ConstantsConfig& constants, const SearchHooks* hooks) {
  SearchOutcome out = search_constants(columns, target, config, constants, hooks);
  if (out.stopped || out.out_of_memory || !out.best) return out;
  const TargetStats st = TargetStats::of(target_of(target.data(), target.size(), target.size(), config.weights));
  const double goal = config.precision_goal * std::sqrt(st.squares / st.weight);
  if (out.best->loss <= goal) return out;
  // Done once a formula within the goal is at most a shape of
  // max_complexity with its a and b: a long sum of terms can meet the goal
  // on a hundred rows of a smooth law whose short formula a later target
  // gives, and equals on the goal are ranked by complexity.
  const auto settled = [&] {
    return out.best && out.best->loss <= goal &&
           out.best->complexity <= config.max_complexity + wrap_nodes(Wrap::Affine);
  };
  // The reshaped searches report no levels of their own and score here.
  SearchHooks quiet;
  if (hooks != nullptr) quiet.keep_going = hooks->keep_going;
  SearchConfig sub = config;
  sub.seed.clear();
  sub.beam_width = std::max<std::uint64_t>(64, config.beam_width / 4);
  sub.max_complexity = std::max<std::uint64_t>(2, config.max_complexity - 1);
  const RescoreConfig rescore{config.complexity_penalty, true, true, config.weights};
  // On many rows they run on an even sample of them: their formulas are
  // re-fitted on every row before they compete.
  const std::vector<std::size_t> picked = sample_rows(target.size(), kSearchRows);
  const bool sampled = picked.size() < target.size();
  Columns sample_columns;
  std::vector<double> sample_target;
  if (sampled) {
    for (const auto& c : columns) sample_columns.push_back(rows_of(c, picked));
    sample_target = rows_of(target, picked);
    if (!config.weights.empty()) sub.weights = rows_of(config.weights, picked);
  }
  const Columns& cols = sampled ? sample_columns : columns;
  const std::vector<double>& y = sampled ? sample_target : target;
  for (const ReshapedTarget& t : reshaped_targets(cols, y, sub)) {
    SearchOutcome found = search_constants(cols, t.u, sub, constants, &quiet);
    out.stats.generated += found.stats.generated;
    out.stats.fingerprinted += found.stats.fingerprinted;
    out.stats.scored += found.stats.scored;
    out.stats.peak_seen = std::max(out.stats.peak_seen, found.stats.peak_seen);
    out.stats.peak_bytes = std::max(out.stats.peak_bytes, found.stats.peak_bytes);
    std::vector<SearchResult> more;
    if (!explains(found, t.u, sub.weights, kMinExplained)) {
      found.best.reset();
      found.front.clear();
    }
    const auto take = [&](const SearchResult& r) {
      more.push_back(record_of(reshaped_formula(t, r.expr.nodes), std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::quiet_NaN()));
    };
    for (const SearchResult& r : found.front) take(r);
    if (found.best) take(*found.best);
    RescoreConfig here = rescore;
    // After a stop the formulas are only scored: a re-fit is more work than
    // a stopped search should do.
    here.refit = !found.stopped;
    merge_outcome(out, best_of(std::move(more), cols, y, config.complexity_penalty), columns, target, here);
    if (found.stopped) {
      out.stopped = true;
      out.out_of_memory = found.out_of_memory;
      break;
    }
    if (settled()) break;
  }
  if (!out.stopped && !settled()) {
    try {
      merge_outcome(out,
                    best_of(ratios_of_sums(cols, y, sub, constants.max_params), cols, y, config.complexity_penalty),
                    columns, target, rescore);
    } catch (const Interrupted&) {
      out.stopped = true;
    }
  }
  validate_noisy(out, columns, target, config, constants.max_params);
  return out;
}

}  // namespace vek::discover

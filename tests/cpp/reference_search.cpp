#include "reference_search.hpp"

#include <algorithm>
#include <cmath>
#include <tuple>

#include "vek/common/panic.hpp"
#include "vek/discover/fingerprint.hpp"
#include "vek/discover/optimizer.hpp"
#include "vek/discover/penalised.hpp"
#include "vek/discover/rank.hpp"
#include "vek/discover/seen_set.hpp"

namespace vek::discover::reference {

namespace {

// Ranking order: ascending error, NaN after every number.
bool error_before(double p, double q) { return (!std::isnan(p) && std::isnan(q)) || p < q; }

// Penalised root-mean-square error of each candidate that evaluates; the
// optimizer refines those already within 2.
std::vector<SearchResult> score_level(const std::vector<Expr>& candidates,
                                      const std::vector<std::vector<double>>& columns, const std::vector<double>& y,
                                      const SearchConfig& config) {
  std::vector<SearchResult> results;
  for (const Expr& c : candidates) {
    const auto out = c.eval_batch(columns, {});
    if (!out) continue;
    const std::size_t m = std::min(out->size(), y.size());
    double rmse = rmse_of(add_squares(0.0, out->data(), y.data(), m), static_cast<double>(y.size()));
    std::vector<double> params;
    if (rmse < 2.0) std::tie(params, rmse) = optimize(c, columns, y, {});
    const std::uint64_t complexity = c.nodes.size();
    const double error = penalised(rmse, complexity_factor(config.complexity_penalty, complexity));
    results.push_back(SearchResult{c.to_string(), params, c, error, complexity});
  }
  return results;
}

void update_best(std::optional<SearchResult>& best, const std::vector<SearchResult>& results) {
  for (const SearchResult& r : results)
    if (!best || r.error < best->error) best = r;
}

}  // namespace

std::optional<SearchResult> search(const std::vector<std::vector<double>>& columns, const std::vector<double>& target,
                                   std::uint64_t n_vars, const SearchConfig& config,
                                   const std::function<bool()>& keep_going) {
  std::vector<Op> unary = {Op::Neg, Op::Inv, Op::Exp, Op::Ln, Op::Sqrt};
  if (config.use_trig) unary.insert(unary.end(), {Op::Sin, Op::Cos});
  std::vector<Op> binary = {Op::Add, Op::Sub, Op::Mul, Op::Div};
  if (config.use_vek) binary.push_back(Op::Vek);

  SeenSet seen;
  std::vector<Expr> candidates;
  const auto offer = [&](Expr e) {
    if (keep_going && !keep_going()) throw Interrupted();
    const auto fp = fingerprint(e, n_vars);
    if (fp && !seen.insert(*fp)) candidates.push_back(std::move(e));
  };
  const auto joined = [&](const Expr& a, const Expr& b, Op o) {
    Expr ab{a.nodes};
    ab.nodes.insert(ab.nodes.end(), b.nodes.begin(), b.nodes.end());
    ab.nodes.push_back(Node::op(o));
    return ab;
  };

  offer(Expr{{Node::constant(0.0)}});
  offer(Expr{{Node::constant(1.0)}});
  for (std::uint64_t i = 0; i < n_vars; ++i) offer(Expr{{Node::var(i)}});
  std::optional<SearchResult> best;
  update_best(best, score_level(candidates, columns, target, config));
  if ((best && best->error <= config.precision_goal) || config.max_complexity < 2) return best;
  std::vector<Expr> beam = candidates;

  for (std::uint64_t level = 0; level < config.max_complexity - 1; ++level) {
    candidates.clear();
    for (const Expr& e : beam) {
      for (Op u : unary) {
        Expr c{e.nodes};
        c.nodes.push_back(Node::op(u));
        offer(std::move(c));
      }
    }
    for (std::size_t i = 0; i < beam.size(); ++i) {
      for (std::size_t j = 0; j <= i; ++j) {
        if (beam[i].nodes.size() + beam[j].nodes.size() >= config.max_complexity) continue;
        for (Op o : binary) {
          offer(joined(beam[i], beam[j], o));
          if (o == Op::Sub || o == Op::Div || o == Op::Vek) offer(joined(beam[j], beam[i], o));
        }
      }
    }
    if (candidates.empty()) return best;
    std::vector<SearchResult> results = score_level(candidates, columns, target, config);
    update_best(best, results);
    if (best && best->error <= config.precision_goal) return best;
    std::stable_sort(results.begin(), results.end(),
                     [](const SearchResult& p, const SearchResult& q) { return error_before(p.error, q.error); });
    for (std::size_t k = 0; k < config.beam_width / 4 && k < results.size(); ++k) beam.push_back(results[k].expr);
  }
  return best;
}

}  // namespace vek::discover::reference

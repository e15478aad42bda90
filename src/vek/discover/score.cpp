#include "vek/discover/score.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "vek/common/panic.hpp"
#include "vek/common/parallel.hpp"
#include "vek/common/stop.hpp"
#include "vek/discover/penalised.hpp"
#include "vek/discover/row_ops.hpp"

namespace vek::discover {

Target target_of(const double* y, std::size_t common, std::size_t size, const std::vector<double>& w) {
  if (w.empty()) return Target{y, common, static_cast<double>(size)};
  if (w.size() != size) panic("search: the weights and the target differ in length");
  double total = 0.0;
  for (std::size_t i = 0; i < size; ++i) total += w[i];
  return Target{y, common, total, w.data()};
}

Scores score_candidates(const Beam& beam, const std::vector<Cand>& cands, const Target& target, double penalty,
                        const ScorePlan& plan) {
  const std::size_t count = cands.size();
  const std::size_t rows = beam.rows();
  Scores s;
  s.error.resize(count);
  s.loss.resize(count);
  s.ok.resize(count);
  const std::vector<double>* front = plan.front_bounds;
  const auto front_limit = [front](std::uint64_t c, double factor, double bound) {
    if (front->empty()) return std::numeric_limits<double>::infinity();
    const double p = c < front->size() ? (*front)[static_cast<std::size_t>(c)] : front->back();
    return std::max(bound, p * factor);
  };
  const std::size_t grain = std::max<std::size_t>(1, 4096 / std::max<std::size_t>(1, rows));

  const auto score_range = [&](std::size_t from, std::size_t to, double bound) {
    par::for_ranges(
        to - from,
        [&](std::size_t b, std::size_t e) {
          StopSource* const stop = current_stop();
          std::vector<double> sa, sb;
          for (std::size_t i = from + b; i < from + e; ++i) {
            checkpoint(stop, rows);
            const Cand& c = cands[i];
            const double* ca = beam.column(c.a, sa);
            const double* cb = arity(c.op) == 1 ? ca : beam.column(c.b, sb);
            const std::uint64_t cx = beam.complexity(c);
            const double factor = complexity_factor(penalty, cx);
            const double limit = !plan.drop
                                     ? std::numeric_limits<double>::infinity()
                                     : drop_limit(factor, front != nullptr ? front_limit(cx, factor, bound) : bound);
            const Outcome o = target.w != nullptr
                                  ? weighted_score_rows_for(c.op)(ca, cb, rows, target.y, target.w, target.common,
                                                                  target.length, factor, limit, s.error[i], s.loss[i])
                                  : score_rows_for(c.op)(ca, cb, rows, target.y, target.common, target.length, factor,
                                                         limit, s.error[i], s.loss[i]);
            s.ok[i] = o == Outcome::Scored;
          }
        },
        grain);
  };

  bool only_best = plan.only_best;
  const std::size_t keep = only_best ? 1 : plan.keep;
  const std::size_t chunk = std::max(keep, plan.chunk);
  std::vector<double> smallest;  // up to `keep` smallest errors so far (no NaN)
  double least = plan.least;     // smallest error known (no NaN)
  double bound = only_best ? least : std::numeric_limits<double>::infinity();
  for (std::size_t from = 0; from < count; from += chunk) {
    const std::size_t to = std::min(count, from + chunk);
    score_range(from, to, bound);
    if (to == count) break;
    for (std::size_t i = from; i < to; ++i) {
      if (!s.ok[i] || std::isnan(s.error[i])) continue;
      least = std::min(least, s.error[i]);
      if (!only_best) smallest.push_back(s.error[i]);
    }
    if (least <= plan.goal) only_best = true;
    if (only_best) {
      bound = least;
    } else if (smallest.size() >= keep) {
      std::nth_element(smallest.begin(), smallest.begin() + static_cast<std::ptrdiff_t>(keep - 1), smallest.end());
      smallest.resize(keep);
      bound = smallest[keep - 1];
    }
  }
  return s;
}

Scores score_exprs(const std::vector<Expr>& exprs, const std::vector<std::vector<double>>& columns,
                   const Target& target, double penalty) {
  const std::size_t count = exprs.size();
  const std::size_t rows = columns.empty() ? 0 : columns[0].size();
  Scores s;
  s.error.resize(count);
  s.loss.resize(count);
  s.ok.resize(count);
  par::for_ranges(
      count,
      [&](std::size_t b, std::size_t e) {
        StopSource* const stop = current_stop();
        for (std::size_t i = b; i < e; ++i) {
          checkpoint(stop, rows);
          const auto out = exprs[i].eval_batch(columns, {});
          s.ok[i] = out.has_value();
          if (!out) continue;
          const double sse = target_squares(out->data(), target);
          s.loss[i] = rmse_of(sse, target.length);
          s.error[i] = penalised(s.loss[i], complexity_factor(penalty, exprs[i].complexity()));
        }
      },
      64);
  return s;
}

}  // namespace vek::discover

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
          ColumnMemo memo;
          for (std::size_t i = from + b; i < from + e; ++i) {
            checkpoint(stop, rows);
            const Cand& c = cands[i];
            const double* ca = memo.get(beam, c.a);
            const double* cb = arity(c.op) == 1 ? ca : memo.get(beam, c.b);
            const std::uint64_t cx = beam.complexity(c);
            const double factor = complexity_factor(penalty, cx);
            const double limit = !plan.drop
                                     ? std::numeric_limits<double>::infinity()
                                     : drop_limit(factor, front != nullptr ? front_limit(cx, factor, bound) : bound);
            const Outcome o = score_rows_for(c.op)(ca, cb, rows, target.y, target.common, target.length, factor, limit,
                                                   s.error[i], s.loss[i]);
            s.ok[i] = o == Outcome::Scored;
          }
        },
        grain);
  };

  bool only_best = plan.only_best;
  const std::size_t keep = only_best ? 1 : plan.keep;
  // Chunks of at least `keep` unless the rows make that much work; the
  // bound then waits for keep records over several chunks.
  const std::size_t chunk = std::min(std::max(keep, plan.chunk), chunk_for_rows(rows, plan.chunk));
  std::vector<double> smallest;  // up to `keep` smallest errors so far (no NaN)
  double least = plan.least;     // smallest error known (no NaN)
  double least_loss = std::numeric_limits<double>::infinity();
  double bound = only_best ? least : std::numeric_limits<double>::infinity();
  for (std::size_t from = 0; from < count; from += chunk) {
    const std::size_t to = std::min(count, from + chunk);
    try {
      score_range(from, to, bound);
    } catch (const Interrupted&) {
      s.cut(from);  // the chunk's scores are partial: keep those before it
      return s;
    }
    for (std::size_t i = from; i < to; ++i) {
      if (!s.ok[i] || std::isnan(s.error[i])) continue;
      least = std::min(least, s.error[i]);
      if (!std::isnan(s.loss[i])) least_loss = std::min(least_loss, s.loss[i]);
      if (!only_best) smallest.push_back(s.error[i]);
    }
    if (plan.on_chunk) {
      try {
        plan.on_chunk(to, least_loss);
      } catch (const Interrupted&) {
        s.cut(to);
        return s;
      }
    }
    if (to == count) break;
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
          const double sse = add_squares(0.0, out->data(), target.y, target.common);
          s.loss[i] = rmse_of(sse, target.length);
          s.error[i] = penalised(s.loss[i], complexity_factor(penalty, exprs[i].complexity()));
        }
      },
      64);
  return s;
}

}  // namespace vek::discover

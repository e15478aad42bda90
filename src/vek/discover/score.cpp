#include "vek/discover/score.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "vek/common/panic.hpp"
#include "vek/common/parallel.hpp"
#include "vek/common/stop.hpp"
#include "vek/discover/penalised.hpp"
#include "vek/discover/row_ops.hpp"

namespace vek::discover {

namespace {

// Rows per block of the block-wise scoring.
constexpr std::size_t kBlockRows = 1024;

// Where a block's scoring of one candidate stands.
enum class Run : std::uint8_t { Going, Failed, Dropped };

// One block of score_rows (row_ops.hpp): rows [0, n) of the block must
// evaluate, the squares of the first m are added to sse in row order, and
// the partial error is checked against the limit every 16 of them.
template <Op O>
Run score_block(const double* a, const double* b, std::size_t n, const double* y, const double* w, std::size_t m,
                double target_len, double factor, double limit, double& sse) {
  constexpr std::size_t kCheckEvery = 16;
  double v;
  std::size_t i = 0;
  while (i < m) {
    const std::size_t stop = std::min(m, i + kCheckEvery);
    for (; i < stop; ++i) {
      if (!apply<O>(a[i], b[i], v)) return Run::Failed;
      const double d = v - y[i];
      sse += w == nullptr ? d * d : (d * d) * w[i];  // as score_rows and its weighted twin
    }
    if (exceeds(sse, target_len, factor, limit)) return Run::Dropped;
  }
  for (; i < n; ++i) {
    if (!apply<O>(a[i], b[i], v)) return Run::Failed;
  }
  return Run::Going;
}

using ScoreBlockFn = Run (*)(const double*, const double*, std::size_t, const double*, const double*, std::size_t,
                             double, double, double, double&);

template <std::size_t... I>
constexpr std::array<ScoreBlockFn, kOpCount> score_block_table(std::index_sequence<I...>) {
  return {&score_block<static_cast<Op>(I)>...};
}
constexpr auto kScoreBlock = score_block_table(std::make_index_sequence<kOpCount>{});

// The values of beam members on one block of rows, for one thread: cached
// members from their columns, the others built from their operands' block
// values (op(a, b) row by row, exactly as their columns would be) and kept
// until the block ends. At most kSlots are kept; past them the kept ones are
// dropped between candidates.
class BlockValues {
 public:
  explicit BlockValues(const Beam& beam) : beam_(beam), slot_of_(beam.size(), static_cast<std::uint32_t>(kNone)) {}

  void start(std::size_t r0, std::size_t len) {
    clear();
    r0_ = r0;
    len_ = len;
  }
  // Before a candidate's operands are asked for: room for their trees.
  void make_room() {
    if (used_.size() + kTreeRoom > kSlots) clear();
  }
  // The values of members a and b on the block; valid until the next
  // make_room().
  std::pair<const double*, const double*> get(std::uint32_t a, std::uint32_t b) {
    const std::size_t sa = beam_.cached(a) != nullptr ? kNone : fill(a);
    const std::size_t sb = beam_.cached(b) != nullptr ? kNone : fill(b);
    return {at(a, sa), at(b, sb)};  // after both fills: the pool no longer moves
  }

 private:
  static constexpr std::size_t kNone = 0xFFFFFFFFu;
  static constexpr std::size_t kSlots = 2048;
  static constexpr std::size_t kTreeRoom = 256;

  void clear() {
    for (std::uint32_t m : used_) slot_of_[m] = static_cast<std::uint32_t>(kNone);
    used_.clear();
  }
  const double* at(std::uint32_t i, std::size_t slot) const {
    return slot != kNone ? pool_.data() + slot * len_ : beam_.cached(i) + r0_;
  }

  // The slot of uncached member i's values, computed when missing.
  std::size_t fill(std::uint32_t i) {
    if (slot_of_[i] != kNone) return slot_of_[i];
    // Operands first: their slots may move the pool.
    const Beam::Source src = beam_.source(i);
    const Cand& c = beam_.origin(i);
    std::size_t sa = kNone, sb = kNone;
    if (src == Beam::Source::Composed) {
      if (beam_.cached(c.a) == nullptr) sa = fill(c.a);
      if (arity(c.op) == 2 && beam_.cached(c.b) == nullptr) sb = fill(c.b);
    }
    const std::size_t slot = used_.size();
    if (pool_.size() < (slot + 1) * len_) pool_.resize((slot + 1) * len_);
    double* out = pool_.data() + slot * len_;
    if (src == Beam::Source::Constant) {
      std::fill(out, out + len_, beam_.constant(i));
    } else {
      if (src != Beam::Source::Composed) panic("search: an uncached member cannot be built row by row");
      const double* a = at(c.a, sa);
      const double* b = arity(c.op) == 1 ? a : at(c.b, sb);
      if (!fill_rows_for(c.op)(a, b, len_, out)) panic("search: a beam member no longer evaluates");
    }
    slot_of_[i] = static_cast<std::uint32_t>(slot);
    used_.push_back(i);
    return slot;
  }

  const Beam& beam_;
  std::vector<std::uint32_t> slot_of_;  // per member: its slot this block, or kNone
  std::vector<std::uint32_t> used_;     // members with a slot, in slot order
  std::vector<double> pool_;            // kSlots blocks at the most
  std::size_t r0_ = 0, len_ = 0;
};

}  // namespace

double effective_rows(const double* w, std::size_t n) noexcept {
  double total = 0.0, lightest = HUGE_VAL;
  for (std::size_t i = 0; i < n; ++i) {
    total += w[i];
    if (w[i] > 0.0) lightest = std::fmin(lightest, w[i]);
  }
  return lightest < HUGE_VAL ? total / lightest : 0.0;
}

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

  // A candidate's limit: +inf when nothing is dropped.
  const auto limit_of = [&](const Cand& c, double factor, double bound) {
    if (!plan.drop) return std::numeric_limits<double>::infinity();
    return drop_limit(factor, front != nullptr ? front_limit(beam.complexity(c), factor, bound) : bound);
  };

  // With every operand cached: candidate by candidate, over whole columns.
  const auto score_columns = [&](std::size_t from, std::size_t b, std::size_t e, double bound) {
    StopSource* const stop = current_stop();
    ColumnMemo memo;  // members of source Other only
    for (std::size_t i = from + b; i < from + e; ++i) {
      checkpoint(stop, rows);
      const Cand& c = cands[i];
      const double* ca = memo.get(beam, c.a);
      const double* cb = arity(c.op) == 1 ? ca : memo.get(beam, c.b);
      const double factor = complexity_factor(penalty, beam.complexity(c));
      const double limit = limit_of(c, factor, bound);
      const Outcome o = target.w != nullptr
                            ? weighted_score_rows_for(c.op)(ca, cb, rows, target.y, target.w, target.common,
                                                            target.length, factor, limit, s.error[i], s.loss[i])
                            : score_rows_for(c.op)(ca, cb, rows, target.y, target.common, target.length, factor, limit,
                                                   s.error[i], s.loss[i]);
      s.ok[i] = o == Outcome::Scored;
    }
  };

  // Otherwise block by block of rows, every candidate of the range through
  // one block before the next, so that an uncached member is built once
  // per block from its operands instead of once per candidate over all
  // rows. Each candidate's squares still add up in row order.
  const auto score_blocks = [&](std::size_t from, std::size_t b, std::size_t e, double bound) {
    StopSource* const stop = current_stop();
    const std::size_t n = e - b;
    std::vector<double> sse(n, 0.0), factor(n), limit(n);
    std::vector<Run> run(n, Run::Going);
    for (std::size_t k = 0; k < n; ++k) {
      const Cand& c = cands[from + b + k];
      factor[k] = complexity_factor(penalty, beam.complexity(c));
      limit[k] = limit_of(c, factor[k], bound);
    }
    BlockValues values(beam);
    for (std::size_t r0 = 0; r0 < rows; r0 += kBlockRows) {
      const std::size_t len = std::min(kBlockRows, rows - r0);
      const std::size_t common = target.common > r0 ? std::min(len, target.common - r0) : 0;
      values.start(r0, len);
      bool going = false;
      for (std::size_t k = 0; k < n; ++k) {
        if (run[k] != Run::Going) continue;
        checkpoint(stop, len);
        const Cand& c = cands[from + b + k];
        values.make_room();
        const auto [ca, cb] = values.get(c.a, arity(c.op) == 1 ? c.a : c.b);
        run[k] = kScoreBlock[static_cast<std::size_t>(c.op)](ca, cb, len, target.y + r0,
                                                             target.w != nullptr ? target.w + r0 : nullptr, common,
                                                             target.length, factor[k], limit[k], sse[k]);
        going = going || run[k] == Run::Going;
      }
      if (!going) break;
    }
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t i = from + b + k;
      s.ok[i] = 0;
      if (run[k] != Run::Going) continue;
      const double rmse = rmse_of(sse[k], target.length);
      const double error = penalised(rmse, factor[k]);
      if (error > limit[k]) continue;  // dropped, as score_rows does
      s.error[i] = error;
      s.loss[i] = rmse;
      s.ok[i] = 1;
    }
  };

  const bool by_blocks = beam.uncached() > 0 && beam.uncached_other() == 0;
  const auto score_range = [&](std::size_t from, std::size_t to, double bound) {
    par::for_ranges(
        to - from,
        [&](std::size_t b, std::size_t e) {
          if (by_blocks) {
            score_blocks(from, b, e, bound);
          } else {
            score_columns(from, b, e, bound);
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
          const double sse = target_squares(out->data(), target);
          s.loss[i] = rmse_of(sse, target.length);
          s.error[i] = penalised(s.loss[i], complexity_factor(penalty, exprs[i].complexity()));
        }
      },
      64);
  return s;
}

}  // namespace vek::discover

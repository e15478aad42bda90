// Scoring of a level's candidates on the data, in parallel, with hopeless
// candidates dropped early against a bound that tightens chunk by chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "vek/discover/beam.hpp"
#include "vek/discover/penalised.hpp"

namespace vek::discover {

// What candidates are scored against: the first `common` rows of y (those
// the data has too), the sum divided by the target's full length.
//
// With row weights w (null: every row weighs 1), each squared difference is
// multiplied by its row's weight, (d * d) * w[i], and `length` is the sum of
// the weights: the loss is the weighted RMSE sqrt(Σ w·d² / Σ w).
struct Target {
  const double* y;
  std::size_t common;
  double length;
  const double* w = nullptr;
};

// The target y of `size` values whose first `common` rows are scored, with
// the row weights w (one per value of y; empty: unweighted). Throws
// vek::Panic when w has another length.
Target target_of(const double* y, std::size_t common, std::size_t size, const std::vector<double>& w);

// The number of rows that rules counting rows (when a term or a constant
// pays for itself) see in n weighted rows: the total weight in units of the
// lightest positive weight, so that integer weights count as that many
// repeated rows and scaling every weight changes nothing.
double effective_rows(const double* w, std::size_t n) noexcept;

// The target's sum of squared differences from out over the common rows, in
// row order, weighted when the target has weights.
inline double target_squares(const double* out, const Target& t) noexcept {
  return t.w != nullptr ? add_weighted_squares(0.0, out, t.y, t.w, t.common) : add_squares(0.0, out, t.y, t.common);
}

// One level's outcome, per candidate: ok when it evaluated on every row and
// was not dropped; error (the penalised error), loss (the plain RMSE) and
// rank (what candidates are ordered by) are meaningful only then. The plain
// search ranks by error and leaves `rank` empty.
//
// A stop (vek::Interrupted) while a level is scored leaves the scores of the
// chunks finished before it, a prefix of the candidates in generation order,
// with `stopped` set: the chunks are fixed by the plan, so the same prefix
// always holds the same scores.
struct Scores {
  std::vector<double> error;
  std::vector<double> loss;
  std::vector<double> rank;
  std::vector<std::uint8_t> ok;
  bool stopped = false;

  std::size_t size() const noexcept { return ok.size(); }
  double rank_of(std::size_t i) const noexcept { return rank.empty() ? error[i] : rank[i]; }
  void resize(std::size_t n, bool ranked) {
    error.resize(n);
    loss.resize(n);
    ok.resize(n);
    if (ranked) rank.resize(n);
  }
  // Keeps the first n (the finished prefix) and marks the scores stopped.
  void cut(std::size_t n) {
    resize(n, !rank.empty());
    stopped = true;
  }
};

// Called on the calling thread after each finished chunk of a level: the
// candidates scored so far (a prefix) and the smallest loss among them
// (+inf when none). It may throw vek::Interrupted to stop the level there.
using ChunkDone = std::function<void(std::size_t done, double least_loss)>;

// Candidates per chunk for this many rows: about kChunkWork row
// evaluations, so that a stop or a progress report waits for little work.
inline constexpr std::size_t kChunkWork = std::size_t{1} << 22;
inline std::size_t chunk_for_rows(std::size_t rows, std::size_t floor) noexcept {
  const std::size_t by_work = kChunkWork / (rows > 0 ? rows : 1);
  return by_work > floor ? by_work : floor;
}

// Which candidates matter, and so which may be dropped.
struct ScorePlan {
  // The ranked first `keep` (at least 1) are wanted, besides the best.
  std::size_t keep = 1;
  // Only the best is wanted (no ranking follows).
  bool only_best = false;
  // The smallest error known before the level (+inf when none).
  double least;
  // Once an error is at most this, only the best is wanted.
  double goal;
  // Candidates per chunk, at least keep.
  std::size_t chunk = 1;
  // When set, candidates that may still enter the Pareto front are wanted
  // too: Front::loss_bounds() of the front so far. A candidate of
  // complexity c is then dropped only past max(bound, P(c) × factor(c)).
  const std::vector<double>* front_bounds = nullptr;
  // Off: nothing is dropped.
  bool drop = true;
  // Told after each chunk (optional).
  ChunkDone on_chunk;
};

// Scores op(a, b) of every candidate from its operands' output columns.
//
// Chunks are scored in order, each in parallel. Once some `keep` records are
// known, the largest of the keep smallest errors bounds the rest: a
// candidate known to exceed it can be neither among the first keep ranked
// nor the best, so it is dropped as soon as its partial error shows it.
// After each chunk the bound tightens to the keep-th smallest error among
// all records so far (any keep finished records give a valid bound, so the
// outcome does not depend on chunking). When only the best is wanted, the
// bound is the smallest error known, `least` included.
//
// Dropped candidates are not ok; every candidate that can be among the
// first keep ranked, beat `least` or enter the front is scored exactly.
//
// A stop (vek::Interrupted, from a checkpoint or plan.on_chunk) returns the
// scores of the chunks finished before it, cut (Scores::cut).
Scores score_candidates(const Beam& beam, const std::vector<Cand>& cands, const Target& target, double penalty,
                        const ScorePlan& plan);

// Scores whole expressions by plain evaluation on the data (the leaves).
// ok when the expression evaluates on every row; nothing is dropped.
Scores score_exprs(const std::vector<Expr>& exprs, const std::vector<std::vector<double>>& columns,
                   const Target& target, double penalty);

}  // namespace vek::discover

// The formula-discovery beam search.
//
// Leaves (0, 1 and one variable per column) are scored first; then each
// expansion level applies every unary operator to the beam members and every
// binary operator to pairs of members within the node budget, drops every
// candidate whose fingerprint was met before, scores the rest by penalised
// root-mean-square error, and appends the best quarter-beam to the beam.
//
// The result equals that of the plain level-by-level procedure bit for bit,
// whatever the thread count. To get there fast, candidates are handled as
// (operator, operand, operand) descriptors evaluated from cached operand
// values (probe values for fingerprints, output columns for scoring), and
// only the candidates that can be new at a level are generated at all.
//
// The parts: ops.hpp (the operator table), engine.hpp (the level loop and
// selection, shared with the search with fitted constants), beam.hpp
// (members, their cached values and the candidate record), generate.hpp
// (candidates and dedup), score.hpp (bounded scoring; row kernels in
// row_ops.hpp, the error in penalised.hpp), rank.hpp (the ranking order),
// front.hpp (the Pareto front of search_front).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "vek/discover/expr.hpp"

namespace vek::discover {

struct SearchConfig {
  std::uint64_t max_complexity = 8;   // node budget; max_complexity - 1 expansion levels
  std::uint64_t beam_width = 2000;    // each level's ranked results are cut to this; a quarter joins the beam
  double precision_goal = 1e-10;      // stop once the best error is at most this
  bool use_trig = true;               // Sin and Cos among the unary operators
  bool use_vek = true;                // Vek among the binary operators
  double complexity_penalty = 0.001;  // error = rmse * (penalty * complexity + 1)
  // The operators offered, in this order, instead of the table's defaults
  // (use_trig and use_vek then do not apply); unary and binary ones.
  std::optional<std::vector<Op>> unary_ops;
  std::optional<std::vector<Op>> binary_ops;
  // Beam members of an earlier search (SearchOutcome::beam), to continue
  // it: each joins the beam after the leaves when its fingerprint is new,
  // it fits the node budget and the search can hold its constants, and is
  // scored with the leaves.
  std::vector<std::vector<Node>> seed;
  // Bytes the search may hold (its tracked structures: the seen-set, the
  // beam and a level's candidates with their scores). A level whose
  // candidates would pass it keeps the first of them in generation order
  // that fit, and the search ends after it (SearchOutcome::memory_limited).
  // The default sets no bound.
  std::size_t memory_limit = SIZE_MAX;
  // Row weights of the target, one per row, none negative (empty: every row
  // weighs 1): the loss is then the weighted RMSE, and every fit of
  // constants is weighted least squares (score.hpp: Target).
  std::vector<double> weights{};
};

// One scored candidate.
struct SearchResult {
  std::string formula;         // Expr::to_string() of the candidate
  std::vector<double> params;  // optimizer output (empty: the search has no Param nodes)
  Expr expr;
  double error = 0.0;            // penalised error
  std::uint64_t complexity = 0;  // node count
  double loss = 0.0;             // plain RMSE (error = loss × (penalty × complexity + 1))
};

// The record of a formula's nodes: its params (the Param values in postfix
// order), text and complexity, with the given error and loss.
SearchResult record_of(std::vector<Node> nodes, double error, double loss);

// Reported after each scored level. Counts are those of that level:
// generated = candidates built, fingerprinted = those with a fingerprint,
// scored = those with a new fingerprint, evaluated on the data.
struct LevelInfo {
  std::size_t level;  // 0 for the leaves
  std::size_t generated;
  std::size_t fingerprinted;
  std::size_t scored;
  const SearchResult* best;  // null while nothing could be scored
};

// Reported while a level is scored, on the calling thread, at most every
// kProgressInterval.
struct ProgressInfo {
  std::size_t level;
  std::size_t done;   // candidates scored so far, a prefix of the level's
  std::size_t total;  // the level's candidates
  double best_loss;   // the smallest loss scored so far (NaN while none)
};

inline constexpr std::chrono::milliseconds kProgressInterval{200};

struct RemoteLevel;  // remote.hpp

struct SearchHooks {
  // Asked on the calling thread between levels and every few milliseconds
  // of work within one; when it returns false the search throws
  // vek::Interrupted. Optional: without it, a stop source installed by the
  // caller (vek/common/stop.hpp) is honoured.
  std::function<bool()> keep_going;
  // Called after each scored level (leaf level = 0). Optional.
  std::function<void(const LevelInfo&)> on_level;
  // Called while a level is scored. Optional; it may throw vek::Interrupted
  // to stop the search.
  std::function<void(const ProgressInfo&)> on_progress;
  // The search with fitted constants hands each expansion level's cheap
  // scoring to it (remote.hpp: LevelScorer). Optional.
  std::function<std::optional<std::string>(const RemoteLevel&)> score_level;
};

// Totals over the whole call. `levels` counts scored levels, the leaf level
// included; `peak_seen` is the final size of the seen-set (it only grows).
// Candidates that cannot be new at their level are never built, so
// `generated` counts only the candidates actually considered.
//
// `peak_bytes` is the largest count of tracked bytes (see
// SearchConfig::memory_limit) the search reached.
struct SearchStats {
  std::size_t generated = 0, fingerprinted = 0, scored = 0, levels = 0;
  std::size_t peak_seen = 0;
  std::size_t peak_bytes = 0;
};

// The memory limit of a search when the caller sets none: a quarter of the
// physical memory, at most kDefaultMemoryCap (also when the system does not
// say). Searches of the default width hold a few tens of MB; only very wide
// beams come near it.
inline constexpr std::size_t kDefaultMemoryCap = std::size_t{2} << 30;
std::size_t default_memory_limit() noexcept;

// Runs the search over `columns` (one per variable, the first giving the row
// count; none may be shorter, else vek::Panic) against `target`. Returns the
// best record scored, or nullopt when nothing could be scored. Throws
// vek::Interrupted when hooks->keep_going says stop; frees everything then.
std::optional<SearchResult> search(const std::vector<std::vector<double>>& columns, const std::vector<double>& target,
                                   const SearchConfig& config, const SearchHooks* hooks = nullptr,
                                   SearchStats* stats = nullptr);

// What search_front returns.
struct SearchOutcome {
  std::optional<SearchResult> best;  // as search() would return it (when not stopped)
  // The Pareto front over every candidate scored (front.hpp), by increasing
  // complexity and strictly falling loss.
  std::vector<SearchResult> front;
  // The search was stopped (vek::Interrupted, or memory ran out): best,
  // front and stats are those of the levels finished before and, after a
  // stop by vek::Interrupted, of the candidates the unfinished level had
  // scored (a prefix in generation order).
  bool stopped = false;
  bool out_of_memory = false;  // the stop was memory running out
  // The last level was cut to config.memory_limit and the search ended
  // after it (not a stop: that level's prefix was scored in full).
  bool memory_limited = false;
  // The best was selected by cross-validation on noisy observations
  // (validate.hpp): it stands, whatever formula of the front the penalised
  // error would take.
  bool validated = false;
  SearchStats stats;
  // The beam's members beyond the single-node leaves, in the order they
  // joined, with their constants as fitted: a seed for a later search.
  std::vector<std::vector<Node>> beam;
};

// search() with its Pareto front: the same candidates, the same beam and
// the same best record, plus the front; a stop (vek::Interrupted, from the
// caller's stop source, hooks->keep_going or hooks->on_level) or memory
// running out (std::bad_alloc) ends it with stopped = true instead of
// throwing.
SearchOutcome search_front(const std::vector<std::vector<double>>& columns, const std::vector<double>& target,
                           const SearchConfig& config, const SearchHooks* hooks = nullptr);

namespace detail {

// Internal knobs of the engine. None changes a result, only the work done;
// tests turn them to reach paths that the defaults take only on big inputs.
struct Tuning {
  // Output columns of beam members are cached up to this many bytes in
  // total; members beyond it are re-evaluated whenever a candidate reads them.
  std::size_t column_cache_bytes = std::size_t{1} << 30;
  // Candidates are scored in chunks of at least this many; the bound used to
  // drop hopeless candidates tightens after each chunk.
  std::size_t score_chunk = 1024;
  // Hopeless candidates stop scoring early (off: every candidate is scored
  // in full).
  bool drop_hopeless = true;
};

std::optional<SearchResult> search_tuned(const std::vector<std::vector<double>>& columns,
                                         const std::vector<double>& target, const SearchConfig& config,
                                         const SearchHooks* hooks, SearchStats* stats, const Tuning& tuning);

SearchOutcome search_front_tuned(const std::vector<std::vector<double>>& columns, const std::vector<double>& target,
                                 const SearchConfig& config, const SearchHooks* hooks, const Tuning& tuning);

}  // namespace detail

}  // namespace vek::discover

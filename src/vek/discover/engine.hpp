// The one search engine: the level loop, the caller's stop source, the
// selection of the best record, the Pareto front, the beam's growth and the
// per-level reports. A mode supplies only its candidates and their scores:
//
//   mode.beam_size()                     members so far
//   mode.leaves(seen, scores) -> Level   scores the leaf level (and adds the
//                                        leaves that join to the beam)
//   mode.expand(new_begin, seen) -> Level  builds a level's new candidates
//   mode.score(plan, scores)             scores them
//   mode.complexity(i), mode.record(i, scores)
//                                        the current level's candidate i
//   mode.join(ranked)                    adds chosen candidates to the beam
//   mode.goal(), mode.floor()            the precision goal and the loss
//                                        floor, in the units scores are in
//   mode.ends_search(i)                  (optional) whether candidate i
//                                        meeting the goal ends the search;
//                                        without it, the best meeting it does
//   Mode::kSimplestWins                  equal ranks go to the simpler
//                                        candidate (else to the earlier)
//   mode.joins(i)                        (optional) whether candidate i can
//                                        join the beam (else every one can)
//   mode.finish(outcome)                 (optional) a last pass over the
//                                        best record and the front
//   mode.loss_unit()                     what a score's loss is multiplied
//                                        by to be in the caller's units
//   mode.tracked_bytes()                 bytes the mode holds between
//                                        levels (the beam)
//   mode.growth_bytes(n)                 what they may grow by when n
//                                        candidates join the beam
//   Mode::kCandidateBytes                bytes one candidate of a level
//                                        costs until the level ends
//
// Anytime levels: a stop while a level is scored keeps the candidates of
// the chunks finished before it (score.hpp): they are selected and merged
// into the front like a whole level's, then the search ends stopped.
//
// Memory: expand() gets the number of new candidates that fit the memory
// limit besides what the seen-set and the beam hold; a level cut to that
// many is scored, and the search ends after it.
#pragma once

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "vek/common/dispose.hpp"
#include "vek/common/panic.hpp"
#include "vek/common/stop.hpp"
#include "vek/discover/front.hpp"
#include "vek/discover/rank.hpp"
#include "vek/discover/score.hpp"
#include "vek/discover/search.hpp"
#include "vek/discover/seen_set.hpp"

namespace vek::discover {

// A level's counts as its mode built it.
struct Level {
  std::size_t generated = 0;      // candidates built
  std::size_t fingerprinted = 0;  // those with a fingerprint
  std::size_t candidates = 0;     // those with a new fingerprint: the level's candidates
  bool cut = false;               // more were new, past the memory limit
};

// A seen-set at least this large is freed on another thread: freeing
// millions of nodes one by one would delay the caller (a stop's return).
inline constexpr std::size_t kDisposeSeenFrom = std::size_t{1} << 16;

template <class Mode>
class Engine {
 public:
  // With a front, every candidate that may enter it is scored exactly and
  // the front is kept up to date after each level.
  Engine(Mode& mode, const std::vector<std::vector<double>>& columns, const SearchConfig& config,
         const SearchHooks* hooks, SearchStats* stats, Front* front)
      : mode_(mode), columns_(columns), config_(config), hooks_(hooks), stats_(stats), front_(front) {}
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
  ~Engine() {
    if (seen_->size() >= kDisposeSeenFrom) dispose_later(std::move(seen_));
  }

  // Checks the data (none may be shorter than the first column, else
  // vek::Panic), scores the leaves, then expands level by level until the
  // budget, the precision goal or a level without new candidates ends it.
  // Throws vek::Interrupted when the stop source says stop.
  void run() {
    if (columns_.empty()) panic("search: no data columns");
    for (const auto& c : columns_) {
      if (c.size() < columns_[0].size()) panic("search: a data column is shorter than the first");
    }
    if (stats_ != nullptr) *stats_ = SearchStats{};

    // The caller's keep_going, when given, decides stops for this search;
    // otherwise a source the caller installed (if any) does.
    std::optional<StopSource> own;
    if (hooks_ != nullptr && hooks_->keep_going) own.emplace(hooks_->keep_going);
    StopScope scope(own ? &*own : current_stop());

    {
      Scores scores;
      const Level g = mode_.leaves(*seen_, scores);
      select(scores);
      report(0, g, scores.size());
    }
    if (goal_met() || config_.max_complexity < 2) return;
    std::size_t new_begin = 0;
    for (std::uint64_t level = 1; level < config_.max_complexity; ++level) {
      if (StopSource* s = current_stop()) s->poll_now();  // between levels: ask now
      const std::size_t before = mode_.beam_size();
      if (!expansion_level(static_cast<std::size_t>(level), new_begin)) break;
      new_begin = before;
    }
  }

  // The last level was cut to the memory limit.
  bool memory_limited() const { return memory_limited_; }

  // The best record. After a stop: that of the levels finished.
  std::optional<SearchResult> take_best() { return std::exchange(best_, std::nullopt); }

  // run(), with a stop (vek::Interrupted) or running out of memory ending
  // it early: out gets the best record and the front of the levels
  // finished, marked stopped.
  void run_into(SearchOutcome& out) {
    try {
      run();
    } catch (const Interrupted&) {
      out.stopped = true;
    } catch (const std::bad_alloc&) {
      out.stopped = true;
      out.out_of_memory = true;
    }
    out.memory_limited = memory_limited_;
    out.best = take_best();
    if (front_ != nullptr) out.front = front_->take();
    if constexpr (requires { mode_.finish(out); }) mode_.finish(out);
  }

 private:
  // One expansion level; returns false when the search ends after it.
  bool expansion_level(std::size_t level, std::size_t new_begin) {
    const std::uint64_t quarter = config_.beam_width / 4;
    const Level g = mode_.expand(new_begin, *seen_, room(static_cast<std::size_t>(quarter)));
    track(g.candidates);
    if (g.candidates == 0) {
      count(g);
      memory_limited_ = g.cut;
      return false;
    }
    if (g.candidates > std::numeric_limits<std::uint32_t>::max()) panic("search: too many candidates in one level");
    const bool last_level = level + 1 >= config_.max_complexity;

    std::vector<double> front_bounds;
    if (front_ != nullptr) front_bounds = front_->loss_bounds();
    Scores scores;
    ScorePlan p = plan(last_level, g.candidates, front_ != nullptr ? &front_bounds : nullptr);
    if (hooks_ != nullptr && hooks_->on_progress) {
      next_tick_ = std::chrono::steady_clock::now() + kProgressInterval;
      p.on_chunk = [this, level, total = g.candidates](std::size_t done, double least) {
        tick(level, done, total, least);
      };
    }
    mode_.score(std::move(p), scores);
    select(scores);
    if (scores.stopped) {
      // The finished prefix counts as scored; the level does not count as
      // finished, and the search ends as stopped.
      count(g);
      if (stats_ != nullptr) stats_->scored += scores.size();
      throw Interrupted();
    }
    report(level, g, g.candidates);
    if (goal_met() || last_level || g.cut) {
      memory_limited_ = g.cut && !goal_met();
      return false;
    }
    extend(scores);
    track(g.candidates);  // the new members, the level's candidates still held
    return true;
  }

  // How many new candidates the next level may have: those that fit the
  // memory limit besides the seen-set, the mode's own structures and their
  // growth when `joining` members join, each candidate with its seen-set
  // key.
  std::size_t room(std::size_t joining) const {
    const std::size_t held = held_bytes() + mode_.growth_bytes(joining);
    if (held >= config_.memory_limit) return 0;
    return (config_.memory_limit - held) / (Mode::kCandidateBytes + SeenSet::kBytesPerKey);
  }
  std::size_t held_bytes() const { return seen_->size() * SeenSet::kBytesPerKey + mode_.tracked_bytes(); }
  // The tracked bytes with a level of `candidates` (their keys are in the
  // seen-set already).
  void track(std::size_t candidates) {
    if (stats_ == nullptr) return;
    stats_->peak_bytes = std::max(stats_->peak_bytes, held_bytes() + candidates * Mode::kCandidateBytes);
  }

  // The in-level progress report, at most every kProgressInterval.
  void tick(std::size_t level, std::size_t done, std::size_t total, double least) {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_tick_) return;
    next_tick_ = now + kProgressInterval;
    double best = least * mode_.loss_unit();
    if (least_loss_ < best || std::isnan(best)) best = least_loss_;
    if (std::isinf(best)) best = std::numeric_limits<double>::quiet_NaN();
    hooks_->on_progress(ProgressInfo{level, done, total, best});
  }

  ScorePlan plan(bool last_level, std::size_t count, const std::vector<double>* front_bounds) const {
    // Ranking is not needed at the last level (the beam is not used again),
    // nor once a record meets the precision goal (the search ends with this
    // level). Then only the best matters.
    const std::uint64_t quarter = config_.beam_width / 4;
    ScorePlan p;
    p.only_best = last_level || quarter == 0;
    p.keep = p.only_best ? 1 : static_cast<std::size_t>(std::min<std::uint64_t>(quarter, count));
    p.least = best_ && !std::isnan(best_error_) ? best_error_ : std::numeric_limits<double>::infinity();
    p.goal = mode_.goal();
    p.front_bounds = front_bounds;
    return p;
  }

  std::uint32_t tie(std::size_t i) const {
    if constexpr (Mode::kSimplestWins) {
      return static_cast<std::uint32_t>(std::min<std::uint64_t>(mode_.complexity(i), 0xFFFFFFFFu));
    } else {
      return 0;
    }
  }

  // The level's best record, when one of its candidates beats the best so
  // far: strictly smaller ranks (or, where the simplest wins, equal ranks of
  // fewer nodes) only, so earlier ones win ties and a NaN never replaces
  // anything; then the front.
  void select(const Scores& scores) {
    std::optional<std::size_t> winner;
    bool have = best_.has_value();
    double rank = best_rank_;
    std::uint32_t cx = best_tie_;
    for (std::size_t i = 0; i < scores.size(); ++i) {
      if (!scores.ok[i]) continue;
      const double r = scores.rank_of(i);
      if (have && !(r < rank) && !(Mode::kSimplestWins && r == rank && tie(i) < cx)) continue;
      winner = i;
      rank = r;
      cx = tie(i);
      have = true;
    }
    for (std::size_t i = 0; i < scores.size(); ++i) {
      if (scores.ok[i] && scores.loss[i] * mode_.loss_unit() < least_loss_) {
        least_loss_ = scores.loss[i] * mode_.loss_unit();
      }
    }
    if (winner) {
      best_ = mode_.record(*winner, scores);
      best_rank_ = rank;
      best_tie_ = cx;
      best_error_ = scores.error[*winner];
    }
    if constexpr (requires { mode_.ends_search(std::size_t{0}); }) {
      for (std::size_t i = 0; i < scores.size() && !goal_met_; ++i) {
        goal_met_ = scores.ok[i] && scores.error[i] <= mode_.goal() && mode_.ends_search(i);
      }
    } else {
      goal_met_ = best_ && best_error_ <= mode_.goal();
    }
    if (front_ != nullptr) {
      front_->merge(
          scores, [&](std::size_t i) { return mode_.complexity(i); },
          [&](std::size_t i) { return mode_.record(i, scores); });
    }
  }

  // The first beam_width / 4 of the level's records in rank order join the
  // beam.
  void extend(const Scores& scores) {
    std::vector<Ranked> records;
    records.reserve(scores.size());
    for (std::size_t i = 0; i < scores.size(); ++i) {
      if (!scores.ok[i]) continue;
      if constexpr (requires { mode_.joins(i); }) {
        if (!mode_.joins(i)) continue;  // it cannot join: it takes no place of the quarter
      }
      records.push_back(Ranked{scores.rank_of(i), tie(i), static_cast<std::uint32_t>(i)});
    }
    const std::uint64_t quarter = config_.beam_width / 4;
    keep_first_ranked(records, static_cast<std::size_t>(std::min<std::uint64_t>(quarter, records.size())));
    if (mode_.beam_size() + records.size() > std::numeric_limits<std::uint32_t>::max()) {
      panic("search: beam too large");
    }
    mode_.join(records);
  }

  bool goal_met() const { return goal_met_; }

  void count(const Level& g) {
    if (stats_ == nullptr) return;
    stats_->generated += g.generated;
    stats_->fingerprinted += g.fingerprinted;
    stats_->peak_seen = seen_->size();
  }
  void report(std::size_t level, const Level& g, std::size_t scored) {
    count(g);
    if (stats_ != nullptr) {
      stats_->scored += scored;
      stats_->levels += 1;
    }
    if (hooks_ != nullptr && hooks_->on_level) {
      hooks_->on_level(LevelInfo{level, g.generated, g.fingerprinted, scored, best_ ? &*best_ : nullptr});
    }
  }

  Mode& mode_;
  const std::vector<std::vector<double>>& columns_;
  const SearchConfig& config_;
  const SearchHooks* hooks_;
  SearchStats* stats_;
  Front* front_;
  std::unique_ptr<SeenSet> seen_ = std::make_unique<SeenSet>();
  std::optional<SearchResult> best_;
  double best_rank_ = 0.0;                                       // what best_ ranks by
  std::uint32_t best_tie_ = 0;                                   // and its tie-break
  double best_error_ = 0.0;                                      // its error as scored
  bool goal_met_ = false;                                        // a candidate that ends the search met the goal
  bool memory_limited_ = false;                                  // the last level was cut to the memory limit
  double least_loss_ = std::numeric_limits<double>::infinity();  // in the caller's units
  std::chrono::steady_clock::time_point next_tick_;
};

}  // namespace vek::discover

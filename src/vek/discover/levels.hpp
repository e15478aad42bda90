// What every search engine shares: the level loop, the caller's stop source,
// the best record so far, the seen-set and the per-level reports.
//
// An engine derives from LevelLoop<Engine> and provides leaf_level(),
// expansion_level(level, new_begin) (false: the search ends after it) and
// beam_size(); run() calls them in the algorithm's order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "vek/common/panic.hpp"
#include "vek/common/stop.hpp"
#include "vek/discover/front.hpp"
#include "vek/discover/search.hpp"
#include "vek/discover/seen_set.hpp"

namespace vek::discover {

template <class Engine>
class LevelLoop {
 public:
  LevelLoop(const std::vector<std::vector<double>>& columns, const SearchConfig& config, const SearchHooks* hooks,
            SearchStats* stats)
      : columns_(columns), config_(config), hooks_(hooks), stats_(stats) {}

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

    Engine& engine = static_cast<Engine&>(*this);
    engine.leaf_level();
    if (goal_met() || config_.max_complexity < 2) return;
    std::size_t new_begin = 0;
    for (std::uint64_t level = 1; level < config_.max_complexity; ++level) {
      if (StopSource* s = current_stop()) s->poll_now();  // between levels: ask now
      const std::size_t before = engine.beam_size();
      if (!engine.expansion_level(static_cast<std::size_t>(level), new_begin)) break;
      new_begin = before;
    }
  }

  // The best record. After vek::Interrupted: that of the levels finished.
  std::optional<SearchResult> take_best() { return std::exchange(best_, std::nullopt); }

  // run() for an engine made with &out.stats and &front: a stop ends it
  // early, and out gets the best record and the front of the levels
  // finished, marked stopped.
  void run_into(SearchOutcome& out, Front& front) {
    try {
      run();
    } catch (const Interrupted&) {
      out.stopped = true;
    }
    out.best = take_best();
    out.front = front.take();
  }

 protected:
  // g: a level's generation counts (generated, fingerprinted).
  template <class G>
  void count(const G& g) {
    if (stats_ == nullptr) return;
    stats_->generated += g.generated;
    stats_->fingerprinted += g.fingerprinted;
    stats_->peak_seen = seen_.size();
  }
  template <class G>
  void report(std::size_t level, const G& g, std::size_t scored) {
    count(g);
    if (stats_ != nullptr) {
      stats_->scored += scored;
      stats_->levels += 1;
    }
    if (hooks_ != nullptr && hooks_->on_level) {
      hooks_->on_level(LevelInfo{level, g.generated, g.fingerprinted, scored, best_ ? &*best_ : nullptr});
    }
  }
  bool goal_met() const { return best_ && best_->error <= config_.precision_goal; }

  const std::vector<std::vector<double>>& columns_;
  const SearchConfig& config_;
  const SearchHooks* hooks_;
  SearchStats* stats_;
  SeenSet seen_;
  std::optional<SearchResult> best_;
};

}  // namespace vek::discover

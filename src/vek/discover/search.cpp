#include "vek/discover/search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include <unistd.h>

#include "vek/common/panic.hpp"
#include "vek/common/stop.hpp"
#include "vek/discover/beam.hpp"
#include "vek/discover/engine.hpp"
#include "vek/discover/fingerprint.hpp"
#include "vek/discover/front.hpp"
#include "vek/discover/generate.hpp"
#include "vek/discover/rank.hpp"
#include "vek/discover/score.hpp"
#include "vek/discover/seen_set.hpp"

namespace vek::discover {

namespace {

// The plain search: leaves 0, 1 and the variables; every operator over the
// beam members; scored by penalised error with hopeless candidates dropped.
class PlainMode {
 public:
  static constexpr bool kSimplestWins = false;
  // The candidate (with room for its vector to grow), its scores and its
  // ranked record.
  static constexpr std::size_t kCandidateBytes = 2 * sizeof(Cand) + 2 * sizeof(double) + 1 + sizeof(Ranked);

  PlainMode(const std::vector<std::vector<double>>& columns, const std::vector<double>& target,
            const SearchConfig& config, const detail::Tuning& tuning)
      : columns_(columns),
        config_(config),
        chunk_min_(std::max<std::size_t>(1, tuning.score_chunk)),
        drop_(tuning.drop_hopeless),
        ops_(Operators::of(config)),
        beam_(columns, std::min(tuning.column_cache_bytes, config.memory_limit / 2)),
        target_(target_of(target.data(), std::min(beam_.rows(), target.size()), target.size(), config.weights)) {}

  std::size_t beam_size() const { return beam_.size(); }
  double goal() const { return config_.precision_goal; }
  double loss_unit() const { return 1.0; }
  std::size_t tracked_bytes() const { return beam_.bytes(); }
  std::size_t growth_bytes(std::size_t n) const {
    return beam_.growth_bytes(n, static_cast<std::size_t>(std::min<std::uint64_t>(config_.max_complexity, 1024) + 8));
  }

  // The leaves 0, 1 and one variable each, in this order; those whose
  // fingerprint is new are scored and join the beam.
  Level leaves(SeenSet& seen, Scores& scores) {
    Level g;
    std::vector<Probes> probes;
    const auto offer = [&](Expr e, const Probes& p) {
      ++g.generated;
      for (double v : p) {
        if (!std::isfinite(v)) return;
      }
      ++g.fingerprinted;
      if (seen.insert(probe_bits(p))) return;
      leaves_.push_back(std::move(e));
      probes.push_back(p);
    };
    for (const double c : {0.0, 1.0}) {
      Probes p;
      p.fill(c);
      offer(Expr{{Node::constant(c)}}, p);
    }
    for (std::size_t i = 0; i < columns_.size(); ++i) {
      Probes p;
      for (std::size_t k = 0; k < kProbeCount; ++k) p[k] = probe_value(k, i);
      offer(Expr{{Node::var(i)}}, p);
      checkpoint();
    }
    // Members of an earlier search: formulas within the budget whose only
    // constants are 0 and 1.
    for (const std::vector<Node>& nodes : config_.seed) {
      checkpoint();
      if (nodes.size() < 2 || complexity_of(nodes) > config_.max_complexity || !seed_fits(nodes, columns_.size(), 0)) {
        continue;
      }
      Expr e{nodes};
      Probes p;
      for (std::size_t k = 0; k < kProbeCount; ++k) {
        std::vector<double> point(columns_.size());
        for (std::size_t i = 0; i < point.size(); ++i) point[i] = probe_value(k, i);
        p[k] = e.eval(point, {}).value_or(std::numeric_limits<double>::quiet_NaN());
      }
      offer(std::move(e), p);
    }
    g.candidates = leaves_.size();
    scores = score_exprs(leaves_, columns_, target_, config_.complexity_penalty);
    for (std::size_t i = 0; i < leaves_.size(); ++i) {
      if (leaves_[i].nodes.size() == 1) {
        beam_.add_leaf(leaves_[i], probes[i]);
      } else if (scores.ok[i]) {
        auto values = leaves_[i].eval_batch(columns_, {});
        if (!values) panic("search: a scored seed no longer evaluates");
        beam_.add_shape(leaves_[i], probes[i], std::move(*values));
      }
    }
    return g;
  }

  // The beam, to continue this search later.
  void finish(SearchOutcome& out) const { out.beam = beam_.shapes(); }

  Level expand(std::size_t new_begin, SeenSet& seen, std::size_t room) {
    leaves_.clear();
    std::vector<Cand>().swap(cands_);  // the last level's, freed before this one grows
    Generated g = generate(beam_, new_begin, ops_, config_.max_complexity, seen, room);
    cands_ = std::move(g.survivors);
    return Level{g.generated, g.fingerprinted, cands_.size(), g.cut};
  }

  void score(ScorePlan plan, Scores& out) {
    plan.chunk = chunk_min_;
    plan.drop = drop_;
    out = score_candidates(beam_, cands_, target_, config_.complexity_penalty, plan);
  }

  std::uint64_t complexity(std::size_t i) const {
    return leaves_.empty() ? beam_.complexity(cands_[i]) : leaves_[i].complexity();
  }

  SearchResult record(std::size_t i, const Scores& s) const {
    return record_of(leaves_.empty() ? beam_.compose(cands_[i]).nodes : leaves_[i].nodes, s.error[i], s.loss[i]);
  }

  void join(const std::vector<Ranked>& joining) {
    beam_.reserve(beam_.size() + joining.size());
    StopSource* const stop = current_stop();
    for (const Ranked& r : joining) {
      checkpoint(stop, beam_.rows());
      const Cand& c = cands_[r.index];
      Probes p;
      if (!beam_.probe(c, p)) panic("search: a scored candidate lost its fingerprint");
      beam_.add(c, beam_.compose(c).nodes, p);
    }
  }

 private:
  const std::vector<std::vector<double>>& columns_;
  const SearchConfig& config_;
  const std::size_t chunk_min_;
  const bool drop_;
  const Operators ops_;
  Beam beam_;
  const Target target_;
  std::vector<Expr> leaves_;  // the leaf level's candidates (empty after it)
  std::vector<Cand> cands_;   // the current expansion level's
};

}  // namespace

std::size_t default_memory_limit() noexcept {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page <= 0) return kDefaultMemoryCap;
  return std::min(static_cast<std::size_t>(pages) / 4 * static_cast<std::size_t>(page), kDefaultMemoryCap);
}

SearchResult record_of(std::vector<Node> nodes, double error, double loss) {
  SearchResult r;
  r.params = param_values(nodes);
  r.expr.nodes = std::move(nodes);
  r.formula = r.expr.to_string();
  r.complexity = r.expr.complexity();
  r.error = error;
  r.loss = loss;
  return r;
}

std::optional<SearchResult> search(const std::vector<std::vector<double>>& columns, const std::vector<double>& target,
                                   const SearchConfig& config, const SearchHooks* hooks, SearchStats* stats) {
  return detail::search_tuned(columns, target, config, hooks, stats, detail::Tuning{});
}

SearchOutcome search_front(const std::vector<std::vector<double>>& columns, const std::vector<double>& target,
                           const SearchConfig& config, const SearchHooks* hooks) {
  return detail::search_front_tuned(columns, target, config, hooks, detail::Tuning{});
}

namespace detail {

std::optional<SearchResult> search_tuned(const std::vector<std::vector<double>>& columns,
                                         const std::vector<double>& target, const SearchConfig& config,
                                         const SearchHooks* hooks, SearchStats* stats, const Tuning& tuning) {
  PlainMode mode(columns, target, config, tuning);
  Engine<PlainMode> engine(mode, columns, config, hooks, stats, nullptr);
  engine.run();
  return engine.take_best();
}

SearchOutcome search_front_tuned(const std::vector<std::vector<double>>& columns, const std::vector<double>& target,
                                 const SearchConfig& config, const SearchHooks* hooks, const Tuning& tuning) {
  SearchOutcome out;
  Front front;
  PlainMode mode(columns, target, config, tuning);
  Engine<PlainMode> engine(mode, columns, config, hooks, &out.stats, &front);
  engine.run_into(out);
  return out;
}

}  // namespace detail

}  // namespace vek::discover

#include "vek/discover/search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "vek/common/panic.hpp"
#include "vek/common/stop.hpp"
#include "vek/discover/beam.hpp"
#include "vek/discover/fingerprint.hpp"
#include "vek/discover/front.hpp"
#include "vek/discover/generate.hpp"
#include "vek/discover/levels.hpp"
#include "vek/discover/rank.hpp"
#include "vek/discover/score.hpp"
#include "vek/discover/seen_set.hpp"

namespace vek::discover {

namespace {

SearchResult make_result(Expr expr, double error, double loss) {
  SearchResult r;
  r.formula = expr.to_string();
  r.complexity = expr.complexity();
  r.expr = std::move(expr);
  r.error = error;
  r.loss = loss;
  return r;
}

class Engine : public LevelLoop<Engine> {
 public:
  // With a front, every candidate that may enter it is scored exactly and
  // the front is kept up to date after each level.
  Engine(const std::vector<std::vector<double>>& columns, const std::vector<double>& target,
         const SearchConfig& config, const SearchHooks* hooks, SearchStats* stats, Front* front,
         const detail::Tuning& tuning)
      : LevelLoop(columns, config, hooks, stats),
        front_(front),
        chunk_min_(std::max<std::size_t>(1, tuning.score_chunk)),
        drop_(tuning.drop_hopeless),
        ops_(Operators::of(config.use_trig, config.use_vek)),
        beam_(columns, tuning.column_cache_bytes),
        target_{target.data(), std::min(beam_.rows(), target.size()), static_cast<double>(target.size())} {}

 private:
  friend class LevelLoop<Engine>;
  std::size_t beam_size() const { return beam_.size(); }
  void leaf_level();
  // One expansion level; returns false when the search ends after it.
  bool expansion_level(std::size_t level, std::size_t new_begin);

  ScorePlan plan(bool last_level, std::size_t count, const std::vector<double>* front_bounds) const;
  // The level's best record, when one of its candidates beats the best so
  // far: strictly smaller errors only, so earlier ones win ties and a NaN
  // never replaces anything.
  void pick_best(const std::vector<Cand>& cands, const Scores& scores);
  // Merges the level's scored candidates into the front (when kept).
  void update_front(const std::vector<Cand>& cands, const Scores& scores);
  // The first beam_width / 4 of the level's records in rank order.
  std::vector<Ranked> rank(const Scores& scores) const;
  void extend_beam(const std::vector<Cand>& cands, const std::vector<Ranked>& joining);


  Front* front_;
  const std::size_t chunk_min_;
  const bool drop_;
  const Operators ops_;

  Beam beam_;
  const Target target_;
};

void Engine::leaf_level() {
  // The leaves 0, 1 and one variable each, in this order; those whose
  // fingerprint is new are scored and join the beam.
  Generated g;
  std::vector<Expr> leaves;
  std::vector<Probes> probes;
  const auto offer = [&](Expr e, const Probes& p) {
    ++g.generated;
    for (double v : p) {
      if (!std::isfinite(v)) return;
    }
    ++g.fingerprinted;
    if (seen_.insert(probe_bits(p))) return;
    leaves.push_back(std::move(e));
    probes.push_back(p);
  };
  for (const double c : {0.0, 1.0}) {
    Expr e;
    e.nodes.push_back(Node::constant(c));
    Probes p;
    p.fill(c);
    offer(std::move(e), p);
  }
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    Expr e;
    e.nodes.push_back(Node::var(i));
    e.n_vars = i + 1;
    Probes p;
    for (std::size_t k = 0; k < kProbeCount; ++k) p[k] = probe_value(k, i);
    offer(std::move(e), p);
    checkpoint();
  }

  const Scores scores = score_exprs(leaves, columns_, target_, config_.complexity_penalty);
  for (std::size_t i = 0; i < leaves.size(); ++i) {
    if (scores.ok[i] && (!best_ || scores.error[i] < best_->error)) {
      best_ = make_result(leaves[i], scores.error[i], scores.loss[i]);
    }
  }
  if (front_ != nullptr) {
    front_->merge(
        scores, [](std::size_t) { return std::uint64_t{1}; },
        [&](std::size_t i) { return make_result(leaves[i], scores.error[i], scores.loss[i]); });
  }
  report(0, g, leaves.size());

  for (std::size_t i = 0; i < leaves.size(); ++i) beam_.add_leaf(std::move(leaves[i]), probes[i]);
}

ScorePlan Engine::plan(bool last_level, std::size_t count, const std::vector<double>* front_bounds) const {
  // Ranking is not needed at the last level (the beam is not used again),
  // nor once a record meets the precision goal (the search ends with this
  // level). Then only the best matters.
  const std::uint64_t quarter = config_.beam_width / 4;
  ScorePlan p;
  p.only_best = last_level || quarter == 0;
  p.keep = p.only_best ? 1 : static_cast<std::size_t>(std::min<std::uint64_t>(quarter, count));
  p.least = best_ && !std::isnan(best_->error) ? best_->error : std::numeric_limits<double>::infinity();
  p.goal = config_.precision_goal;
  p.chunk = chunk_min_;
  p.front_bounds = front_bounds;
  p.drop = drop_;
  return p;
}

void Engine::pick_best(const std::vector<Cand>& cands, const Scores& scores) {
  std::optional<std::size_t> winner;
  bool have = best_.has_value();
  double current = have ? best_->error : 0.0;
  for (std::size_t i = 0; i < cands.size(); ++i) {
    if (!scores.ok[i]) continue;
    if (!have || scores.error[i] < current) {
      winner = i;
      current = scores.error[i];
      have = true;
    }
  }
  if (winner) best_ = make_result(beam_.compose(cands[*winner]), scores.error[*winner], scores.loss[*winner]);
}

void Engine::update_front(const std::vector<Cand>& cands, const Scores& scores) {
  if (front_ == nullptr) return;
  front_->merge(
      scores, [&](std::size_t i) { return beam_.complexity(cands[i]); },
      [&](std::size_t i) { return make_result(beam_.compose(cands[i]), scores.error[i], scores.loss[i]); });
}

std::vector<Ranked> Engine::rank(const Scores& scores) const {
  std::vector<Ranked> records;
  records.reserve(scores.ok.size());
  for (std::size_t i = 0; i < scores.ok.size(); ++i) {
    if (scores.ok[i]) records.push_back(Ranked{scores.error[i], static_cast<std::uint32_t>(i)});
  }
  const std::uint64_t quarter = config_.beam_width / 4;
  keep_first_ranked(records, static_cast<std::size_t>(std::min<std::uint64_t>(quarter, records.size())));
  return records;
}

void Engine::extend_beam(const std::vector<Cand>& cands, const std::vector<Ranked>& joining) {
  if (beam_.size() + joining.size() > std::numeric_limits<std::uint32_t>::max()) panic("search: beam too large");
  beam_.reserve(beam_.size() + joining.size());
  StopSource* const stop = current_stop();
  for (const Ranked& r : joining) {
    checkpoint(stop, beam_.rows());
    beam_.add(cands[r.index]);
  }
}

bool Engine::expansion_level(std::size_t level, std::size_t new_begin) {
  const Generated g = generate(beam_, new_begin, ops_, config_.max_complexity, seen_);
  if (g.survivors.empty()) {
    count(g);
    return false;
  }
  const std::vector<Cand>& cands = g.survivors;
  if (cands.size() > std::numeric_limits<std::uint32_t>::max()) panic("search: too many candidates in one level");
  const bool last_level = level + 1 >= config_.max_complexity;

  std::vector<double> front_bounds;
  if (front_ != nullptr) front_bounds = front_->loss_bounds();
  const Scores scores = score_candidates(beam_, cands, target_, config_.complexity_penalty,
                                         plan(last_level, cands.size(), front_ != nullptr ? &front_bounds : nullptr));
  pick_best(cands, scores);
  update_front(cands, scores);
  report(level, g, cands.size());
  if (goal_met() || last_level) return false;

  extend_beam(cands, rank(scores));
  return true;
}

}  // namespace

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
  Engine engine(columns, target, config, hooks, stats, nullptr, tuning);
  engine.run();
  return engine.take_best();
}

SearchOutcome search_front_tuned(const std::vector<std::vector<double>>& columns, const std::vector<double>& target,
                                 const SearchConfig& config, const SearchHooks* hooks, const Tuning& tuning) {
  SearchOutcome out;
  Front front;
  Engine engine(columns, target, config, hooks, &out.stats, &front, tuning);
  engine.run_into(out, front);
  return out;
}

}  // namespace detail

}  // namespace vek::discover

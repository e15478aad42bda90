#include "vek/discover/constants.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "vek/common/panic.hpp"
#include "vek/common/parallel.hpp"
#include "vek/common/stop.hpp"
#include "vek/discover/affine.hpp"
#include "vek/discover/beam.hpp"
#include "vek/discover/blocks.hpp"
#include "vek/discover/engine.hpp"
#include "vek/discover/family.hpp"
#include "vek/discover/generate.hpp"
#include "vek/discover/normalized.hpp"
#include "vek/discover/rank.hpp"
#include "vek/discover/remote.hpp"
#include "vek/discover/shape_score.hpp"
#include "vek/discover/shapes.hpp"
#include "vek/discover/snap.hpp"
#include "vek/discover/sums.hpp"

namespace vek::discover {

namespace {

using Columns = std::vector<std::vector<double>>;

constexpr std::size_t kMaxBlocks = 12;      // power blocks proposed at the leaf level
constexpr std::size_t kSumCandidates = 64;  // a level's best shapes offered as terms
constexpr std::size_t kSimplePool = 4096;   // a level's simple shapes offered as terms
constexpr std::size_t kInnerCap = 2;        // constants of a shape's own (besides a and b), at the most

// The search with fitted constants (constants.hpp).
class ConstantsMode {
 public:
  static constexpr bool kSimplestWins = true;
  // The candidate (with room for its vector to grow), its score, fitted
  // constants and the engine's scores, and its records in the rankings.
  static constexpr std::size_t kCandidateBytes =
      2 * sizeof(Cand) + sizeof(ShapeScore) + sizeof(std::vector<double>) + 3 * sizeof(double) + 2 + 3 * sizeof(Ranked);

  ConstantsMode(const Columns& columns, const std::vector<double>& target, const SearchConfig& config,
                const ConstantsConfig& constants, const detail::ConstantsTuning& tuning, const SearchHooks* hooks)
      : columns_(columns),
        config_(config),
        tuning_(tuning),
        inner_cap_(checked_inner_cap(constants.max_params)),
        max_params_(constants.max_params),
        ops_(Operators::of(config)),
        beam_(columns, std::min(tuning.column_cache_bytes, config.memory_limit / 2)),
        norm_(target, std::min(beam_.rows(), target.size())),
        target_(target_of(norm_.y.data(), std::min(beam_.rows(), target.size()), target.size(), config.weights)),
        stats_(TargetStats::of(target_, norm_.unit)),
        scorer_(beam_, columns, target_, stats_, config.complexity_penalty,
                FitBudget{tuning.cheap_evals, tuning.full_evals, tuning.polish_evals}),
        goal_(config.precision_goal * (target_.common > 0 ? std::sqrt(stats_.squares / stats_.weight) : 0.0)) {
    if (hooks != nullptr && hooks->score_level) {
      remote_ = &hooks->score_level;
      log_.emplace();
      setup_ = RemoteSetup{config.complexity_penalty,
                           FitBudget{tuning.cheap_evals, tuning.full_evals, tuning.polish_evals},
                           std::min(tuning.column_cache_bytes, config.memory_limit / 4),
                           beam_.rows(),
                           columns.size(),
                           target.size()}
                   .encode();
    }
  }

  std::size_t beam_size() const { return beam_.size(); }
  double loss_unit() const { return norm_.scale; }
  std::size_t tracked_bytes() const { return beam_.bytes(); }
  std::size_t growth_bytes(std::size_t n) const {
    return beam_.growth_bytes(n, static_cast<std::size_t>(std::min<std::uint64_t>(config_.max_complexity, 1024) + 8));
  }
  // Relative to the target's root mean square.
  double goal() const { return goal_; }
  double floor() const { return stats_.noise; }
  // A sum meeting the goal does not end the search: a simpler shape may
  // come at a later level.
  bool ends_search(std::size_t i) const { return i < base_; }

  // The constant family first (one constant: the target's mean), then each
  // variable, wrapped; the variables join the beam.
  Level leaves(SeenSet& seen, Scores& out) {
    Level g;
    ++g.generated;
    ++g.fingerprinted;
    seen.insert(ProbeBits{});
    if (target_.common > 0) {
      ShapeScore s;
      s.c = stats_.mean;
      double sse = 0.0;
      for (std::size_t i = 0; i < target_.common; ++i) {
        const double d = s.c - target_.y[i];
        sse += target_.w != nullptr ? (d * d) * target_.w[i] : d * d;
      }
      s.ok = true;
      s.loss = rmse_of(sse, target_.length);
      s.error = penalised(s.loss, complexity_factor(config_.complexity_penalty, 1));
      s.rank = stats_.rank(s.loss, complexity_factor(config_.complexity_penalty, 1));
      scores_.push_back(s);
      leaves_.push_back({Node::param(0, s.c)});
    }
    for (std::size_t i = 0; i < columns_.size(); ++i) {
      checkpoint();
      ++g.generated;
      Probes p;
      for (std::size_t k = 0; k < kProbeCount; ++k) p[k] = family_var_probe(k, i);
      ++g.fingerprinted;
      if (seen.insert(family_key(p))) continue;
      scores_.push_back(ShapeScore::of(scorer_.wrap(columns_[i].data(), 1), 0.0));
      leaves_.push_back({Node::var(i)});
      if (log_) log_->leaf(i);
      beam_.add_leaf(Expr{{Node::var(i)}}, p);
    }
    // Powers of single variables and products of a few: scored, and terms of every sum, but not
    // beam members (the beam's own products and quotients build them too,
    // and more members would crowd out others).
    for (std::vector<Node>& power : power_leaves(columns_, beam_.rows())) {
      checkpoint(beam_.rows());
      Expr e{std::move(power)};
      ++g.generated;
      auto values = e.eval_batch(columns_, {});
      if (!values) continue;
      scores_.push_back(ShapeScore::of(scorer_.wrap(values->data(), e.complexity()), 0.0));
      leaves_.push_back(e.nodes);
      terms_.push_back(std::move(*values));
      term_nodes_.push_back(std::move(e.nodes));
    }
    // Power blocks proposed from the data, beam members like the variables.
    for (std::vector<Node>& block : propose_power_blocks(columns_, target_, kMaxBlocks)) {
      checkpoint(beam_.rows());
      // Not bound by the node budget: a block is one leaf, and a law with many
      // factors needs them all.
      Expr e{std::move(block)};
      ++g.generated;
      Probes p;
      FamilyScratch scratch;
      if (!family_probes(e, columns_.size(), 0, p, scratch)) continue;
      ++g.fingerprinted;
      if (seen.insert(family_key(p))) continue;
      auto values = e.eval_batch(columns_, {});
      if (!values) continue;
      scores_.push_back(ShapeScore::of(scorer_.wrap(values->data(), e.complexity()), 0.0));
      leaves_.push_back(e.nodes);
      if (log_) log_->shape(e.nodes);
      beam_.add_shape(std::move(e), p, std::move(*values));
    }
    // Members of an earlier search, with their constants as fitted there.
    for (const std::vector<Node>& nodes : config_.seed) {
      checkpoint(beam_.rows());
      if (nodes.size() < 2 || complexity_of(nodes) > config_.max_complexity ||
          !seed_fits(nodes, columns_.size(), inner_cap_)) {
        continue;
      }
      Expr e{nodes};
      renumber_params(e.nodes);
      const std::vector<double> theta = param_values(e.nodes);
      ++g.generated;
      Probes p;
      FamilyScratch scratch;
      if (!family_probes(e, columns_.size(), theta.size(), p, scratch)) continue;
      ++g.fingerprinted;
      if (seen.insert(family_key(p))) continue;
      auto values = e.eval_batch(columns_, theta);
      if (!values) continue;
      scores_.push_back(ShapeScore::of(scorer_.wrap(values->data(), e.complexity()), 0.0));
      leaves_.push_back(e.nodes);
      if (log_) log_->shape(e.nodes);  // a replica evaluates it with the constants in its nodes
      beam_.add_shape(std::move(e), p, std::move(*values));
    }
    g.candidates = scores_.size();
    base_ = scores_.size();
    add_sums({});
    fill(out);
    return g;
  }

  // Constants snap to simple values within the noise (snap.hpp).
  void finish(SearchOutcome& out) const {
    snap_outcome(out, SnapData{columns_, target_, stats_, norm_.scale, config_.complexity_penalty});
    out.beam = beam_.shapes();
  }

  Level expand(std::size_t new_begin, SeenSet& seen, std::size_t room) {
    leaves_.clear();
    extras_.clear();
    // The last level's, freed before this one grows.
    std::vector<Cand>().swap(cands_);
    std::vector<ShapeScore>().swap(scores_);
    std::vector<std::vector<double>>().swap(fitted_);
    Generated g = generate_shapes(beam_, new_begin, ops_, config_.max_complexity, inner_cap_, seen, room);
    cands_ = std::move(g.survivors);
    return Level{g.generated, g.fingerprinted, cands_.size(), g.cut};
  }

  void score(const ScorePlan& plan, Scores& out);

  std::uint64_t complexity(std::size_t i) const {
    if (i >= base_) return extras_[i - base_].complexity;
    const std::uint64_t shape = leaves_.empty() ? beam_.complexity(cands_[i]) : complexity_of(leaves_[i]);
    return shape + wrap_nodes(scores_[i].wrap);
  }

  SearchResult record(std::size_t i, const Scores&) const {
    if (i >= base_) return sum_record(extras_[i - base_], scores_[i]);
    std::vector<Node> shape;
    if (leaves_.empty()) {
      shape_of(i, shape);
    } else {
      shape = leaves_[i];
      // The constant family's one constant is in the scored units; a seed's
      // constants are inside its shape, which the wrapper scales.
      if (shape.size() == 1 && shape[0].kind == Node::Kind::Param) shape[0].value *= norm_.scale;
    }
    return make_record(std::move(shape), scores_[i]);
  }

  // Sums of terms are records, not beam members: they take no place of
  // the quarter-beam that joins.
  bool joins(std::size_t i) const { return i < base_; }

  void join(const std::vector<Ranked>& joining) {
    beam_.reserve(beam_.size() + joining.size());
    std::vector<Node> nodes;
    for (const Ranked& r : joining) {
      checkpoint(beam_.rows());
      const Cand& c = cands_[r.index];
      shape_of(r.index, nodes);
      Probes p{};
      if (beam_.n_params(c) == 0 && !beam_.probe(c, p)) panic("search: a scored candidate lost its fingerprint");
      if (log_) log_->member(c, nodes);
      beam_.add(c, nodes, p);
    }
  }

 private:
  void refine(Scores& out);
  std::optional<std::string> score_elsewhere();

  static std::size_t checked_inner_cap(std::size_t max_params) {
    if (max_params < 2) panic("search: max_params must be at least 2");
    return std::min(max_params - 2, kInnerCap);
  }

  // A sum of terms: its terms' nodes (constants as fitted), coefficients
  // and offset in the scored units, and its complexity.
  struct Extra {
    std::vector<std::vector<Node>> terms;
    std::vector<double> coefs;
    double b = 0.0;
    bool offset = true;
    std::uint64_t complexity = 0;
  };

  // Sums of terms over the beam and the level's best candidates (their
  // indices in `best`), scored and appended to the level as extra
  // candidates.
  void add_sums(const std::vector<std::uint32_t>& best) {
    std::vector<const double*> pool;
    std::vector<std::vector<Node>> nodes;
    std::vector<std::size_t> params;
    std::vector<std::vector<double>> own;  // columns computed here
    own.reserve(beam_.size() + best.size());
    for (std::size_t t = 0; t < terms_.size(); ++t) {
      pool.push_back(terms_[t].data());
      nodes.push_back(term_nodes_[t]);
      params.push_back(0);
    }
    for (std::size_t m = 0; m < beam_.size(); ++m) {
      checkpoint(beam_.rows());
      own.emplace_back();
      pool.push_back(beam_.column(static_cast<std::uint32_t>(m), own.back()));
      nodes.push_back(beam_.expr(m).nodes);
      params.push_back(beam_.n_params(m));
    }
    for (std::uint32_t i : best) {
      checkpoint(beam_.rows());
      std::vector<Node> shape;
      shape_of(i, shape);
      auto values = Expr{shape}.eval_batch(columns_, param_values(shape));
      if (!values) continue;
      own.push_back(std::move(*values));
      pool.push_back(own.back().data());
      params.push_back(param_values(shape).size());
      nodes.push_back(std::move(shape));
    }
    for (SumCandidate& c : sums_of_terms(pool, nodes, params, beam_.rows(), target_, sum_limits())) {
      Extra x;
      x.coefs = std::move(c.fit.coefs);
      x.b = c.fit.b;
      x.offset = c.fit.offset;
      x.complexity = c.complexity;
      for (std::size_t t : c.fit.terms) x.terms.push_back(nodes[t]);
      const double factor = complexity_factor(config_.complexity_penalty, x.complexity);
      ShapeScore s;
      s.ok = true;
      s.loss = c.loss;
      s.error = penalised(c.loss, factor);
      s.rank = stats_.rank(c.loss, factor);
      scores_.push_back(s);
      extras_.push_back(std::move(x));
    }
  }

  SumLimits sum_limits() const {
    SumLimits l;
    l.penalty = config_.complexity_penalty;
    l.floor_sse = stats_.noise * stats_.noise * stats_.weight;
    l.max_params = max_params_;
    return l;
  }

  // A sum's formula in the caller's units.
  SearchResult sum_record(const Extra& x, const ShapeScore& s) const {
    std::vector<Node> nodes;
    for (std::size_t t = 0; t < x.terms.size(); ++t) {
      nodes.push_back(Node::param(0, x.coefs[t] * norm_.scale));
      nodes.insert(nodes.end(), x.terms[t].begin(), x.terms[t].end());
      nodes.push_back(Node::op(Op::Mul));
      if (t > 0) nodes.push_back(Node::op(Op::Add));
    }
    if (x.offset) {
      nodes.push_back(Node::param(0, x.b * norm_.scale));
      nodes.push_back(Node::op(Op::Add));
    }
    return make_record(std::move(nodes), ShapeScore{s.error, s.loss, s.rank, 1.0, 0.0, 0.0, Wrap::None, true});
  }

  std::size_t fit_quota() const {
    if (tuning_.fits_per_level != 0) return tuning_.fits_per_level;
    return static_cast<std::size_t>(std::max<std::uint64_t>(64, config_.beam_width / 4));
  }

  // Candidate i's shape with its fitted constants.
  void shape_of(std::size_t i, std::vector<Node>& out) const {
    beam_.compose(cands_[i], scores_[i].c, out);
    if (!fitted_.empty() && !fitted_[i].empty()) set_param_values(out, fitted_[i]);
  }

  // The formula of a shape with its wrapper, in the caller's units: nodes,
  // params, text, loss and error.
  SearchResult make_record(std::vector<Node> shape, const ShapeScore& s) const {
    std::vector<Node> nodes;
    nodes.reserve(shape.size() + 4);
    const bool scale = s.wrap == Wrap::Scale || s.wrap == Wrap::Affine;
    const bool offset = s.wrap == Wrap::Offset || s.wrap == Wrap::Affine;
    if (scale) nodes.push_back(Node::param(0, s.a * norm_.scale));
    nodes.insert(nodes.end(), shape.begin(), shape.end());
    if (scale) nodes.push_back(Node::op(Op::Mul));
    if (offset) {
      nodes.push_back(Node::param(0, s.b * norm_.scale));
      nodes.push_back(Node::op(Op::Add));
    }
    renumber_params(nodes);
    return record_of(std::move(nodes), s.error * norm_.scale, s.loss * norm_.scale);
  }

  // The level's scores in the engine's form.
  void fill(Scores& out) const {
    const std::size_t n = scores_.size();
    out.resize(n, true);
    for (std::size_t i = 0; i < n; ++i) {
      out.error[i] = scores_[i].error;
      out.loss[i] = scores_[i].loss;
      out.rank[i] = scores_[i].rank;
      out.ok[i] = scores_[i].ok;
    }
  }

  const Columns& columns_;
  const SearchConfig& config_;
  const detail::ConstantsTuning& tuning_;
  const std::size_t inner_cap_;
  const std::size_t max_params_;
  const Operators ops_;
  Beam beam_;
  const Normalized norm_;
  const Target target_;
  const TargetStats stats_;
  ShapeScorer scorer_;
  const double goal_;

  std::vector<std::vector<Node>> leaves_;   // the leaf level's shapes (empty after it)
  std::vector<Extra> extras_;               // the level's sums, after its shapes
  std::vector<std::vector<double>> terms_;  // powers of single variables: terms of sums, not beam members
  std::vector<std::vector<Node>> term_nodes_;
  std::size_t base_ = 0;                     // the level's shapes: those before its sums
  std::vector<Cand> cands_;                  // the current expansion level's
  std::vector<ShapeScore> scores_;           // the current level's
  std::vector<std::vector<double>> fitted_;  // their constants after a full fit (empty: as composed)

  // Scoring elsewhere (remote.hpp): the scorer, the log of the beam, the
  // members sent so far and the encoded settings.
  const LevelScorer* remote_ = nullptr;
  std::optional<BeamLog> log_;
  std::size_t sent_ = 0;
  std::string setup_;
  std::size_t level_ = 0;
};

// The level's cheap scores from the remote scorer, or nullopt when it
// leaves the level to be scored here.
std::optional<std::string> ConstantsMode::score_elsewhere() {
  const std::string members = log_->encode(sent_);
  const std::string cands = encode_cands(cands_);
  std::optional<std::string> got =
      (*remote_)(RemoteLevel{++level_, setup_, members, beam_.size(), cands, cands_.size()});
  if (got) sent_ = beam_.size();
  return got;
}

void ConstantsMode::score(const ScorePlan& plan, Scores& out) {
  const std::size_t count = cands_.size();
  scores_.assign(count, ShapeScore{});
  const std::size_t rows = beam_.rows();
  double least_loss = std::numeric_limits<double>::infinity();
  // Scored elsewhere: the same scores, all at once. A stop while they are
  // scored keeps none of the level.
  bool scored = false;
  if (remote_ != nullptr) {
    try {
      if (std::optional<std::string> got = score_elsewhere()) {
        decode_scores(*got, count, scores_);
        scored = true;
        for (const ShapeScore& s : scores_) {
          if (s.ok && s.loss < least_loss) least_loss = s.loss;
        }
        if (plan.on_chunk) plan.on_chunk(count, least_loss);
      }
    } catch (const Interrupted&) {
      scores_.resize(scored ? count : 0);
      base_ = scores_.size();
      fill(out);
      out.stopped = true;
      return;
    }
  }
  // Cheap scores, chunk by chunk in generation order. A stop keeps the
  // chunks finished before it, with their cheap scores, and skips the rest
  // of the level.
  const std::size_t chunk = chunk_for_rows(rows, 256);
  for (std::size_t from = scored ? count : 0; from < count; from += chunk) {
    const std::size_t to = std::min(count, from + chunk);
    std::size_t done = from;
    try {
      par::for_ranges(
          to - from,
          [&](std::size_t b, std::size_t e) {
            ShapeScorer::Work w(scorer_);
            for (std::size_t i = from + b; i < from + e; ++i) {
              checkpoint(cands_[i].lift == Lift::None ? rows : 16 * rows);
              scores_[i] = scorer_.cheap(cands_[i], w);
            }
          },
          std::max<std::size_t>(2, 1024 / std::max<std::size_t>(1, rows)));
      done = to;
      for (std::size_t i = from; i < to; ++i) {
        if (scores_[i].ok && scores_[i].loss < least_loss) least_loss = scores_[i].loss;
      }
      if (plan.on_chunk) plan.on_chunk(to, least_loss);
    } catch (const Interrupted&) {
      scores_.resize(done);
      base_ = done;
      fill(out);
      out.stopped = true;
      return;
    }
  }
  base_ = count;
  fitted_.assign(count, {});
  try {
    refine(out);
  } catch (const Interrupted&) {
    // The level's cheap scores stand, with the fits finished before the
    // stop (a whole pass of them or none).
    std::vector<ShapeScore>(scores_.begin(), scores_.begin() + static_cast<std::ptrdiff_t>(count)).swap(scores_);
    extras_.clear();
    base_ = count;
    fill(out);
    out.stopped = true;
  }
}

// The full fits, the polish and the sums of a level whose cheap scores are
// in.
void ConstantsMode::refine(Scores& out) {
  const std::size_t count = cands_.size();
  const std::size_t rows = beam_.rows();

  // The best-ranked shapes with constants get a full fit.
  std::vector<Ranked> chosen;
  for (std::size_t i = 0; i < count; ++i) {
    if (scores_[i].ok && beam_.n_params(cands_[i]) > 0) {
      chosen.push_back(Ranked{scores_[i].rank, 0, static_cast<std::uint32_t>(i)});
    }
  }
  keep_first_ranked(chosen, std::min(chosen.size(), fit_quota()));

  // fit(cand, w) for each of `which` in parallel; a fit that ranks better
  // replaces the shape's score and fitted constants.
  const auto refit = [&](const std::vector<Ranked>& which, const auto& fit) {
    std::vector<Refit> results(which.size());
    par::for_ranges(
        which.size(),
        [&](std::size_t b, std::size_t e) {
          ShapeScorer::Work w(scorer_);
          for (std::size_t k = b; k < e; ++k) {
            checkpoint(64 * rows);
            results[k] = fit(which[k].index, w);
          }
        },
        2);
    for (std::size_t k = 0; k < which.size(); ++k) {
      if (!results[k]) continue;
      scores_[which[k].index] = results[k]->first;
      fitted_[which[k].index] = std::move(results[k]->second);
    }
  };
  refit(chosen, [&](std::uint32_t i, ShapeScorer::Work& w) { return scorer_.full(cands_[i], scores_[i], w); });

  // Fits made on a sample of the rows: the best few get a few more steps on
  // all of them.
  std::vector<Ranked> best;
  for (const Ranked& r : chosen) {
    if (!fitted_[r.index].empty()) best.push_back(Ranked{scores_[r.index].rank, 0, r.index});
  }
  keep_first_ranked(best, std::min(best.size(), tuning_.polish_per_level));
  refit(best,
        [&](std::uint32_t i, ShapeScorer::Work& w) { return scorer_.polish(cands_[i], scores_[i], fitted_[i], w); });

  // Sums over the beam and the level's best shapes.
  base_ = count;
  std::vector<Ranked> top;
  for (std::size_t i = 0; i < count; ++i) {
    if (scores_[i].ok) top.push_back(Ranked{scores_[i].rank, 0, static_cast<std::uint32_t>(i)});
  }
  keep_first_ranked(top, std::min(top.size(), kSumCandidates));
  std::vector<std::uint32_t> indices;
  for (const Ranked& r : top) indices.push_back(r.index);
  // And the level's simple shapes, whatever their rank: a term that matters
  // only beside another rarely ranks well alone.
  std::vector<std::uint8_t> taken(count, 0);
  for (std::uint32_t i : indices) taken[i] = 1;
  const std::size_t pool_cap =
      std::min(kSimplePool, (std::size_t{256} << 20) / (sizeof(double) * std::max<std::size_t>(1, rows)));
  for (std::size_t i = 0, simple = 0; i < count && simple < pool_cap; ++i) {
    if (taken[i] || !scores_[i].ok || beam_.n_params(cands_[i]) > 0 ||
        beam_.complexity(cands_[i]) > SumLimits{}.simple_term)
      continue;
    indices.push_back(static_cast<std::uint32_t>(i));
    ++simple;
  }
  add_sums(indices);
  fill(out);
}

}  // namespace

SearchOutcome search_constants(const Columns& columns, const std::vector<double>& target, const SearchConfig& config,
                               const ConstantsConfig& constants, const SearchHooks* hooks) {
  return detail::search_constants_tuned(columns, target, config, constants, hooks, detail::ConstantsTuning{});
}

namespace detail {

SearchOutcome search_constants_tuned(const Columns& columns, const std::vector<double>& target,
                                     const SearchConfig& config, const ConstantsConfig& constants,
                                     const SearchHooks* hooks, const ConstantsTuning& tuning) {
  SearchOutcome out;
  ConstantsMode mode(columns, target, config, constants, tuning, hooks);
  Front front(mode.floor());
  Engine<ConstantsMode> engine(mode, columns, config, hooks, &out.stats, &front);
  engine.run_into(out);
  return out;
}

}  // namespace detail

}  // namespace vek::discover

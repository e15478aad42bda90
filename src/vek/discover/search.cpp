#include "vek/discover/search.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "vek/common/panic.hpp"
#include "vek/common/parallel.hpp"
#include "vek/common/stop.hpp"
#include "vek/discover/fingerprint.hpp"
#include "vek/discover/seen_set.hpp"

namespace vek::discover {

namespace {

// Candidates are fingerprinted in blocks of this many: in parallel, then
// offered to the seen-set in generation order.
constexpr std::size_t kBlock = std::size_t{1} << 16;

using Probes = std::array<double, kProbeCount>;

// A candidate before it is built: op(members[a], members[b]); b == a for a
// unary operator.
struct Cand {
  std::uint32_t a;
  std::uint32_t b;
  Op op;
};

// A ranking record: penalised error and position in the level's candidates.
struct Rec {
  double error;
  std::uint32_t index;
};

// Ascending error; NaN after every number; ties (and NaN among themselves)
// in candidate order. Taking the first K under this total order is the same
// as a stable sort by error followed by a cut to K.
inline bool rank_before(const Rec& p, const Rec& q) noexcept {
  const bool pn = std::isnan(p.error);
  const bool qn = std::isnan(q.error);
  if (pn != qn) return qn;
  if (!pn && p.error != q.error) return p.error < q.error;
  return p.index < q.index;
}

inline bool order_sensitive(Op op) noexcept { return op == Op::Sub || op == Op::Div || op == Op::Vek; }

// A beam member with its values cached: at the five probe points (always
// finite: members have fingerprints) and, when the budget allows, on every
// data row (always evaluable for composed members: they were scored).
struct Member {
  Expr expr;
  bool data_fails = false;          // a leaf that cannot be evaluated on the data
  bool cached = false;              // outputs available through column()
  const double* external = nullptr; // outputs held by the caller's data (variable leaves)
  std::vector<double> own;          // outputs held here

  const double* column() const noexcept { return external != nullptr ? external : own.data(); }
};

enum class Outcome : std::uint8_t { Failed, Scored, Dropped };

// Scores one candidate from its operands' outputs: every one of the n rows
// must evaluate, the squared differences of the first m rows are summed in
// row order, and error = sqrt(sse / target_len) * factor.
//
// `bound` lets hopeless candidates stop early: a partial sum can only grow
// (its terms are non-negative and rounding is monotone), so once
// sqrt(partial / target_len) * factor exceeds the bound, so will the error,
// and the candidate is Dropped. Callers pass +inf unless factor > 0.
template <Op O>
Outcome score_rows(const double* a, const double* b, std::size_t n, const double* y, std::size_t m,
                   double target_len, double factor, double bound, double& error_out) {
  constexpr std::size_t kCheckEvery = 16;
  double sse = 0.0;
  double v;
  std::size_t i = 0;
  while (i < m) {
    const std::size_t stop = std::min(m, i + kCheckEvery);
    for (; i < stop; ++i) {
      if (!apply_op(O, a[i], b[i], v)) return Outcome::Failed;
      const double d = v - y[i];
      sse += d * d;
    }
    if (std::sqrt(sse / target_len) * factor > bound) return Outcome::Dropped;
  }
  const double error = std::sqrt(sse / target_len) * factor;
  if (error > bound) return Outcome::Dropped;
  for (; i < n; ++i) {
    if (!apply_op(O, a[i], b[i], v)) return Outcome::Failed;
  }
  error_out = error;
  return Outcome::Scored;
}

template <Op O>
bool fill_rows(const double* a, const double* b, std::size_t n, double* out) {
  for (std::size_t i = 0; i < n; ++i) {
    if (!apply_op(O, a[i], b[i], out[i])) return false;
  }
  return true;
}

using ScoreFn = Outcome (*)(const double*, const double*, std::size_t, const double*, std::size_t, double, double,
                           double, double&);
using FillFn = bool (*)(const double*, const double*, std::size_t, double*);

template <std::size_t... I>
constexpr std::array<ScoreFn, kOpCount> make_score_table(std::index_sequence<I...>) {
  return {&score_rows<static_cast<Op>(I)>...};
}
template <std::size_t... I>
constexpr std::array<FillFn, kOpCount> make_fill_table(std::index_sequence<I...>) {
  return {&fill_rows<static_cast<Op>(I)>...};
}
constexpr auto kScore = make_score_table(std::make_index_sequence<kOpCount>{});
constexpr auto kFill = make_fill_table(std::make_index_sequence<kOpCount>{});

class Engine {
 public:
  Engine(const std::vector<std::vector<double>>& columns, const std::vector<double>& target, std::uint64_t n_vars,
         const SearchConfig& config, const SearchHooks* hooks, SearchStats* stats, const detail::Tuning& tuning)
      : columns_(columns),
        target_(target),
        n_vars_(n_vars),
        config_(config),
        hooks_(hooks),
        stats_(stats),
        cache_budget_(tuning.column_cache_bytes),
        chunk_min_(std::max<std::size_t>(1, tuning.score_chunk)) {}

  std::optional<SearchResult> run();

 private:
  // Between levels: asks the caller's stop source now.
  static void poll() {
    if (StopSource* s = current_stop()) s->poll_now();
  }
  void report(std::size_t level, std::size_t generated, std::size_t fingerprinted, std::size_t scored) {
    if (stats_ != nullptr) {
      stats_->generated += generated;
      stats_->fingerprinted += fingerprinted;
      stats_->scored += scored;
      stats_->levels += 1;
      stats_->peak_seen = seen_.size();
    }
    if (hooks_ != nullptr && hooks_->on_level) {
      hooks_->on_level(LevelInfo{level, generated, fingerprinted, scored, best_ ? &*best_ : nullptr});
    }
  }
  bool goal_met() const { return best_ && best_->error <= config_.precision_goal; }

  double penalised(double sse, std::uint64_t complexity) const {
    const double rmse = std::sqrt(sse / static_cast<double>(target_.size()));
    return rmse * (config_.complexity_penalty * static_cast<double>(complexity) + 1.0);
  }

  bool probe(const Cand& c, Probes& out) const noexcept {
    const Probes& a = probes_[c.a];
    const Probes& b = probes_[c.b];
    for (std::size_t k = 0; k < kProbeCount; ++k) {
      if (!apply_op(c.op, a[k], b[k], out[k])) return false;
    }
    return true;
  }

  // Outputs of member i on the data: the cache, or a fresh evaluation into
  // scratch. Only for members that evaluate (not data_fails).
  const double* column(std::uint32_t i, std::vector<double>& scratch) const {
    const Member& m = members_[i];
    if (m.cached) return m.column();
    auto out = m.expr.eval_batch(columns_, {});
    if (!out) panic("search: a beam member no longer evaluates");
    scratch = std::move(*out);
    return scratch.data();
  }

  Expr compose(const Cand& c) const {
    const Expr& a = members_[c.a].expr;
    Expr e;
    e.n_vars = static_cast<std::size_t>(n_vars_);
    if (arity(c.op) == 1) {
      e.nodes.reserve(a.nodes.size() + 1);
      e.nodes = a.nodes;
    } else {
      const Expr& b = members_[c.b].expr;
      e.nodes.reserve(a.nodes.size() + b.nodes.size() + 1);
      e.nodes.insert(e.nodes.end(), a.nodes.begin(), a.nodes.end());
      e.nodes.insert(e.nodes.end(), b.nodes.begin(), b.nodes.end());
    }
    e.nodes.push_back(Node::op(c.op));
    return e;
  }

  static SearchResult make_result(Expr expr, double error) {
    SearchResult r;
    r.formula = expr.to_string();
    r.complexity = expr.complexity();
    r.expr = std::move(expr);
    r.error = error;
    return r;
  }

  void add_leaf(Expr expr, const Probes& p);
  void add_member(const Cand& c);
  void cache_leaf(Member& m);

  void leaf_level();
  // One expansion level; returns false when the search ends after it.
  bool expansion_level(std::size_t level, std::size_t new_begin);
  void generate(std::size_t new_begin, std::vector<Cand>& survivors, std::size_t& generated,
                std::size_t& fingerprinted);

  const std::vector<std::vector<double>>& columns_;
  const std::vector<double>& target_;
  const std::uint64_t n_vars_;
  const SearchConfig& config_;
  const SearchHooks* hooks_;
  SearchStats* stats_;
  const std::size_t cache_budget_;
  const std::size_t chunk_min_;

  std::size_t rows_ = 0;    // length of the first column
  std::size_t common_ = 0;  // rows compared with the target
  std::size_t cache_used_ = 0;
  std::vector<Op> unary_;
  std::vector<Op> binary_;

  SeenSet seen_;
  std::vector<Member> members_;            // the beam
  std::vector<Probes> probes_;             // probe values per member
  std::vector<std::uint64_t> complexity_;  // node count per member
  std::optional<SearchResult> best_;
};

void Engine::cache_leaf(Member& m) {
  const Node& leaf = m.expr.nodes[0];
  if (rows_ == 0) {
    m.cached = true;
    return;
  }
  if (leaf.kind == Node::Kind::Var) {
    if (leaf.index >= columns_.size()) {
      m.data_fails = true;
    } else {
      m.external = columns_[leaf.index].data();
      m.cached = true;
    }
    return;
  }
  const std::size_t bytes = rows_ * sizeof(double);
  if (cache_used_ + bytes <= cache_budget_) {
    m.own.assign(rows_, leaf.value);
    m.cached = true;
    cache_used_ += bytes;
  }
}

void Engine::add_leaf(Expr expr, const Probes& p) {
  Member m;
  m.expr = std::move(expr);
  cache_leaf(m);
  complexity_.push_back(m.expr.complexity());
  probes_.push_back(p);
  members_.push_back(std::move(m));
}

void Engine::add_member(const Cand& c) {
  Member m;
  m.expr = compose(c);
  Probes p;
  if (!probe(c, p)) panic("search: a scored candidate lost its fingerprint");
  const std::size_t bytes = rows_ * sizeof(double);
  if (rows_ == 0) {
    m.cached = true;
  } else if (cache_used_ + bytes <= cache_budget_) {
    std::vector<double> sa, sb;
    const double* a = column(c.a, sa);
    const double* b = arity(c.op) == 1 ? a : column(c.b, sb);
    m.own.resize(rows_);
    if (!kFill[static_cast<std::size_t>(c.op)](a, b, rows_, m.own.data())) {
      panic("search: a scored candidate no longer evaluates");
    }
    m.cached = true;
    cache_used_ += bytes;
  }
  complexity_.push_back(m.expr.complexity());
  probes_.push_back(p);
  members_.push_back(std::move(m));
}

void Engine::leaf_level() {
  std::vector<std::pair<Expr, Probes>> leaves;
  const auto offer = [&](Expr e, const Probes& p) {
    for (double v : p) {
      if (!std::isfinite(v)) return false;
    }
    ProbeBits bits;
    for (std::size_t k = 0; k < kProbeCount; ++k) bits[k] = std::bit_cast<std::uint64_t>(p[k]);
    if (seen_.insert(Fingerprint::from_bits(bits))) return true;
    leaves.emplace_back(std::move(e), p);
    return true;
  };

  std::size_t generated = 0;
  std::size_t fingerprinted = 0;
  for (const double c : {0.0, 1.0}) {
    Expr e;
    e.nodes.push_back(Node::constant(c));
    Probes p;
    p.fill(c);
    ++generated;
    if (offer(std::move(e), p)) ++fingerprinted;
  }
  for (std::uint64_t i = 0; i < n_vars_; ++i) {
    Expr e;
    e.nodes.push_back(Node::var(static_cast<std::size_t>(i)));
    e.n_vars = static_cast<std::size_t>(i + 1);
    Probes p;
    for (std::size_t k = 0; k < kProbeCount; ++k) p[k] = probe_value(k, static_cast<std::size_t>(i));
    ++generated;
    if (offer(std::move(e), p)) ++fingerprinted;
    checkpoint();
  }

  // Score the leaves: plain evaluation over the data.
  const std::size_t count = leaves.size();
  std::vector<double> error(count);
  std::vector<std::uint8_t> ok(count);
  par::for_ranges(
      count,
      [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
          checkpoint(rows_);
          const auto out = leaves[i].first.eval_batch(columns_, {});
          ok[i] = out.has_value();
          if (!out) continue;
          double sse = 0.0;
          for (std::size_t r = 0; r < common_; ++r) {
            const double d = (*out)[r] - target_[r];
            sse += d * d;
          }
          error[i] = penalised(sse, 1);
        }
      },
      64);
  for (std::size_t i = 0; i < count; ++i) {
    if (ok[i] && (!best_ || error[i] < best_->error)) best_ = make_result(leaves[i].first, error[i]);
  }
  report(0, generated, fingerprinted, count);

  for (auto& [e, p] : leaves) add_leaf(std::move(e), p);
}

void Engine::generate(std::size_t new_begin, std::vector<Cand>& survivors, std::size_t& generated,
                      std::size_t& fingerprinted) {
  std::vector<Cand> block;
  std::vector<ProbeBits> bits;
  std::vector<std::uint64_t> hashes;
  std::vector<std::uint8_t> has;

  const auto flush = [&] {
    const std::size_t n = block.size();
    bits.resize(n);
    hashes.resize(n);
    has.resize(n);
    par::for_ranges(
        n,
        [&](std::size_t b, std::size_t e) {
          for (std::size_t i = b; i < e; ++i) {
            Probes p;
            has[i] = probe(block[i], p);
            if (!has[i]) continue;
            ProbeBits& pb = bits[i];
            for (std::size_t k = 0; k < kProbeCount; ++k) pb[k] = std::bit_cast<std::uint64_t>(p[k]);
            hashes[i] = seen_.hash(pb);
          }
        },
        2048);
    // Inserted in generation order on this thread: the first generated
    // candidate wins every collision.
    for (std::size_t i = 0; i < n; ++i) {
      if (!has[i]) continue;
      ++fingerprinted;
      if (!seen_.insert(bits[i], hashes[i])) survivors.push_back(block[i]);
    }
    generated += n;
    block.clear();
  };
  const auto emit = [&](std::uint32_t a, std::uint32_t b, Op op) {
    block.push_back(Cand{a, b, op});
    if (block.size() == kBlock) flush();
  };

  // Candidates built only from members that were in the beam at the previous
  // level were generated there and are known (or fingerprint-less) now, so
  // only the members added since then need expanding. Every pair (i, j <= i)
  // with a new member has i new, since new members sit at the end.
  const std::size_t end = members_.size();
  for (std::size_t e = new_begin; e < end; ++e) {
    for (Op u : unary_) emit(static_cast<std::uint32_t>(e), static_cast<std::uint32_t>(e), u);
  }
  // Pairs within the node budget: member i combines with the members j <= i
  // whose complexity is below budget - complexity(i). For each distinct
  // bound, list those members once, in index order.
  const std::uint64_t budget = config_.max_complexity;
  std::vector<std::uint64_t> bounds;  // distinct budget - complexity(i) of the new members
  for (std::size_t i = new_begin; i < end; ++i) {
    if (complexity_[i] < budget) bounds.push_back(budget - complexity_[i]);
  }
  std::sort(bounds.begin(), bounds.end());
  bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
  std::vector<std::vector<std::uint32_t>> partners(bounds.size());
  for (std::size_t k = 0; k < bounds.size(); ++k) {
    for (std::size_t j = 0; j < end; ++j) {
      if (complexity_[j] < bounds[k]) partners[k].push_back(static_cast<std::uint32_t>(j));
    }
  }
  for (std::size_t i = new_begin; i < end; ++i) {
    if (complexity_[i] >= budget) continue;
    const std::size_t k = static_cast<std::size_t>(
        std::lower_bound(bounds.begin(), bounds.end(), budget - complexity_[i]) - bounds.begin());
    const auto a = static_cast<std::uint32_t>(i);
    for (const std::uint32_t b : partners[k]) {
      if (b > a) break;
      for (Op o : binary_) {
        emit(a, b, o);
        if (order_sensitive(o)) emit(b, a, o);
      }
    }
  }
  if (!block.empty()) flush();
}

bool Engine::expansion_level(std::size_t level, std::size_t new_begin) {
  std::vector<Cand> survivors;
  std::size_t generated = 0;
  std::size_t fingerprinted = 0;
  generate(new_begin, survivors, generated, fingerprinted);
  if (survivors.empty()) {
    if (stats_ != nullptr) {
      stats_->generated += generated;
      stats_->fingerprinted += fingerprinted;
      stats_->peak_seen = seen_.size();
    }
    return false;
  }

  // Score every survivor from its operands' cached outputs. Once some
  // `keep` = max(K, 1) records are known (K = beam_width / 4), the largest
  // of the keep smallest errors bounds the rest: a candidate known to exceed
  // it can be neither among the K that join the beam nor the level's best,
  // so it is dropped as soon as its partial error shows it.
  const std::size_t count = survivors.size();
  if (count > std::numeric_limits<std::uint32_t>::max()) panic("search: too many candidates in one level");
  std::vector<double> error(count);
  std::vector<std::uint8_t> ok(count);
  const double* y = target_.data();
  const double target_len = static_cast<double>(target_.size());
  const std::uint64_t quarter = config_.beam_width / 4;
  const std::size_t grain = std::max<std::size_t>(1, 4096 / std::max<std::size_t>(1, rows_));
  const auto score_range = [&](std::size_t from, std::size_t to, double bound) {
    par::for_ranges(
        to - from,
        [&](std::size_t b, std::size_t e) {
          std::vector<double> sa, sb;
          for (std::size_t i = from + b; i < from + e; ++i) {
            checkpoint(rows_);
            const Cand& c = survivors[i];
            ok[i] = 0;
            if (members_[c.a].data_fails || members_[c.b].data_fails) continue;
            const double* ca = column(c.a, sa);
            const double* cb = arity(c.op) == 1 ? ca : column(c.b, sb);
            const std::uint64_t cx = complexity_[c.a] + (arity(c.op) == 1 ? 0 : complexity_[c.b]) + 1;
            const double factor = config_.complexity_penalty * static_cast<double>(cx) + 1.0;
            const double limit = factor > 0.0 ? bound : std::numeric_limits<double>::infinity();
            const Outcome o = kScore[static_cast<std::size_t>(c.op)](ca, cb, rows_, y, common_, target_len, factor,
                                                                     limit, error[i]);
            ok[i] = o == Outcome::Scored;
          }
        },
        grain);
  };
  // Chunks are scored in order; after each, the bound tightens to the
  // keep-th smallest error among all records so far (any `keep` finished
  // records give a valid bound, so the outcome does not depend on chunking).
  //
  // Ranking is not needed at the last level (the beam is not used again),
  // nor once a record meets the precision goal (the search ends with this
  // level). Then only the best matters, and the bound is the smallest error
  // known, the previous best's included.
  const bool last_level = level + 1 >= config_.max_complexity;
  bool only_best = last_level || quarter == 0;
  const std::size_t keep =
      only_best ? 1 : static_cast<std::size_t>(std::min<std::uint64_t>(quarter, count));
  const std::size_t chunk = std::max<std::size_t>(keep, chunk_min_);
  std::vector<double> smallest;  // up to `keep` smallest errors so far (no NaN)
  double least = std::numeric_limits<double>::infinity();  // smallest error known (no NaN)
  if (best_ && !std::isnan(best_->error)) least = best_->error;
  double bound = only_best ? least : std::numeric_limits<double>::infinity();
  for (std::size_t from = 0; from < count; from += chunk) {
    const std::size_t to = std::min(count, from + chunk);
    score_range(from, to, bound);
    if (to == count) break;
    for (std::size_t i = from; i < to; ++i) {
      if (!ok[i] || std::isnan(error[i])) continue;
      least = std::min(least, error[i]);
      if (!only_best) smallest.push_back(error[i]);
    }
    if (least <= config_.precision_goal) only_best = true;
    if (only_best) {
      bound = least;
    } else if (smallest.size() >= keep) {
      std::nth_element(smallest.begin(), smallest.begin() + static_cast<std::ptrdiff_t>(keep - 1), smallest.end());
      smallest.resize(keep);
      bound = smallest[keep - 1];
    }
  }

  // The best record: strictly smaller errors only, so earlier ones win ties
  // and a NaN never replaces anything.
  std::optional<std::size_t> winner;
  bool have = best_.has_value();
  double current = have ? best_->error : 0.0;
  std::vector<Rec> records;
  records.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (!ok[i]) continue;
    records.push_back(Rec{error[i], static_cast<std::uint32_t>(i)});
    if (!have || error[i] < current) {
      winner = i;
      current = error[i];
      have = true;
    }
  }
  if (winner) best_ = make_result(compose(survivors[*winner]), error[*winner]);
  report(level, generated, fingerprinted, count);
  if (goal_met() || last_level) return false;

  // The first beam_width / 4 of the ranked records join the beam.
  const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(quarter, records.size()));
  if (take == 0) return true;
  if (take < records.size()) {
    std::nth_element(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(take), records.end(),
                     rank_before);
    records.resize(take);
  }
  std::sort(records.begin(), records.end(), rank_before);
  if (members_.size() + take > std::numeric_limits<std::uint32_t>::max()) panic("search: beam too large");
  members_.reserve(members_.size() + take);
  for (const Rec& r : records) {
    checkpoint(rows_);
    add_member(survivors[r.index]);
  }
  return true;
}

std::optional<SearchResult> Engine::run() {
  if (columns_.empty()) panic("search: no data columns");
  rows_ = columns_[0].size();
  for (const auto& c : columns_) {
    if (c.size() < rows_) panic("search: a data column is shorter than the first");
  }
  common_ = std::min(rows_, target_.size());
  if (stats_ != nullptr) *stats_ = SearchStats{};

  unary_ = {Op::Neg, Op::Inv, Op::Exp, Op::Ln, Op::Sqrt};
  if (config_.use_trig) unary_.insert(unary_.end(), {Op::Sin, Op::Cos});
  binary_ = {Op::Add, Op::Sub, Op::Mul, Op::Div};
  if (config_.use_vek) binary_.push_back(Op::Vek);

  // The caller's keep_going, when given, decides stops for this search;
  // otherwise a source the caller installed (if any) does.
  std::optional<StopSource> own;
  if (hooks_ != nullptr && hooks_->keep_going) own.emplace(hooks_->keep_going);
  StopScope scope(own ? &*own : current_stop());

  leaf_level();
  if (goal_met() || config_.max_complexity < 2) return std::move(best_);

  std::size_t new_begin = 0;
  for (std::uint64_t level = 1; level < config_.max_complexity; ++level) {
    poll();
    const std::size_t before = members_.size();
    if (!expansion_level(static_cast<std::size_t>(level), new_begin)) break;
    new_begin = before;
  }
  return std::move(best_);
}

}  // namespace

std::optional<SearchResult> search(const std::vector<std::vector<double>>& columns, const std::vector<double>& target,
                                   std::uint64_t n_vars, const SearchConfig& config, const SearchHooks* hooks,
                                   SearchStats* stats) {
  return detail::search_tuned(columns, target, n_vars, config, hooks, stats, detail::Tuning{});
}

namespace detail {

std::optional<SearchResult> search_tuned(const std::vector<std::vector<double>>& columns,
                                         const std::vector<double>& target, std::uint64_t n_vars,
                                         const SearchConfig& config, const SearchHooks* hooks, SearchStats* stats,
                                         const Tuning& tuning) {
  Engine engine(columns, target, n_vars, config, hooks, stats, tuning);
  return engine.run();
}

}  // namespace detail

}  // namespace vek::discover

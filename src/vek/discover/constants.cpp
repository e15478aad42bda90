#include "vek/discover/constants.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <utility>

#include "vek/common/panic.hpp"
#include "vek/common/parallel.hpp"
#include "vek/common/stop.hpp"
#include "vek/discover/affine.hpp"
#include "vek/discover/family.hpp"
#include "vek/discover/fit.hpp"
#include "vek/discover/front.hpp"
#include "vek/discover/generate.hpp"
#include "vek/discover/levels.hpp"
#include "vek/discover/rank.hpp"
#include "vek/discover/row_ops.hpp"
#include "vek/discover/score.hpp"
#include "vek/discover/seen_set.hpp"

namespace vek::discover {

namespace {

using Columns = std::vector<std::vector<double>>;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Where a shape's new constant goes: none, or c·X / X + c for the first
// operand (A) or the second (B), or c - X for the first.
enum class Lift : std::uint8_t { None, ScaleA, ShiftA, ScaleB, ShiftB, ReflectA };

constexpr bool lifts_a(Lift l) noexcept { return l == Lift::ScaleA || l == Lift::ShiftA || l == Lift::ReflectA; }
constexpr bool lifts_b(Lift l) noexcept { return l == Lift::ScaleB || l == Lift::ShiftB; }
constexpr bool scales(Lift l) noexcept { return l == Lift::ScaleA || l == Lift::ScaleB; }
constexpr bool reflects(Lift l) noexcept { return l == Lift::ReflectA; }

// The operator a lift applies with its constant, the constant first when
// it is c·X or c - X.
constexpr Op lift_op(Lift l) noexcept { return scales(l) ? Op::Mul : (reflects(l) ? Op::Sub : Op::Add); }
constexpr bool constant_first(Lift l) noexcept { return scales(l) || reflects(l); }

// A shape before it is built: op(lift(member a), lift(member b)); b == a
// for a unary operator.
struct Cand {
  std::uint32_t a;
  std::uint32_t b;
  Op op;
  Lift lift;
};

// The unary shapes with a new constant: the ones whose constant the
// wrapper does not absorb. c - g matters only where the sign of the
// argument does (a member is never -g: the wrapper absorbs the sign).
constexpr std::pair<Op, Lift> kUnaryLifts[] = {
    {Op::Exp, Lift::ScaleA},  {Op::Inv, Lift::ShiftA}, {Op::Sqrt, Lift::ShiftA}, {Op::Sqrt, Lift::ReflectA},
    {Op::Ln, Lift::ShiftA},   {Op::Ln, Lift::ReflectA}, {Op::Sin, Lift::ScaleA},  {Op::Cos, Lift::ScaleA},
};

// Shapes that are linear in their new constant: a·(U + c·V) + b, so its
// least-squares value comes from a regression on U and V.
constexpr bool linear_in_constant(Op op, Lift l) noexcept {
  return (op == Op::Add && l == Lift::ScaleB) || (op == Op::Mul && (l == Lift::ShiftA || l == Lift::ShiftB)) ||
         (op == Op::Div && l == Lift::ShiftA);
}

void renumber_params(std::vector<Node>& nodes) {
  std::size_t j = 0;
  for (Node& n : nodes) {
    if (n.kind == Node::Kind::Param) n.index = j++;
  }
}

std::vector<double> param_values(const std::vector<Node>& nodes) {
  std::vector<double> out;
  for (const Node& n : nodes) {
    if (n.kind == Node::Kind::Param) out.push_back(n.value);
  }
  return out;
}

void set_param_values(std::vector<Node>& nodes, const std::vector<double>& values) {
  std::size_t j = 0;
  for (Node& n : nodes) {
    if (n.kind == Node::Kind::Param && j < values.size()) n.value = values[j++];
  }
}

// The beam: shapes with their fitted constants, probe values (for shapes
// without constants, whose candidates' probes are composed from them) and
// output columns at the fitted constants.
class Beam {
 public:
  Beam(const Columns& columns, std::size_t cache_bytes)
      : columns_(columns), cache_bytes_(cache_bytes), rows_(columns.empty() ? 0 : columns[0].size()) {}

  std::size_t size() const noexcept { return members_.size(); }
  std::size_t rows() const noexcept { return rows_; }
  const Expr& expr(std::size_t i) const noexcept { return members_[i].expr; }
  const Probes& probes(std::size_t i) const noexcept { return members_[i].probes; }
  std::uint64_t complexity(std::size_t i) const noexcept { return members_[i].expr.nodes.size(); }
  std::size_t n_params(std::size_t i) const noexcept { return members_[i].theta.size(); }

  const double* column(std::uint32_t i, std::vector<double>& scratch) const {
    const Member& m = members_[i];
    if (m.external != nullptr) return m.external;
    if (m.cached) return m.own.data();
    auto out = m.expr.eval_batch(columns_, m.theta);
    if (!out) panic("search: a beam member no longer evaluates");
    scratch = std::move(*out);
    return scratch.data();
  }

  void add_var(std::size_t i, const Probes& probes) {
    Member m;
    m.expr.nodes.push_back(Node::var(i));
    m.expr.n_vars = columns_.size();
    m.external = columns_[i].data();
    m.cached = true;
    m.probes = probes;
    members_.push_back(std::move(m));
  }

  // A scored shape (it evaluates on the data at the constants its Param
  // nodes hold).
  void add(std::vector<Node> nodes, const Probes& probes) {
    Member m;
    m.theta = param_values(nodes);
    m.expr.nodes = std::move(nodes);
    m.expr.n_vars = columns_.size();
    m.probes = probes;
    if (cache_used_ + rows_ * sizeof(double) <= cache_bytes_) {
      auto out = m.expr.eval_batch(columns_, m.theta);
      if (!out) panic("search: a scored shape no longer evaluates");
      m.own = std::move(*out);
      m.cached = true;
      cache_used_ += rows_ * sizeof(double);
    }
    members_.push_back(std::move(m));
  }

  void reserve(std::size_t n) { members_.reserve(n); }

 private:
  struct Member {
    Expr expr;                         // Param nodes numbered in postfix order, holding the fitted constants
    std::vector<double> theta;         // the same constants
    Probes probes{};                   // meaningful for members without constants
    const double* external = nullptr;  // a variable's column, read in place
    bool cached = false;
    std::vector<double> own;
  };

  const Columns& columns_;
  const std::size_t cache_bytes_;
  const std::size_t rows_;
  std::size_t cache_used_ = 0;
  std::vector<Member> members_;
};

// Shapes of candidates: node counts, constants, nodes and probe values.
class Shapes {
 public:
  explicit Shapes(const Beam& beam) : beam_(beam) {}

  std::uint64_t complexity(const Cand& c) const noexcept {
    return beam_.complexity(c.a) + (arity(c.op) == 1 ? 0 : beam_.complexity(c.b)) + 1 +
           (c.lift == Lift::None ? 0 : 2);
  }
  std::size_t n_params(const Cand& c) const noexcept {
    return beam_.n_params(c.a) + (arity(c.op) == 1 ? 0 : beam_.n_params(c.b)) + (c.lift == Lift::None ? 0 : 1);
  }

  // The candidate's nodes, the new constant (if any) set to `value`, the
  // operands' constants as fitted; Param nodes renumbered in postfix order.
  void compose(const Cand& c, double value, std::vector<Node>& out) const {
    out.clear();
    const auto operand = [&](std::uint32_t m, bool lifted) {
      const std::vector<Node>& nodes = beam_.expr(m).nodes;
      if (lifted && constant_first(c.lift)) out.push_back(Node::param(0, value));
      out.insert(out.end(), nodes.begin(), nodes.end());
      if (lifted && !constant_first(c.lift)) out.push_back(Node::param(0, value));
      if (lifted) out.push_back(Node::op(lift_op(c.lift)));
    };
    operand(c.a, lifts_a(c.lift));
    if (arity(c.op) == 2) operand(c.b, lifts_b(c.lift));
    out.push_back(Node::op(c.op));
    renumber_params(out);
  }

  // The candidate's probe values (constants at their probe values); false
  // when an evaluation fails or is not finite.
  bool probes(const Cand& c, Probes& out, Expr& scratch, std::vector<double>& params) const {
    if (n_params(c) == 0) {
      const Probes& a = beam_.probes(c.a);
      const Probes& b = beam_.probes(c.b);
      for (std::size_t k = 0; k < kProbeCount; ++k) {
        if (!apply_op(c.op, a[k], b[k], out[k])) return false;
      }
      return true;
    }
    compose(c, 0.0, scratch.nodes);
    const std::size_t n = n_params(c);
    params.resize(n);
    for (std::size_t j = 0; j < n; ++j) params[j] = family_param_probe(j);
    const std::size_t vars = beam_.expr(0).n_vars;
    double point[256];
    std::vector<double> big;
    double* pt = point;
    if (vars > 256) {
      big.resize(vars);
      pt = big.data();
    }
    for (std::size_t k = 0; k < kProbeCount; ++k) {
      for (std::size_t i = 0; i < vars; ++i) pt[i] = family_var_probe(k, i);
      const std::optional<double> v = scratch.eval(std::span<const double>(pt, vars), params);
      if (!v || !std::isfinite(*v)) return false;
      out[k] = *v;
    }
    return true;
  }

 private:
  const Beam& beam_;
};

using Generated = BasicGenerated<Cand>;

// Shapes are keyed in blocks of this many: in parallel, then offered to the
// seen-set in generation order.
constexpr std::size_t kBlock = std::size_t{1} << 15;

// The level's shapes in generation order: for each member from new_begin on,
// the unary operators, then its unary shapes with a new constant; then for
// each such member i and each member j <= i, the binary operators (both
// operand orders where it matters), then the binary shapes with a new
// constant. Every shape fits the node budget and holds at most inner_cap
// constants; in each group the shapes without a new constant come first, so
// they win a family over one with a constant.
Generated generate(const Beam& beam, const Shapes& shapes, std::size_t new_begin, const Operators& ops,
                   std::uint64_t budget, std::size_t inner_cap, SeenSet& seen) {
  Generated out;
  // A shape's key: its family fingerprint, when every probe value is finite.
  Deduplicator dedup(
      seen, out,
      [&shapes] {
        return [&shapes, scratch = Expr{}, params = std::vector<double>{}](const Cand& c, ProbeBits& key) mutable {
          Probes p;
          if (!shapes.probes(c, p, scratch, params)) return false;
          for (double v : p) {
            if (!std::isfinite(v)) return false;
          }
          key = family_key(p);
          return true;
        };
      },
      kBlock, 512);
  const auto emit = [&dedup](std::size_t a, std::size_t b, Op op, Lift lift) {
    dedup.emit(Cand{static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b), op, lift});
  };
  const std::size_t end = beam.size();
  const auto offered = [&ops](Op u) { return std::find(ops.unary.begin(), ops.unary.end(), u) != ops.unary.end(); };
  for (std::size_t e = new_begin; e < end; ++e) {
    const std::uint64_t cx = beam.complexity(e);
    if (cx + 1 <= budget) {
      for (Op u : ops.unary) emit(e, e, u, Lift::None);
    }
    if (beam.n_params(e) + 1 <= inner_cap && cx + 3 <= budget) {
      for (const auto& [u, lift] : kUnaryLifts) {
        if (offered(u)) emit(e, e, u, lift);
      }
    }
  }
  for (std::size_t i = new_begin; i < end; ++i) {
    checkpoint(i + 1);
    for (std::size_t j = 0; j <= i; ++j) {
      const std::uint64_t cx = beam.complexity(i) + beam.complexity(j);
      if (cx + 1 > budget) continue;
      const std::size_t k = beam.n_params(i) + beam.n_params(j);
      if (k <= inner_cap) {
        for (Op o : ops.binary) {
          emit(i, j, o, Lift::None);
          if (order_sensitive(o) && i != j) emit(j, i, o, Lift::None);
        }
      }
      if (k + 1 <= inner_cap && cx + 3 <= budget) {
        if (i != j) emit(i, j, Op::Add, Lift::ScaleB);
        emit(i, j, Op::Mul, Lift::ShiftA);
        if (i != j) emit(i, j, Op::Mul, Lift::ShiftB);
        emit(i, j, Op::Div, Lift::ShiftB);
        if (i != j) {
          emit(i, j, Op::Div, Lift::ShiftA);
          emit(j, i, Op::Div, Lift::ShiftA);
          emit(j, i, Op::Div, Lift::ShiftB);
        }
      }
    }
  }
  dedup.flush();
  return out;
}

// A candidate's score: its wrapper and, for a new constant, that constant.
struct Score {
  double error = 0.0, loss = 0.0;
  double rank = 0.0;        // TargetStats::rank: what candidates are ordered by
  double a = 1.0, b = 0.0;  // the wrapper's coefficients
  double c = 0.0;           // the new constant
  Wrap wrap = Wrap::None;
  bool ok = false;
};

Score from_wrap(const Wrapped& w, double c) {
  Score s;
  s.ok = w.ok;
  s.error = w.error;
  s.loss = w.loss;
  s.rank = w.rank;
  s.a = w.a;
  s.b = w.b;
  s.c = c;
  s.wrap = w.wrap;
  return s;
}

// Rows the constants are fitted on first: with more rows than this, an
// evenly strided sample of them; the final losses always cover every row.
constexpr std::size_t kSampleRows = 256;

// The data at the sample rows (or all of it).
struct Sample {
  bool all = true;
  std::vector<std::size_t> index;
  Columns columns;
  std::vector<double> y;
  Target target{nullptr, 0, 0.0};
  TargetStats stats;

  Sample(const Columns& data, const Target& full, const TargetStats& full_stats) {
    const std::size_t m = full.common;
    if (m <= kSampleRows) {
      target = full;
      stats = full_stats;
      return;
    }
    all = false;
    for (std::size_t k = 0; k < kSampleRows; ++k) index.push_back(k * m / kSampleRows);
    columns.resize(data.size());
    for (std::size_t c = 0; c < data.size(); ++c) gather(data[c].data(), columns[c]);
    gather(full.y, y);
    target = Target{y.data(), y.size(), static_cast<double>(y.size())};
    stats = TargetStats::of(target);
  }
  void gather(const double* from, std::vector<double>& to) const {
    to.resize(index.size());
    for (std::size_t k = 0; k < index.size(); ++k) to[k] = from[index[k]];
  }
};

class Scorer {
 public:
  Scorer(const Beam& beam, const Shapes& shapes, const Columns& columns, const Target& target,
         const TargetStats& stats, double penalty, const detail::ConstantsTuning& tuning)
      : beam_(beam), shapes_(shapes), columns_(columns), target_(target), stats_(stats), penalty_(penalty),
        tuning_(tuning), sample_(columns, target, stats) {}

  // Per thread: scratch columns and fitters (all rows, sample rows).
  struct Work {
    explicit Work(const Scorer& s)
        : fitter(s.beam_.rows(), s.target_, s.stats_),
          sampled(s.sample_.all ? s.beam_.rows() : kSampleRows, s.sample_.target, s.sample_.stats) {}
    Fitter fitter, sampled;
    std::vector<double> sa, sb, out, ga, gb;
    Program prog;
    std::vector<Node> nodes;
  };

  // Cheap score: operands' constants as fitted, a new constant from fixed
  // starts and a few steps (on the sample rows).
  Score cheap(const Cand& c, Work& w) const {
    const std::size_t rows = beam_.rows();
    const std::uint64_t cx = shapes_.complexity(c);
    const double* ca = beam_.column(c.a, w.sa);
    const double* cb = arity(c.op) == 1 ? ca : beam_.column(c.b, w.sb);
    if (c.lift == Lift::None) {
      w.out.resize(rows);
      if (!fill_rows_for(c.op)(ca, cb, rows, w.out.data())) return Score{};
      return from_wrap(best_wrap(w.out.data(), rows, target_, stats_, penalty_, cx), 0.0);
    }
    const double* sa = ca;
    const double* sb = cb;
    if (!sample_.all) {
      sample_.gather(ca, w.ga);
      sa = w.ga.data();
      if (arity(c.op) == 2) {
        sample_.gather(cb, w.gb);
        sb = w.gb.data();
      } else {
        sb = sa;
      }
    }
    lifted_program(c, sa, sb, w.prog);
    double starts[9];
    const std::size_t n = start_values(c, sa, sb, sample_.all ? rows : kSampleRows, sample_, starts);
    double best = kInf, start = 0.0;
    for (std::size_t s = 0; s < n; ++s) {
      const double sse = w.sampled.affine_sse_at(w.prog, &starts[s]);
      if (sse < best) {
        best = sse;
        start = starts[s];
      }
    }
    if (!(best < kInf)) return Score{};
    std::vector<double> p{start};
    w.sampled.fit(w.prog, p, tuning_.cheap_evals);
    if (!sample_.all) lifted_program(c, ca, cb, w.prog);
    if (!w.fitter.eval(w.prog, p.data(), false)) return Score{};
    return from_wrap(best_wrap(w.fitter.values(), rows, target_, stats_, penalty_, cx), p[0]);
  }

  // Full fit of every inner constant from the cheap values, on the sample
  // rows; its score on all rows. The result when it beats `s`, with the
  // constants.
  std::optional<std::pair<Score, std::vector<double>>> full(const Cand& c, const Score& s, Work& w) const {
    shapes_.compose(c, s.c, w.nodes);
    std::vector<double> theta = param_values(w.nodes);
    if (sample_.all) return fit_all_rows(c, w.nodes, s, std::move(theta), tuning_.full_evals, w);
    if (std::optional<Program> part = compile(w.nodes, sample_.columns)) {
      w.sampled.fit(*part, theta, tuning_.full_evals);
    }
    return fit_all_rows(c, w.nodes, s, std::move(theta), 0, w);
  }

  // After a full fit on the sample rows: a few more steps on all rows.
  std::optional<std::pair<Score, std::vector<double>>> polish(const Cand& c, const Score& s,
                                                              std::vector<double> theta, Work& w) const {
    if (sample_.all) return std::nullopt;
    shapes_.compose(c, 0.0, w.nodes);
    set_param_values(w.nodes, theta);
    return fit_all_rows(c, w.nodes, s, std::move(theta), tuning_.polish_evals, w);
  }

 private:
  // The constants fitted on all rows (at most `evals` evaluations; 0: as
  // they are) and scored; the result when it beats `s`.
  std::optional<std::pair<Score, std::vector<double>>> fit_all_rows(const Cand& c, const std::vector<Node>& nodes,
                                                                    const Score& s, std::vector<double> theta,
                                                                    std::size_t evals, Work& w) const {
    std::optional<Program> prog = compile(nodes, columns_);
    if (!prog) return std::nullopt;
    if (evals > 0 && !(w.fitter.fit(*prog, theta, evals) < kInf)) return std::nullopt;
    if (!w.fitter.eval(*prog, theta.data(), false)) return std::nullopt;
    const Wrapped wrapped = best_wrap(w.fitter.values(), beam_.rows(), target_, stats_, penalty_,
                                      shapes_.complexity(c));
    if (!wrapped.ok || !error_before(wrapped.rank, s.rank)) return std::nullopt;
    return std::make_pair(from_wrap(wrapped, 0.0), std::move(theta));
  }

  // The program of a shape with a new constant (parameter 0) over the
  // operand columns a and b.
  static void lifted_program(const Cand& c, const double* a, const double* b, Program& prog) {
    prog.code.clear();
    prog.n_params = 1;
    const auto operand = [&](const double* col, bool lifted) {
      Instr column;
      column.kind = Instr::Kind::Column;
      column.column = col;
      Instr param;
      param.kind = Instr::Kind::Param;
      Instr op;
      op.kind = Instr::Kind::Op;
      op.op = lift_op(c.lift);
      if (lifted && constant_first(c.lift)) prog.code.push_back(param);
      prog.code.push_back(column);
      if (lifted && !constant_first(c.lift)) prog.code.push_back(param);
      if (lifted) prog.code.push_back(op);
    };
    operand(a, lifts_a(c.lift));
    if (arity(c.op) == 2) operand(b, lifts_b(c.lift));
    Instr top;
    top.kind = Instr::Kind::Op;
    top.op = c.op;
    prog.code.push_back(top);
  }

  // Starting values of a new constant, at most 9.
  static std::size_t start_values(const Cand& c, const double* ca, const double* cb, std::size_t rows,
                                  const Sample& sample, double* out) {
    const Target& target = sample.target;
    std::size_t n = 0;
    const double plain = scales(c.lift) ? 1.0 : 0.0;  // the shape without its constant
    if (linear_in_constant(c.op, c.lift)) {
      // y ≈ α·U + β·V + γ by least squares (centred); c = β / α.
      const auto uv = [&](std::size_t i, double& u, double& v) {
        const double a = ca[i], b = cb[i];
        switch (c.op) {
          case Op::Add: u = a; v = b; break;
          case Op::Mul: u = a * b; v = c.lift == Lift::ShiftA ? b : a; break;
          default: u = a / b; v = 1.0 / b; break;  // Div, ShiftA
        }
      };
      const std::size_t m = target.common;
      double su = 0.0, sv = 0.0;
      for (std::size_t i = 0; i < m; ++i) {
        double u, v;
        uv(i, u, v);
        su += u;
        sv += v;
      }
      const double mu = su / static_cast<double>(m), mv = sv / static_cast<double>(m);
      double suu = 0.0, suv = 0.0, svv = 0.0, suy = 0.0, svy = 0.0;
      for (std::size_t i = 0; i < m; ++i) {
        double u, v;
        uv(i, u, v);
        const double du = u - mu, dv = v - mv, dy = target.y[i] - sample.stats.mean;
        suu += du * du;
        suv += du * dv;
        svv += dv * dv;
        suy += du * dy;
        svy += dv * dy;
      }
      const double det = suu * svv - suv * suv;
      if (det > 0.0) {
        const double alpha = (svv * suy - suv * svy) / det;
        const double beta = (suu * svy - suv * suy) / det;
        const double value = beta / alpha;
        if (std::isfinite(value)) out[n++] = value;
      }
      out[n++] = plain;
      return n;
    }
    const double* u = lifts_a(c.lift) ? ca : cb;
    double lo = kInf, hi = -kInf;
    for (std::size_t i = 0; i < rows; ++i) {
      lo = std::fmin(lo, u[i]);
      hi = std::fmax(hi, u[i]);
    }
    if (!reflects(c.lift)) out[n++] = plain;
    if (!(lo <= hi) || !std::isfinite(hi - lo)) return n;
    if (scales(c.lift) && c.op == Op::Exp) {  // c·g spanning up to ±0.3, ±1, ±3
      const double s = std::fmax(std::fabs(lo), std::fabs(hi));
      if (s > 0.0) {
        for (double t : {-1.0, 3.0, -3.0, 0.3, -0.3}) out[n++] = t / s;
      }
      return n;
    }
    if (scales(c.lift)) {  // sin, cos: phases across the rows 1.5 rad apart, up to 12 (about two periods)
      if (hi - lo > 0.0) {
        for (int k = 1; k <= 8; ++k) out[n++] = 1.5 * k / (hi - lo);
      }
      return n;
    }
    double w = hi - lo;
    if (!(w > 0.0)) w = std::fmax(std::fabs(lo), 1.0);
    if (reflects(c.lift)) {  // c - g above 0 on every row
      for (double t : {0.1, 1.0, 10.0}) out[n++] = hi + t * w;
      return n;
    }
    for (double t : {0.1, 1.0, 10.0}) out[n++] = t * w - lo;
    if (c.op == Op::Inv || c.op == Op::Div) {
      for (double t : {0.1, 1.0}) out[n++] = -hi - t * w;
    }
    return n;
  }

  const Beam& beam_;
  const Shapes& shapes_;
  const Columns& columns_;
  const Target& target_;
  const TargetStats& stats_;
  const double penalty_;
  const detail::ConstantsTuning& tuning_;
  const Sample sample_;
};

// The formula of a shape with its wrapper: nodes, params, text.
SearchResult make_record(std::vector<Node> shape, const Score& s, std::size_t n_vars) {
  std::vector<Node> nodes;
  nodes.reserve(shape.size() + 4);
  const bool scale = s.wrap == Wrap::Scale || s.wrap == Wrap::Affine;
  const bool offset = s.wrap == Wrap::Offset || s.wrap == Wrap::Affine;
  if (scale) nodes.push_back(Node::param(0, s.a));
  nodes.insert(nodes.end(), shape.begin(), shape.end());
  if (scale) nodes.push_back(Node::op(Op::Mul));
  if (offset) {
    nodes.push_back(Node::param(0, s.b));
    nodes.push_back(Node::op(Op::Add));
  }
  renumber_params(nodes);
  SearchResult r;
  r.params = param_values(nodes);
  r.expr.nodes = std::move(nodes);
  r.expr.n_vars = n_vars;
  r.formula = r.expr.to_string();
  r.complexity = r.expr.complexity();
  r.error = s.error;
  r.loss = s.loss;
  return r;
}

class Engine : public LevelLoop<Engine> {
 public:
  Engine(const Columns& columns, const std::vector<double>& target, const SearchConfig& config,
         const ConstantsConfig& constants, const SearchHooks* hooks, SearchStats* stats, Front* front,
         const detail::ConstantsTuning& tuning)
      : LevelLoop(columns, config, hooks, stats),
        front_(front),
        tuning_(tuning),
        inner_cap_(constants.max_params - 2),
        ops_(Operators::of(config.use_trig, config.use_vek)),
        beam_(columns, tuning.column_cache_bytes),
        shapes_(beam_),
        target_{target.data(), std::min(beam_.rows(), target.size()), static_cast<double>(target.size())},
        stats_y_(TargetStats::of(target_)),
        scorer_(beam_, shapes_, columns, target_, stats_y_, config.complexity_penalty, tuning) {
    if (constants.max_params < 2) panic("search: max_params must be at least 2");
  }

 private:
  friend class LevelLoop<Engine>;
  std::size_t beam_size() const { return beam_.size(); }
  void leaf_level();
  bool expansion_level(std::size_t level, std::size_t new_begin);

  std::vector<Score> score(const std::vector<Cand>& cands, std::vector<std::vector<double>>& fitted);
  SearchResult record(const Cand& c, const Score& s, const std::vector<double>& theta) const {
    std::vector<Node> shape;
    shape_of(c, s, theta, shape);
    return make_record(std::move(shape), s, columns_.size());
  }
  void shape_of(const Cand& c, const Score& s, const std::vector<double>& theta, std::vector<Node>& out) const {
    shapes_.compose(c, s.c, out);
    if (!theta.empty()) set_param_values(out, theta);
  }
  void offer_best(const Score& s, const std::function<SearchResult()>& make) {
    if (!s.ok) return;
    if (!best_ || s.rank < best_rank_) {
      best_ = make();
      best_rank_ = s.rank;
    }
  }

  std::size_t fit_quota() const {
    if (tuning_.fits_per_level != 0) return tuning_.fits_per_level;
    return static_cast<std::size_t>(std::max<std::uint64_t>(64, config_.beam_width / 4));
  }

  Front* front_;
  const detail::ConstantsTuning& tuning_;
  const std::size_t inner_cap_;
  const Operators ops_;

  Beam beam_;
  Shapes shapes_;
  const Target target_;
  const TargetStats stats_y_;
  Scorer scorer_;
  double best_rank_ = 0.0;
};

void Engine::leaf_level() {
  // The constant family first (one constant: the target's mean), then each
  // variable, wrapped.
  Generated g;
  std::vector<Score> scores;
  std::vector<std::vector<Node>> shapes;
  ++g.generated;
  ++g.fingerprinted;
  seen_.insert(ProbeBits{});
  if (target_.common > 0) {
    Score s;
    s.c = stats_y_.mean;
    double sse = 0.0;
    for (std::size_t i = 0; i < target_.common; ++i) {
      const double d = s.c - target_.y[i];
      sse += d * d;
    }
    s.ok = true;
    s.loss = rmse_of(sse, target_.length);
    s.error = penalised(s.loss, complexity_factor(config_.complexity_penalty, 1));
    s.rank = stats_y_.rank(s.loss, complexity_factor(config_.complexity_penalty, 1));
    scores.push_back(s);
    shapes.push_back({Node::param(0, s.c)});
  }
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    checkpoint();
    ++g.generated;
    Probes p;
    for (std::size_t k = 0; k < kProbeCount; ++k) p[k] = family_var_probe(k, i);
    ++g.fingerprinted;
    if (seen_.insert(family_key(p))) continue;
    const Wrapped w = best_wrap(columns_[i].data(), beam_.rows(), target_, stats_y_, config_.complexity_penalty, 1);
    scores.push_back(from_wrap(w, 0.0));
    shapes.push_back({Node::var(i)});
    beam_.add_var(i, p);
  }
  const auto make = [&](std::size_t i) { return make_record(shapes[i], scores[i], columns_.size()); };
  for (std::size_t i = 0; i < scores.size(); ++i) offer_best(scores[i], [&] { return make(i); });
  if (front_ != nullptr) {
    Scores s;
    for (const Score& x : scores) {
      s.error.push_back(x.error);
      s.loss.push_back(x.loss);
      s.ok.push_back(x.ok);
    }
    front_->merge(
        s, [&](std::size_t i) { return static_cast<std::uint64_t>(shapes[i].size() + wrap_nodes(scores[i].wrap)); },
        make);
  }
  report(0, g, scores.size());
}

std::vector<Score> Engine::score(const std::vector<Cand>& cands, std::vector<std::vector<double>>& fitted) {
  const std::size_t count = cands.size();
  std::vector<Score> scores(count);
  const std::size_t rows = beam_.rows();
  par::for_ranges(
      count,
      [&](std::size_t b, std::size_t e) {
        Scorer::Work w(scorer_);
        for (std::size_t i = b; i < e; ++i) {
          checkpoint(cands[i].lift == Lift::None ? rows : 16 * rows);
          scores[i] = scorer_.cheap(cands[i], w);
        }
      },
      std::max<std::size_t>(2, 1024 / std::max<std::size_t>(1, rows)));

  // The best-ranked shapes with constants get a full fit.
  std::vector<Ranked> chosen;
  for (std::size_t i = 0; i < count; ++i) {
    if (scores[i].ok && shapes_.n_params(cands[i]) > 0) {
      chosen.push_back(Ranked{scores[i].rank, static_cast<std::uint32_t>(i)});
    }
  }
  keep_first_ranked(chosen, std::min(chosen.size(), fit_quota()));
  fitted.assign(count, {});

  // fit(cand, score, w) for each of `which` in parallel; a successful fit
  // replaces the shape's score and fitted constants.
  const auto refit = [&](const std::vector<Ranked>& which, const auto& fit) {
    std::vector<std::optional<std::pair<Score, std::vector<double>>>> results(which.size());
    par::for_ranges(
        which.size(),
        [&](std::size_t b, std::size_t e) {
          Scorer::Work w(scorer_);
          for (std::size_t k = b; k < e; ++k) {
            checkpoint(64 * rows);
            results[k] = fit(which[k].index, w);
          }
        },
        2);
    for (std::size_t k = 0; k < which.size(); ++k) {
      if (!results[k]) continue;
      scores[which[k].index] = results[k]->first;
      fitted[which[k].index] = std::move(results[k]->second);
    }
  };
  refit(chosen, [&](std::uint32_t i, Scorer::Work& w) { return scorer_.full(cands[i], scores[i], w); });

  // Fits made on a sample of the rows: the best few get a few more steps on
  // all of them.
  std::vector<Ranked> best;
  for (const Ranked& r : chosen) {
    if (!fitted[r.index].empty()) best.push_back(Ranked{scores[r.index].rank, r.index});
  }
  keep_first_ranked(best, std::min(best.size(), tuning_.polish_per_level));
  refit(best, [&](std::uint32_t i, Scorer::Work& w) { return scorer_.polish(cands[i], scores[i], fitted[i], w); });
  return scores;
}

bool Engine::expansion_level(std::size_t level, std::size_t new_begin) {
  const Generated g = generate(beam_, shapes_, new_begin, ops_, config_.max_complexity, inner_cap_, seen_);
  if (g.survivors.empty()) {
    count(g);
    return false;
  }
  const std::vector<Cand>& cands = g.survivors;
  if (cands.size() > std::numeric_limits<std::uint32_t>::max()) panic("search: too many candidates in one level");
  const bool last_level = level + 1 >= config_.max_complexity;

  std::vector<std::vector<double>> fitted;
  const std::vector<Score> scores = score(cands, fitted);

  // The best: strictly smaller ranks only (earlier candidates win ties).
  std::optional<std::size_t> winner;
  double current = best_ ? best_rank_ : 0.0;
  for (std::size_t i = 0; i < cands.size(); ++i) {
    if (!scores[i].ok) continue;
    if ((!best_ && !winner) || scores[i].rank < current) {
      winner = i;
      current = scores[i].rank;
    }
  }
  if (winner) {
    best_ = record(cands[*winner], scores[*winner], fitted[*winner]);
    best_rank_ = current;
  }

  if (front_ != nullptr) {
    Scores s;
    s.error.resize(cands.size());
    s.loss.resize(cands.size());
    s.ok.resize(cands.size());
    for (std::size_t i = 0; i < cands.size(); ++i) {
      s.error[i] = scores[i].error;
      s.loss[i] = scores[i].loss;
      s.ok[i] = scores[i].ok;
    }
    front_->merge(
        s, [&](std::size_t i) { return shapes_.complexity(cands[i]) + wrap_nodes(scores[i].wrap); },
        [&](std::size_t i) { return record(cands[i], scores[i], fitted[i]); });
  }
  report(level, g, cands.size());
  if (goal_met() || last_level) return false;

  std::vector<Ranked> joining;
  for (std::size_t i = 0; i < cands.size(); ++i) {
    if (scores[i].ok) joining.push_back(Ranked{scores[i].rank, static_cast<std::uint32_t>(i)});
  }
  const std::uint64_t quarter = config_.beam_width / 4;
  keep_first_ranked(joining, static_cast<std::size_t>(std::min<std::uint64_t>(quarter, joining.size())));
  if (beam_.size() + joining.size() > std::numeric_limits<std::uint32_t>::max()) panic("search: beam too large");
  beam_.reserve(beam_.size() + joining.size());
  std::vector<Node> nodes;
  for (const Ranked& r : joining) {
    checkpoint(beam_.rows());
    const Cand& c = cands[r.index];
    shape_of(c, scores[r.index], fitted[r.index], nodes);
    Probes p{};
    if (shapes_.n_params(c) == 0) {
      const Probes& a = beam_.probes(c.a);
      const Probes& b = beam_.probes(c.b);
      for (std::size_t k = 0; k < kProbeCount; ++k) apply_op(c.op, a[k], b[k], p[k]);
    }
    beam_.add(nodes, p);
  }
  return true;
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
  Front front;
  Engine engine(columns, target, config, constants, hooks, &out.stats, &front, tuning);
  engine.run_into(out, front);
  return out;
}

}  // namespace detail

}  // namespace vek::discover

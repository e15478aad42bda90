#include "vek/discover/shape_score.hpp"

#include <cmath>
#include <limits>

#include "vek/discover/rank.hpp"
#include "vek/discover/row_ops.hpp"
#include "vek/discover/starts.hpp"

namespace vek::discover {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The program of a shape with a new constant (parameter 0) over the
// operand columns a and b.
void lifted_program(const Cand& c, const double* a, const double* b, Program& prog) {
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

}  // namespace

ShapeScore ShapeScore::of(const Wrapped& w, double c) noexcept {
  ShapeScore s;
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

Sample::Sample(const std::vector<std::vector<double>>& data, const Target& full, const TargetStats& full_stats) {
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
  if (full.w != nullptr) {
    gather(full.w, w);
    target = target_of(y.data(), y.size(), y.size(), w);
  }
  stats = TargetStats::of(target);
  stats.unit = full_stats.unit;
}

void Sample::gather(const double* from, std::vector<double>& to) const {
  to.resize(index.size());
  for (std::size_t k = 0; k < index.size(); ++k) to[k] = from[index[k]];
}

ShapeScorer::ShapeScorer(const Beam& beam, const std::vector<std::vector<double>>& columns, const Target& target,
                         const TargetStats& stats, double penalty, const FitBudget& budget)
    : beam_(beam),
      columns_(columns),
      target_(target),
      stats_(stats),
      penalty_(penalty),
      budget_(budget),
      sample_(columns, target, stats) {}

ShapeScorer::Work::Work(const ShapeScorer& s)
    : fitter(s.beam_.rows(), s.target_, s.stats_),
      sampled(s.sample_.rows(s.beam_.rows()), s.sample_.target, s.sample_.stats) {}

ShapeScore ShapeScorer::cheap(const Cand& c, Work& w) const {
  const std::size_t rows = beam_.rows();
  const std::uint64_t cx = beam_.complexity(c);
  const double* ca = w.columns.get(beam_, c.a);
  const double* cb = arity(c.op) == 1 ? ca : w.columns.get(beam_, c.b);
  if (c.lift == Lift::None) {
    w.out.resize(rows);
    if (!fill_rows_for(c.op)(ca, cb, rows, w.out.data())) return ShapeScore{};
    return ShapeScore::of(wrap(w.out.data(), cx), 0.0);
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
  const Starts starts = start_values(c, sa, sb, sample_.rows(rows), sample_.target, sample_.stats);
  double best = kInf, start = 0.0;
  for (std::size_t s = 0; s < starts.size(); ++s) {
    const double sse = w.sampled.affine_sse_at(w.prog, &starts.data()[s]);
    if (sse < best) {
      best = sse;
      start = starts[s];
    }
  }
  if (!(best < kInf)) return ShapeScore{};
  std::vector<double> p{start};
  w.sampled.fit(w.prog, p, budget_.cheap_evals);
  if (!sample_.all) lifted_program(c, ca, cb, w.prog);
  if (!w.fitter.eval(w.prog, p.data(), false)) return ShapeScore{};
  return ShapeScore::of(wrap(w.fitter.values(), cx), p[0]);
}

Refit ShapeScorer::full(const Cand& c, const ShapeScore& s, Work& w) const {
  beam_.compose(c, s.c, w.nodes);
  std::vector<double> theta = param_values(w.nodes);
  if (sample_.all) return fit_all_rows(c, w.nodes, s, std::move(theta), budget_.full_evals, w);
  if (std::optional<Program> part = compile(w.nodes, sample_.columns)) {
    w.sampled.fit(*part, theta, budget_.full_evals);
  }
  return fit_all_rows(c, w.nodes, s, std::move(theta), 0, w);
}

Refit ShapeScorer::polish(const Cand& c, const ShapeScore& s, std::vector<double> theta, Work& w) const {
  if (sample_.all) return std::nullopt;
  beam_.compose(c, 0.0, w.nodes);
  set_param_values(w.nodes, theta);
  return fit_all_rows(c, w.nodes, s, std::move(theta), budget_.polish_evals, w);
}

// The constants fitted on all rows (at most `evals` evaluations; 0: as they
// are) and scored; the result when it ranks before `s`.
Refit ShapeScorer::fit_all_rows(const Cand& c, const std::vector<Node>& nodes, const ShapeScore& s,
                                std::vector<double> theta, std::size_t evals, Work& w) const {
  std::optional<Program> prog = compile(nodes, columns_);
  if (!prog) return std::nullopt;
  if (evals > 0 && !(w.fitter.fit(*prog, theta, evals) < kInf)) return std::nullopt;
  if (!w.fitter.eval(*prog, theta.data(), false)) return std::nullopt;
  const Wrapped wrapped = wrap(w.fitter.values(), beam_.complexity(c));
  if (!wrapped.ok || !error_before(wrapped.rank, s.rank)) return std::nullopt;
  return std::make_pair(ShapeScore::of(wrapped, 0.0), std::move(theta));
}

}  // namespace vek::discover

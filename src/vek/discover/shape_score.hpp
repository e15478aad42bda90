// Scoring of shapes in the search with fitted constants (constants.hpp):
// a cheap score from the operands' cached columns (a new constant from its
// starting values and a few steps), a full joint fit of all inner
// constants, and a polish on all rows of fits made on a sample of them.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "vek/discover/affine.hpp"
#include "vek/discover/beam.hpp"
#include "vek/discover/fit.hpp"
#include "vek/discover/score.hpp"

namespace vek::discover {

// A shape's score: its wrapper and, for a new constant, that constant.
struct ShapeScore {
  double error = 0.0, loss = 0.0;
  double rank = 0.0;        // TargetStats::rank: what candidates are ordered by
  double a = 1.0, b = 0.0;  // the wrapper's coefficients
  double c = 0.0;           // the new constant
  Wrap wrap = Wrap::None;
  bool ok = false;

  static ShapeScore of(const Wrapped& w, double c) noexcept;
};

// A score with the shape's fitted inner constants (postfix order).
using Refit = std::optional<std::pair<ShapeScore, std::vector<double>>>;

// Evaluation budgets of the fits.
struct FitBudget {
  std::size_t cheap_evals = 6;
  std::size_t full_evals = 50;
  std::size_t polish_evals = 10;
};

// Rows the constants are fitted on first: with more rows than this, an
// evenly strided sample of them; the final losses always cover every row.
inline constexpr std::size_t kSampleRows = 256;

// The data at the sample rows (or all of it).
struct Sample {
  bool all = true;
  std::vector<std::size_t> index;
  std::vector<std::vector<double>> columns;
  std::vector<double> y;
  std::vector<double> w;  // the row weights there (empty: none)
  Target target{nullptr, 0, 0.0};
  TargetStats stats;

  Sample(const std::vector<std::vector<double>>& data, const Target& full, const TargetStats& full_stats);
  void gather(const double* from, std::vector<double>& to) const;
  std::size_t rows(std::size_t all_rows) const noexcept { return all ? all_rows : kSampleRows; }
};

class ShapeScorer {
 public:
  ShapeScorer(const Beam& beam, const std::vector<std::vector<double>>& columns, const Target& target,
              const TargetStats& stats, double penalty, const FitBudget& budget);

  // Per thread: operand columns, scratch columns and fitters (all rows,
  // sample rows).
  struct Work {
    explicit Work(const ShapeScorer& s);
    Fitter fitter, sampled;
    ColumnMemo columns;
    std::vector<double> out, ga, gb;
    Program prog;
    std::vector<Node> nodes;
  };

  // Cheap score: operands' constants as fitted, a new constant from its
  // starting values and a few steps (on the sample rows).
  ShapeScore cheap(const Cand& c, Work& w) const;
  // Full fit of every inner constant from the cheap values, on the sample
  // rows; its score on all rows. The result when it ranks before `s`.
  Refit full(const Cand& c, const ShapeScore& s, Work& w) const;
  // After a full fit on the sample rows: a few more steps on all rows. The
  // result when it ranks before `s` (so a polish never worsens a record).
  Refit polish(const Cand& c, const ShapeScore& s, std::vector<double> theta, Work& w) const;

  // The wrapped score of a column of all rows.
  Wrapped wrap(const double* g, std::uint64_t shape_complexity) const noexcept {
    return best_wrap(g, beam_.rows(), target_, stats_, penalty_, shape_complexity);
  }

 private:
  Refit fit_all_rows(const Cand& c, const std::vector<Node>& nodes, const ShapeScore& s, std::vector<double> theta,
                     std::size_t evals, Work& w) const;

  const Beam& beam_;
  const std::vector<std::vector<double>>& columns_;
  const Target& target_;
  const TargetStats& stats_;
  const double penalty_;
  const FitBudget budget_;
  const Sample sample_;
};

}  // namespace vek::discover

// Fitting of the free constants inside a shape (its Param nodes) for the
// search with fitted constants.
//
// A shape g(p) is fitted as a·g(p) + b: for every trial p the outer a and b
// come in closed form (affine.hpp), and a Levenberg–Marquardt iteration
// moves p. Each step solves the (k + 2)-square normal equations of the
// model's Jacobian [a·∂g/∂p_1 … a·∂g/∂p_k, g, 1] with Marquardt's diagonal
// damping (k is small: a few constants), keeps p only when the closed-form
// error falls, and stops on a converged error, an exact fit, a damping past
// 1e12 or the evaluation budget. Derivatives are exact, carried forward
// through the program next to the values.
//
// Shapes run as column programs: postfix instructions over whole columns in
// which every subtree without constants is one column computed beforehand
// (or a beam member's cached column), so a step costs only the operators
// above the constants. Values come from apply_op (expr.hpp) on the same
// operands as the row-by-row evaluator, so a program's values equal the
// expression's bit for bit.
//
// Everything here is serial and runs in a fixed order: a fit's result does
// not depend on the thread that runs it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "vek/discover/affine.hpp"
#include "vek/discover/expr.hpp"
#include "vek/discover/score.hpp"

namespace vek::discover {

struct Instr {
  enum class Kind : std::uint8_t { Column, Scalar, Param, Op };
  Kind kind = Kind::Scalar;
  Op op = Op::Neg;
  std::uint32_t param = 0;         // Param: index into the parameter vector
  double value = 0.0;              // Scalar; Op: a unary operator's own value
  const double* column = nullptr;  // Column: one value per row
};

// A column program. Columns it computed itself live in `owned`; it moves
// but does not copy (its instructions point into them).
struct Program {
  std::vector<Instr> code;
  std::vector<std::vector<double>> owned;
  std::size_t n_params = 0;  // parameters read: indices below this

  Program() = default;
  Program(Program&&) = default;
  Program& operator=(Program&&) = default;
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
};

// The program of a shape over `columns` (each maximal subtree without Param
// nodes becomes one column: a variable is read in place, a constant is a
// scalar, anything else is evaluated here). No program when such a subtree
// fails on some row.
std::optional<Program> compile(const std::vector<Node>& nodes, const std::vector<std::vector<double>>& columns);

// Solves the n×n system m·x = r (row-major m, destroyed) by Gaussian
// elimination with partial pivoting. False when singular or not finite.
bool solve_linear(double* m, double* r, std::size_t n, double* x);

// Evaluates and fits programs over `rows` rows against a target. Holds the
// scratch columns of its evaluations: one per thread.
class Fitter {
 public:
  Fitter(std::size_t rows, const Target& target, const TargetStats& stats);

  // The values of `prog` at parameters p on every row and, with `jac`, the
  // derivatives by each parameter. False when some row fails.
  bool eval(const Program& prog, const double* p, bool jac);
  // The values of the last successful eval().
  const double* values() const noexcept { return values_; }

  // The smallest Σ (a·g + b - y)² over a and b for g = prog(p) (closed form);
  // +inf when the program fails at p.
  double affine_sse_at(const Program& prog, const double* p);

  // Fits p (starting from its values, at most `max_evals` evaluations) and
  // returns the closed-form error of the result, which p then holds; +inf
  // when the program fails at the start.
  double fit(const Program& prog, std::vector<double>& p, std::size_t max_evals);

 private:
  struct Slot {
    const double* v = nullptr;  // column values, or nullptr for a scalar
    double s = 0.0;             // scalar value
    const double* t = nullptr;  // tangent columns (k × rows), when a column depends on parameters
    std::uint32_t param = 0;    // scalar parameter's index
    bool dep = false;           // depends on the parameters
  };

  const std::size_t rows_;
  const Target& target_;
  const TargetStats& stats_;
  std::vector<double> vbuf_, tbuf_;
  std::vector<Slot> stack_;
  const double* values_ = nullptr;
  std::size_t k_ = 0;
};

}  // namespace vek::discover

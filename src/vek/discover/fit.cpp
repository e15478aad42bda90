#include "vek/discover/fit.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "vek/common/guards.hpp"

namespace vek::discover {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kStartDamping = 1e-3;
constexpr double kMaxDamping = 1e12;
constexpr double kConverged = 1e-10;  // relative fall of the error that ends a fit
constexpr std::size_t kMaxUnknowns = 16;

}  // namespace

bool solve_linear(double* m, double* r, std::size_t n, double* x) {
  for (std::size_t c = 0; c < n; ++c) {
    std::size_t piv = c;
    for (std::size_t i = c + 1; i < n; ++i) {
      if (std::fabs(m[i * n + c]) > std::fabs(m[piv * n + c])) piv = i;
    }
    if (!(std::fabs(m[piv * n + c]) > 1e-300)) return false;
    if (piv != c) {
      for (std::size_t j = 0; j < n; ++j) std::swap(m[c * n + j], m[piv * n + j]);
      std::swap(r[c], r[piv]);
    }
    for (std::size_t i = c + 1; i < n; ++i) {
      const double f = m[i * n + c] / m[c * n + c];
      if (f == 0.0) continue;
      for (std::size_t j = c; j < n; ++j) m[i * n + j] -= f * m[c * n + j];
      r[i] -= f * r[c];
    }
  }
  for (std::size_t c = n; c-- > 0;) {
    double s = r[c];
    for (std::size_t j = c + 1; j < n; ++j) s -= m[c * n + j] * x[j];
    x[c] = s / m[c * n + c];
    if (!std::isfinite(x[c])) return false;
  }
  return true;
}

std::optional<Program> compile(const std::vector<Node>& nodes, const std::vector<std::vector<double>>& columns) {
  const std::size_t n = nodes.size();
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::vector<std::size_t> begin(n), parent(n, kNone);
  std::vector<std::uint8_t> has_param(n);
  std::vector<std::size_t> stack;
  Program prog;
  for (std::size_t i = 0; i < n; ++i) {
    const Node& node = nodes[i];
    if (node.kind != Node::Kind::Op) {
      begin[i] = i;
      has_param[i] = node.kind == Node::Kind::Param;
      if (has_param[i]) prog.n_params = std::max(prog.n_params, node.index + 1);
      stack.push_back(i);
      continue;
    }
    const unsigned k = arity(node.opcode);
    if (stack.size() < k) return std::nullopt;
    bool p = false;
    for (unsigned j = 0; j < k; ++j) {
      const std::size_t child = stack[stack.size() - k + j];
      parent[child] = i;
      p = p || has_param[child];
    }
    begin[i] = begin[stack[stack.size() - k]];
    has_param[i] = p;
    stack.resize(stack.size() - k);
    stack.push_back(i);
  }
  if (stack.size() != 1) return std::nullopt;

  for (std::size_t i = 0; i < n; ++i) {
    const Node& node = nodes[i];
    Instr in;
    if (has_param[i]) {
      if (node.kind == Node::Kind::Param) {
        in.kind = Instr::Kind::Param;
        in.param = static_cast<std::uint32_t>(node.index);
      } else {
        in.kind = Instr::Kind::Op;
        in.op = node.opcode;
        in.value = node.value;  // a unary operator's own value (an exponent)
      }
      prog.code.push_back(in);
      continue;
    }
    if (parent[i] != kNone && !has_param[parent[i]]) continue;  // inside a larger subtree without constants
    if (begin[i] == i && node.kind == Node::Kind::Var) {
      if (node.index >= columns.size()) return std::nullopt;
      in.kind = Instr::Kind::Column;
      in.column = columns[node.index].data();
    } else if (begin[i] == i && node.kind == Node::Kind::Const) {
      in.kind = Instr::Kind::Scalar;
      in.value = node.value;
    } else {
      Expr sub;
      sub.nodes.assign(nodes.begin() + static_cast<std::ptrdiff_t>(begin[i]),
                       nodes.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      auto col = sub.eval_batch(columns, {});
      if (!col) return std::nullopt;
      prog.owned.push_back(std::move(*col));
      in.kind = Instr::Kind::Column;
      in.column = prog.owned.back().data();
    }
    prog.code.push_back(in);
  }
  return prog;
}

Fitter::Fitter(std::size_t rows, const Target& target, const TargetStats& stats)
    : rows_(rows), target_(target), stats_(stats) {}

bool Fitter::eval(const Program& prog, const double* p, bool jac) {
  const std::size_t rows = rows_;
  const std::size_t k = prog.n_params;
  k_ = k;
  const std::size_t depth = prog.code.size();
  if (vbuf_.size() < depth * rows) vbuf_.resize(depth * rows);
  if (jac && tbuf_.size() < depth * k * rows) tbuf_.resize(depth * k * rows);
  stack_.clear();
  for (const Instr& in : prog.code) {
    switch (in.kind) {
      case Instr::Kind::Column: stack_.push_back(Slot{in.column, 0.0, nullptr, 0, false}); break;
      case Instr::Kind::Scalar: stack_.push_back(Slot{nullptr, in.value, nullptr, 0, false}); break;
      case Instr::Kind::Param: stack_.push_back(Slot{nullptr, p[in.param], nullptr, in.param, true}); break;
      case Instr::Kind::Op: {
        const unsigned n = arity(in.op);
        if (stack_.size() < n) return false;
        const std::size_t d = stack_.size() - n;  // the result's slot
        const Slot A = stack_[d];
        const Slot B = n == 2 ? stack_[d + 1] : A;
        double* out = vbuf_.data() + d * rows;
        const bool dep = A.dep || (n == 2 && B.dep);
        double* tout = jac && dep ? tbuf_.data() + d * k * rows : nullptr;
        const Op op = in.op;
        for (std::size_t i = 0; i < rows; ++i) {
          const double a = A.v != nullptr ? A.v[i] : A.s;
          const double b = n == 1 ? in.value : (B.v != nullptr ? B.v[i] : B.s);
          double v;
          if (!apply_op(op, a, b, v)) return false;
          if (tout != nullptr) {
            double da, db;
            op_partials(op, a, b, v, da, db);
            for (std::size_t j = 0; j < k; ++j) {
              double t = 0.0;
              if (A.dep) t += da * (A.v != nullptr ? A.t[j * rows + i] : (A.param == j ? 1.0 : 0.0));
              if (n == 2 && B.dep) t += db * (B.v != nullptr ? B.t[j * rows + i] : (B.param == j ? 1.0 : 0.0));
              tout[j * rows + i] = t;
            }
          }
          out[i] = v;
        }
        stack_.resize(d);
        stack_.push_back(Slot{out, 0.0, tout, 0, dep && tout != nullptr});
        break;
      }
    }
  }
  if (stack_.size() != 1) return false;
  Slot& top = stack_[0];
  if (top.v == nullptr) {  // a lone scalar: spread it over the rows
    double* out = vbuf_.data();
    std::fill(out, out + rows, top.s);
    if (jac && top.dep) {
      double* tout = tbuf_.data();
      for (std::size_t j = 0; j < k; ++j) std::fill(tout + j * rows, tout + (j + 1) * rows, j == top.param ? 1.0 : 0.0);
      top.t = tout;
    }
    top.v = out;
  }
  if (jac && !top.dep) {  // no parameter reached the result: zero derivatives
    double* tout = tbuf_.data();
    std::fill(tout, tout + k * rows, 0.0);
    top.t = tout;
  }
  if (jac && top.t != tbuf_.data()) std::copy(top.t, top.t + k * rows, tbuf_.data());
  values_ = top.v;
  return true;
}

double Fitter::affine_sse_at(const Program& prog, const double* p) {
  if (!eval(prog, p, false)) return kInf;
  const AffineFit f = affine_fit(values_, target_, stats_);
  const double sse = affine_sse(values_, target_, f.a, f.b);
  return std::isnan(sse) ? kInf : sse;
}

double Fitter::fit(const Program& prog, std::vector<double>& p, std::size_t max_evals) {
  const std::size_t k = prog.n_params;
  if (p.size() < k) return kInf;
  if (k == 0 || k + 2 > kMaxUnknowns) return affine_sse_at(prog, p.data());
  if (!eval(prog, p.data(), true)) return kInf;
  AffineFit af = affine_fit(values_, target_, stats_);
  double sse = affine_sse(values_, target_, af.a, af.b);
  if (std::isnan(sse)) return kInf;
  const double done = stats_.squares * 1e-30;
  const std::size_t m = target_.common;
  const std::size_t n = k + 2;
  std::array<double, kMaxUnknowns * kMaxUnknowns> N{}, M{};
  std::array<double, kMaxUnknowns> v{}, r{}, d{}, col{};
  std::vector<double> trial(k);
  double lambda = kStartDamping;
  std::size_t evals = 1;
  while (evals < max_evals && sse > done) {
    // Normal equations of the columns a·∂g/∂p_j, g, 1 at the current point.
    const double* g = values_;
    const double* t = tbuf_.data();
    std::fill(N.begin(), N.begin() + static_cast<std::ptrdiff_t>(n * n), 0.0);
    std::fill(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n), 0.0);
    const double* w = target_.w;
    for (std::size_t i = 0; i < m; ++i) {
      for (std::size_t j = 0; j < k; ++j) col[j] = af.a * t[j * rows_ + i];
      col[k] = g[i];
      col[k + 1] = 1.0;
      const double res = (af.a * g[i] + af.b) - target_.y[i];
      if (w != nullptr) {
        // Weighted least squares: the row's residual and Jacobian row both
        // scaled by sqrt(w), so each product carries w once.
        for (std::size_t x = 0; x < n; ++x) {
          v[x] += (col[x] * res) * w[i];
          for (std::size_t y = x; y < n; ++y) N[x * n + y] += (col[x] * col[y]) * w[i];
        }
        continue;
      }
      for (std::size_t x = 0; x < n; ++x) {
        v[x] += col[x] * res;
        for (std::size_t y = x; y < n; ++y) N[x * n + y] += col[x] * col[y];
      }
    }
    double top = 0.0;
    for (std::size_t x = 0; x < n; ++x) {
      for (std::size_t y = 0; y < x; ++y) N[x * n + y] = N[y * n + x];
      top = std::fmax(top, N[x * n + x]);
    }
    bool accepted = false;
    double fall = 0.0;
    while (evals < max_evals && lambda <= kMaxDamping) {
      M = N;
      for (std::size_t x = 0; x < n; ++x) {
        M[x * n + x] += lambda * std::fmax(N[x * n + x], 1e-12 * top);
        r[x] = -v[x];
      }
      if (!solve_linear(M.data(), r.data(), n, d.data())) {
        lambda *= 10.0;
        continue;
      }
      for (std::size_t j = 0; j < k; ++j) trial[j] = p[j] + d[j];
      ++evals;
      if (eval(prog, trial.data(), true)) {
        const AffineFit f2 = affine_fit(values_, target_, stats_);
        const double sse2 = affine_sse(values_, target_, f2.a, f2.b);
        if (sse2 < sse) {
          fall = (sse - sse2) / sse;
          std::copy(trial.begin(), trial.end(), p.begin());
          sse = sse2;
          af = f2;
          lambda = std::fmax(lambda * 0.1, 1e-12);
          accepted = true;
          break;
        }
      }
      lambda *= 10.0;
    }
    if (!accepted || fall < kConverged) break;
  }
  return sse;
}

}  // namespace vek::discover

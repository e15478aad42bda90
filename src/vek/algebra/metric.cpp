#include "vek/algebra/metric.hpp"

#include <cmath>
#include <cstddef>

#include "vek/common/guards.hpp"
#include "vek/common/parallel.hpp"

namespace vek::algebra {

namespace {

inline constexpr double kHorizonMargin = 1e-9;

enum class Symbol { Zero, TTR, RTT, RRR };

Symbol select(std::uint64_t lam, std::uint64_t mu, std::uint64_t nu) {
  if (lam == 0 && ((mu == 0 && nu == 1) || (mu == 1 && nu == 0))) return Symbol::TTR;
  if (lam == 1 && mu == 0 && nu == 0) return Symbol::RTT;
  if (lam == 1 && mu == 1 && nu == 1) return Symbol::RRR;
  return Symbol::Zero;
}

double evaluate(Symbol sym, double x, double rs) {
  if (sym == Symbol::Zero) return 0.0;
  // The radius goes through ln above the shortened exp limit.
  const double r0 = exp_through_ln(x, kExpLimitShort);
  const double r = std::fmax(r0, rs + kHorizonMargin);  // a NaN r0 counts as absent
  if (r <= 0 || r <= rs) return 0.0;
  switch (sym) {
    case Symbol::TTR: return rs / ((r + r) * (r - rs));
    case Symbol::RTT: return (rs * (1 - rs / r)) / (r * (r + r));
    case Symbol::RRR: return (-rs) / ((r + r) * (r - rs));
    case Symbol::Zero: break;
  }
  return 0.0;
}

}  // namespace

double christoffel(double x, std::uint64_t lam, std::uint64_t mu, std::uint64_t nu, double rs) {
  return evaluate(select(lam, mu, nu), x, rs);
}

std::vector<double> christoffel_batch_n(const std::vector<std::pair<double, double>>& points, std::uint64_t lam,
                                        std::uint64_t mu, std::uint64_t nu, double rs) {
  const Symbol sym = select(lam, mu, nu);
  std::vector<double> out(points.size());
  par::map_index(points.size(), out.data(), [&](std::size_t i) { return evaluate(sym, points[i].first, rs); });
  return out;
}

}  // namespace vek::algebra

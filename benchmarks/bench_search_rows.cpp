// The search's row kernels, scalar against vector (row_ops.hpp), for every
// operator that has a vector form, on columns of 100, 10^4 and 10^6 rows:
// one candidate scored (nothing dropped) and one filled, one thread.
//
//   bash scripts/dev.sh bench bench_search_rows
//
// Each figure is the best of repeated runs, in nanoseconds per row; the
// last columns are the vector kernel's speed-up.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "vek/common/simd.hpp"
#include "vek/discover/row_ops.hpp"

namespace {

using namespace vek::discover;
using Clock = std::chrono::steady_clock;

// Best time of one call of f, in ns per row, over runs adding up to about
// 0.1 s (at least three).
template <class F>
double ns_per_row(std::size_t rows, F&& f) {
  double best = std::numeric_limits<double>::infinity(), total = 0.0;
  for (int r = 0; r < 100000 && (r < 3 || total < 0.1); ++r) {
    const auto t0 = Clock::now();
    f();
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    best = std::min(best, s);
    total += s;
  }
  return best * 1e9 / static_cast<double>(rows);
}

}  // namespace

int main() {
  if (!vek::simd::wide()) {
    std::printf("no AVX2 on this processor (or VEK_SIMD=0): the vector kernels do not run here\n");
    return 0;
  }
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(0.5, 3.0);  // every operator's guard passes
  std::printf("%-7s %9s  %8s %8s %6s  %8s %8s %6s\n", "op", "rows", "score", "vector", "×", "fill", "vector", "×");
  for (std::size_t rows : {std::size_t{100}, std::size_t{10000}, std::size_t{1000000}}) {
    std::vector<double> a(rows), b(rows), y(rows), out(rows);
    for (std::size_t i = 0; i < rows; ++i) {
      a[i] = u(rng);
      b[i] = u(rng);
      y[i] = u(rng);
    }
    const double inf = std::numeric_limits<double>::infinity();
    const double n = static_cast<double>(rows);
    for (std::size_t op = 0; op < kOpCount; ++op) {
      if (kWideScoreRows[op] == kScoreRows[op]) continue;
      double error = 0.0, rmse = 0.0;
      const auto score = [&](ScoreRowsFn f) {
        return ns_per_row(rows, [&] { f(a.data(), b.data(), rows, y.data(), rows, n, 1.0, inf, error, rmse); });
      };
      const auto fill = [&](FillRowsFn f) {
        return ns_per_row(rows, [&] { f(a.data(), b.data(), rows, out.data()); });
      };
      const double s = score(kScoreRows[op]), sw = score(kWideScoreRows[op]);
      const double f = fill(kFillRows[op]), fw = fill(kWideFillRows[op]);
      std::printf("%-7s %9zu  %8.3f %8.3f %6.2f  %8.3f %8.3f %6.2f\n",
                  std::string(op_name(static_cast<Op>(op))).c_str(), rows, s, sw, s / sw, f, fw, f / fw);
    }
  }
  return 0;
}

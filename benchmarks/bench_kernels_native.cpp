// Compute part of the element-wise kernels, without any Python conversion.
// The pool size follows RAYON_NUM_THREADS; bench_kernels.py runs this with 1
// and 2 threads. Prints one line per kernel: name, n, best milliseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "vek/common/parallel.hpp"
#include "vek/kernels/kernels.hpp"

namespace {

template <class F>
double best_ms(int repeat, F f) {
  double best = 1e300;
  for (int r = 0; r < repeat; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const int repeat = argc > 2 ? std::atoi(argv[2]) : 20;
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> ux(-5.0, 5.0), uy(0.01, 10.0);
  std::vector<double> xs(n), ys(n), out(n);
  for (std::size_t i = 0; i < n; ++i) {
    xs[i] = ux(rng);
    ys[i] = uy(rng);
  }
  std::vector<std::pair<double, double>> pts(n);
  for (std::size_t i = 0; i < n; ++i) pts[i] = {xs[i], ys[i]};
  vek::par::ensure_pool();
  std::printf("threads %zu\n", vek::par::thread_count());
  namespace k = vek::kernels;
  std::printf("exp_n %zu %.3f\n", n, best_ms(repeat, [&] { k::exp_into(xs.data(), n, out.data()); }));
  std::printf("ln_n %zu %.3f\n", n, best_ms(repeat, [&] { k::ln_into(ys.data(), n, out.data()); }));
  std::printf("tension_n %zu %.3f\n", n,
              best_ms(repeat, [&] { k::tension_into(xs.data(), ys.data(), n, out.data()); }));
  std::printf("pow_n %zu %.3f\n", n, best_ms(repeat, [&] { k::pow_into(ys.data(), xs.data(), n, out.data()); }));
  std::printf("boost_n %zu %.3f\n", n, best_ms(repeat, [&] { (void)k::boost_n(pts, xs, 0.9); }));
  return 0;
}

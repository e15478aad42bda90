// Formula discovery at the default options: the optimized search against the
// plain reference search (tests/cpp/reference_search.cpp).
//
//   cmake -S . -B build/bench -G Ninja -DVEK_BUILD_PYTHON=OFF -DVEK_BUILD_BENCH=ON
//   cmake --build build/bench --target bench_search && build/bench/bench_search [reference_cap_seconds]
//
// For each problem: wall time of the search (best of repeated runs), candidate
// counts, the process's peak RSS so far, the best formula, and the speed-up
// over the reference. The reference runs under a time cap (default 120 s);
// when it hits the cap the speed-up is reported as a lower bound.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "reference_search.hpp"
#include "vek/common/panic.hpp"
#include "vek/common/parallel.hpp"
#include "vek/discover/search.hpp"

namespace {

using vek::discover::SearchConfig;
using vek::discover::SearchResult;
using vek::discover::SearchStats;
using Clock = std::chrono::steady_clock;

struct Problem {
  const char* name;
  std::vector<std::vector<double>> columns;
  std::vector<double> target;
};

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double peak_rss_mib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
}

std::vector<double> linspace(int n, double lo, double hi) {
  std::vector<double> v;
  for (int i = 0; i < n; ++i) v.push_back(lo + (hi - lo) * i / (n - 1));
  return v;
}

std::vector<Problem> problems() {
  std::vector<Problem> ps;
  {
    Problem p{"(a) y = 2x, 100 points", {linspace(100, -5.0, 5.0)}, {}};
    for (double x : p.columns[0]) p.target.push_back(2.0 * x);
    ps.push_back(p);
  }
  {
    Problem p{"(b) y = x^3 + x^2 + x, 20 points in [-1, 1]", {linspace(20, -1.0, 1.0)}, {}};
    for (double x : p.columns[0]) p.target.push_back(x * x * x + x * x + x);
    ps.push_back(p);
  }
  {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-2.0, 2.0);
    Problem p{"(c) y = x0*x1 + sin(x0), 2 x 100", {{}, {}}, {}};
    for (int i = 0; i < 100; ++i) {
      p.columns[0].push_back(u(rng));
      p.columns[1].push_back(u(rng));
      p.target.push_back(p.columns[0].back() * p.columns[1].back() + std::sin(p.columns[0].back()));
    }
    ps.push_back(p);
  }
  {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(-3.0, 3.0);
    Problem p{"(d) random target, 100 points", {linspace(100, 0.1, 4.0)}, {}};
    for (int i = 0; i < 100; ++i) p.target.push_back(u(rng));
    ps.push_back(p);
  }
  return ps;
}

// Best wall time of repeated runs: at least one, and more while the total
// stays below a quarter second (tiny problems need many to be measurable).
template <class F>
double best_seconds(F&& run) {
  double best = 1e300;
  double total = 0.0;
  for (int r = 0; r < 200 && (r < 3 || total < 0.25); ++r) {
    const auto t0 = Clock::now();
    run();
    const double s = seconds_since(t0);
    best = std::min(best, s);
    total += s;
    if (s > 2.0) break;
  }
  return best;
}

bool same(const std::optional<SearchResult>& a, const std::optional<SearchResult>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  return a->formula == b->formula && std::bit_cast<std::uint64_t>(a->error) == std::bit_cast<std::uint64_t>(b->error) &&
         a->complexity == b->complexity && a->params == b->params;
}

}  // namespace

int main(int argc, char** argv) {
  const double cap = argc > 1 ? std::atof(argv[1]) : 120.0;
  const SearchConfig config;  // the defaults
  std::printf("threads %zu, reference cap %.0f s\n", vek::par::thread_count(), cap);

  // All optimized runs first, so that each peak RSS shows the search alone.
  const std::vector<Problem> ps = problems();
  std::vector<std::optional<SearchResult>> fast(ps.size());
  std::vector<double> fast_s(ps.size());
  for (std::size_t k = 0; k < ps.size(); ++k) {
    const Problem& p = ps[k];
    SearchStats stats;
    fast_s[k] = best_seconds([&] { fast[k] = vek::discover::search(p.columns, p.target, config, nullptr, &stats); });
    std::printf("\n%s\n", p.name);
    std::printf(
        "  search     %10.6f s  levels %zu  generated %zu  fingerprinted %zu  scored %zu  seen %zu  peak RSS %.1f MiB\n",
        fast_s[k], stats.levels, stats.generated, stats.fingerprinted, stats.scored, stats.peak_seen, peak_rss_mib());
    std::printf("  best       %s  error %.17g  complexity %llu\n", fast[k] ? fast[k]->formula.c_str() : "(none)",
                fast[k] ? fast[k]->error : NAN, fast[k] ? static_cast<unsigned long long>(fast[k]->complexity) : 0ULL);
  }

  std::printf("\nplain reference search\n");
  for (std::size_t k = 0; k < ps.size(); ++k) {
    const Problem& p = ps[k];
    const auto deadline = Clock::now() + std::chrono::duration<double>(cap);
    try {
      std::optional<SearchResult> ref;
      const double ref_s = best_seconds([&] {
        ref = vek::discover::reference::search(p.columns, p.target, p.columns.size(), config,
                                               [&] { return Clock::now() < deadline; });
      });
      std::printf("  %-48s %10.6f s  speed-up %5.1fx  %s\n", p.name, ref_s, ref_s / fast_s[k],
                  same(fast[k], ref) ? "same best" : "DIFFERENT BEST");
    } catch (const vek::Interrupted&) {
      std::printf("  %-48s > %.0f s (capped)  speed-up > %.0fx\n", p.name, cap, cap / fast_s[k]);
    }
  }
  return 0;
}

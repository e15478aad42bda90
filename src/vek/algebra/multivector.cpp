#include "vek/algebra/multivector.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <string>

#include "vek/common/panic.hpp"
#include "vek/common/parallel.hpp"

namespace vek::algebra {

namespace {

[[noreturn]] void out_of_bounds(std::size_t len, std::size_t index) {
  panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index));
}

// Sign of e_i * e_j: reorder the factors of j past the higher factors of i,
// contracting each shared e(k) into signature[k].
double blade_sign(std::size_t i, std::size_t j, const std::vector<std::int8_t>& signature) {
  double s = 1.0;
  for (std::size_t rest = j; rest != 0; rest &= rest - 1) {
    const auto k = static_cast<unsigned>(std::countr_zero(rest));
    if (std::popcount(i >> (k + 1)) & 1) s = -s;
    if ((i >> k) & 1u) {
      if (k >= signature.size()) out_of_bounds(signature.size(), k);
      s *= static_cast<double>(signature[k]);
    }
  }
  return s;
}

}  // namespace

std::vector<double> geometric_product(const std::vector<double>& a, const std::vector<double>& b,
                                      const std::vector<std::int8_t>& signature) {
  const std::size_t d = a.size();
  std::vector<double> r(d, 0.0);
  for (std::size_t i = 0; i < d; ++i) {
    if (a[i] == 0.0) continue;
    for (std::size_t j = 0; j < d; ++j) {
      if (j == b.size()) out_of_bounds(b.size(), j);
      if (b[j] == 0.0) continue;
      const double s = blade_sign(i, j, signature);
      const std::size_t t = i ^ j;
      if (t >= d) out_of_bounds(d, t);
      r[t] = b[j] * (a[i] * s) + r[t];
    }
  }
  return r;
}

std::vector<std::vector<double>> geometric_product_n(const std::vector<std::vector<double>>& a,
                                                     const std::vector<std::vector<double>>& b,
                                                     const std::vector<std::int8_t>& signature) {
  const std::size_t n = std::min(a.size(), b.size());
  std::vector<std::vector<double>> out(n);
  par::map_index(n, out.data(), [&](std::size_t i) { return geometric_product(a[i], b[i], signature); }, 256);
  return out;
}

}  // namespace vek::algebra

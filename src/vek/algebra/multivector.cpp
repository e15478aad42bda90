#include "vek/algebra/multivector.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <string>

#include "vek/common/panic.hpp"
#include "vek/common/parallel.hpp"
#include "vek/common/stop.hpp"

namespace vek::algebra {

namespace {

[[noreturn]] void out_of_bounds(std::size_t len, std::size_t index) {
  panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index));
}

// Sign of e_i * e_j: reorder the factors of j past the higher factors of i,
// contracting each shared e(k) into signature[k]. `missing` is set to the
// first shared k beyond the signature (the product then fails), else -1.
struct BladeSign {
  double s;
  long missing;
};

BladeSign blade_sign(std::size_t i, std::size_t j, std::span<const std::int8_t> signature) {
  double s = 1.0;
  for (std::size_t rest = j; rest != 0; rest &= rest - 1) {
    const auto k = static_cast<unsigned>(std::countr_zero(rest));
    if (std::popcount(i >> (k + 1)) & 1) s = -s;
    if ((i >> k) & 1u) {
      if (k >= signature.size()) return {s, static_cast<long>(k)};
      s *= static_cast<double>(signature[k]);
    }
  }
  return {s, -1};
}

// blade_sign for every i, j below dim, worked out once per call and shared
// by all pairs: the same values, looked up instead of recomputed per term.
class SignTable {
 public:
  static constexpr std::size_t kMaxDim = 64;

  SignTable(std::size_t dim, std::span<const std::int8_t> signature) : dim_(std::min(dim, kMaxDim)) {
    table_.reserve(dim_ * dim_);
    for (std::size_t i = 0; i < dim_; ++i)
      for (std::size_t j = 0; j < dim_; ++j) table_.push_back(blade_sign(i, j, signature));
  }

  BladeSign operator()(std::size_t i, std::size_t j, std::span<const std::int8_t> signature) const {
    return i < dim_ && j < dim_ ? table_[i * dim_ + j] : blade_sign(i, j, signature);
  }

 private:
  std::size_t dim_;
  std::vector<BladeSign> table_;
};

void product_into(std::span<const double> a, std::span<const double> b, std::span<const std::int8_t> signature,
                  const SignTable& signs, std::span<double> r) {
  const std::size_t d = a.size();
  std::fill(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(d), 0.0);
  for (std::size_t i = 0; i < d; ++i) {
    checkpoint(d);  // one product of long multivectors can take seconds
    if (a[i] == 0.0) continue;
    for (std::size_t j = 0; j < d; ++j) {
      if (j == b.size()) out_of_bounds(b.size(), j);
      if (b[j] == 0.0) continue;
      const BladeSign bs = signs(i, j, signature);
      if (bs.missing >= 0) out_of_bounds(signature.size(), static_cast<std::size_t>(bs.missing));
      const std::size_t t = i ^ j;
      if (t >= d) out_of_bounds(d, t);
      r[t] = b[j] * (a[i] * bs.s) + r[t];
    }
  }
}

std::vector<double> product(const std::vector<double>& a, const std::vector<double>& b,
                            const std::vector<std::int8_t>& signature, const SignTable& signs) {
  std::vector<double> r(a.size());
  product_into(a, b, signature, signs, r);
  return r;
}

}  // namespace

std::vector<double> geometric_product(const std::vector<double>& a, const std::vector<double>& b,
                                      const std::vector<std::int8_t>& signature) {
  return product(a, b, signature, SignTable(0, signature));
}

void geometric_product_into(std::span<const double> a, std::span<const double> b,
                            std::span<const std::int8_t> signature, std::span<double> r) {
  product_into(a, b, signature, SignTable(0, signature), r);
}

std::vector<std::vector<double>> geometric_product_n(const std::vector<std::vector<double>>& a,
                                                     const std::vector<std::vector<double>>& b,
                                                     const std::vector<std::int8_t>& signature) {
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t dim = 0;
  for (std::size_t i = 0; i < n; ++i) dim = std::max(dim, a[i].size());
  const SignTable signs(n >= 64 ? dim : 0, signature);  // worth building only for longer batches
  std::vector<std::vector<double>> out(n);
  par::map_index(n, out.data(), [&](std::size_t i) { return product(a[i], b[i], signature, signs); }, 256);
  return out;
}

}  // namespace vek::algebra

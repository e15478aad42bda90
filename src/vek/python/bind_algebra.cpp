// Bindings of the algebra and geometry kernels: octonion and geometric
// products and Schwarzschild Christoffel symbols, each computed on the pool.
#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "vek/algebra/metric.hpp"
#include "vek/algebra/multivector.hpp"
#include "vek/algebra/octonion.hpp"
#include "vek/python/callable.hpp"
#include "vek/python/docs.hpp"
#include "vek/python/native_call.hpp"

namespace vek::py {
namespace {

using Octonions = std::vector<algebra::Octonion>;
using Multivectors = std::vector<std::vector<double>>;

Octonions octonion_mul(const Octonions& as, const Octonions& bs) {
  NativeCall call(std::min(as.size(), bs.size()) * 64 >= kReleaseGilFrom);
  return call.run([&] { return algebra::octonion_mul_n(as, bs); });
}

Multivectors geometric_product(const Multivectors& as, const Multivectors& bs,
                               const std::vector<std::int8_t>& signature) {
  // A product of two d-entry multivectors takes up to d * d steps.
  std::size_t work = 0;
  for (std::size_t i = 0, n = std::min(as.size(), bs.size()); i < n && work < kReleaseGilFrom; ++i) {
    work += as[i].size() * as[i].size();
  }
  NativeCall call(work >= kReleaseGilFrom);
  return call.run([&] { return algebra::geometric_product_n(as, bs, signature); });
}

std::vector<double> christoffel(const std::vector<std::pair<double, double>>& points, std::uint64_t lam,
                                std::uint64_t mu, std::uint64_t nu, double rs) {
  NativeCall call(points.size() >= kReleaseGilFrom);
  return call.run([&] { return algebra::christoffel_batch_n(points, lam, mu, nu, rs); });
}

Export kRows[] = {
    function<"christoffel_batch_n", "points, lam, mu, nu, rs", christoffel, doc::christoffel_batch_n>(),
    function<"octonion_mul_n", "a_batch, b_batch", octonion_mul, doc::octonion_mul_n>(),
    function<"geometric_product_n", "a_batch, b_batch, signature", geometric_product, doc::geometric_product_n>(),
};

}  // namespace

extern const std::span<Export> kAlgebraExports(kRows);

}  // namespace vek::py

// Bindings of the element-wise kernels.
#include <algorithm>
#include <span>
#include <vector>

#include "vek/kernels/kernels.hpp"
#include "vek/python/callable.hpp"
#include "vek/python/docs.hpp"
#include "vek/python/native_call.hpp"

namespace vek::py {
namespace {

using Unary = void (*)(const double*, std::size_t, double*);
using Binary = void (*)(const double*, const double*, std::size_t, double*);

// One list in, one list out; the owned input buffer is reused for the output.
template <Unary Kernel>
std::vector<double> unary(std::vector<double> xs) {
  NativeCall call(xs.size() >= kReleaseGilFrom);
  call.run([&] { Kernel(xs.data(), xs.size(), xs.data()); });
  return xs;
}

// Two lists in, the shorter length out.
template <Binary Kernel>
std::vector<double> binary(std::vector<double> as, std::vector<double> bs) {
  const std::size_t n = std::min(as.size(), bs.size());
  NativeCall call(n >= kReleaseGilFrom);
  call.run([&] { Kernel(as.data(), bs.data(), n, as.data()); });
  as.resize(n);
  return as;
}

kernels::PairVec boost(const kernels::PairVec& points, const std::vector<double>& phis, double c) {
  NativeCall call(std::min(points.size(), phis.size()) >= kReleaseGilFrom / 8);
  return call.run([&] { return kernels::boost_n(points, phis, c); });
}

Export kRows[] = {
    function<"boost_n", "points, phis, c", boost, doc::boost_n>(),
    function<"exp_n", "xs", unary<kernels::exp_into>, doc::exp_n>(),
    function<"ln_n", "ys", unary<kernels::ln_into>, doc::ln_n>(),
    function<"add_n", "as_, bs", binary<kernels::add_into>, doc::add_n>(),
    function<"sub_n", "as_, bs", binary<kernels::sub_into>, doc::sub_n>(),
    function<"mul_n", "as_, bs", binary<kernels::mul_into>, doc::mul_n>(),
    function<"div_n", "as_, bs", binary<kernels::div_into>, doc::div_n>(),
    function<"sqrt_n", "xs", unary<kernels::sqrt_into>, doc::sqrt_n>(),
    function<"sin_n", "xs", unary<kernels::sin_into>, doc::sin_n>(),
    function<"cos_n", "xs", unary<kernels::cos_into>, doc::cos_n>(),
    function<"tension_n", "xs, ys", binary<kernels::tension_into>, doc::tension_n>(),
    function<"pow_n", "bases, exps", binary<kernels::pow_into>, doc::pow_n>(),
};

}  // namespace

extern const std::span<Export> kKernelExports(kRows);

}  // namespace vek::py

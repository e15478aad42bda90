// Bindings of the element-wise kernels.
#include <algorithm>
#include "vek/kernels/kernels.hpp"
#include "vek/python/args.hpp"
#include "vek/python/docs.hpp"
#include "vek/python/errors.hpp"
#include "vek/python/from_py.hpp"
#include "vek/python/native_call.hpp"
#include "vek/python/registry.hpp"
#include "vek/python/to_py.hpp"

namespace vek::py {
namespace {

using Unary = void (*)(const double*, std::size_t, double*);
using Binary = void (*)(const double*, const double*, std::size_t, double*);

constexpr const char* kXs[] = {"xs"};
constexpr const char* kYs[] = {"ys"};
constexpr const char* kAsBs[] = {"as_", "bs"};
constexpr const char* kXsYs[] = {"xs", "ys"};
constexpr const char* kBasesExps[] = {"bases", "exps"};
constexpr const char* kBoost[] = {"points", "phis", "c"};

constexpr ArgSpec kExpN{"exp_n", nullptr, kXs, 1};
constexpr ArgSpec kLnN{"ln_n", nullptr, kYs, 1};
constexpr ArgSpec kSqrtN{"sqrt_n", nullptr, kXs, 1};
constexpr ArgSpec kSinN{"sin_n", nullptr, kXs, 1};
constexpr ArgSpec kCosN{"cos_n", nullptr, kXs, 1};
constexpr ArgSpec kAddN{"add_n", nullptr, kAsBs, 2};
constexpr ArgSpec kSubN{"sub_n", nullptr, kAsBs, 2};
constexpr ArgSpec kMulN{"mul_n", nullptr, kAsBs, 2};
constexpr ArgSpec kDivN{"div_n", nullptr, kAsBs, 2};
constexpr ArgSpec kTensionN{"tension_n", nullptr, kXsYs, 2};
constexpr ArgSpec kPowN{"pow_n", nullptr, kBasesExps, 2};
constexpr ArgSpec kBoostN{"boost_n", nullptr, kBoost, 3};

// One list in, one list out; the owned input buffer is reused for the output.
template <const ArgSpec& Spec, Unary Kernel>
PyObject* unary(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    std::vector<double> xs;
    if (!parse_fast(Spec, args, nargs, kwnames, a) || !arg(Spec, 0, a[0], to_f64_vec, xs)) return nullptr;
    NativeCall call(xs.size() >= kReleaseGilFrom);
    call.run([&] { Kernel(xs.data(), xs.size(), xs.data()); });
    return list_from_f64(xs);
  });
}

// Two lists in, the shorter length out.
template <const ArgSpec& Spec, Binary Kernel>
PyObject* binary(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    std::vector<double> as, bs;
    if (!parse_fast(Spec, args, nargs, kwnames, a) || !arg(Spec, 0, a[0], to_f64_vec, as) ||
        !arg(Spec, 1, a[1], to_f64_vec, bs))
      return nullptr;
    const std::size_t n = std::min(as.size(), bs.size());
    NativeCall call(n >= kReleaseGilFrom);
    call.run([&] { Kernel(as.data(), bs.data(), n, as.data()); });
    return list_from_f64(as.data(), n);
  });
}

PyObject* boost(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    std::vector<std::pair<double, double>> points;
    std::vector<double> phis;
    double c;
    if (!parse_fast(kBoostN, args, nargs, kwnames, a) || !arg(kBoostN, 0, a[0], to_pair_vec, points) ||
        !arg(kBoostN, 1, a[1], to_f64_vec, phis) || !arg(kBoostN, 2, a[2], to_f64, c))
      return nullptr;
    NativeCall call(std::min(points.size(), phis.size()) >= kReleaseGilFrom / 8);
    const auto out = call.run([&] { return kernels::boost_n(points, phis, c); });
    return list_from_pairs(out);
  });
}

}  // namespace

namespace reg {
PyMethodDef boost_n{"boost_n", fast(boost), kFast, doc::boost_n};
PyMethodDef exp_n{"exp_n", fast(unary<kExpN, kernels::exp_into>), kFast, doc::exp_n};
PyMethodDef ln_n{"ln_n", fast(unary<kLnN, kernels::ln_into>), kFast, doc::ln_n};
PyMethodDef add_n{"add_n", fast(binary<kAddN, kernels::add_into>), kFast, doc::add_n};
PyMethodDef sub_n{"sub_n", fast(binary<kSubN, kernels::sub_into>), kFast, doc::sub_n};
PyMethodDef mul_n{"mul_n", fast(binary<kMulN, kernels::mul_into>), kFast, doc::mul_n};
PyMethodDef div_n{"div_n", fast(binary<kDivN, kernels::div_into>), kFast, doc::div_n};
PyMethodDef sqrt_n{"sqrt_n", fast(unary<kSqrtN, kernels::sqrt_into>), kFast, doc::sqrt_n};
PyMethodDef sin_n{"sin_n", fast(unary<kSinN, kernels::sin_into>), kFast, doc::sin_n};
PyMethodDef cos_n{"cos_n", fast(unary<kCosN, kernels::cos_into>), kFast, doc::cos_n};
PyMethodDef tension_n{"tension_n", fast(binary<kTensionN, kernels::tension_into>), kFast, doc::tension_n};
PyMethodDef pow_n{"pow_n", fast(binary<kPowN, kernels::pow_into>), kFast, doc::pow_n};
}  // namespace reg

}  // namespace vek::py

// Bindings of the algebra and geometry kernels: octonion and geometric
// products and Schwarzschild Christoffel symbols, each computed on the pool.
#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "vek/algebra/metric.hpp"
#include "vek/algebra/multivector.hpp"
#include "vek/algebra/octonion.hpp"
#include "vek/python/args.hpp"
#include "vek/python/docs.hpp"
#include "vek/python/errors.hpp"
#include "vek/python/from_py.hpp"
#include "vek/python/native_call.hpp"
#include "vek/python/registry.hpp"
#include "vek/python/to_py.hpp"

namespace vek::py {
namespace {

constexpr const char* kOctonion[] = {"a_batch", "b_batch"};
constexpr const char* kGeometric[] = {"a_batch", "b_batch", "signature"};
constexpr const char* kChristoffel[] = {"points", "lam", "mu", "nu", "rs"};

constexpr ArgSpec kOctonionMulN{"octonion_mul_n", nullptr, kOctonion, 2};
constexpr ArgSpec kGeometricProductN{"geometric_product_n", nullptr, kGeometric, 3};
constexpr ArgSpec kChristoffelBatchN{"christoffel_batch_n", nullptr, kChristoffel, 5};

PyObject* octonion_mul(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    std::vector<algebra::Octonion> as, bs;
    if (!parse_fast(kOctonionMulN, args, nargs, kwnames, a) || !arg(kOctonionMulN, 0, a[0], to_oct_vec, as) ||
        !arg(kOctonionMulN, 1, a[1], to_oct_vec, bs))
      return nullptr;
    NativeCall call(std::min(as.size(), bs.size()) * 64 >= kReleaseGilFrom);
    const auto out = call.run([&] { return algebra::octonion_mul_n(as, bs); });
    return list_from_octs(out);
  });
}

PyObject* geometric_product(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    std::vector<std::vector<double>> as, bs;
    std::vector<std::int8_t> signature;
    if (!parse_fast(kGeometricProductN, args, nargs, kwnames, a) ||
        !arg(kGeometricProductN, 0, a[0], to_vec_vec, as) || !arg(kGeometricProductN, 1, a[1], to_vec_vec, bs) ||
        !arg(kGeometricProductN, 2, a[2], to_i8_vec, signature))
      return nullptr;
    // A product of two d-entry multivectors takes up to d * d steps.
    std::size_t work = 0;
    for (std::size_t i = 0, n = std::min(as.size(), bs.size()); i < n && work < kReleaseGilFrom; ++i) {
      work += as[i].size() * as[i].size();
    }
    NativeCall call(work >= kReleaseGilFrom);
    const auto out = call.run([&] { return algebra::geometric_product_n(as, bs, signature); });
    return list_from_vecs(out);
  });
}

PyObject* christoffel_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[5];
    std::vector<std::pair<double, double>> points;
    std::uint64_t lam, mu, nu;
    double rs;
    if (!parse_fast(kChristoffelBatchN, args, nargs, kwnames, a) ||
        !arg(kChristoffelBatchN, 0, a[0], to_pair_vec, points) || !arg(kChristoffelBatchN, 1, a[1], to_index, lam) ||
        !arg(kChristoffelBatchN, 2, a[2], to_index, mu) || !arg(kChristoffelBatchN, 3, a[3], to_index, nu) ||
        !arg(kChristoffelBatchN, 4, a[4], to_f64, rs))
      return nullptr;
    NativeCall call(points.size() >= kReleaseGilFrom);
    const auto out = call.run([&] { return algebra::christoffel_batch_n(points, lam, mu, nu, rs); });
    return list_from_f64(out);
  });
}

}  // namespace

namespace reg {
PyMethodDef christoffel_batch_n{"christoffel_batch_n", fast(christoffel_batch), kFast, doc::christoffel_batch_n};
PyMethodDef octonion_mul_n{"octonion_mul_n", fast(octonion_mul), kFast, doc::octonion_mul_n};
PyMethodDef geometric_product_n{"geometric_product_n", fast(geometric_product), kFast, doc::geometric_product_n};
}  // namespace reg

}  // namespace vek::py

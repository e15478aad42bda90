// vek_math._ufuncs: numpy ufuncs over the core's scalar element rules.
//
// Every loop is float64 and applies the very functions the list kernels
// apply (vek::guarded_exp, kernels::div_elem, algebra::octonion_mul, ...),
// so each element equals the list kernel's bit for bit. A loop call past a
// size threshold is split over the shared pool when its elements are
// independent; numpy has released the GIL around it. Which thread computes
// an element never changes its value.
//
// Ctrl-C stops a loop as it stops the list kernels: the loops pass
// checkpoints (vek/common/stop.hpp) between pieces of work, and a pending
// KeyboardInterrupt ends the call. So every loop is one of numpy's
// ArrayMethod loops, which report an error (the interrupt, a failed product)
// however numpy iterates, with a promoter that sends every dtype to it.
#include "vek/python/py.hpp"

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define NPY_TARGET_VERSION NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vek/algebra/multivector.hpp"
#include "vek/algebra/octonion.hpp"
#include "vek/common/guards.hpp"
#include "vek/common/panic.hpp"
#include "vek/common/parallel.hpp"
#include "vek/common/simd.hpp"
#include "vek/common/stop.hpp"
#include "vek/kernels/arrays.hpp"
#include "vek/kernels/kernels.hpp"
#include "vek/python/ufuncs/docs.hpp"

namespace vek::ufuncs {
namespace {

using py::Ref;

// Loop calls shorter than this stay on the calling thread (as in the list
// kernels). A sum or product per element is too little work to split below
// kCheapParallelFrom, which also keeps numpy's buffered calls (8192 elements
// when casting or masking) of those on one thread; the algebra products are
// worth splitting from fewer elements, as in their list kernels.
constexpr npy_intp kParallelFrom = static_cast<npy_intp>(par::kSerialBelow);
constexpr npy_intp kCheapParallelFrom = npy_intp{1} << 15;
constexpr npy_intp kOctonionParallelFrom = 1024;
constexpr npy_intp kGeometricParallelFrom = 256;

constexpr npy_intp kD = sizeof(double);

inline double load(const char* p) { return *reinterpret_cast<const double*>(p); }
inline void store(char* p, double v) { *reinterpret_cast<double*>(p) = v; }

// The bytes [lo, hi) that an operand touches: n elements `step` apart, each
// of `core_n` doubles `core_step` apart (one double for element-wise loops).
struct Span {
  std::uintptr_t lo, hi;
};

Span span_of(const char* p, npy_intp step, npy_intp n, npy_intp core_step, npy_intp core_n) {
  const npy_intp outer = (n - 1) * step, inner = (core_n - 1) * core_step;
  const npy_intp lo = std::min<npy_intp>(outer, 0) + std::min<npy_intp>(inner, 0);
  const npy_intp hi = std::max<npy_intp>(outer, 0) + std::max<npy_intp>(inner, 0) + kD;
  const auto base = reinterpret_cast<std::uintptr_t>(p);
  return {base + static_cast<std::uintptr_t>(lo), base + static_cast<std::uintptr_t>(hi)};
}

// Whether element i of a loop call depends on element i only, so that the
// call may be split: every output moves (a zero output step is a reduction
// into one slot) and meets every other operand either not at all or exactly
// (same start and steps, as in x += y). Any other overlap - accumulate passes
// the output shifted by one as an input - chains the elements. For a
// generalized ufunc core_steps and core_ns give each operand's core axis.
bool independent(char* const* args, const npy_intp* steps, int nin, int nout, npy_intp n,
                 const npy_intp* core_steps = nullptr, const npy_intp* core_ns = nullptr) {
  const auto span = [&](int k) {
    return core_steps ? span_of(args[k], steps[k], n, core_steps[k], core_ns[k]) : span_of(args[k], steps[k], n, 0, 1);
  };
  const auto same = [&](int k, int o) {
    return args[k] == args[o] && steps[k] == steps[o] && (!core_steps || core_steps[k] == core_steps[o]);
  };
  for (int o = nin; o < nin + nout; ++o) {
    if (steps[o] == 0) return false;
    const Span out = span(o);
    for (int k = 0; k < nin + nout; ++k) {
      if (k == o || same(k, o)) continue;
      const Span other = span(k);
      if (other.lo < out.hi && out.lo < other.hi) return false;
    }
  }
  return true;
}

// Raises a failure of the pool, or of an allocation in a loop body (the
// element rules themselves cannot fail).
void report_pool_failure(bool no_memory) noexcept {
  const PyGILState_STATE gil = PyGILState_Ensure();
  if (!PyErr_Occurred()) {
    if (no_memory)
      PyErr_NoMemory();
    else
      PyErr_SetString(PyExc_RuntimeError, "vek_math.ufuncs: the thread pool failed to run a loop");
  }
  PyGILState_Release(gil);
}

// An interrupted loop: the signal handler's exception is set already
// (no_signal_raised); KeyboardInterrupt should a stop come without one.
void report_interrupt() noexcept {
  const PyGILState_STATE gil = PyGILState_Ensure();
  if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  PyGILState_Release(gil);
}

// Whether no signal handler raised: runs the pending ones with the GIL
// (numpy may or may not hold it around a loop), leaving their exception set.
bool no_signal_raised() {
  const PyGILState_STATE gil = PyGILState_Ensure();
  const bool ok = PyErr_CheckSignals() == 0;
  PyGILState_Release(gil);
  return ok;
}

// The stop source of this thread's loops. numpy calls a loop once for a
// whole operation or once per buffer or stretch of it, so the source lives
// on from call to call: its work count and clock carry over, and pending
// signals are checked every few milliseconds of work, whatever the calls'
// sizes. A stopped source is replaced by a fresh one for the next call.
StopSource& loop_stop() {
  thread_local std::optional<StopSource> source;
  if (!source || source->stop_requested()) source.emplace(no_signal_raised);
  return *source;
}

// Calls body(lo, hi) over [0, n): on the pool when `split`, else in pieces
// on this thread, with checkpoints between pieces either way. False, with
// the Python error set, when the call was interrupted or the pool (or an
// allocation of the body) failed.
template <class Body>
bool run(npy_intp n, bool split, Body&& body) noexcept {
  try {
    StopSource& stop = loop_stop();
    StopScope scope(&stop);
    const auto range = [&](std::size_t lo, std::size_t hi) {
      body(static_cast<npy_intp>(lo), static_cast<npy_intp>(hi));
    };
    // A pool of one thread gains nothing from the split but its task
    // overhead, which is more than a cheap loop of 10^5 elements costs.
    if (split && par::thread_count() > 1) {
      par::for_ranges(static_cast<std::size_t>(n), range, 0);
    } else {
      par::run_pieces(0, static_cast<std::size_t>(n), range, &stop);
    }
    return true;
  } catch (const Interrupted&) {
    report_interrupt();
  } catch (const std::bad_alloc&) {
    report_pool_failure(true);
  } catch (...) {
    report_pool_failure(false);
  }
  return false;
}

// run() as a loop's result: 0, or -1 with the error set.
template <class Body>
int run_loop(npy_intp n, bool split, Body&& body) noexcept {
  return run(n, split, std::forward<Body>(body)) ? 0 : -1;
}

// Keeps the floating-point flags of the calling thread as they were before
// the loop: numpy turns flags into warnings, and which thread computes an
// element (so whose flags it raises) depends on the pool.
class QuietFlags {
 public:
  QuietFlags() noexcept : before_(std::fetestexcept(FE_ALL_EXCEPT)) {}
  ~QuietFlags() { std::feclearexcept(FE_ALL_EXCEPT & ~before_); }
  QuietFlags(const QuietFlags&) = delete;
  QuietFlags& operator=(const QuietFlags&) = delete;

 private:
  int before_;
};

// ---- loop templates -----------------------------------------------------------------

// Every loop has numpy's ArrayMethod signature: 0, or -1 with an error set.
using Context = PyArrayMethod_Context;

// An array loop (arrays.hpp), when the rule has one, takes the calls whose
// output is contiguous and whose inputs are contiguous or one broadcast
// value, and whose operands meet exactly or not at all (independent): it
// reads ahead of what it writes, which accumulate's shifted output would see.
template <double (*F)(double), npy_intp From = kParallelFrom, kernels::UnaryArrayFn Array = nullptr>
int unary_loop(Context*, char* const* args, const npy_intp* dims, const npy_intp* steps, NpyAuxData*) {
  const npy_intp n = dims[0];
  char* const in = args[0];
  char* const out = args[1];
  const npy_intp si = steps[0], so = steps[1];
  const bool indep = independent(args, steps, 1, 1, n);
  const bool array = Array != nullptr && so == kD && (si == kD || si == 0) && indep;
  QuietFlags quiet;
  return run_loop(n, n >= From && indep, [=](npy_intp lo, npy_intp hi) {
    if (array) {
      const auto* x = reinterpret_cast<const double*>(in + lo * si);
      Array(x, si != 0, reinterpret_cast<double*>(out) + lo, static_cast<std::size_t>(hi - lo));
    } else if (si == kD && so == kD) {
      const double* x = reinterpret_cast<const double*>(in);
      double* y = reinterpret_cast<double*>(out);
      for (npy_intp i = lo; i < hi; ++i) y[i] = F(x[i]);
    } else {
      for (npy_intp i = lo; i < hi; ++i) store(out + i * so, F(load(in + i * si)));
    }
  });
}

template <double (*F)(double, double), npy_intp From = kParallelFrom, kernels::BinaryArrayFn Array = nullptr>
int binary_loop(Context*, char* const* args, const npy_intp* dims, const npy_intp* steps, NpyAuxData*) {
  const npy_intp n = dims[0];
  char* const a = args[0];
  char* const b = args[1];
  char* const out = args[2];
  const npy_intp sa = steps[0], sb = steps[1], so = steps[2];
  const bool indep = independent(args, steps, 2, 1, n);
  const bool array = Array != nullptr && so == kD && (sa == kD || sa == 0) && (sb == kD || sb == 0) && indep;
  QuietFlags quiet;
  return run_loop(n, n >= From && indep, [=](npy_intp lo, npy_intp hi) {
    if (array) {
      const auto* x = reinterpret_cast<const double*>(a + lo * sa);
      const auto* y = reinterpret_cast<const double*>(b + lo * sb);
      Array(x, sa != 0, y, sb != 0, reinterpret_cast<double*>(out) + lo, static_cast<std::size_t>(hi - lo));
    } else if (sa == kD && sb == kD && so == kD) {
      const double* x = reinterpret_cast<const double*>(a);
      const double* y = reinterpret_cast<const double*>(b);
      double* z = reinterpret_cast<double*>(out);
      for (npy_intp i = lo; i < hi; ++i) z[i] = F(x[i], y[i]);
    } else {
      for (npy_intp i = lo; i < hi; ++i) store(out + i * so, F(load(a + i * sa), load(b + i * sb)));
    }
  });
}

// (x, y, phi, c) -> (x', y')
int boost_loop(Context*, char* const* args, const npy_intp* dims, const npy_intp* steps, NpyAuxData*) {
  const npy_intp n = dims[0];
  QuietFlags quiet;
  return run_loop(n, n >= kParallelFrom && independent(args, steps, 4, 2, n), [=](npy_intp lo, npy_intp hi) {
    for (npy_intp i = lo; i < hi; ++i) {
      const auto [x, y] = kernels::boost_elem(load(args[0] + i * steps[0]), load(args[1] + i * steps[1]),
                                              load(args[2] + i * steps[2]), load(args[3] + i * steps[3]));
      store(args[4] + i * steps[4], x);
      store(args[5] + i * steps[5], y);
    }
  });
}

// (8),(8)->(8): steps[0..2] move between products, steps[3..5] between the
// coefficients of one operand. Both factors are read whole before the
// product is written, so out= may be one of the inputs.
int octonion_loop(Context*, char* const* args, const npy_intp* dims, const npy_intp* steps, NpyAuxData*) {
  const npy_intp n = dims[0];
  const npy_intp core_ns[] = {8, 8, 8};
  const bool split = n >= kOctonionParallelFrom && independent(args, steps, 2, 1, n, steps + 3, core_ns);
  QuietFlags quiet;
  return run_loop(n, split, [=](npy_intp lo, npy_intp hi) {
    for (npy_intp i = lo; i < hi; ++i) {
      algebra::Octonion a, b;
      for (npy_intp k = 0; k < 8; ++k) {
        a[k] = load(args[0] + i * steps[0] + k * steps[3]);
        b[k] = load(args[1] + i * steps[1] + k * steps[4]);
      }
      const algebra::Octonion p = algebra::octonion_mul(a, b);
      for (npy_intp k = 0; k < 8; ++k) store(args[2] + i * steps[2] + k * steps[5], p[k]);
    }
  });
}

// (n),(n),(k)->(n): a, b and the signature (the square of each basis
// vector) to a * b. A failure of the product - a term needing a blade or a
// signature entry that is not there - or a signature entry that is not an
// int8 raises ValueError for the first failing product in iteration order,
// whatever the number of threads; products before it are written.
constexpr const char kBadSignature[] = "geometric_product: signature entries must be integers from -128 to 127";

int geometric_loop(Context*, char* const* args, const npy_intp* dims, const npy_intp* steps, NpyAuxData*) {
  const npy_intp count = dims[0], d = dims[1], k = dims[2];
  const npy_intp* core = steps + 4;  // a, b, signature, out
  const npy_intp core_ns[] = {d, d, k, d};
  struct {
    std::mutex lock;
    npy_intp index = -1;
    std::string message;
  } first;
  const auto fail = [&](npy_intp i, const char* message) {
    const std::lock_guard<std::mutex> hold(first.lock);
    if (first.index < 0 || i < first.index) {
      first.index = i;
      first.message = message;
    }
  };
  const auto failed_before = [&](npy_intp i) {
    const std::lock_guard<std::mutex> hold(first.lock);
    return first.index >= 0 && first.index < i;
  };
  const bool split = count >= kGeometricParallelFrom && independent(args, steps, 3, 1, count, core, core_ns);
  QuietFlags quiet;
  const bool ran = run(count, split, [&](npy_intp lo, npy_intp hi) {
    if (failed_before(lo)) return;  // nothing of [lo, hi) can be the first failure
    std::vector<double> a(static_cast<std::size_t>(d)), b(a.size()), r(a.size());
    std::vector<std::int8_t> signature(static_cast<std::size_t>(k));
    for (npy_intp i = lo; i < hi; ++i) {
      for (npy_intp j = 0; j < d; ++j) {
        a[j] = load(args[0] + i * steps[0] + j * core[0]);
        b[j] = load(args[1] + i * steps[1] + j * core[1]);
      }
      bool valid = true;
      for (npy_intp j = 0; j < k && valid; ++j) {
        const double s = load(args[2] + i * steps[2] + j * core[2]);
        valid = s >= -128.0 && s <= 127.0 && std::trunc(s) == s;
        signature[j] = valid ? static_cast<std::int8_t>(s) : 0;
      }
      if (!valid) {
        fail(i, kBadSignature);
        return;
      }
      try {
        algebra::geometric_product_into(a, b, signature, r);
      } catch (const Panic& e) {
        fail(i, e.what());
        return;
      }
      for (npy_intp j = 0; j < d; ++j) store(args[3] + i * steps[3] + j * core[3], r[j]);
    }
  });
  if (!ran) return -1;
  if (first.index >= 0) {
    const PyGILState_STATE gil = PyGILState_Ensure();
    PyErr_SetString(PyExc_ValueError, first.message.c_str());
    PyGILState_Release(gil);
    return -1;
  }
  return 0;
}

// Every input dtype goes to the float64 loop (numpy then checks the casts
// against casting=).
int promote_to_double(PyObject* ufunc, PyArray_DTypeMeta* const[], PyArray_DTypeMeta* const signature[],
                      PyArray_DTypeMeta* new_op_dtypes[]) {
  for (int i = 0; i < reinterpret_cast<PyUFuncObject*>(ufunc)->nargs; ++i) {
    PyArray_DTypeMeta* dtype = signature[i] != nullptr ? signature[i] : &PyArray_DoubleDType;
    Py_INCREF(dtype);
    new_op_dtypes[i] = dtype;
  }
  return 0;
}

// ---- the table -----------------------------------------------------------------------

struct Row {
  const char* name;
  int nin, nout;
  PyArrayMethod_StridedLoop* loop;
  const char* signature;  // nullptr for an element-wise ufunc
  const char* doc;
};

const Row kRows[] = {
    {"exp", 1, 1, unary_loop<guarded_exp>, nullptr, doc::exp},
    {"ln", 1, 1, unary_loop<guarded_ln>, nullptr, doc::ln},
    {"add", 2, 1, binary_loop<kernels::add_elem, kCheapParallelFrom, kernels::add_array>, nullptr, doc::add},
    {"sub", 2, 1, binary_loop<kernels::sub_elem, kCheapParallelFrom, kernels::sub_array>, nullptr, doc::sub},
    {"mul", 2, 1, binary_loop<kernels::mul_elem, kCheapParallelFrom, kernels::mul_array>, nullptr, doc::mul},
    {"div", 2, 1, binary_loop<kernels::div_elem, kCheapParallelFrom, kernels::div_array>, nullptr, doc::div},
    {"sqrt", 1, 1, unary_loop<kernels::sqrt_elem, kCheapParallelFrom, kernels::sqrt_array>, nullptr, doc::sqrt},
    {"sin", 1, 1, unary_loop<kernels::sin_elem>, nullptr, doc::sin},
    {"cos", 1, 1, unary_loop<kernels::cos_elem>, nullptr, doc::cos},
    {"pow", 2, 1, binary_loop<kernels::pow_elem>, nullptr, doc::pow},
    {"tension", 2, 1, binary_loop<vek_tension>, nullptr, doc::tension},
    {"boost", 4, 2, boost_loop, nullptr, doc::boost},
    {"octonion_mul", 2, 1, octonion_loop, "(8),(8)->(8)", doc::octonion_mul},
    {"geometric_product", 3, 1, geometric_loop, "(n),(n),(k)->(n)", doc::geometric_product},
};

// The ufunc of a row: no legacy loops, its float64 ArrayMethod loop and the
// promoter to it.
PyObject* make_ufunc(const Row& r) {
  const int nargs = r.nin + r.nout;
  Ref ufunc(PyUFunc_FromFuncAndDataAndSignature(nullptr, nullptr, nullptr, 0, r.nin, r.nout, PyUFunc_None, r.name,
                                                r.doc, 0, r.signature));
  if (!ufunc) return nullptr;
  PyArray_DTypeMeta* dtypes[] = {&PyArray_DoubleDType, &PyArray_DoubleDType, &PyArray_DoubleDType,
                                 &PyArray_DoubleDType, &PyArray_DoubleDType, &PyArray_DoubleDType};
  PyType_Slot slots[] = {{NPY_METH_strided_loop, reinterpret_cast<void*>(r.loop)}, {0, nullptr}};
  PyArrayMethod_Spec spec{r.name, r.nin, r.nout, NPY_NO_CASTING, NPY_METH_NO_FLOATINGPOINT_ERRORS, dtypes, slots};
  if (PyUFunc_AddLoopFromSpec(ufunc.get(), &spec) < 0) return nullptr;
  Ref any(PyTuple_New(nargs));
  if (!any) return nullptr;
  for (int i = 0; i < nargs; ++i) PyTuple_SET_ITEM(any.get(), i, Py_NewRef(Py_None));
  Ref promoter(PyCapsule_New(reinterpret_cast<void*>(promote_to_double), "numpy._ufunc_promoter", nullptr));
  if (!promoter || PyUFunc_AddPromoter(ufunc.get(), any.get(), promoter.get()) < 0) return nullptr;
  return ufunc.release();
}

// _simd_level(level): the vector loops (of these ufuncs and of the search's
// row kernels) used from now on for the whole process: 0 none, 1 AVX2,
// 2 AVX-512, at most what the processor has; the level used before. The
// tests run each level and compare.
PyObject* simd_level(PyObject*, PyObject* level) {
  const long wanted = PyLong_AsLong(level);
  if (wanted == -1 && PyErr_Occurred()) return nullptr;
  return PyLong_FromLong(simd::set_level(static_cast<int>(std::clamp<long>(wanted, 0, simd::kAvx512))));
}

PyMethodDef g_methods[] = {
    {"_simd_level", simd_level, METH_O,
     "_simd_level($module, level, /)\n--\n\nUses the vector loops up to level (0 none, 1 AVX2, 2 AVX-512; "
     "at most what the processor has) from now on; returns the level used before."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef g_def = {PyModuleDef_HEAD_INIT,
                     "vek_math._ufuncs",
                     "numpy ufuncs over vek_math's element rules (see vek_math.ufuncs).",
                     0,
                     g_methods,
                     nullptr,
                     nullptr,
                     nullptr,
                     nullptr};

}  // namespace
}  // namespace vek::ufuncs

PyMODINIT_FUNC PyInit__ufuncs() {
  using namespace vek::ufuncs;
  import_array();
  import_umath();
  Ref module(PyModule_Create(&g_def));
  if (!module) return nullptr;
  for (const Row& r : kRows) {
    Ref ufunc(make_ufunc(r));
    if (!ufunc || PyModule_AddObjectRef(module.get(), r.name, ufunc.get()) < 0) return nullptr;
  }
  return module.release();
}

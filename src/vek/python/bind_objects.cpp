// Bindings of the value classes VEKPoint, VEKPair and VEKKnot and of their
// batch companions. Each instance holds its native record by value; every
// method reads the receiver, calls the core and boxes the result anew.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "vek/objects/knot.hpp"
#include "vek/objects/pair.hpp"
#include "vek/objects/point.hpp"
#include "vek/python/args.hpp"
#include "vek/python/docs.hpp"
#include "vek/python/errors.hpp"
#include "vek/python/from_py.hpp"
#include "vek/python/native_call.hpp"
#include "vek/python/registry.hpp"
#include "vek/python/to_py.hpp"
#include "vek/python/types.hpp"

namespace vek::py {
namespace {

using objects::Knot;
using objects::Pair;
using objects::Point;


// ---- native results -> Python ----------------------------------------------

PyObject* to_py(double v) { return new_float(v); }
PyObject* to_py(bool v) { return PyBool_FromLong(v); }
PyObject* to_py(std::int64_t v) { return PyLong_FromLongLong(v); }
PyObject* to_py(const std::string& s) { return str_from(s); }
PyObject* to_py(const Point& p) {
  PyTypeObject* t = reg::point_type();
  return t == nullptr ? nullptr : box(t, p);
}
PyObject* to_py(const Pair& p) {
  PyTypeObject* t = reg::pair_type();
  return t == nullptr ? nullptr : box(t, p);
}
PyObject* to_py(const Knot& k) {
  PyTypeObject* t = reg::knot_type();
  return t == nullptr ? nullptr : box(t, k);
}

// A method without parameters, or a getter: the member (function or field)
// applied to the receiver's record.
template <class T, auto Member>
PyObject* noargs(PyObject* self, PyObject*) {
  return guarded([&] { return to_py(std::invoke(Member, unbox<T>(self))); });
}
template <class T, auto Member>
PyObject* getter(PyObject* self, void*) {
  return guarded([&] { return to_py(std::invoke(Member, unbox<T>(self))); });
}
template <class T>
PyObject* repr(PyObject* self) {
  return guarded([&] { return to_py(unbox<T>(self).repr()); });
}

// ---- Python -> native records ------------------------------------------------

// The classes are final, so an exact type check is the instance check.
template <class T, PyTypeObject* (*Type)()>
bool exact(PyObject* o, T& out) {
  PyTypeObject* t = Type();
  if (t == nullptr || !Py_IS_TYPE(o, t)) return false;
  out = unbox<T>(o);
  return true;
}

bool to_point(PyObject* o, Point& out) {
  if (exact<Point, reg::point_type>(o, out)) return true;
  if (!PyErr_Occurred()) set_cannot_convert(o, "VEKPoint");
  return false;
}

// ---- VEKPoint ----------------------------------------------------------------

constexpr const char* kXY[] = {"x", "y"};
constexpr const char* kNextTol[] = {"next", "tol"};
constexpr const char* kSigC[] = {"plus_signature", "c"};
constexpr const char* kPhiC[] = {"phi", "c"};

constexpr ArgSpec kPointNew{"__new__", "VEKPoint", kXY, 2};
constexpr ArgSpec kConserves{"conserves_tension", "VEKPoint", kNextTol, 2};
constexpr ArgSpec kMinkowski{"minkowski_delta", "VEKPoint", kSigC, 2};
constexpr ArgSpec kBoost{"boost", "VEKPoint", kPhiC, 2};

PyObject* point_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* a[2];
  Point p;
  if (!parse_tuple(kPointNew, args, kwargs, a) || !arg(kPointNew, 0, a[0], to_f64, p.x) ||
      !arg(kPointNew, 1, a[1], to_f64, p.y))
    return nullptr;
  return box(type, p);
}

PyObject* point_conserves_tension(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  Point next;
  double tol;
  if (!parse_fast(kConserves, args, nargs, kwnames, a) || !arg(kConserves, 0, a[0], to_point, next) ||
      !arg(kConserves, 1, a[1], to_f64, tol))
    return nullptr;
  return guarded([&] { return to_py(unbox<Point>(self).conserves_tension(next, tol)); });
}

PyObject* point_minkowski_delta(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  bool plus_signature;  // required and checked; the interval does not depend on it
  double c;
  if (!parse_fast(kMinkowski, args, nargs, kwnames, a) || !arg(kMinkowski, 0, a[0], to_bool, plus_signature) ||
      !arg(kMinkowski, 1, a[1], to_f64, c))
    return nullptr;
  return guarded([&] { return to_py(unbox<Point>(self).minkowski_delta(c)); });
}

PyObject* point_boost(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  double phi, c;
  if (!parse_fast(kBoost, args, nargs, kwnames, a) || !arg(kBoost, 0, a[0], to_f64, phi) ||
      !arg(kBoost, 1, a[1], to_f64, c))
    return nullptr;
  return guarded([&] { return to_py(unbox<Point>(self).boost(phi, c)); });
}

// ---- pickling and copying ----------------------------------------------------

PyObject* point_reduce(PyObject* self, PyObject*) {
  const Point& p = unbox<Point>(self);
  return reduce_to("point", Py_BuildValue("(dd)", p.x, p.y));
}

PyObject* pair_reduce(PyObject* self, PyObject*) {
  const Pair& p = unbox<Pair>(self);
  return reduce_to("pair", Py_BuildValue("(dd)", p.real, p.imag));
}

PyObject* knot_reduce(PyObject* self, PyObject*) {
  const Knot& k = unbox<Knot>(self);
  return reduce_to("knot", Py_BuildValue("(ddLd)", k.point.x, k.point.y, static_cast<long long>(k.flip_count),
                                         k.phase));
}

PyMethodDef kPointMethods[] = {
    {"tension", noargs<Point, &Point::tension>, METH_NOARGS, doc::point_tension},
    {"vek", noargs<Point, &Point::tension>, METH_NOARGS, doc::point_vek},
    {"mirror_pulse", noargs<Point, &Point::mirror_pulse>, METH_NOARGS, doc::point_mirror_pulse},
    {"pulse", noargs<Point, &Point::mirror_pulse>, METH_NOARGS, doc::point_pulse},
    {"frame_shift", noargs<Point, &Point::frame_shift>, METH_NOARGS, doc::point_frame_shift},
    {"is_slipping", noargs<Point, &Point::is_slipping>, METH_NOARGS, doc::point_is_slipping},
    {"conserves_tension", fast(point_conserves_tension), kFast, doc::point_conserves_tension},
    {"pair", noargs<Point, &Point::pair>, METH_NOARGS, doc::point_pair},
    {"euclidean_delta", noargs<Point, &Point::euclidean_delta>, METH_NOARGS, doc::point_euclidean_delta},
    {"minkowski_delta", fast(point_minkowski_delta), kFast, doc::point_minkowski_delta},
    {"boost", fast(point_boost), kFast, doc::point_boost},
    {"__reduce__", point_reduce, METH_NOARGS, kReduceDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kPointGetters[] = {
    {"x", getter<Point, &Point::x>, nullptr, nullptr, nullptr},
    {"y", getter<Point, &Point::y>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kPointSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(point_new)},
    {Py_tp_repr, reinterpret_cast<void*>(repr<Point>)},
    {Py_tp_methods, kPointMethods},
    {Py_tp_getset, kPointGetters},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Point>)},
    {0, nullptr},
};

constexpr ClassRecord kPointClass{"VEKPoint", "(x, y)", "", sizeof(Boxed<Point>), kPointSlots};

// ---- VEKPair -------------------------------------------------------------------

constexpr const char* kRealImag[] = {"real", "imag"};
constexpr const char* kRTheta[] = {"r", "theta"};
constexpr const char* kAngle[] = {"angle"};

constexpr ArgSpec kPairNew{"__new__", "VEKPair", kRealImag, 2};
constexpr ArgSpec kFromValues{"from_values", "VEKPair", kRealImag, 2};
constexpr ArgSpec kFromPolar{"from_polar", "VEKPair", kRTheta, 2};
constexpr ArgSpec kRotatePhase{"rotate_phase", "VEKPair", kAngle, 1};

// Two float parameters of a constructor or static method.
template <const ArgSpec& Spec>
bool two_floats(PyObject* const* a, double& u, double& v) {
  return arg(Spec, 0, a[0], to_f64, u) && arg(Spec, 1, a[1], to_f64, v);
}

PyObject* pair_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* a[2];
  Pair p;
  if (!parse_tuple(kPairNew, args, kwargs, a) || !two_floats<kPairNew>(a, p.real, p.imag)) return nullptr;
  return box(type, p);
}

PyObject* pair_from_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  Pair p;
  if (!parse_fast(kFromValues, args, nargs, kwnames, a) || !two_floats<kFromValues>(a, p.real, p.imag))
    return nullptr;
  return to_py(p);
}

PyObject* pair_from_polar(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  double r, theta;
  if (!parse_fast(kFromPolar, args, nargs, kwnames, a) || !two_floats<kFromPolar>(a, r, theta)) return nullptr;
  return guarded([&] { return to_py(Pair::from_polar(r, theta)); });
}

template <double Real, double Imag>
PyObject* pair_constant(PyObject*, PyObject*) {
  return to_py(Pair{Real, Imag});
}

PyObject* pair_rotate_phase(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  double angle;
  if (!parse_fast(kRotatePhase, args, nargs, kwnames, a) || !arg(kRotatePhase, 0, a[0], to_f64, angle))
    return nullptr;
  return guarded([&] { return to_py(unbox<Pair>(self).rotate_phase(angle)); });
}

PyObject* pair_abs(PyObject* self) {
  return guarded([&] { return to_py(unbox<Pair>(self).modulus()); });
}

// Operands that are not pairs leave the operation to the other operand.
template <class Op>
PyObject* pair_arith(PyObject* a, PyObject* b) {
  Pair p, q;
  if (!exact<Pair, reg::pair_type>(a, p) || !exact<Pair, reg::pair_type>(b, q)) {
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NOTIMPLEMENTED;
  }
  return guarded([&] { return to_py(Op{}(p, q)); });
}

// == within the tolerance; != is the negated truth of the full == (so the
// other operand's __eq__ and the identity fallback take part); no ordering.
PyObject* pair_richcompare(PyObject* a, PyObject* b, int op) {
  if (op == Py_EQ) {
    Pair p, q;
    if (!exact<Pair, reg::pair_type>(a, p) || !exact<Pair, reg::pair_type>(b, q)) {
      if (PyErr_Occurred()) return nullptr;
      Py_RETURN_NOTIMPLEMENTED;
    }
    return to_py(p.tolerant_equal(q));
  }
  if (op == Py_NE) {
    Ref eq(PyObject_RichCompare(a, b, Py_EQ));
    if (!eq) return nullptr;
    const int truth = PyObject_IsTrue(eq.get());
    if (truth < 0) return nullptr;
    return to_py(truth == 0);
  }
  Py_RETURN_NOTIMPLEMENTED;
}

PyMethodDef kPairMethods[] = {
    {"from_values", fast(pair_from_values), kFast | METH_STATIC, doc::pair_from_values},
    {"from_polar", fast(pair_from_polar), kFast | METH_STATIC, doc::pair_from_polar},
    {"unit_i", pair_constant<0.0, 1.0>, METH_NOARGS | METH_STATIC, doc::pair_unit_i},
    {"one", pair_constant<1.0, 0.0>, METH_NOARGS | METH_STATIC, doc::pair_one},
    {"zero", pair_constant<0.0, 0.0>, METH_NOARGS | METH_STATIC, doc::pair_zero},
    {"rotate_phase", fast(pair_rotate_phase), kFast, doc::pair_rotate_phase},
    {"conjugate", noargs<Pair, &Pair::conjugate>, METH_NOARGS, doc::pair_conjugate},
    {"__reduce__", pair_reduce, METH_NOARGS, kReduceDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kPairGetters[] = {
    {"real", getter<Pair, &Pair::real>, nullptr, nullptr, nullptr},
    {"imag", getter<Pair, &Pair::imag>, nullptr, nullptr, nullptr},
    {"real_tension", getter<Pair, &Pair::real>, nullptr, nullptr, nullptr},
    {"imag_tension", getter<Pair, &Pair::imag>, nullptr, nullptr, nullptr},
    {"modulus", getter<Pair, &Pair::modulus>, nullptr, nullptr, nullptr},
    {"argument", getter<Pair, &Pair::argument>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// No tp_hash beside tp_richcompare: the interpreter sets __hash__ to None.
PyType_Slot kPairSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(pair_new)},
    {Py_nb_absolute, reinterpret_cast<void*>(pair_abs)},
    {Py_tp_repr, reinterpret_cast<void*>(repr<Pair>)},
    {Py_nb_add, reinterpret_cast<void*>(pair_arith<std::plus<>>)},
    {Py_nb_subtract, reinterpret_cast<void*>(pair_arith<std::minus<>>)},
    {Py_nb_multiply, reinterpret_cast<void*>(pair_arith<std::multiplies<>>)},
    {Py_nb_true_divide, reinterpret_cast<void*>(pair_arith<std::divides<>>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(pair_richcompare)},
    {Py_tp_methods, kPairMethods},
    {Py_tp_getset, kPairGetters},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Pair>)},
    {0, nullptr},
};

constexpr ClassRecord kPairClass{"VEKPair", "(real, imag)", "", sizeof(Boxed<Pair>), kPairSlots};

// ---- VEKKnot -------------------------------------------------------------------

constexpr const char* kKnotParams[] = {"point", "n", "theta"};
constexpr ArgSpec kKnotNew{"__new__", "VEKKnot", kKnotParams, 1};

PyObject* knot_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* a[3];
  Point p;
  std::int64_t n = 0;
  double theta = 0.0;
  if (!parse_tuple(kKnotNew, args, kwargs, a) || !arg(kKnotNew, 0, a[0], to_point, p) ||
      !opt_arg(kKnotNew, 1, a[1], to_i64, n) || !opt_arg(kKnotNew, 2, a[2], to_f64, theta))
    return nullptr;
  return guarded([&] { return box(type, Knot::make(p, n, theta)); });
}

PyMethodDef kKnotMethods[] = {
    {"mirror_pulse", noargs<Knot, &Knot::mirror_pulse>, METH_NOARGS, doc::knot_mirror_pulse},
    {"pulse", noargs<Knot, &Knot::mirror_pulse>, METH_NOARGS, doc::knot_pulse},
    {"three_one_flip", noargs<Knot, &Knot::three_one_flip>, METH_NOARGS, doc::knot_three_one_flip},
    {"flip", noargs<Knot, &Knot::three_one_flip>, METH_NOARGS, doc::knot_flip},
    {"tread_yield", noargs<Knot, &Knot::tread_yield>, METH_NOARGS, doc::knot_tread_yield},
    {"__reduce__", knot_reduce, METH_NOARGS, kReduceDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kKnotGetters[] = {
    {"point", getter<Knot, &Knot::point>, nullptr, nullptr, nullptr},  // a fresh VEKPoint per read
    {"flip_count", getter<Knot, &Knot::flip_count>, nullptr, nullptr, nullptr},
    {"phase", getter<Knot, &Knot::phase>, nullptr, nullptr, nullptr},
    {"rho", getter<Knot, &Knot::rho>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kKnotSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(knot_new)},
    {Py_tp_repr, reinterpret_cast<void*>(repr<Knot>)},
    {Py_tp_methods, kKnotMethods},
    {Py_tp_getset, kKnotGetters},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Knot>)},
    {0, nullptr},
};

constexpr ClassRecord kKnotClass{"VEKKnot", "(point, n=0, theta=0.0)", "", sizeof(Boxed<Knot>), kKnotSlots};

// ---- batch functions -------------------------------------------------------------

constexpr const char* kRotateParams[] = {"pairs", "angles"};
constexpr const char* kSchrodingerParams[] = {"psi", "v", "dt", "hbar"};
constexpr const char* kSimulateParams[] = {"x0", "y0", "n_pulses"};

constexpr ArgSpec kRotatePhaseN{"rotate_phase_n", nullptr, kRotateParams, 2};
constexpr ArgSpec kSchrodingerStepN{"schrodinger_step_n", nullptr, kSchrodingerParams, 4};
constexpr ArgSpec kSimulatePulsesN{"simulate_pulses_n", nullptr, kSimulateParams, 3};

PyObject* rotate_phases(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    std::vector<std::pair<double, double>> pairs;
    std::vector<double> angles;
    if (!parse_fast(kRotatePhaseN, args, nargs, kwnames, a) ||
        !arg(kRotatePhaseN, 0, a[0], to_pair_vec, pairs) || !arg(kRotatePhaseN, 1, a[1], to_f64_vec, angles))
      return nullptr;
    NativeCall call(std::min(pairs.size(), angles.size()) >= kReleaseGilFrom);
    const auto out = call.run([&] { return objects::rotate_phase_n(pairs, angles); });
    return list_from_pairs(out);
  });
}

PyObject* schrodinger_step(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[4];
    std::vector<std::pair<double, double>> psi;
    std::vector<double> v;
    double dt, hbar;
    if (!parse_fast(kSchrodingerStepN, args, nargs, kwnames, a) ||
        !arg(kSchrodingerStepN, 0, a[0], to_pair_vec, psi) || !arg(kSchrodingerStepN, 1, a[1], to_f64_vec, v) ||
        !arg(kSchrodingerStepN, 2, a[2], to_f64, dt) || !arg(kSchrodingerStepN, 3, a[3], to_f64, hbar))
      return nullptr;
    NativeCall call(std::min(psi.size(), v.size()) >= kReleaseGilFrom);
    const auto out = call.run([&] { return objects::schrodinger_step_n(psi, v, dt, hbar); });
    return list_from_pairs(out);
  });
}

// The core obtains the whole trajectory's memory before the first pulse: an
// impossible size fails (Panic or bad_alloc -> MemoryError) without work.
PyObject* simulate_pulses(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    double x0, y0;
    std::uint64_t n_pulses;
    if (!parse_fast(kSimulatePulsesN, args, nargs, kwnames, a) || !arg(kSimulatePulsesN, 0, a[0], to_f64, x0) ||
        !arg(kSimulatePulsesN, 1, a[1], to_f64, y0) || !arg(kSimulatePulsesN, 2, a[2], to_index, n_pulses))
      return nullptr;
    NativeCall call(n_pulses >= kReleaseGilFrom);
    const auto out = call.run([&] { return objects::simulate_pulses_n(x0, y0, n_pulses); });
    return list_from_triples(out);
  });
}

}  // namespace

namespace reg {
PyTypeObject* point_type() { return lazy_type<kPointClass>(); }
PyTypeObject* pair_type() { return lazy_type<kPairClass>(); }
PyTypeObject* knot_type() { return lazy_type<kKnotClass>(); }

PyMethodDef schrodinger_step_n{"schrodinger_step_n", fast(schrodinger_step), kFast, doc::schrodinger_step_n};
PyMethodDef rotate_phase_n{"rotate_phase_n", fast(rotate_phases), kFast, doc::rotate_phase_n};
PyMethodDef simulate_pulses_n{"simulate_pulses_n", fast(simulate_pulses), kFast, doc::simulate_pulses_n};
}  // namespace reg

}  // namespace vek::py

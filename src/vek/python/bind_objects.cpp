// Bindings of the value classes VEKPoint, VEKPair and VEKKnot and of their
// batch companions. Each instance holds its native record by value; every
// method reads the receiver, calls the core and boxes the result anew.
#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "vek/objects/knot.hpp"
#include "vek/objects/pair.hpp"
#include "vek/objects/point.hpp"
#include "vek/python/callable.hpp"
#include "vek/python/docs.hpp"
#include "vek/python/native_call.hpp"

namespace vek::py {
namespace {

using objects::Knot;
using objects::Pair;
using objects::Point;
using Pairs = std::vector<std::pair<double, double>>;

template <class T>
PyObject* repr(PyObject* self) {
  return guarded([&] { return to_py(unbox<T>(self).repr()); });
}

// ---- VEKPoint ----------------------------------------------------------------

using PointClass = Class<"VEKPoint", Point, "x, y">;

PyMethodDef kPointMethods[] = {
    PointClass::method<"tension", "", &Point::tension>(),
    PointClass::method<"vek", "", &Point::tension, doc::point_vek>(),
    PointClass::method<"mirror_pulse", "", &Point::mirror_pulse>(),
    PointClass::method<"pulse", "", &Point::mirror_pulse, doc::point_pulse>(),
    PointClass::method<"frame_shift", "", &Point::frame_shift>(),
    PointClass::method<"is_slipping", "", &Point::is_slipping>(),
    PointClass::method<"conserves_tension", "next, tol", &Point::conserves_tension>(),
    PointClass::method<"pair", "", &Point::pair, doc::point_pair>(),
    PointClass::method<"euclidean_delta", "", &Point::euclidean_delta, doc::point_euclidean_delta>(),
    // plus_signature is required and checked; the interval does not depend on it.
    PointClass::method<"minkowski_delta", "plus_signature, c",
                       [](const Point& p, bool, double c) { return p.minkowski_delta(c); },
                       doc::point_minkowski_delta>(),
    PointClass::method<"boost", "phi, c", &Point::boost, doc::point_boost>(),
    PointClass::method<"__reduce__", "",
                       [](const Point& p) { return reduce_to("point", Py_BuildValue("(dd)", p.x, p.y)); },
                       doc::reduce>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kPointGetters[] = {
    PointClass::getter<"x", &Point::x>(),
    PointClass::getter<"y", &Point::y>(),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kPointSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PointClass::create<[](double x, double y) { return Point{x, y}; }>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr<Point>)},
    {Py_tp_methods, kPointMethods},
    {Py_tp_getset, kPointGetters},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Point>)},
    {0, nullptr},
};

// ---- VEKPair -------------------------------------------------------------------

using PairClass = Class<"VEKPair", Pair, "real, imag">;

constexpr auto make_pair = [](double real, double imag) { return Pair{real, imag}; };

// Operands that are not pairs leave the operation to the other operand.
template <class Op>
PyObject* pair_arith(PyObject* a, PyObject* b) {
  Pair p, q;
  if (!unboxed(a, pair_type(), p) || !unboxed(b, pair_type(), q)) {
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
    if (!unboxed(a, pair_type(), p) || !unboxed(b, pair_type(), q)) {
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
    PairClass::static_method<"from_values", "real, imag", make_pair>(),
    PairClass::static_method<"from_polar", "r, theta", &Pair::from_polar>(),
    PairClass::static_method<"unit_i", "", [] { return Pair{0.0, 1.0}; }>(),
    PairClass::static_method<"one", "", [] { return Pair{1.0, 0.0}; }>(),
    PairClass::static_method<"zero", "", [] { return Pair{0.0, 0.0}; }>(),
    PairClass::method<"rotate_phase", "angle", &Pair::rotate_phase>(),
    PairClass::method<"conjugate", "", &Pair::conjugate>(),
    PairClass::method<"__reduce__", "",
                      [](const Pair& p) { return reduce_to("pair", Py_BuildValue("(dd)", p.real, p.imag)); },
                      doc::reduce>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kPairGetters[] = {
    PairClass::getter<"real", &Pair::real>(),         PairClass::getter<"imag", &Pair::imag>(),
    PairClass::getter<"real_tension", &Pair::real>(), PairClass::getter<"imag_tension", &Pair::imag>(),
    PairClass::getter<"modulus", &Pair::modulus>(),   PairClass::getter<"argument", &Pair::argument>(),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* pair_abs(PyObject* self) { return PairClass::get<&Pair::modulus>(self, nullptr); }

// No tp_hash beside tp_richcompare: the interpreter sets __hash__ to None.
PyType_Slot kPairSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PairClass::create<make_pair>)},
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

// ---- VEKKnot -------------------------------------------------------------------

using KnotClass = Class<"VEKKnot", Knot, "point, n=0, theta=0.0">;

PyMethodDef kKnotMethods[] = {
    KnotClass::method<"mirror_pulse", "", &Knot::mirror_pulse>(),
    KnotClass::method<"pulse", "", &Knot::mirror_pulse, doc::knot_pulse>(),
    KnotClass::method<"three_one_flip", "", &Knot::three_one_flip>(),
    KnotClass::method<"flip", "", &Knot::three_one_flip, doc::knot_flip>(),
    KnotClass::method<"tread_yield", "", &Knot::tread_yield>(),
    KnotClass::method<"__reduce__", "",
                      [](const Knot& k) {
                        return reduce_to("knot", Py_BuildValue("(ddLd)", k.point.x, k.point.y,
                                                               static_cast<long long>(k.flip_count), k.phase));
                      },
                      doc::reduce>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kKnotGetters[] = {
    KnotClass::getter<"point", &Knot::point>(),  // a fresh VEKPoint per read
    KnotClass::getter<"flip_count", &Knot::flip_count>(),
    KnotClass::getter<"phase", &Knot::phase>(),
    KnotClass::getter<"rho", &Knot::rho>(),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kKnotSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(KnotClass::create<&Knot::make>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr<Knot>)},
    {Py_tp_methods, kKnotMethods},
    {Py_tp_getset, kKnotGetters},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Knot>)},
    {0, nullptr},
};

constexpr ClassRecord kPointClass = PointClass::record(kPointSlots);
constexpr ClassRecord kPairClass = PairClass::record(kPairSlots);
constexpr ClassRecord kKnotClass = KnotClass::record(kKnotSlots);

// ---- batch functions -------------------------------------------------------------

Pairs rotate_phases(const Pairs& pairs, const std::vector<double>& angles) {
  NativeCall call(std::min(pairs.size(), angles.size()) >= kReleaseGilFrom);
  return call.run([&] { return objects::rotate_phase_n(pairs, angles); });
}

Pairs schrodinger_step(const Pairs& psi, const std::vector<double>& v, double dt, double hbar) {
  NativeCall call(std::min(psi.size(), v.size()) >= kReleaseGilFrom);
  return call.run([&] { return objects::schrodinger_step_n(psi, v, dt, hbar); });
}

// The core obtains the whole trajectory's memory before the first pulse: an
// impossible size fails (Panic or bad_alloc -> MemoryError) without work.
std::vector<std::array<double, 3>> simulate_pulses(double x0, double y0, std::uint64_t n_pulses) {
  NativeCall call(n_pulses >= kReleaseGilFrom);
  return call.run([&] { return objects::simulate_pulses_n(x0, y0, n_pulses); });
}

Export kRows[] = {
    point_type,
    pair_type,
    knot_type,
    function<"schrodinger_step_n", "psi, v, dt, hbar", schrodinger_step, doc::schrodinger_step_n>(),
    function<"rotate_phase_n", "pairs, angles", rotate_phases, doc::rotate_phase_n>(),
    function<"simulate_pulses_n", "x0, y0, n_pulses", simulate_pulses, doc::simulate_pulses_n>(),
};

}  // namespace

PyTypeObject* point_type() { return lazy_type<kPointClass>(); }
PyTypeObject* pair_type() { return lazy_type<kPairClass>(); }
PyTypeObject* knot_type() { return lazy_type<kKnotClass>(); }
extern const std::span<Export> kObjectExports(kRows);

}  // namespace vek::py

// What each subsystem's binding file offers to the module's registration
// table: function descriptors and lazily made class types.
#pragma once

#include "vek/python/py.hpp"
#include "vek/python/search_result.hpp"

namespace vek::py::reg {

// Element-wise kernels (bind_kernels.cpp).
extern PyMethodDef boost_n, exp_n, ln_n, add_n, sub_n, mul_n, div_n, sqrt_n, sin_n, cos_n, tension_n,
    pow_n;

// Value classes and their batch companions (bind_objects.cpp).
PyTypeObject* point_type();
PyTypeObject* pair_type();
PyTypeObject* knot_type();
extern PyMethodDef schrodinger_step_n, rotate_phase_n, simulate_pulses_n;

// Algebra and geometry kernels (bind_algebra.cpp).
extern PyMethodDef christoffel_batch_n, octonion_mul_n, geometric_product_n;

// Formula discovery (bind_discover.cpp).
extern PyMethodDef find_formula;

}  // namespace vek::py::reg

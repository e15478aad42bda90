// What each subsystem's binding file offers to the module's registration
// table: function descriptors and lazily made class types.
#pragma once

#include "vek/python/py.hpp"

namespace vek::py::reg {

// Element-wise kernels (bind_kernels.cpp).
extern PyMethodDef boost_n, exp_n, ln_n, add_n, sub_n, mul_n, div_n, sqrt_n, sin_n, cos_n, tension_n,
    pow_n;

}  // namespace vek::py::reg

// Docstrings of the numpy ufuncs. numpy puts the call signature line
// ("exp(x, /, out=None, *, where=True, ...)") in front of each.
#pragma once

namespace vek::ufuncs::doc {

#define VEK_UFUNC_BASE                                                                             \
  "\n\nThe loop is float64; other dtypes are cast by numpy's rules. Broadcasting, out=, where=,\n" \
  "dtype= and the other ufunc keywords work as for any numpy ufunc. Large loops run on the\n"      \
  "shared thread pool with the GIL released; results never depend on the number of\n"              \
  "threads. The guards define every result, so no floating-point warnings are raised.\n"
#define VEK_UFUNC_COMMON VEK_UFUNC_BASE "dask arrays work too, lazily, chunk by chunk.\n"

inline constexpr const char exp[] =
    "Guarded exponential, element-wise: exp(x), where x above 709.782712893384 (the log of\n"
    "the largest double) is replaced by ln(x) first. Bit for bit the values of\n"
    "vek_core.exp_n." VEK_UFUNC_COMMON
    "\nExamples\n--------\n>>> ufuncs.exp([0.0, 1.0, 1000.0])\n"
    "array([   1.        ,    2.71828183, 1000.        ])\n";

inline constexpr const char ln[] =
    "Guarded natural logarithm, element-wise: ln(|y|), with -690.7755278982137 (ln 1e-300)\n"
    "for both zeros; NaN stays NaN. Bit for bit the values of vek_core.ln_n." VEK_UFUNC_COMMON
    "\nExamples\n--------\n>>> ufuncs.ln([1.0, -1.0, 0.0])\n"
    "array([   0.       ,    0.       , -690.7755279])\n";

inline constexpr const char add[] =
    "Sum x1 + x2, element-wise. Bit for bit the values of vek_core.add_n." VEK_UFUNC_COMMON;

inline constexpr const char sub[] =
    "Difference x1 - x2, element-wise. Bit for bit the values of vek_core.sub_n." VEK_UFUNC_COMMON;

inline constexpr const char mul[] =
    "Product x1 * x2, element-wise. Bit for bit the values of vek_core.mul_n." VEK_UFUNC_COMMON;

inline constexpr const char div[] =
    "Guarded quotient x1 / x2, element-wise: NaN wherever |x2| < 1e-300 (zeros included).\n"
    "Bit for bit the values of vek_core.div_n." VEK_UFUNC_COMMON
    "\nExamples\n--------\n>>> ufuncs.div([1.0, 1.0], [4.0, 0.0])\narray([0.25,  nan])\n";

inline constexpr const char sqrt[] =
    "Square root of the magnitude, sqrt(|x|), element-wise. Bit for bit the values of\n"
    "vek_core.sqrt_n." VEK_UFUNC_COMMON;

inline constexpr const char sin[] =
    "Sine of x (radians), element-wise. Bit for bit the values of vek_core.sin_n." VEK_UFUNC_COMMON;

inline constexpr const char cos[] =
    "Cosine of x (radians), element-wise. Bit for bit the values of vek_core.cos_n." VEK_UFUNC_COMMON;

inline constexpr const char pow[] =
    "Power of the magnitude, |x1| ** x2, element-wise. Bit for bit the values of\n"
    "vek_core.pow_n." VEK_UFUNC_COMMON;

inline constexpr const char tension[] =
    "The vek operator vek(x, y) = exp(x) - ln(y), element-wise, with the guards of exp and\n"
    "ln. Bit for bit the values of vek_core.tension_n." VEK_UFUNC_COMMON
    "\nExamples\n--------\n>>> ufuncs.tension([0.0, 0.0], [1.0, 0.0])\narray([  1.       , 691.7755279])\n";

inline constexpr const char boost[] =
    "Lorentz boost of the points (x, y) = (x1, x2) by rapidity phi = x3 at speed c = x4,\n"
    "element-wise; returns the tuple (x', y') of boosted coordinates. With t = exp(x) and X = ln(y) (both\n"
    "guarded), t' = t cosh(phi) - (X / c) sinh(phi) and X' = X cosh(phi) - c t sinh(phi)\n"
    "clamped to [-709, 709]; x' = ln(max(t', 1e-300)) and y' = exp(X'). Bit for bit the\n"
    "values of vek_core.boost_n, which takes one c for the batch where this broadcasts c\n"
    "like any input." VEK_UFUNC_BASE
    "dask forwards only single-output ufuncs by itself: for dask arrays call\n"
    "dask.array.apply_gufunc(boost, '(),(),(),()->(),()', x, y, phi, c).\n"
    "\nExamples\n--------\n>>> ufuncs.boost([0.0, 1.0], [1.0, 2.0], 0.5, 1.0)\n"
    "(array([0.12011451, 0.99473565]), array([0.59386972, 0.53000272]))\n";

inline constexpr const char octonion_mul[] =
    "Octonion product a * b over the last axis (signature (8),(8)->(8)): coefficients of\n"
    "e0 (the real unit) .. e7, with ei * ei = -e0 and, for each triple (i, i+1, i+3) mod 7,\n"
    "the product of two members in cyclic order the third. Terms with an exactly zero\n"
    "factor are never formed. Bit for bit the values of vek_core.octonion_mul_n.\n"
    "\nThe loop is float64; other dtypes are cast by numpy's rules. The leading axes\n"
    "broadcast; out= and axes= work as for any generalized ufunc. Large batches run on the\n"
    "shared thread pool with the GIL released; results never depend on the number of\n"
    "threads. dask cannot probe a fixed core size by itself: for dask arrays (the last\n"
    "axis in one chunk) call dask.array.apply_gufunc(octonion_mul, octonion_mul.signature,\n"
    "a, b, output_dtypes=float).\n"
    "\nExamples\n--------\n>>> e = numpy.eye(8)\n>>> ufuncs.octonion_mul(e[1], e[2])  # e1 * e2 = e4\n"
    "array([0., 0., 0., 0., 1., 0., 0., 0.])\n";

inline constexpr const char geometric_product[] =
    "Geometric (Clifford) product a * b over the last axis (signature (n),(n),(k)->(n)).\n"
    "Position A of a multivector holds the blade whose basis vectors are the set bits of A,\n"
    "multiplied in ascending order; signature[i] is the square of basis vector i and must\n"
    "be an integer from -128 to 127 (any dtype). Terms with an exactly zero factor are\n"
    "never formed. Bit for bit the values of vek_core.geometric_product_n.\n"
    "\nWhere vek_core.geometric_product_n raises PanicException (a non-zero term needs a\n"
    "blade at or beyond n or a signature entry beyond k) this raises ValueError with the\n"
    "same message, for the first failing product in iteration order; out= may then hold\n"
    "the products before it.\n"
    "\nThe loop is float64; other dtypes are cast by numpy's rules. The leading axes\n"
    "broadcast (one signature usually serves the whole batch); out= and axes= work as for\n"
    "any generalized ufunc, and so do dask arrays (the core axes in one chunk). Large\n"
    "batches run on the shared thread pool with the GIL released; results never depend on\n"
    "the number of threads.\n"
    "\nExamples\n--------\n>>> e = numpy.eye(4)  # blades 1, e0, e1, e0e1 of signature (1, 1)\n"
    ">>> ufuncs.geometric_product(e[1], e[2], [1, 1])  # e0 e1\n"
    "array([0., 0., 0., 1.])\n";

#undef VEK_UFUNC_COMMON
#undef VEK_UFUNC_BASE

}  // namespace vek::ufuncs::doc

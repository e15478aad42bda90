// Docstring bodies of the functions, methods and classes; each row adds the
// signature part ("name(params)\n--\n\n") from its own name and parameters.
#pragma once

namespace vek::py::doc {

inline constexpr const char search_result_class[] = "Python-facing formula discovery result.";
inline constexpr const char exp_n[] = "Batch exp: [exp(x) for x in xs] — Rayon parallel.";
inline constexpr const char ln_n[] = "Batch ln: [ln(y) for y in ys] — Rayon parallel, frame-shift guard applied.";
inline constexpr const char add_n[] = "Batch add: [a + b for (a, b) in zip(as_, bs)] — Rayon parallel.";
inline constexpr const char sub_n[] = "Batch sub: [a - b for (a, b) in zip(as_, bs)] — Rayon parallel.";
inline constexpr const char mul_n[] = "Batch mul: [a * b for (a, b) in zip(as_, bs)] — Rayon parallel.";
inline constexpr const char div_n[] = "Batch div: [a / b] — NaN for |b| < 1e-300 — Rayon parallel.";
inline constexpr const char sqrt_n[] = "Batch sqrt: [sqrt(|x|) for x in xs] — Rayon parallel.";
inline constexpr const char sin_n[] = "Batch sin: [sin(x) for x in xs] — Rayon parallel.";
inline constexpr const char cos_n[] = "Batch cos: [cos(x) for x in xs] — Rayon parallel.";
inline constexpr const char pow_n[] = "Batch pow: [|base|^exp for (base, exp) in zip(bases, exps)] — Rayon parallel.";
inline constexpr const char tension_n[] = "Batch vek_tension: [vek(x, y) for (x, y) in zip(xs, ys)] — Rayon parallel.";
inline constexpr const char boost_n[] =
    "Batch Lorentz boost: apply boost(phi_i, c) to each (x_i, y_i) point in parallel.\nReturns Vec of (x', y') tuples.";
inline constexpr const char find_formula[] =
    "Find a formula fitting x_data → y_data.\nx_data: list of column vectors (one per variable), or a single 1D list for univariate.\ny_data: target values (1D list).";
inline constexpr const char point_vek[] = "Alias for tension() — vek(x, y) = exp(x) - ln(y).";
inline constexpr const char point_pulse[] = "Alias for mirror_pulse().";
inline constexpr const char point_pair[] = "Returns (exp(x), ln(|y|)) as an VEKPair — canonical frame coordinates.";
inline constexpr const char point_euclidean_delta[] = "Euclidean delta: sqrt(exp(2x) + (ln y)^2).";
inline constexpr const char point_minkowski_delta[] =
    "Minkowski interval sqrt(|exp(2x) - (c*ln y)^2|).\nplus_signature=true means (+---): time-like when exp(2x) > (c*ln y)^2.";
inline constexpr const char point_boost[] =
    "Lorentz boost by rapidity phi. Returns new VEKPoint with identical Δ_M.\nBoost: t' = t*cosh(phi) - (x/c)*sinh(phi), x' = x*cosh(phi) - t*c*sinh(phi)\nwhere t = exp(x_coord), x = ln(y_coord).";
inline constexpr const char rotate_phase_n[] = "Batch rotate_phase for a list of VEKPairs.";
inline constexpr const char schrodinger_step_n[] =
    "Batch Schrödinger potential-phase step: ψ_n → e^{-iV_n·dt/ħ}·ψ_n for all n.\nReturns list of (real, imag) tuples.";
inline constexpr const char knot_pulse[] = "Alias for mirror_pulse().";
inline constexpr const char knot_flip[] = "Alias for three_one_flip().";
inline constexpr const char simulate_pulses_n[] =
    "Simulate n_pulses of mirror_pulse, returning (x, y, tension) per step.";
inline constexpr const char octonion_mul_n[] =
    "Batch octonion multiplication (Rayon parallel).\na_batch, b_batch: each is a Vec of 8-element float lists.\nReturns Vec of 8-element results.";
inline constexpr const char geometric_product_n[] =
    "Batch geometric product (Rayon parallel).\na_batch, b_batch: each is a Vec of flat coefficient arrays.\nsignature: +1/-1 per basis vector (length n, algebra dimension = 2^n).\nReturns Vec of result coefficient arrays.";
inline constexpr const char christoffel_batch_n[] =
    "Batch Schwarzschild Christoffel evaluation.\npoints: Vec of (x, _) where r = exp(x).\nReturns Vec of Γ^lam_{mu nu} values for each point.";
inline constexpr const char reduce[] = "Return state information for pickling.";

}  // namespace vek::py::doc

// Docstrings of every function and method, stored whole: the signature line,
// "--", an empty line, then the body (the interpreter derives __text_signature__
// from the part before "--").
#pragma once

namespace vek::py::doc {

// Class docstring bodies (the signature part is added when the type is made).
inline constexpr const char search_result_class[] = "Python-facing formula discovery result.";

inline constexpr const char exp_n[] =
    "exp_n(xs)\n--\n\nBatch exp: [exp(x) for x in xs] — Rayon parallel.";
inline constexpr const char result_to_latex[] =
    "to_latex($self)\n--\n\n";
inline constexpr const char ln_n[] =
    "ln_n(ys)\n--\n\nBatch ln: [ln(y) for y in ys] — Rayon parallel, frame-shift guard applied.";
inline constexpr const char add_n[] =
    "add_n(as_, bs)\n--\n\nBatch add: [a + b for (a, b) in zip(as_, bs)] — Rayon parallel.";
inline constexpr const char sub_n[] =
    "sub_n(as_, bs)\n--\n\nBatch sub: [a - b for (a, b) in zip(as_, bs)] — Rayon parallel.";
inline constexpr const char mul_n[] =
    "mul_n(as_, bs)\n--\n\nBatch mul: [a * b for (a, b) in zip(as_, bs)] — Rayon parallel.";
inline constexpr const char div_n[] =
    "div_n(as_, bs)\n--\n\nBatch div: [a / b] — NaN for |b| < 1e-300 — Rayon parallel.";
inline constexpr const char sqrt_n[] =
    "sqrt_n(xs)\n--\n\nBatch sqrt: [sqrt(|x|) for x in xs] — Rayon parallel.";
inline constexpr const char sin_n[] =
    "sin_n(xs)\n--\n\nBatch sin: [sin(x) for x in xs] — Rayon parallel.";
inline constexpr const char cos_n[] =
    "cos_n(xs)\n--\n\nBatch cos: [cos(x) for x in xs] — Rayon parallel.";
inline constexpr const char pow_n[] =
    "pow_n(bases, exps)\n--\n\nBatch pow: [|base|^exp for (base, exp) in zip(bases, exps)] — Rayon parallel.";
inline constexpr const char tension_n[] =
    "tension_n(xs, ys)\n--\n\nBatch vek_tension: [vek(x, y) for (x, y) in zip(xs, ys)] — Rayon parallel.";
inline constexpr const char boost_n[] =
    "boost_n(points, phis, c)\n--\n\nBatch Lorentz boost: apply boost(phi_i, c) to each (x_i, y_i) point in parallel.\nReturns Vec of (x', y') tuples.";
inline constexpr const char find_formula[] =
    "find_formula(x_data, y_data, max_complexity=8, beam_width=2000, precision_goal=1e-10, use_trig=True, use_vek=True, complexity_penalty=0.001)\n--\n\nFind a formula fitting x_data → y_data.\nx_data: list of column vectors (one per variable), or a single 1D list for univariate.\ny_data: target values (1D list).";
inline constexpr const char result_to_python[] =
    "to_python($self)\n--\n\n";
inline constexpr const char point_tension[] =
    "tension($self)\n--\n\n";
inline constexpr const char point_vek[] =
    "vek($self)\n--\n\nAlias for tension() — vek(x, y) = exp(x) - ln(y).";
inline constexpr const char point_mirror_pulse[] =
    "mirror_pulse($self)\n--\n\n";
inline constexpr const char point_pulse[] =
    "pulse($self)\n--\n\nAlias for mirror_pulse().";
inline constexpr const char point_frame_shift[] =
    "frame_shift($self)\n--\n\n";
inline constexpr const char point_is_slipping[] =
    "is_slipping($self)\n--\n\n";
inline constexpr const char point_conserves_tension[] =
    "conserves_tension($self, next, tol)\n--\n\n";
inline constexpr const char point_pair[] =
    "pair($self)\n--\n\nReturns (exp(x), ln(|y|)) as an VEKPair — canonical frame coordinates.";
inline constexpr const char point_euclidean_delta[] =
    "euclidean_delta($self)\n--\n\nEuclidean delta: sqrt(exp(2x) + (ln y)^2).";
inline constexpr const char point_minkowski_delta[] =
    "minkowski_delta($self, plus_signature, c)\n--\n\nMinkowski interval sqrt(|exp(2x) - (c*ln y)^2|).\nplus_signature=true means (+---): time-like when exp(2x) > (c*ln y)^2.";
inline constexpr const char point_boost[] =
    "boost($self, phi, c)\n--\n\nLorentz boost by rapidity phi. Returns new VEKPoint with identical Δ_M.\nBoost: t' = t*cosh(phi) - (x/c)*sinh(phi), x' = x*cosh(phi) - t*c*sinh(phi)\nwhere t = exp(x_coord), x = ln(y_coord).";
inline constexpr const char pair_from_values[] =
    "from_values(real, imag)\n--\n\n";
inline constexpr const char pair_from_polar[] =
    "from_polar(r, theta)\n--\n\n";
inline constexpr const char pair_unit_i[] =
    "unit_i()\n--\n\n";
inline constexpr const char pair_one[] =
    "one()\n--\n\n";
inline constexpr const char pair_zero[] =
    "zero()\n--\n\n";
inline constexpr const char pair_rotate_phase[] =
    "rotate_phase($self, angle)\n--\n\n";
inline constexpr const char pair_conjugate[] =
    "conjugate($self)\n--\n\n";
inline constexpr const char rotate_phase_n[] =
    "rotate_phase_n(pairs, angles)\n--\n\nBatch rotate_phase for a list of VEKPairs.";
inline constexpr const char schrodinger_step_n[] =
    "schrodinger_step_n(psi, v, dt, hbar)\n--\n\nBatch Schrödinger potential-phase step: ψ_n → e^{-iV_n·dt/ħ}·ψ_n for all n.\nReturns list of (real, imag) tuples.";
inline constexpr const char knot_mirror_pulse[] =
    "mirror_pulse($self)\n--\n\n";
inline constexpr const char knot_pulse[] =
    "pulse($self)\n--\n\nAlias for mirror_pulse().";
inline constexpr const char knot_three_one_flip[] =
    "three_one_flip($self)\n--\n\n";
inline constexpr const char knot_flip[] =
    "flip($self)\n--\n\nAlias for three_one_flip().";
inline constexpr const char knot_tread_yield[] =
    "tread_yield($self)\n--\n\n";
inline constexpr const char simulate_pulses_n[] =
    "simulate_pulses_n(x0, y0, n_pulses)\n--\n\nSimulate n_pulses of mirror_pulse, returning (x, y, tension) per step.";
inline constexpr const char octonion_mul_n[] =
    "octonion_mul_n(a_batch, b_batch)\n--\n\nBatch octonion multiplication (Rayon parallel).\na_batch, b_batch: each is a Vec of 8-element float lists.\nReturns Vec of 8-element results.";
inline constexpr const char geometric_product_n[] =
    "geometric_product_n(a_batch, b_batch, signature)\n--\n\nBatch geometric product (Rayon parallel).\na_batch, b_batch: each is a Vec of flat coefficient arrays.\nsignature: +1/-1 per basis vector (length n, algebra dimension = 2^n).\nReturns Vec of result coefficient arrays.";
inline constexpr const char christoffel_batch_n[] =
    "christoffel_batch_n(points, lam, mu, nu, rs)\n--\n\nBatch Schwarzschild Christoffel evaluation.\npoints: Vec of (x, _) where r = exp(x).\nReturns Vec of Γ^lam_{mu nu} values for each point.";

}  // namespace vek::py::doc

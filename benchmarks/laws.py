"""The development set of bench_discovery: laws of physics and engineering.

Each law is a name (a short description and the formula), a numpy function of
the columns, one (low, high) sampling range per variable, and the variable
names (those of the function's parameters). Physical constants are fixed
numbers, written as their SI mantissas (G = 6.674, k_B = 1.381, ...) so that
targets are mostly of order 0.1 to 10^4, and c = 1 where a law is written in
natural units. Ranges are positive where the physics needs it, keep each
variable's effect on the target visible, denominators away from zero and the
arguments of sqrt, ln and arcsin inside their domains.

``as_sympy(law)`` writes a law as a sympy expression of symbols named after
its variables. ``QUICK`` names the subset of ``bench_discovery --quick``:
every third law from the second (41 laws from every variable-count bucket,
recovered at about the rate of the whole set).
"""

import inspect
import math
from collections.abc import Callable
from typing import NamedTuple

import numpy as np

PI = math.pi

# Constants as fixed numbers (SI mantissas).
G = 6.674  # gravitational constant (x 1e-11)
K_E = 8.988  # Coulomb constant (x 1e9)
K_B = 1.381  # Boltzmann constant (x 1e-23)
R_GAS = 8.314  # gas constant
SIGMA = 5.670  # Stefan-Boltzmann constant (x 1e-8)
H_EV = 4.136  # Planck constant in eV fs
EPS0 = 8.854  # vacuum permittivity (x 1e-12)
MU0 = 1.2566  # vacuum permeability (x 1e-6)
G0 = 9.81  # standard gravity
E_CHARGE = 1.602  # elementary charge (x 1e-19)


class Law(NamedTuple):
    name: str
    target: Callable[..., np.ndarray]
    ranges: list[tuple[float, float]]
    variables: tuple[str, ...]


def _law(name, target, ranges):
    variables = tuple(inspect.signature(target).parameters)
    if len(variables) != len(ranges):
        raise ValueError(f"{name}: {len(variables)} variables but {len(ranges)} ranges")
    return Law(name, target, [(float(lo), float(hi)) for lo, hi in ranges], variables)


# The functions the laws call, looked up when a law is evaluated: as_sympy
# swaps in sympy's to write a law as an expression.
sqrt, exp, log, log10, sin, cos, arcsin = np.sqrt, np.exp, np.log, np.log10, np.sin, np.cos, np.arcsin

LAWS = [
    _law(*spec)
    for spec in [
        # ---- one variable -----------------------------------------------------
        ("sphere surface  4 pi r^2", lambda r: 4 * PI * r**2, [(0.5, 3)]),
        ("free fall  g t^2/2", lambda t: G0 / 2 * t**2, [(0.5, 3)]),
        ("Torricelli  sqrt(2 g h)", lambda h: sqrt(2 * G0 * h), [(0.5, 10)]),
        ("Lorentz factor  1/sqrt(1 - v^2)", lambda v: 1 / sqrt(1 - v**2), [(0, 0.9)]),
        ("Wien  b/T", lambda T: 2898 / T, [(500, 5000)]),
        ("heat capacity  a + b T + c T^2 + d T^3", lambda T: 25 + 8 * T - 1.5 * T**2 + 0.3 * T**3, [(0.5, 5)]),
        ("sound level  10 log10(I/I0)", lambda I: 10 * log10(I / 1e-12), [(0.001, 1)]),
        ("Compton shift  lc (1 - cos th)", lambda th: 2.426 * (1 - cos(th)), [(0.3, PI)]),
        ("field energy density  B^2/(2 mu0)", lambda B: B**2 / (2 * MU0), [(0.5, 5)]),
        # ---- two variables ----------------------------------------------------
        ("rotational energy  I w^2/2", lambda I, w: I * w**2 / 2, [(1, 5), (1, 5)]),
        ("electric power  V^2/R", lambda V, R: V**2 / R, [(1, 10), (1, 5)]),
        ("de Broglie  h/(m v)", lambda m, v: 6.626 / (m * v), [(0.5, 3), (0.5, 3)]),
        ("orbital speed  sqrt(G M/r)", lambda M, r: sqrt(G * M / r), [(1, 5), (1, 5)]),
        ("Kepler  2 pi sqrt(a^3/(G M))", lambda a, M: 2 * PI * sqrt(a**3 / (G * M)), [(1, 5), (1, 5)]),
        ("Doppler  f c/(c - v)", lambda f, v: f * 343 / (343 - v), [(100, 1000), (0, 100)]),
        ("damped oscillation  A exp(-t/2) cos(3 t)", lambda A, t: A * exp(-t / 2) * cos(3 * t), [(1, 5), (0, 5)]),
        ("thin lens image  f d/(d - f)", lambda f, d: f * d / (d - f), [(0.5, 2), (3, 10)]),
        ("parallel resistors  R1 R2/(R1 + R2)", lambda R1, R2: R1 * R2 / (R1 + R2), [(1, 10), (1, 10)]),
        ("velocity addition  (u + v)/(1 + u v)", lambda u, v: (u + v) / (1 + u * v), [(0, 0.9), (0, 0.9)]),
        ("Planck spectrum  2 nu^3/(exp(nu/T) - 1)", lambda nu, T: 2 * nu**3 / (exp(nu / T) - 1), [(0.5, 5), (1, 5)]),
        ("speed of sound  sqrt(1.4 R T/M)", lambda T, M: sqrt(1.4 * R_GAS * T / M), [(200, 400), (0.002, 0.05)]),
        ("photoelectric  h f - W", lambda f, W: H_EV * f - W, [(1.5, 3), (1, 4)]),
        ("Bohr levels  -13.6 Z^2/n^2", lambda Z, n: -13.6 * Z**2 / n**2, [(1, 5), (1, 5)]),
        ("Rydberg  R (1/n1^2 - 1/n2^2)", lambda n1, n2: 10.97 * (1 / n1**2 - 1 / n2**2), [(1, 2), (3, 6)]),
        ("relativistic energy  m/sqrt(1 - v^2)", lambda m, v: m / sqrt(1 - v**2), [(1, 5), (0, 0.9)]),
        ("LC resonance  1/(2 pi sqrt(L C))", lambda L, C: 1 / (2 * PI * sqrt(L * C)), [(0.1, 1), (0.01, 0.1)]),
        ("dipole field  2 k p/r^3", lambda p, r: 2 * K_E * p / r**3, [(1, 5), (1, 3)]),
        ("shaft torsion  2 T/(pi r^3)", lambda T, r: 2 * T / (PI * r**3), [(1, 10), (0.5, 2)]),
        ("Malus  I0 cos(th)^2", lambda I0, th: I0 * cos(th) ** 2, [(1, 5), (0, 1.4)]),
        ("RC charging  V (1 - exp(-t/2))", lambda V, t: V * (1 - exp(-t / 2)), [(1, 5), (0, 5)]),
        ("ideal gas energy  3/2 n R T", lambda n, T: 1.5 * R_GAS * n * T, [(1, 5), (1, 5)]),
        ("Stefan-Boltzmann  sigma A T^4", lambda A, T: SIGMA * A * T**4, [(0.5, 2), (1, 3)]),
        ("Langmuir  qm K p/(1 + K p)", lambda qm, p: qm * 2 * p / (1 + 2 * p), [(1, 5), (0.1, 5)]),
        # ---- three variables --------------------------------------------------
        ("centripetal force  m v^2/r", lambda m, v, r: m * v**2 / r, [(1, 5), (1, 5), (1, 5)]),
        ("gravitation  G m1 m2/r^2", lambda m1, m2, r: G * m1 * m2 / r**2, [(1, 5), (1, 5), (1, 3)]),
        ("Coulomb energy  k q1 q2/r", lambda q1, q2, r: K_E * q1 * q2 / r, [(1, 5), (1, 5), (1, 5)]),
        ("mechanical energy  m v^2/2 + m g h", lambda m, v, h: m * v**2 / 2 + G0 * m * h, [(1, 5), (1, 5), (1, 5)]),
        (
            "throw height  v t sin(th) - g t^2/2",
            lambda v, t, th: v * t * sin(th) - G0 / 2 * t**2,
            [(5, 20), (0, 1), (0.2, 1.4)],
        ),
        ("ideal gas  n R T/V", lambda n, T, V: R_GAS * n * T / V, [(1, 5), (1, 5), (1, 5)]),
        ("Arrhenius  A exp(-Ea/(R T))", lambda A, Ea, T: A * exp(-Ea / (R_GAS * T)), [(1, 5), (5, 20), (1, 5)]),
        ("adiabatic  p1 (V1/V2)^1.4", lambda p1, V1, V2: p1 * (V1 / V2) ** 1.4, [(1, 5), (1, 5), (1, 5)]),
        (
            "mean free path  k T/(sqrt(2) pi d^2 p)",
            lambda T, d, p: K_B * T / (math.sqrt(2) * PI * d**2 * p),
            [(1, 5), (0.2, 1), (0.5, 2)],
        ),
        ("hoop stress  p r/t", lambda p, r, t: p * r / t, [(1, 5), (1, 5), (0.1, 1)]),
        ("plate inertia  M (a^2 + b^2)/12", lambda M, a, b: M * (a**2 + b**2) / 12, [(1, 5), (1, 5), (1, 5)]),
        ("parallel axis  Ic + M d^2", lambda Ic, M, d: Ic + M * d**2, [(1, 5), (1, 5), (1, 5)]),
        ("torque  r F sin(th)", lambda r, F, th: r * F * sin(th), [(1, 5), (1, 5), (0, PI)]),
        ("Bragg  2 d sin(th)/n", lambda d, th, n: 2 * d * sin(th) / n, [(1, 5), (0.2, 1.4), (1, 3)]),
        (
            "Snell  arcsin(n1 sin(th)/n2)",
            lambda n1, th, n2: arcsin(n1 * sin(th) / n2),
            [(1, 1.5), (0, 1.5), (1.5, 2.5)],
        ),
        (
            "loop axis field  mu0 I R^2/(2 (R^2 + z^2)^1.5)",
            lambda I, R, z: MU0 * I * R**2 / (2 * (R**2 + z**2) ** 1.5),
            [(1, 10), (0.5, 2), (0, 2)],
        ),
        ("plate capacitor  eps0 er A/d", lambda er, A, d: EPS0 * er * A / d, [(1, 5), (1, 5), (0.5, 2)]),
        ("wire resistance  rho L/(pi r^2)", lambda rho, L, r: rho * L / (PI * r**2), [(1, 5), (1, 5), (0.5, 2)]),
        (
            "three parallel resistors  1/(1/R1 + 1/R2 + 1/R3)",
            lambda R1, R2, R3: 1 / (1 / R1 + 1 / R2 + 1 / R3),
            [(1, 10), (1, 10), (1, 10)],
        ),
        (
            "normal density  exp(-(x - mu)^2/(2 s^2))/(s sqrt(2 pi))",
            lambda x, mu, s: exp(-((x - mu) ** 2) / (2 * s**2)) / (s * math.sqrt(2 * PI)),
            [(-3, 3), (-1, 1), (0.5, 2)],
        ),
        ("rocket equation  ve ln(m0/mf)", lambda ve, m0, mf: ve * log(m0 / mf), [(1, 5), (5, 10), (1, 4)]),
        (
            "relativistic momentum  m v/sqrt(1 - v^2/c^2)",
            lambda m, v, c: m * v / sqrt(1 - v**2 / c**2),
            [(1, 5), (0, 0.9), (1, 2)],
        ),
        (
            "energy-momentum  sqrt(p^2 c^2 + m^2 c^4)",
            lambda p, m, c: sqrt(p**2 * c**2 + m**2 * c**4),
            [(1, 5), (1, 5), (1, 3)],
        ),
        (
            "radiative exchange  sigma A (T1^4 - T2^4)",
            lambda A, T1, T2: SIGMA * A * (T1**4 - T2**4),
            [(0.5, 2), (2, 3), (1, 2)],
        ),
        (
            "stagnation temperature  T + v^2/(2 cp)",
            lambda T, v, cp: T + v**2 / (2 * cp),
            [(200, 400), (300, 900), (500, 1500)],
        ),
        (
            "pendulum energy  m g L (1 - cos(th))",
            lambda m, L, th: G0 * m * L * (1 - cos(th)),
            [(1, 5), (1, 5), (0.2, 1.5)],
        ),
        (
            "braking distance  v tr + v^2/(2 mu g)",
            lambda v, tr, mu: v * tr + v**2 / (2 * mu * G0),
            [(5, 30), (0.5, 2), (0.3, 1)],
        ),
        (
            "series-parallel  R1 + R2 R3/(R2 + R3)",
            lambda R1, R2, R3: R1 + R2 * R3 / (R2 + R3),
            [(1, 10), (1, 10), (1, 10)],
        ),
        (
            "Lennard-Jones  4 e ((s/r)^12 - (s/r)^6)",
            lambda e, s, r: 4 * e * ((s / r) ** 12 - (s / r) ** 6),
            [(1, 3), (0.9, 1.1), (1, 2)],
        ),
        ("beam moment  w L^2/8 + P L/4", lambda w, L, P: w * L**2 / 8 + P * L / 4, [(1, 5), (1, 5), (1, 5)]),
        # ---- four to six variables ----------------------------------------------
        ("heat conduction  k A dT/d", lambda k, A, dT, d: k * A * dT / d, [(1, 5), (1, 5), (1, 5), (0.1, 1)]),
        (
            "drag  rho v^2 Cd A/2",
            lambda rho, v, Cd, A: rho * v**2 * Cd * A / 2,
            [(1, 2), (1, 10), (0.2, 1.2), (0.5, 3)],
        ),
        (
            "uniform acceleration  x0 + v0 t + a t^2/2",
            lambda x0, v0, t, a: x0 + v0 * t + a * t**2 / 2,
            [(0, 5), (1, 5), (0, 3), (1, 5)],
        ),
        (
            "spring-mass energy  m v^2/2 + k x^2/2",
            lambda m, v, k, x: m * v**2 / 2 + k * x**2 / 2,
            [(1, 5), (0, 3), (1, 5), (0, 2)],
        ),
        (
            "Poiseuille  pi r^4 dp/(8 mu L)",
            lambda r, dp, mu, L: PI * r**4 * dp / (8 * mu * L),
            [(0.5, 2), (1, 10), (0.5, 2), (1, 5)],
        ),
        ("Reynolds  rho v L/mu", lambda rho, v, L, mu: rho * v * L / mu, [(1, 5), (1, 5), (1, 5), (0.1, 1)]),
        ("cantilever  F L^3/(3 E I)", lambda F, L, E, I: F * L**3 / (3 * E * I), [(1, 5), (1, 3), (1, 5), (0.5, 2)]),
        (
            "Euler buckling  pi^2 E I/(K L)^2",
            lambda E, I, K, L: PI**2 * E * I / (K * L) ** 2,
            [(1, 5), (1, 5), (0.5, 2), (1, 3)],
        ),
        ("Lorentz force  q v B sin(th)", lambda q, v, B, th: q * v * B * sin(th), [(1, 5), (1, 5), (1, 5), (0, PI)]),
        (
            "Hall voltage  I B/(n e t)",
            lambda I, B, n, t: I * B / (n * E_CHARGE * t),
            [(1, 5), (1, 5), (1, 5), (0.1, 1)],
        ),
        (
            "isothermal work  n R T ln(V2/V1)",
            lambda n, T, V1, V2: R_GAS * n * T * log(V2 / V1),
            [(1, 5), (1, 5), (1, 2), (2, 5)],
        ),
        (
            "harmonic motion  A cos(w t + phi)",
            lambda A, w, t, phi: A * cos(w * t + phi),
            [(1, 5), (1, 3), (0, 3), (0, 1)],
        ),
        (
            "string harmonics  n/(2 L) sqrt(T/mu)",
            lambda n, L, T, mu: n / (2 * L) * sqrt(T / mu),
            [(1, 5), (0.5, 2), (10, 100), (0.1, 1)],
        ),
        (
            "wave intensity  rho v w^2 A^2/2",
            lambda rho, v, w, A: rho * v * w**2 * A**2 / 2,
            [(1, 3), (1, 5), (1, 5), (0.5, 2)],
        ),
        ("double slit  m lambda L/d", lambda m, lam, L, d: m * lam * L / d, [(1, 5), (0.4, 0.8), (1, 5), (0.1, 1)]),
        (
            "RLC impedance  sqrt(R^2 + (w L - 1/(w C))^2)",
            lambda R, w, L, C: sqrt(R**2 + (w * L - 1 / (w * C)) ** 2),
            [(1, 10), (1, 5), (0.5, 2), (0.1, 1)],
        ),
        (
            "two charges potential  k (q1/r1 + q2/r2)",
            lambda q1, r1, q2, r2: K_E * (q1 / r1 + q2 / r2),
            [(-5, 5), (1, 5), (-5, 5), (1, 5)],
        ),
        (
            "Newton cooling  Ta + (T0 - Ta) exp(-k t)",
            lambda Ta, T0, k, t: Ta + (T0 - Ta) * exp(-k * t),
            [(10, 30), (50, 100), (0.1, 1), (0, 5)],
        ),
        (
            "resistance vs temperature  R0 (1 + a (T - T0))",
            lambda R0, a, T, T0: R0 * (1 + a * (T - T0)),
            [(1, 10), (0.001, 0.01), (0, 100), (0, 30)],
        ),
        (
            "Stokes settling  2 (rp - rf) g r^2/(9 mu)",
            lambda rp, rf, r, mu: 2 * (rp - rf) * G0 * r**2 / (9 * mu),
            [(2, 5), (0.5, 1.5), (0.5, 2), (0.5, 2)],
        ),
        (
            "Darcy-Weisbach  f L v^2/(2 g D)",
            lambda f, L, v, D: f * L * v**2 / (2 * G0 * D),
            [(0.01, 0.05), (10, 100), (1, 5), (0.1, 0.5)],
        ),
        (
            "elastic collision  ((m1 - m2) v1 + 2 m2 v2)/(m1 + m2)",
            lambda m1, m2, v1, v2: ((m1 - m2) * v1 + 2 * m2 * v2) / (m1 + m2),
            [(1, 5), (1, 5), (-5, 5), (-5, 5)],
        ),
        (
            "Nernst  E0 - R T/(n F) ln(Q)",
            lambda E0, T, n, Q: E0 - R_GAS * T / (n * 96485) * log(Q),
            [(0.2, 0.6), (250, 350), (1, 3), (0.01, 10)],
        ),
        (
            "charge in a field  m v^2/2 + q V",
            lambda m, v, q, V: m * v**2 / 2 + q * V,
            [(1, 5), (1, 5), (1, 5), (-5, 5)],
        ),
        (
            "Doppler, both moving  f (c + vo)/(c - vs)",
            lambda f, c, vo, vs: f * (c + vo) / (c - vs),
            [(1, 5), (300, 350), (0, 100), (0, 100)],
        ),
        (
            "circuit current  E/(r + R1 + R2)",
            lambda E, r, R1, R2: E / (r + R1 + R2),
            [(1, 20), (0.1, 1), (1, 5), (1, 5)],
        ),
        (
            "total pressure  p + rho v^2/2 + rho g h",
            lambda p, rho, v, h: p + rho * v**2 / 2 + G0 * rho * h,
            [(1, 10), (1, 2), (0, 5), (0, 2)],
        ),
        (
            "gravity of two bodies  G (M1/r1^2 + M2/r2^2)",
            lambda M1, r1, M2, r2: G * (M1 / r1**2 + M2 / r2**2),
            [(1, 5), (1, 3), (1, 5), (1, 3)],
        ),
        (
            "heating and melting  m c (T2 - T1) + m L",
            lambda m, c, T1, T2, L: m * c * (T2 - T1) + m * L,
            [(1, 5), (1, 5), (0, 20), (30, 60), (50, 300)],
        ),
        (
            "van der Waals  n R T/(V - n b) - a n^2/V^2",
            lambda n, T, V, a, b: n * R_GAS * T / (V - n * b) - a * n**2 / V**2,
            [(1, 3), (1, 5), (2, 5), (1, 5), (0.1, 0.5)],
        ),
        (
            "gas mixture  (n1 + n2 + n3) R T/V",
            lambda n1, n2, n3, T, V: (n1 + n2 + n3) * R_GAS * T / V,
            [(1, 5), (1, 5), (1, 5), (1, 5), (1, 5)],
        ),
        (
            "cantilever, two loads  F L^3/(3 E I) + w L^4/(8 E I)",
            lambda F, w, L, E, I: F * L**3 / (3 * E * I) + w * L**4 / (8 * E * I),
            [(1, 5), (1, 5), (1, 3), (1, 5), (0.5, 2)],
        ),
        (
            "Friis  Pt Gt Gr (lambda/(4 pi R))^2",
            lambda Pt, Gt, Gr, lam, R: Pt * Gt * Gr * (lam / (4 * PI * R)) ** 2,
            [(1, 10), (1, 10), (1, 10), (1, 5), (0.1, 0.5)],
        ),
        (
            "rocket thrust  mdot ve + (pe - pa) Ae",
            lambda mdot, ve, pe, pa, Ae: mdot * ve + (pe - pa) * Ae,
            [(1, 5), (2, 10), (5, 20), (1, 5), (0.5, 2)],
        ),
        (
            "combined gas law  p1 V1 T2/(T1 V2)",
            lambda p1, V1, T1, T2, V2: p1 * V1 * T2 / (T1 * V2),
            [(1, 5), (1, 5), (1, 5), (1, 5), (1, 5)],
        ),
        (
            "work-energy  m (v2^2 - v1^2)/2 + m g (h2 - h1)",
            lambda m, v1, v2, h1, h2: m * (v2**2 - v1**2) / 2 + G0 * m * (h2 - h1),
            [(1, 5), (0, 5), (0, 5), (0, 3), (0, 3)],
        ),
        (
            "Wheatstone bridge  V (R2/(R1 + R2) - R4/(R3 + R4))",
            lambda V, R1, R2, R3, R4: V * (R2 / (R1 + R2) - R4 / (R3 + R4)),
            [(5, 20), (1, 10), (1, 10), (1, 10), (1, 10)],
        ),
        (
            "pipe wall conduction  2 pi k L dT/ln(r2/r1)",
            lambda k, L, dT, r1, r2: 2 * PI * k * L * dT / log(r2 / r1),
            [(0.1, 1), (1, 5), (1, 20), (0.5, 1), (1.5, 3)],
        ),
        (
            "Lorentz force x  q (Ex + vy Bz - vz By)",
            lambda q, Ex, vy, Bz, vz, By: q * (Ex + vy * Bz - vz * By),
            [(1, 5), (-5, 5), (-5, 5), (-2, 2), (-5, 5), (-2, 2)],
        ),
        (
            "mixing temperature  (m1 c1 T1 + m2 c2 T2)/(m1 c1 + m2 c2)",
            lambda m1, c1, T1, m2, c2, T2: (m1 * c1 * T1 + m2 * c2 * T2) / (m1 * c1 + m2 * c2),
            [(1, 5), (1, 5), (10, 90), (1, 5), (1, 5), (10, 90)],
        ),
        (
            "distance in space  sqrt(dx^2 + dy^2 + dz^2)",
            lambda x1, y1, z1, x2, y2, z2: sqrt((x2 - x1) ** 2 + (y2 - y1) ** 2 + (z2 - z1) ** 2),
            [(-5, 5), (-5, 5), (-5, 5), (-5, 5), (-5, 5), (-5, 5)],
        ),
        (
            "three charges potential  k (q1/r1 + q2/r2 + q3/r3)",
            lambda q1, r1, q2, r2, q3, r3: K_E * (q1 / r1 + q2 / r2 + q3 / r3),
            [(-5, 5), (1, 5), (-5, 5), (1, 5), (-5, 5), (1, 5)],
        ),
        (
            "planar rigid body  m (vx^2 + vy^2)/2 + I w^2/2 + m g h",
            lambda m, vx, vy, I, w, h: m * (vx**2 + vy**2) / 2 + I * w**2 / 2 + G0 * m * h,
            [(1, 5), (-3, 3), (-3, 3), (1, 3), (0, 5), (0, 1)],
        ),
        (
            "work  Fx dx + Fy dy + Fz dz",
            lambda Fx, dx, Fy, dy, Fz, dz: Fx * dx + Fy * dy + Fz * dz,
            [(-5, 5), (-5, 5), (-5, 5), (-5, 5), (-5, 5), (-5, 5)],
        ),
        (
            "heat exchanger  U A (d1 - d2)/ln(d1/d2)",
            lambda U, A, Th1, Th2, Tc1, Tc2: U * A * ((Th1 - Tc2) - (Th2 - Tc1)) / log((Th1 - Tc2) / (Th2 - Tc1)),
            [(1, 5), (1, 5), (90, 120), (50, 70), (10, 20), (30, 40)],
        ),
        (
            "inertia of three masses  m1 r1^2 + m2 r2^2 + m3 r3^2",
            lambda m1, r1, m2, r2, m3, r3: m1 * r1**2 + m2 * r2**2 + m3 * r3**2,
            [(1, 5), (0.5, 2), (1, 5), (0.5, 2), (1, 5), (0.5, 2)],
        ),
        (
            "radar  Pt G^2 lambda^2 s/((4 pi)^3 R^4)",
            lambda Pt, Gn, lam, s, R: Pt * Gn**2 * lam**2 * s / ((4 * PI) ** 3 * R**4),
            [(100, 1000), (10, 30), (0.5, 2), (1, 5), (0.5, 2)],
        ),
        (
            "kinetic energy of three  (m1 v1^2 + m2 v2^2 + m3 v3^2)/2",
            lambda m1, v1, m2, v2, m3, v3: (m1 * v1**2 + m2 * v2**2 + m3 * v3**2) / 2,
            [(1, 5), (-3, 3), (1, 5), (-3, 3), (1, 5), (-3, 3)],
        ),
        (
            "three-body binding  -G (m1 m2/r12 + m1 m3/r13 + m2 m3/r23)",
            lambda m1, m2, m3, r12, r13, r23: -G * (m1 * m2 / r12 + m1 * m3 / r13 + m2 * m3 / r23),
            [(1, 5), (1, 5), (1, 5), (1, 3), (1, 3), (1, 3)],
        ),
        # ---- seven to nine variables ----------------------------------------------
        (
            "Bernoulli  p1 + rho (v1^2 - v2^2)/2 + rho g (h1 - h2)",
            lambda p1, rho, v1, v2, g, h1, h2: p1 + rho * (v1**2 - v2**2) / 2 + rho * g * (h1 - h2),
            [(0, 20), (1, 2), (0, 5), (0, 5), (1, 10), (0, 3), (0, 3)],
        ),
        (
            "wall with films  A (T1 - T2)/(1/h1 + d/k + 1/h2)",
            lambda A, T1, T2, h1, d, k, h2: A * (T1 - T2) / (1 / h1 + d / k + 1 / h2),
            [(1, 5), (20, 40), (-10, 10), (5, 20), (0.1, 0.5), (0.5, 2), (10, 30)],
        ),
        (
            "two masses and a spring  m1 v1^2/2 + m2 v2^2/2 + k (x1 - x2)^2/2",
            lambda m1, v1, m2, v2, k, x1, x2: m1 * v1**2 / 2 + m2 * v2**2 / 2 + k * (x1 - x2) ** 2 / 2,
            [(1, 5), (-3, 3), (1, 5), (-3, 3), (1, 5), (-2, 2), (-2, 2)],
        ),
        (
            "gravity in the plane  G m1 m2/((x1 - x2)^2 + (y1 - y2)^2)",
            lambda Gc, m1, m2, x1, x2, y1, y2: Gc * m1 * m2 / ((x1 - x2) ** 2 + (y1 - y2) ** 2),
            [(1, 5), (1, 5), (1, 5), (0, 1), (2, 3), (0, 1), (2, 3)],
        ),
        (
            "Coulomb in space  k q1 q2/|r1 - r2|^2",
            lambda q1, q2, x1, y1, z1, x2, y2, z2: K_E * q1 * q2 / ((x1 - x2) ** 2 + (y1 - y2) ** 2 + (z1 - z2) ** 2),
            [(1, 5), (-5, -1), (0, 1), (0, 1), (0, 1), (2, 3), (2, 3), (2, 3)],
        ),
        (
            "composite wall  A dT/(d1/k1 + d2/k2 + d3/k3)",
            lambda A, dT, d1, k1, d2, k2, d3, k3: A * dT / (d1 / k1 + d2 / k2 + d3 / k3),
            [(1, 5), (10, 50), (0.1, 0.5), (0.5, 2), (0.1, 0.5), (0.5, 2), (0.1, 0.5), (0.5, 2)],
        ),
        (
            "inertia of four masses  m1 r1^2 + ... + m4 r4^2",
            lambda m1, r1, m2, r2, m3, r3, m4, r4: m1 * r1**2 + m2 * r2**2 + m3 * r3**2 + m4 * r4**2,
            [(1, 5), (0.5, 2), (1, 5), (0.5, 2), (1, 5), (0.5, 2), (1, 5), (0.5, 2)],
        ),
        (
            "rigid body in space  m |v|^2/2 + I |w|^2/2 + m g z",
            lambda m, vx, vy, vz, I, wx, wy, wz, z: (
                m * (vx**2 + vy**2 + vz**2) / 2 + I * (wx**2 + wy**2 + wz**2) / 2 + G0 * m * z
            ),
            [(1, 5), (-3, 3), (-3, 3), (-3, 3), (1, 5), (-2, 2), (-2, 2), (-2, 2), (0, 1)],
        ),
        (
            "parallelepiped volume  a . (b x c)",
            lambda ax, ay, az, bx, by, bz, cx, cy, cz: (
                ax * (by * cz - bz * cy) + ay * (bz * cx - bx * cz) + az * (bx * cy - by * cx)
            ),
            [(-2, 2)] * 9,
        ),
        (
            "mixing three bodies  sum(m c T)/sum(m c)",
            lambda m1, c1, T1, m2, c2, T2, m3, c3, T3: (
                (m1 * c1 * T1 + m2 * c2 * T2 + m3 * c3 * T3) / (m1 * c1 + m2 * c2 + m3 * c3)
            ),
            [(1, 5), (1, 5), (10, 90)] * 3,
        ),
        (
            "gravitation in space  G m1 m2/|r1 - r2|^2",
            lambda Gc, m1, m2, x1, y1, z1, x2, y2, z2: (
                Gc * m1 * m2 / ((x1 - x2) ** 2 + (y1 - y2) ** 2 + (z1 - z2) ** 2)
            ),
            [(1, 5), (1, 5), (1, 5), (0, 1), (0, 1), (0, 1), (1, 2), (1, 2), (1, 2)],
        ),
        (
            "beam support reaction  (P1 a1 + P2 a2 + P3 a3)/L",
            lambda P1, a1, P2, a2, P3, a3, L: (P1 * a1 + P2 * a2 + P3 * a3) / L,
            [(1, 10), (0, 2), (1, 10), (1, 3), (1, 10), (2, 4), (4, 6)],
        ),
    ]
]

# The laws of bench_discovery --quick: every third law from the second, named so
# that laws added later leave the subset as it is.
QUICK = [
    "free fall",
    "Wien",
    "Compton shift",
    "electric power",
    "Kepler",
    "thin lens image",
    "Planck spectrum",
    "Bohr levels",
    "LC resonance",
    "Malus",
    "Stefan-Boltzmann",
    "gravitation",
    "throw height",
    "adiabatic",
    "plate inertia",
    "Bragg",
    "plate capacitor",
    "normal density",
    "energy-momentum",
    "pendulum energy",
    "Lennard-Jones",
    "drag",
    "Poiseuille",
    "Euler buckling",
    "isothermal work",
    "wave intensity",
    "two charges potential",
    "Stokes settling",
    "Nernst",
    "circuit current",
    "heating and melting",
    "cantilever, two loads",
    "combined gas law",
    "pipe wall conduction",
    "distance in space",
    "work",
    "radar",
    "Bernoulli",
    "gravity in the plane",
    "inertia of four masses",
    "mixing three bodies",
]


def short_name(law):
    """The description part of a law's name (before the formula)."""
    return law.name.split("  ")[0]


def as_sympy(law):
    """The law as a sympy expression, its symbols named after its variables.
    Not thread-safe: the module's function names point to sympy's meanwhile."""
    import sympy

    swap = {
        "sqrt": sympy.sqrt,
        "exp": sympy.exp,
        "log": sympy.log,
        "log10": lambda x: sympy.log(x, 10),
        "sin": sympy.sin,
        "cos": sympy.cos,
        "arcsin": sympy.asin,
    }
    names = globals()
    saved = {k: names[k] for k in swap}
    names.update(swap)
    try:
        return law.target(*[sympy.Symbol(v) for v in law.variables])
    finally:
        names.update(saved)

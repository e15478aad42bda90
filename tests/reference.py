"""The scalar rules of the element-wise kernels in plain Python: the reference
of the differential tests."""

import math

TINY = 1e-300
LOG_FLOOR = -690.7755278982137
EXP_LIMIT = 709.782712893384


def _exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


def guarded_ln(y):
    return LOG_FLOOR if y == 0 else math.log(abs(y))


def floored_ln(y):
    return math.log(y) if y > 0 or math.isnan(y) else math.log(fmax(abs(y), TINY))


def guarded_exp(x):
    return _exp(math.log(x) if x > EXP_LIMIT else x)


def fmax(a, b):
    """The larger of two, a NaN counting as absent."""
    return b if math.isnan(a) else a if math.isnan(b) or a > b else b


def _hyp(f, x):
    try:
        return f(x)
    except OverflowError:
        return math.copysign(math.inf, x) if f is math.sinh else math.inf


def boost(x, y, phi, c):
    t, space = guarded_exp(x), floored_ln(y)
    s, ch = _hyp(math.sinh, phi), _hyp(math.cosh, phi)
    x_new = ch * space - s * (c * t)
    x_new = -709.0 if x_new < -709.0 else 709.0 if x_new > 709.0 else x_new  # a NaN stays
    if c != 0:
        t_new = t * ch - s * (space / c)
    else:  # IEEE division by a signed zero
        q = math.nan if space == 0 or math.isnan(space) else math.copysign(math.inf, space) * math.copysign(1.0, c)
        t_new = t * ch - s * q
    return math.log(fmax(t_new, TINY)), _exp(x_new)


def _pow(b, e):
    try:
        return math.pow(b, e)
    except (OverflowError, ValueError):  # too large, or 0 to a negative power
        return math.inf


def _trig(f):
    return lambda x: math.nan if math.isinf(x) else f(x)


UNARY = {"exp_n": guarded_exp, "ln_n": guarded_ln, "sqrt_n": lambda x: math.sqrt(abs(x)), "sin_n": _trig(math.sin),
         "cos_n": _trig(math.cos)}
BINARY = {"add_n": lambda a, b: a + b, "sub_n": lambda a, b: a - b, "mul_n": lambda a, b: a * b,
          "div_n": lambda a, b: math.nan if abs(b) < TINY else a / b, "pow_n": lambda b, e: _pow(abs(b), e),
          "tension_n": lambda x, y: guarded_exp(x) - guarded_ln(y)}

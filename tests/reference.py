"""Plain-Python transcriptions of the scalar rules, for differential tests."""

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
    a = y if y > 0 else abs(y)
    if a == 0:
        return LOG_FLOOR
    return math.log(a)


def floored_ln(y):
    if y > 0 or math.isnan(y):
        return math.log(y)
    return math.log(fmax(abs(y), TINY))


def guarded_exp(x):
    e = math.log(x) if x > EXP_LIMIT else x
    return _exp(e)


def vek_tension(x, y):
    return guarded_exp(x) - guarded_ln(y)


def fmax(a, b):
    """Larger of two, a NaN counting as absent."""
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    return a if a > b else b


def _hyp(f, x):
    try:
        return f(x)
    except OverflowError:
        return math.copysign(math.inf, x) if f is math.sinh else math.inf


def div(a, b):
    if abs(b) < TINY:
        return math.nan
    try:
        return a / b
    except ZeroDivisionError:  # unreachable: |b| >= 1e-300 here
        raise


def pow_(b, e):
    try:
        return math.pow(abs(b), e)
    except OverflowError:
        return math.inf
    except ValueError:  # 0 ** negative
        return math.inf


def boost(x, y, phi, c):
    t = guarded_exp(x)
    X = floored_ln(y)
    s = _hyp(math.sinh, phi)
    ch = _hyp(math.cosh, phi)
    x_new = ch * X - s * (c * t)
    if x_new < -709.0:
        x_new = -709.0
    if x_new > 709.0:
        x_new = 709.0
    try:
        t_new = t * ch - s * (X / c)
    except ZeroDivisionError:
        q = math.nan if X == 0 or math.isnan(X) else math.copysign(math.inf, X) * math.copysign(1.0, c)
        t_new = t * ch - s * q
    return (math.log(fmax(t_new, TINY)), _exp(x_new))


def sin(x):
    return math.nan if math.isinf(x) else math.sin(x)


def cos(x):
    return math.nan if math.isinf(x) else math.cos(x)


def sqrt_abs(x):
    return math.sqrt(abs(x))

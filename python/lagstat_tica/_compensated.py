"""Double-double arithmetic on NumPy arrays: a value is a pair (hi, lo) of arrays whose exact sum
it is, |lo| a few ulps of hi at most; only a quotient is renormalised (hi = fl(hi + lo)), which
is where results leave, so the few steps between cost no renormalisation each. Re-basing the
sums to the pair mean subtracts terms of the sums' own size; in plain doubles each of those
subtractions would add a rounding of that size, as large as everything the compensated scan
saved. Each operation is written out step by step: NumPy neither fuses a multiply with an add
nor reorders them, so the results are the same bits everywhere."""
import numpy as np

_SPLIT = 134217729.0  # 2^27 + 1: Veltkamp's split of a double into two 26-bit halves


def two_sum(a, b):
    """a + b = s + e exactly (Knuth)."""
    s = a + b
    bb = s - a
    return s, (a - (s - bb)) + (b - bb)


def _two_product(a, b):
    """a * b = p + e exactly while nothing overflows or underflows (Dekker)."""
    p = a * b
    t = _SPLIT * a
    ah = t - (t - a)
    al = a - ah
    t = _SPLIT * b
    bh = t - (t - b)
    bl = b - bh
    return p, ((ah * bh - p) + ah * bl + al * bh) + al * bl


def _normal(s, e):
    hi = s + e
    return hi, e - (hi - s)


def exact(a):
    """A double (array) as a double-double."""
    a = np.asarray(a, dtype=float)
    return a, np.zeros_like(a)


def difference(a, b):
    """a - b of two double arrays, exactly."""
    return two_sum(np.asarray(a, dtype=float), -np.asarray(b, dtype=float))


def add(x, y):
    s, e = two_sum(x[0], y[0])
    return s, e + (x[1] + y[1])


def neg(x):
    return -x[0], -x[1]


def mul(x, y):
    p, e = _two_product(x[0], y[0])
    return p, e + (x[0] * y[1] + x[1] * y[0])


def scale(x, c):
    """x times the double c."""
    p, e = _two_product(x[0], c)
    return p, e + x[1] * c


def divide(x, c):
    """x over the double c: the quotient's rounding, and its remainder divided; renormalised,
    so that hi is the quotient rounded once."""
    q = x[0] / c
    p, e = _two_product(q, c)
    return _normal(q, (((x[0] - p) - e) + x[1]) / c)


def outer(u, v):
    """u vᵀ of vectors, or of stacks of them (the last axis)."""
    return mul((u[0][..., :, None], u[1][..., :, None]), (v[0][..., None, :], v[1][..., None, :]))


def transpose(x):
    """The transpose of a matrix, or of each in a stack."""
    return np.swapaxes(x[0], -1, -2), np.swapaxes(x[1], -1, -2)

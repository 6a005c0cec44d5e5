"""Literal reference of the reader and the moment pass, in plain Python, used as the tests' oracle.

The reader is the two-state character machine over a byte stream with one byte of push-back, fields
converted as C's atof does (longest numeric prefix, correctly rounded); the moment pass uses naive
loops on Python floats, so every product is rounded before its add, in frame order.
"""
import re

import numpy as np

NUMBER_CHARS = frozenset(b"0123456789.+-eE")
WHITESPACE = frozenset(b" \t\n\v\f\r")
_PREFIX = re.compile(rb"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")


def atof(text):
    m = _PREFIX.match(text)
    return float(m.group(0)) if m else 0.0


class Stream:
    def __init__(self, data):
        self.data = data
        self.pos = 0
        self.eof = False

    def getc(self):
        if self.pos >= len(self.data):
            self.eof = True
            return None
        c = self.data[self.pos]
        self.pos += 1
        return c

    def ungetc(self):
        self.pos -= 1


def read_record(s, capacity):
    """Returns a list of values (its length the count), [] for the end of data, None for -1."""
    if s.eof:
        return []
    c = s.getc()
    if c is None or c == 0x0A:
        return []
    values, field, in_field = [], bytearray(), c not in WHITESPACE

    def end_field():
        if capacity > 0 and len(values) == capacity:
            return False
        values.append(atof(bytes(field)))
        return True

    while True:
        if in_field:
            if c in NUMBER_CHARS:
                if len(field) == 256:
                    return None
                field.append(c)
            elif c in WHITESPACE or c == 0x2C:
                if not end_field():
                    return None
                field.clear()
                in_field = False
            else:
                return None
        elif c not in WHITESPACE:
            s.ungetc()
            in_field = True
        c = s.getc()
        if c is None or c == 0x0A:
            if field and not end_field():
                return None
            return values


def records(data):
    """Yields the records of the data as lists until the end of data; a list None marks -1."""
    s = Stream(data)
    first = read_record(s, 0)
    n = len(first) if first else 0
    yield first
    s = Stream(data)
    read_record(s, n)  # the first line again
    while True:
        r = read_record(s, n)
        yield r
        if not r:
            return


def run(data, d, mean, var, cov, tcov, lag):
    """The moment pass over bytes `data`, with naive loops; updates d like lagstat.run on success."""
    s = Stream(data)
    frames = []
    while True:
        r = read_record(s, 0 if not frames else len(frames[0]))
        if r is None:
            raise ValueError("bad line")
        if not r:
            break
        if frames and len(r) != len(frames[0]):
            raise ValueError("bad line")
        frames.append(r)
    n = len(frames[0])

    def get(key, shape):
        return [float(v) for v in np.asarray(d.get(key, np.zeros(shape)), float).ravel()]

    m = get("mean", n)
    q = get("var", n)
    c = get("cov", n * n)
    tc = get("tcov", n * n)
    pairs = get("tcov_samples", 1)[0]
    samples = get("samples", 1)[0]
    ring = [[0.0] * n for _ in range(max(lag, 1))]
    for t, x in enumerate(frames):
        if mean:
            for i in range(n):
                m[i] = m[i] + x[i]
        else:
            x = [x[i] - m[i] for i in range(n)]
        if var:
            for i in range(n):
                q[i] = q[i] + x[i] * x[i]
        if cov:
            for i in range(n):
                for j in range(i, n):
                    c[i * n + j] = c[i * n + j] + x[i] * x[j]
        if tcov:
            if t >= lag:
                pairs += 1.0
                y = ring[t % lag]
                for i in range(n):
                    for j in range(n):
                        tc[i * n + j] = tc[i * n + j] + y[i] * x[j]
            ring[t % lag] = list(x)
    if cov:
        for i in range(n):
            for j in range(i + 1, n):
                c[j * n + i] = c[i * n + j]
    shape = (n,) if n > 1 else ()
    mshape = (n, n) if n > 1 else ()
    out = {"mean": np.array(m).reshape(shape), "samples": np.array(samples + len(frames))}
    if var:
        out["var"] = np.array(q).reshape(shape)
    if cov:
        out["cov"] = np.array(c).reshape(mshape)
    if tcov:
        out["tcov"] = np.array(tc).reshape(mshape)
        out["tcov_samples"] = np.array(pairs)
    d.update(out)


# --- exact covariances, for the accuracy of the companion's sums ---------------------------------

def _two_product(a, b):
    """a * b = p + e exactly, element by element (Dekker's product: no fused multiply-add needed,
    exact while nothing overflows or underflows)."""
    p = a * b
    split = 134217729.0  # 2^27 + 1
    t = split * a
    ah = t - (t - a)
    al = a - ah
    t = split * b
    bh = t - (t - b)
    bl = b - bh
    e = ((ah * bh - p) + ah * bl + al * bh) + al * bl
    return p, e


def _exact_sum(parts):
    """The exact sum of every double in the arrays `parts`, as a Fraction. Each double is
    m 2^(e - 53) with an integer |m| < 2^53, cut into m = h 2^27 + l; the h and the l of one
    exponent are added as doubles, exactly, for their sums stay below 2^53 (up to 2^26 terms)."""
    from fractions import Fraction

    terms = np.concatenate([np.ravel(p) for p in parts])
    assert terms.size < 1 << 26
    mantissa, exponent = np.frexp(terms)
    m = mantissa * 2.0 ** 53
    h = np.trunc(m / 2.0 ** 27)
    low = m - h * 2.0 ** 27
    at = exponent - exponent.min()
    sh = np.bincount(at, weights=h)
    sl = np.bincount(at, weights=low)
    base = int(exponent.min()) - 53
    total = Fraction(0)
    for k in np.flatnonzero((sh != 0) | (sl != 0)):
        total += (int(sh[k]) * 2 ** 27 + int(sl[k])) * Fraction(2) ** (base + int(k))
    return total


def exact_pair_covariances(trajectories, lag, elements):
    """(C00_ij, C0t_ij) for each (i, j) in `elements`, as Fractions, of the reversible estimate
    over the pairs (x_t, x_{t+lag}) within each trajectory: the mean m over both halves,
    C00 = (sum_X x_i x_j + sum_Y y_i y_j) / 2P - m_i m_j,
    C0t = (sum x_i y_j + sum y_i x_j) / 2P - m_i m_j, every product and sum exact."""
    firsts = [x[:len(x) - lag] for x in trajectories if len(x) > lag]
    seconds = [x[lag:] for x in trajectories if len(x) > lag]
    a, b = np.concatenate(firsts), np.concatenate(seconds)
    pairs = len(a)
    col = {}

    def mean(i):
        if i not in col:
            col[i] = _exact_sum([a[:, i], b[:, i]]) / (2 * pairs)
        return col[i]

    out = []
    for i, j in elements:
        xx = _exact_sum(_two_product(a[:, i], a[:, j]) + _two_product(b[:, i], b[:, j]))
        xy = _exact_sum(_two_product(a[:, i], b[:, j]) + _two_product(b[:, i], a[:, j]))
        out.append((xx / (2 * pairs) - mean(i) * mean(j), xy / (2 * pairs) - mean(i) * mean(j)))
    return out

#!/usr/bin/env python3
"""Writes the reference tables of the third-order conversion tests into data/:

exact_dyadic.txt  signs (fractions) and logarithms (mpmath, 40 digits) of x*z + y, x*z + x*w + y
                  and y*w - y*z - x*z*z for random and adversarial doubles;
free_intervals.txt  travel times over one free interval, the integral of ds / sqrt(a(s)) with
                  a(u) = A + 2*B0*u + ((B1 - B0)/h)*u^2 on [0, h] (mpmath quadrature, 50 digits,
                  checked against the closed-form antiderivative), plus one point inside the
                  interval with its time for the inverse conversion.

t_to_s_topp3.txt  s at query times on one free interval of every branch, with a down to 1e-18
                  (inside: as deep as rounded data let it be) and 1e-298 (at a node) of its node
                  values and magnitudes near 1e+-300: the model seen from the node the time integration starts at, its time
                  from the antiderivative and s from the motion (mpmath, 120 digits, the two
                  checked against each other to 60 digits);
t_to_s_topp2.txt  the same for second-order intervals (a linear in s), a down to 1e-300.

Doubles are written in hexadecimal form, exactly. Run: .venv/bin/python tests/cpp/qarn3/make_reference.py
"""
import math
import pathlib
import random
import struct
from fractions import Fraction

import mpmath

OUT = pathlib.Path(__file__).resolve().parent / "data"
N_EXACT = 10_000
N_INTERVALS = 2_000


def hexf(v):
    v = float(v)
    if math.isnan(v):
        return "nan"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    return v.hex()


def from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


# ---- exact arithmetic ----

def any_double(rng):
    """A finite double with a uniformly random exponent field, subnormals included."""
    field = rng.randrange(0, 2047)
    return from_bits((rng.getrandbits(1) << 63) | (field << 52) | rng.getrandbits(52))


def short_double(rng, lo, hi):
    """A double with a short mantissa, so that products of a few of them are exact."""
    return rng.choice((-1, 1)) * math.ldexp(rng.randrange(1, 1 << 12), rng.randrange(lo, hi))


def exact_case(rng, kind):
    if kind == 0:
        return [any_double(rng) for _ in range(4)]
    if kind == 1:
        return [rng.uniform(-10, 10) for _ in range(4)]
    if kind == 2:  # magnitudes near 2^+-1000
        return [rng.uniform(-2, 2) * 2.0 ** rng.choice((-1000, -1010, 1000, 1010, 0)) for _ in range(4)]
    if kind == 3:  # subnormal factors
        return [from_bits((rng.getrandbits(1) << 63) | rng.getrandbits(rng.randrange(1, 53))) for _ in range(2)] + [
            any_double(rng), any_double(rng)]
    # exact or near cancellations of one of the three forms; short mantissas over a narrow
    # exponent range keep every product and sum below exact
    e = rng.randrange(-300, 280)
    x, z, w = (short_double(rng, e, e + 20) for _ in range(3))
    which = rng.randrange(4)
    if which == 0:
        y = -(x * z)
    elif which == 1:
        y = -(x * z + x * w)
    elif which == 2:  # y*(w - z) = x*z*z with w - z a power of two
        d = rng.choice((-1, 1)) * 2.0 ** rng.randrange(e, e + 20)
        w = z + d
        y = x * z * z / d
    else:
        x, z, w = rng.uniform(-4, 4), rng.uniform(-4, 4), rng.uniform(-4, 4)
        y = -(x * z)  # the rounded product: a residual far below the rounding error of the sum
    return [x, y, z, w]


def ln_abs(q):
    if q == 0:
        return -math.inf
    return mpmath.log(abs(mpmath.mpf(q.numerator) / q.denominator))


def write_exact(rng):
    mpmath.mp.dps = 40
    cases = [[2.0 ** -600, 0.0, 2.0 ** -600, 0.0], [0.0, 1.0, 0.0, 0.0]]
    while len(cases) < N_EXACT:
        cases.append(exact_case(rng, len(cases) % 5))
    lines = []
    for x, y, z, w in cases:
        fx, fy, fz, fw = map(Fraction, (x, y, z, w))
        d1 = fx * fz + fy
        d2 = fx * fz + fx * fw + fy
        q = fy * fw - fy * fz - fx * fz * fz
        signs = "".join("-0+"[(v > 0) - (v < 0) + 1] for v in (d1, d2, q))
        lines.append(" ".join([*map(hexf, (x, y, z, w)), signs, *map(hexf, (ln_abs(d1), ln_abs(d2), ln_abs(q)))]))
    (OUT / "exact_dyadic.txt").write_text("\n".join(lines) + "\n")


# ---- free intervals ----

def classify(A, B0, B1, h):
    """'nan' when a(u) = A + 2*B0*u + c*u^2, c = (B1 - B0)/h, is negative somewhere on [0, h],
    'inf' when it has a double root there (the motion never gets across), else 'finite'.
    Decided exactly: a(h) = A + h*(B0 + B1), and at an inner vertex a has the sign of
    Q = A*(B1 - B0) - h*B0^2."""
    A, B0, B1, h = map(Fraction, (A, B0, B1, h))
    c = (B1 - B0) / h
    a_end = A + h * (B0 + B1)
    if A < 0 or a_end < 0:
        return "nan"
    vertex_inside = c > 0 and 0 <= -B0 / c <= h
    q = A * (B1 - B0) - h * B0 * B0
    if vertex_inside and q < 0:
        return "nan"
    if (vertex_inside and q == 0) or (A == 0 and B0 == 0) or (a_end == 0 and B1 == 0):
        return "inf"
    return "finite"


def closed_form(A, B0, c, u):
    """The integral of dv / sqrt(A + 2 B0 v + c v^2) over [0, u] from its antiderivative."""
    a = lambda v: A + 2 * B0 * v + c * v * v
    if c == 0:
        return (mpmath.sqrt(a(u)) - mpmath.sqrt(A)) / B0 if B0 != 0 else u / mpmath.sqrt(A)
    if c > 0:
        r = mpmath.sqrt(c)
        f = lambda v: mpmath.log(r * mpmath.sqrt(a(v)) + c * v + B0) / r
        return f(u) - f(0)
    r = mpmath.sqrt(-c)
    disc = mpmath.sqrt(B0 * B0 - A * c)
    f = lambda v: -mpmath.asin(min(max((c * v + B0) / disc, -1), 1)) / r
    return f(u) - f(0)


def quadrature(A, B0, c, h, u):
    """The same integral by tanh-sinh quadrature, in the unit h of length and the scale of a, so
    that the integrand is of order one whatever the magnitudes (the quadrature's tolerance is
    absolute), split at the vertex of a."""
    scale = max(A, abs(B0) * h, abs(c) * h * h)
    a = lambda t: (A + 2 * B0 * h * t + c * h * h * t * t) / scale
    points = [mpmath.mpf(0), u / h]
    if c != 0 and 0 < -B0 / (c * h) < u / h:
        points.insert(1, -B0 / (c * h))
    return h / mpmath.sqrt(scale) * mpmath.quad(lambda t: 1 / mpmath.sqrt(a(t)), points)


def travel_time(A, B0, B1, h, fraction):
    """(time over the interval, a point u inside it, the time to reach u); the time is NaN or
    inf as `classify` says, and then the point is NaN."""
    kind = classify(A, B0, B1, h)
    if kind != "finite":
        return (math.nan if kind == "nan" else math.inf), math.nan, math.nan
    u = h * fraction
    results = []
    for upper in (h, u):
        mpmath.mp.dps = 50
        m = [mpmath.mpf(v) for v in (A, B0, B1, h, upper)]
        q = mpmath.re(quadrature(m[0], m[1], (m[2] - m[1]) / m[3], m[3], m[4]))
        mpmath.mp.dps = 120
        m = [mpmath.mpf(v) for v in (A, B0, B1, h, upper)]
        exact = closed_form(m[0], m[1], (m[2] - m[1]) / m[3], m[4])
        if abs(q - exact) > mpmath.mpf(10) ** -20 * abs(exact):
            raise RuntimeError(f"quadrature {q} and closed form {exact} disagree for {(A, B0, B1, h, upper)}")
        results.append(q)
    return results[0], u, results[1]


def interval_case(rng, kind):
    """(A, B0, B1, h) of one branch of the interval rule; A is a at the integration start."""
    h = 10.0 ** rng.uniform(-3, 1)
    if kind == 0:  # a > 0 at both ends, either curvature, some intervals invalid
        A = 10.0 ** rng.uniform(-3, 2)
        return A, rng.uniform(-1, 1) * A / h, rng.uniform(-1, 1) * A / h, h
    if kind == 1:  # from rest with b > 0: rest to rest, or on with either curvature
        B0 = 10.0 ** rng.uniform(-3, 3)
        return 0.0, B0, rng.choice((-B0, rng.uniform(-0.9, 3) * B0, 0.0)), h
    if kind == 2:  # z just below 1: a(u) = c (u - u0)^2 + eps nearly touches zero at or past the end
        A, c = 10.0 ** rng.uniform(-2, 2), 10.0 ** rng.uniform(-2, 2)
        eps = A * 10.0 ** rng.uniform(-30, -13)
        u0 = math.sqrt((A - eps) / c)
        h = u0 * (1 - rng.choice((0.0, 10.0 ** rng.uniform(-9, -6))))
        B0 = -c * u0
        return A, B0, B0 + c * h, h
    if kind == 3:  # extreme magnitudes of a and b
        A = 10.0 ** (rng.uniform(-1, 1) + rng.choice((-150, 150)))
        return A, rng.uniform(-1, 1) * A / h, rng.uniform(-1, 1) * A / h, h
    if kind == 4:  # negative curvature reaching rest at the end, exactly or nearly
        A = 10.0 ** rng.uniform(-2, 2)
        B0 = rng.uniform(0.1, 1) * A / h
        return A, B0, -(A / h) - B0 * rng.choice((1.0, 1.0 - 1e-9, 0.999)), h
    # constant b (a linear in s), constant a among them
    A = 10.0 ** rng.uniform(-3, 3)
    B0 = rng.choice((0.0, rng.uniform(-0.4, 1) * A / h))
    return A, B0, B0, h


# Hand cases: leaving rest with b = 0, a double root inside, reaching rest with b = 0 (all never
# get across), and rest to rest (half a period).
HAND_CASES = [(0.0, 0.0, 1.0, 1.0), (1.0, -1.0, 1.0, 2.0), (1.0, -1.0, 0.0, 1.0), (0.0, 1.0, -1.0, 1.0)]


def write_intervals(rng):
    lines = []
    while len(lines) < N_INTERVALS:
        n = len(lines)
        A, B0, B1, h = HAND_CASES[n] if n < len(HAND_CASES) else interval_case(rng, n % 6)
        total, u, part = travel_time(A, B0, B1, h, rng.uniform(0.05, 0.95))
        lines.append(" ".join(hexf(v) for v in (A, B0, B1, h, total, u, part)))
    (OUT / "free_intervals.txt").write_text("\n".join(lines) + "\n")


# ---- s(t) on one interval ----

N_INVERSE = 1_500
N_INVERSE2 = 400
QUERY_FRACTIONS = (1e-12, 1e-6, 0.01, 0.3, 0.7, 0.99, 1 - 1e-9)
# (length, time) scales: a and b then scale by length^2 / time^2 and length / time^2.
SCALES = ((1.0, 1.0),) * 4 + ((1e150, 1.0), (1e-150, 1.0), (1.0, 1e150), (1.0, 1e-150), (1e300, 1e300),
                              (1e-300, 1e-300))


def distance(A, B0, c, tau):
    """The distance covered in the time tau from speed sqrt(A) and s'' = B0 when s''' = c s'."""
    if c == 0:
        return mpmath.sqrt(A) * tau + B0 * tau * tau / 2
    r = mpmath.sqrt(abs(c))
    if c > 0:
        return (mpmath.sqrt(A) * mpmath.sinh(r * tau) + B0 / r * (mpmath.cosh(r * tau) - 1)) / r
    return (mpmath.sqrt(A) * mpmath.sin(r * tau) + B0 / r * (1 - mpmath.cos(r * tau))) / r


def inverse_case(rng, kind):
    """(A, B0, B1, h) seen from the node the integration starts at, in units of order one."""
    h = 10.0 ** rng.uniform(-1, 1)
    if kind == 0:  # speed at both ends, either curvature
        A = 10.0 ** rng.uniform(-2, 2)
        return A, rng.uniform(-1, 1) * A / h, rng.uniform(-1, 1) * A / h, h
    if kind == 1:  # from rest: rest to rest, or on
        B0 = 10.0 ** rng.uniform(-2, 2)
        return 0.0, B0, rng.choice((-B0, rng.uniform(-0.9, 3) * B0)), h
    if kind == 2:  # a minimum inside, as deep as the rounding of A lets it be (about 1e-18)
        c, u0 = 10.0 ** rng.uniform(-1, 1), h * rng.uniform(0.2, 0.8)
        A = c * u0 * u0 * (1 + 10.0 ** -rng.uniform(1, 30))
        return A, -c * u0, -c * u0 + c * h, h
    if kind == 3:  # leaving a node where a is down to 1e-300 of the far node's
        A = 10.0 ** -rng.uniform(0, 300)
        B0 = rng.uniform(0.1, 1) / h
        return A, B0, rng.uniform(-0.4, 1) * B0, h
    if kind == 4:  # slowing down to a far node where a is down to about 1e-18 of the near node's
        A = 10.0 ** rng.uniform(-1, 1)
        B0 = -rng.uniform(0.1, 1) * A / h
        return A, B0, (A * 10.0 ** -rng.uniform(1, 30) - A) / h - B0, h
    A = 10.0 ** rng.uniform(-2, 2)  # constant b
    B0 = rng.choice((0.0, rng.uniform(-0.4, 1) * A / h))
    return A, B0, B0, h


def query_times(rng, T):
    return sorted({float(T * f) for f in QUERY_FRACTIONS + (rng.random(),)} - {0.0})


def inverse_row(rng, kind):
    """One row: a0 b0 a1 b1 h last t1, then triples (t, s, s'). The interval is the profile's
    last when `last` (integrated from its end when it starts with speed), else the first of three
    stations (integrated from its start unless it ends at rest). t1 rounds the time T over it, so
    that the motion cannot pass through both node times: s is that through the time of the node
    the integration starts at, s' that through the other one."""
    length, time = rng.choice(SCALES)
    A, B0, B1, h = inverse_case(rng, kind)
    speed, acc = length / time, length / time / time
    A, B0, B1, h = A * speed * speed, B0 * acc, B1 * acc, h * length
    if classify(A, B0, B1, h) != "finite":
        return None
    mpmath.mp.dps = 120
    mA, mB0, mB1, mh = map(mpmath.mpf, (A, B0, B1, h))
    c = (mB1 - mB0) / mh
    T = mpmath.re(closed_form(mA, mB0, c, mh))
    if abs(distance(mA, mB0, c, T) - mh) > mpmath.mpf(10) ** -60 * mh:
        raise RuntimeError(f"antiderivative and motion disagree for {(A, B0, B1, h)}")
    a_far = float(mA + mh * (mB0 + mB1))
    last = rng.random() < 0.5
    from_end = last and a_far > 0
    if not from_end and A > 0 and (a_far == 0 or last):
        return None  # the time integration would start at the other node
    row = [a_far, -B1, A, -B0] if from_end else [A, B0, a_far, B1]
    t1 = float(T)
    row += [h, float(last), t1]
    for t in query_times(rng, T):
        tau = mpmath.mpf(t1) - t if from_end else mpmath.mpf(t)  # from the near node's time
        row.append(t)
        for shift in (0, T - t1):
            x = min(max(distance(mA, mB0, c, tau + shift), 0), mh)
            row.append(float(mh - x if from_end else x))
    return row


def inverse_row2(rng):
    """One second-order row: a0 a1 h t1, then triples (t, s, s') as above; a down to 1e-300 at
    either node."""
    length, time = rng.choice(SCALES)
    a0 = 10.0 ** rng.uniform(-2, 2)
    a1 = rng.choice((0.0, a0 * 10.0 ** -rng.uniform(0, 300), 10.0 ** rng.uniform(-2, 2)))
    a0, a1 = (a0 * (length / time) ** 2, a1 * (length / time) ** 2)[:: rng.choice((1, -1))]
    h = 10.0 ** rng.uniform(-1, 1) * length
    mpmath.mp.dps = 60
    ma0, ma1, mh = map(mpmath.mpf, (a0, a1, h))
    T = 2 * mh / (mpmath.sqrt(ma0) + mpmath.sqrt(ma1))
    row = [a0, a1, h, float(T)]
    for t in query_times(rng, T):
        row.append(t)
        for tau in (mpmath.mpf(t), t + T - float(T)):
            x = mpmath.sqrt(ma0) * tau + (ma1 - ma0) / (4 * mh) * tau ** 2
            row.append(float(min(max(x, 0), mh)))
    return row


def write_inverse(rng):
    rows = []
    while len(rows) < N_INVERSE:
        rows += filter(None, [inverse_row(rng, len(rows) % 6)])
    (OUT / "t_to_s_topp3.txt").write_text("\n".join(" ".join(map(hexf, r)) for r in rows) + "\n")
    rows = [inverse_row2(rng) for _ in range(N_INVERSE2)]
    (OUT / "t_to_s_topp2.txt").write_text("\n".join(" ".join(map(hexf, r)) for r in rows) + "\n")


if __name__ == "__main__":
    OUT.mkdir(exist_ok=True)
    write_exact(random.Random(15))
    write_intervals(random.Random(16))
    write_inverse(random.Random(17))

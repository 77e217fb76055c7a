#!/usr/bin/env python3
"""Independent reference of the third-order conic programs, rebuilt in cvxpy from the row and
objective formulas (axial and torque limits, jerk linearization, rest-window junction bounds,
standard constraints, time weights, the QARN3 objectives) and solved by Clarabel.

Input: a JSON file (argv[1]) with the window's s, the path derivatives dq, ddq, dddq (dim x n),
symmetric limits v, acc, jerk per axis, the reference profile a_ref, the stationary counts k0, k1,
the boundary values and the linearization floor; for "mode": "qarn3" also a point-mass model
(torque = mass ddq a + mass dq b + gravity per axis), torque limits and the objectives.
Output on stdout: the optimal value, the n values of a (stationary stations in their closed form),
and for QARN3 the unweighted objective terms. Exit code 77 when cvxpy or Clarabel is missing.
"""
import json
import math
import sys

try:
    import cvxpy as cp
    import numpy as np
except ImportError:
    sys.exit(77)
if "CLARABEL" not in cp.installed_solvers():
    sys.exit(77)


def rows_of_station(p, i):
    """Second-order rows (acc_a, acc_b, acc_max) and jerk rows (a, b, c, d, max) of station i:
    each limit as an upper row and its lower row negated."""
    acc_rows, jerk_rows = [], []
    for d in range(p["dim"]):
        dq, ddq, dddq = p["dq"][d][i], p["ddq"][d][i], p["dddq"][d][i]
        acc, jerk = p["acc"][d], p["jerk"][d]
        acc_rows += [(ddq, dq, acc), (-ddq, -dq, acc)]
        jerk_rows += [(dddq, 3 * ddq, dq, 0.0, jerk), (-dddq, -3 * ddq, -dq, 0.0, jerk)]
    if "torque" in p:
        for d in range(p["dim"]):
            A, B, C = torque_coefficients(p, d, i)
            acc_rows += [(A, B, p["torque"][d] - C), (-A, -B, p["torque"][d] + C)]
    return acc_rows, jerk_rows


def torque_coefficients(p, d, i):
    """Point mass: tau = mass ddq a + mass dq b + gravity."""
    return p["mass"][d] * p["ddq"][d][i], p["mass"][d] * p["dq"][d][i], p["gravity"][d]


def amax_of_station(p, i):
    bound = math.inf
    for d in range(p["dim"]):
        dq = p["dq"][d][i]
        if dq != 0.0:
            bound = min(bound, (p["v"][d] / abs(dq)) ** 2)
    return bound


def tangent(a_ref, floor):
    r = 1.0 / math.sqrt(max(a_ref, floor))
    return r, r ** 3


def cube_root_bound(jerk_rows, h):
    upper, lower = math.inf, 0.0
    for (_, _, jc, _, jm) in jerk_rows:
        if jm == math.inf or jc == 0.0 or (jc < 0.0 and jm >= 0.0):
            continue
        v = (4.5 * h * h * abs(jm) / abs(jc)) ** (2.0 / 3.0)
        if jc > 0.0:
            upper = min(upper, v)
        else:
            lower = max(lower, v)
    return upper, lower


def junction_bounds(p, rest, k, step):
    """Bounds on A for a rest window of k intervals from station `rest` towards `rest + step * k`,
    the profile being a = A x^(4/3) over the window."""
    s = p["s"]
    h = s[rest + step * k] - s[rest]
    upper, lower = cube_root_bound(rows_of_station(p, rest)[1], h)

    def tighten(coef, rhs):
        nonlocal upper, lower
        if coef > 1e-10:
            upper = min(upper, rhs / coef)
        elif coef < -1e-10:
            lower = max(lower, rhs / coef)

    for j in range(1, k + 1):
        i = rest + step * j
        d = s[i] - s[rest]
        x = d / h
        w = x * (x ** (1.0 / 3.0))
        r, r3 = tangent(p["a_ref"][i], p["floor"])
        upper = min(upper, amax_of_station(p, i) / w)
        acc_rows, jerk_rows = rows_of_station(p, i)
        for (aa, ab, am) in acc_rows:
            tighten(w * (aa + ab / (1.5 * d)), am)
        for (ja, jb, jc, jd, jm) in jerk_rows:
            tighten(w * (0.5 * r3 * jm + jc / (4.5 * d * d) + ja + jb / (1.5 * d)), 1.5 * r * jm - jd)
    return upper, lower


def time_weights(s, k0, k1):
    n = len(s)
    w = [0.0] * n
    for i in range(k0 + 1, n - 1 - k1):
        w[i] = 0.5 * (s[i + 1] - s[i - 1])
    if k0 > 0:
        w[k0] = 3.0 * (s[k0] - s[0]) + 0.5 * (s[k0 + 1] - s[k0])
    if k1 > 0:
        j = n - 1 - k1
        w[j] = 3.0 * (s[n - 1] - s[j]) + 0.5 * (s[j] - s[j - 1])
    return w


def standard_constraints(p):
    """The variables a, b and the third-order standard constraints."""
    s, n, k0, k1 = p["s"], len(p["s"]), p["k0"], p["k1"]
    j_end = n - 1 - k1
    a, b = cp.Variable(n), cp.Variable(n)
    cons = [a[0] == p["a_start"], a[n - 1] == p["a_final"], b[0] == p["b_start"], b[n - 1] == p["b_final"]]
    # Stationary junctions: a = 1.5 (s - s_edge) b there.
    if k0 > 0:
        cons.append(a[k0] == 1.5 * (s[k0] - s[0]) * b[k0])
    if k1 > 0:
        cons.append(a[j_end] == 1.5 * (s[j_end] - s[n - 1]) * b[j_end])
    for i in range(k0, j_end):
        h = s[i + 1] - s[i]
        cons.append(a[i + 1] - a[i] == h * (b[i] + b[i + 1]))  # da/ds = 2 b, trapezoid
        cons += [2 * a[i] + h * b[i] >= 0, 2 * a[i] + 2 * h * b[i] + h * b[i + 1] >= 0, a[i] + h * b[i] >= 0]
        bounds = (amax_of_station(p, i), amax_of_station(p, i + 1))
        if all(math.isfinite(v) for v in bounds):
            cons.append(a[i] + h * b[i] <= max(bounds))
    for (k, rest, step, junction) in ((k0, 0, 1, k0), (k1, n - 1, -1, j_end)):
        if k > 0:
            upper, lower = junction_bounds(p, rest, k, step)
            if math.isfinite(upper):
                cons.append(a[junction] <= upper)
            cons.append(a[junction] >= lower)
    for i in range(k0 + 1, j_end):
        cons.append(a[i] >= 0)
        if math.isfinite(amax_of_station(p, i)):
            cons.append(a[i] <= amax_of_station(p, i))
        for (aa, ab, am) in rows_of_station(p, i)[0]:
            cons.append(aa * a[i] + ab * b[i] <= am)
    # Linearized jerk rows at k0 ..= j_end, c = db/ds on each free interval next to the station.
    for i in range(k0, j_end + 1):
        r, r3 = tangent(p["a_ref"][i], p["floor"])
        for (ja, jb, jc, jd, jm) in rows_of_station(p, i)[1]:
            for lo in ((i - 1,) if i > k0 else ()) + ((i,) if i < j_end else ()):
                c = (b[lo + 1] - b[lo]) / (s[lo + 1] - s[lo])
                cons.append((ja + 0.5 * r3 * jm) * a[i] + jb * b[i] + jc * c <= 1.5 * r * jm - jd)
    return a, b, cons


def full_profile(p, a, b):
    """a and b at every station as lists of expressions: the stationary stations follow
    a = A x^(4/3), b = a / (1.5 (s - s_edge)) from the junction value A."""
    s, n, k0, k1 = p["s"], len(p["s"]), p["k0"], p["k1"]
    a_full, b_full = [a[i] for i in range(n)], [b[i] for i in range(n)]
    for (k, rest, step) in ((k0, 0, 1), (k1, n - 1, -1)):
        junction = rest + step * k
        for j in range(1, k):
            i = rest + step * j
            x = (s[i] - s[rest]) / (s[junction] - s[rest])
            a_full[i] = a[junction] * x ** (4.0 / 3.0)
            b_full[i] = a_full[i] / (1.5 * (s[i] - s[rest]))
    return a_full, b_full


def solve(problem):
    problem.solve(solver=cp.CLARABEL, tol_gap_abs=1e-9, tol_gap_rel=1e-9, tol_feas=1e-9)
    if problem.status != cp.OPTIMAL:
        sys.exit(f"reference solve ended with status {problem.status}")


def topp3_lp(p):
    s, k0, k1 = p["s"], p["k0"], p["k1"]
    a, b, cons = standard_constraints(p)
    # The slope of the traversal time sum W_j / sqrt(a_j) at the reference.
    a_ref = np.maximum(np.array(p["a_ref"], dtype=float), p["floor"])
    w = 0.5 * np.array(time_weights(s, k0, k1)) / a_ref ** 1.5
    problem = cp.Problem(cp.Minimize(-w @ a), cons)
    solve(problem)
    return [problem.value] + [float(v.value) for v in full_profile(p, a, b)[0]]


def split_time_weights(s, k0, k1):
    """The split form: a junction keeps half its free interval, the rest station carries the
    stationary segment's 3 (s_k - s_edge)."""
    n = len(s)
    w = [0.0] * n
    for i in range(k0 + 1, n - 1 - k1):
        w[i] = 0.5 * (s[i + 1] - s[i - 1])
    if k0 > 0:
        w[k0], w[0] = 0.5 * (s[k0 + 1] - s[k0]), 3.0 * (s[k0] - s[0])
    if k1 > 0:
        j = n - 1 - k1
        w[j], w[n - 1] = 0.5 * (s[j] - s[j - 1]), 3.0 * (s[n - 1] - s[j])
    return w


def qarn3_terms(p, a_full, b_full, root):
    """The unweighted objective terms, each a convex expression of the profile; `root(i)` is
    sqrt(a_i) as a concave expression (or a number)."""
    s, n, k0, k1, dim = p["s"], len(p["s"]), p["k0"], p["k1"], p["dim"]
    j_end = n - 1 - k1
    lo, hi = max(k0, 1), n - 1 - max(k1, 1)
    W, V = time_weights(s, k0, k1), split_time_weights(s, k0, k1)

    def tau(d, i):  # scaled by nothing; the objectives scale it
        A, B, C = torque_coefficients(p, d, i)
        return A * a_full[i] + B * b_full[i] + C

    terms = []
    for o in p["objectives"]:
        kind = o["kind"]
        if kind == "linear":
            terms.append(sum(o["alpha"][i] * a_full[i] + o["beta"][i] * b_full[i] for i in range(n)))
        elif kind == "time":
            terms.append(sum(W[i] * cp.inv_pos(root(i)) for i in range(lo, hi + 1)))
        elif kind == "thermal_energy":
            nz = o["normalize"]
            t = 0
            if k0 >= 1:
                x = cp.hstack([0.5 * nz[d] * (tau(d, 0) + tau(d, k0)) for d in range(dim)])
                t += V[0] * cp.quad_over_lin(x, root(k0))
            if k1 >= 1:
                x = cp.hstack([0.5 * nz[d] * (tau(d, n - 1) + tau(d, j_end)) for d in range(dim)])
                t += V[n - 1] * cp.quad_over_lin(x, root(j_end))
            for i in range(lo, hi + 1):
                x = cp.hstack([nz[d] * tau(d, i) for d in range(dim)])
                t += V[i] * cp.quad_over_lin(x, root(i))
            terms.append(t)
        elif kind == "total_variation_torque":
            nz = o["normalize"]
            pairs = ([(0, k0)] if k0 >= 1 else []) + ([(j_end, n - 1)] if k1 >= 1 else [])
            pairs += [(i, i + 1) for i in range(k0, j_end)]
            terms.append(sum(nz[d] * cp.abs(tau(d, q) - tau(d, r)) for (r, q) in pairs for d in range(dim)))
    return terms


def qarn3(p):
    a, b, cons = standard_constraints(p)
    a_full, b_full = full_profile(p, a, b)
    terms = qarn3_terms(p, a_full, b_full, lambda i: cp.sqrt(a[i]))
    problem = cp.Problem(cp.Minimize(sum(o["weight"] * t for o, t in zip(p["objectives"], terms))), cons)
    solve(problem)
    return [problem.value] + [float(v.value) for v in a_full] + [float(t.value) for t in terms]


def main():
    with open(sys.argv[1]) as f:
        p = json.load(f)
    values = qarn3(p) if p.get("mode") == "qarn3" else topp3_lp(p)
    print(" ".join(repr(float(v)) for v in values))


if __name__ == "__main__":
    main()

"""Hand-run comparison of qarn_py with peer packages, printed as one table: topp2_ra against toppra's
Seidel solver, qarn2_socp and the jerk-limited topp3_lp against the same programs written in cvxpy and
solved by Clarabel, the end-to-end jerk-limited planning time, and waypoint-path sampling against SciPy's
splines. Never part of the test suite.

Peers:  make bench-deps   (or: .venv/bin/python -m pip install -r bench/requirements.txt)
Run:    make build && .venv/bin/python bench/compare_peers.py
        --quick: 100 stations and 2,000 sampling queries, a check in seconds that it runs (its times mean nothing)
        a development build instead: PYTHONPATH=build/<dir>/python .venv/bin/python bench/compare_peers.py

Times are the best of several calls, qarn_py and the peer alternating in one process, so both see the
same machine load. A speed-up is peer time / qarn_py time.
"""

import json
import logging
import os
import subprocess
import sys
import time
import warnings

os.environ.setdefault("MPLBACKEND", "Agg")  # toppra imports matplotlib.pyplot

import numpy as np

import qarn_py as q

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "examples"))
from jerk_limited_plan import plan_jerk_limited  # noqa: E402  the recipe users copy

AXES = 7
WAYPOINTS = np.random.default_rng(1).uniform(-1.0, 1.0, size=(8, AXES))  # rad
V_MAX = np.linspace(1.0, 2.2, AXES)  # rad/s
ACC_MAX = np.linspace(3.0, 6.0, AXES)  # rad/s^2
QUICK = "--quick" in sys.argv[1:]
SIZES = (100,) if QUICK else (100, 1000, 10000)
TARGET_N = 100 if QUICK else 1000
SAMPLING_QUERIES = 2_000 if QUICK else 100_000
SAMPLING_WAYPOINTS = np.random.default_rng(2).uniform(-1.0, 1.0, size=(20, AXES))
# Keeping freed memory in the process (instead of returning it to the system) leaves the pure compute
# cost of sampling: without it, every call pays first-touch page faults on its fresh output buffers.
KEEP_FREED_MEMORY = {"MALLOC_MMAP_THRESHOLD_": "4000000000", "MALLOC_TRIM_THRESHOLD_": "8000000000",
                     "MALLOC_TOP_PAD_": "1000000000"}


def best_times(calls, repeats):
    """Best wall time of each call over `repeats` rounds; the calls alternate within a round."""
    for call in calls:
        call()  # warm up caches, lazy imports and worker threads
    best = [float("inf")] * len(calls)
    for _ in range(repeats):
        for i, call in enumerate(calls):
            started = time.perf_counter()
            call()
            best[i] = min(best[i], time.perf_counter() - started)
    return best


def repeats_for(n, budget=20_000):
    return max(1, min(20, budget // n))


def max_rel_diff(a, b):
    """Largest |a - b| relative to the largest |b| (a pointwise ratio would blow up where a profile -> 0)."""
    return float(np.max(np.abs(a - b)) / np.max(np.abs(b)))


def qarn_robot(path, s):
    robot = q.Robot(AXES)
    robot.append_s(s)
    robot.set_q_from_path_2nd(path, 0, len(s))
    robot.add_velocity_limits(V_MAX, -V_MAX, start_idx_s=0)
    robot.add_acceleration_limits(ACC_MAX, -ACC_MAX, start_idx_s=0)
    return robot


def row(comparison, size, ours, peer, difference, note=""):
    return {"comparison": comparison, "size": size, "ours": ours, "peer": peer, "difference": difference,
            "note": note}


# ---- topp2_ra against toppra ----

def compare_toppra():
    """Same clamped cubic through the same waypoints, sampled at the same uniform stations, same limits.

    toppra's interpolation scheme imposes the acceleration rows of an interval at both of its stations
    with the interval's constant path acceleration, which is exactly what the station store does; its
    collocation scheme imposes them at the first station only, a different (looser) problem, shown
    once for contrast. toppra's forward pass lowers each next state x by min(1e-8, 1e-4 x) on purpose
    (a safety margin against rounding), which adds up over the stations; the rows "margin 1e-12"
    rerun it with that margin shrunk, to separate the margin from the solvers' own agreement.
    Returns the table rows and the verdict on the targets.
    """
    import toppra
    import toppra.algorithm.reachabilitybased.reachability_algorithm as toppra_ra
    from toppra.constraint import DiscretizationType, JointAccelerationConstraint, JointVelocityConstraint

    logging.getLogger("toppra").setLevel(logging.ERROR)
    knots = np.linspace(0.0, 1.0, len(WAYPOINTS))
    path = q.Path.from_waypoints(WAYPOINTS, order=3)  # zero end derivatives: the clamped cubic

    def toppra_instance(s, scheme=DiscretizationType.Interpolation):
        peer_path = toppra.SplineInterpolator(knots, WAYPOINTS, bc_type="clamped")
        limits = [JointVelocityConstraint(V_MAX), JointAccelerationConstraint(ACC_MAX, discretization_scheme=scheme)]
        return toppra.algorithm.TOPPRA(limits, peer_path, gridpoints=s, solver_wrapper="seidel")

    def toppra_profile(instance):
        _, sd, _ = instance.compute_parameterization(0.0, 0.0)
        return sd ** 2

    rows, verdict = [], []
    for n in SIZES:
        s = np.linspace(0.0, 1.0, n)
        problem = q.Topp2Problem(qarn_robot(path, s).constraints, (0, n - 1))
        instance = toppra_instance(s)
        ours, theirs = best_times([lambda: q.topp2_ra(problem), lambda: toppra_profile(instance)], repeats_for(n))
        a = q.topp2_ra(problem)
        shipped = max_rel_diff(toppra_profile(instance), a)
        rows.append(row("topp2_ra vs toppra Seidel, interpolation", n, ours, theirs, shipped))
        margin = toppra_ra.TINY
        toppra_ra.TINY = 1e-12
        try:
            without_margin = max_rel_diff(toppra_profile(instance), a)
        finally:
            toppra_ra.TINY = margin
        rows.append(row("  toppra with its margin 1e-12", n, None, None, without_margin))

        if n == TARGET_N:
            verdict.append(f"topp2_ra: {theirs / ours:.1f}x toppra (target 20x: {met(theirs / ours >= 20)}); profiles "
                           f"within {shipped:.1e} of toppra as shipped ({met(shipped <= 1e-6)}), {without_margin:.1e} "
                           f"with toppra's margin shrunk ({met(without_margin <= 1e-6)}; target 1e-6)")
            # Waypoints to profile: the path, the stations and limits, and the solve.
            def ours_from_waypoints():
                robot = qarn_robot(q.Path.from_waypoints(WAYPOINTS, order=3), s)
                return q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))

            ours, theirs = best_times([ours_from_waypoints, lambda: toppra_profile(toppra_instance(s))],
                                      repeats_for(n))
            rows.append(row("  from waypoints (setup + solve)", n, ours, theirs, None))
            collocation = toppra_instance(s, DiscretizationType.Collocation)
            ours, theirs = best_times([lambda: q.topp2_ra(problem), lambda: toppra_profile(collocation)],
                                      repeats_for(n))
            rows.append(row("topp2_ra vs toppra Seidel, collocation", n, ours, theirs,
                            max_rel_diff(toppra_profile(collocation), a), "other problem"))
    return rows, verdict


# ---- qarn2_socp against cvxpy + Clarabel ----

def cvxpy_time_problem(s, dq, ddq):
    """The cone program qarn2_socp builds for a Time objective, in cvxpy: a = (ds/dt)^2 at the stations,
    r <= sqrt(a) (r^2 <= a as a cone), and per interval t >= 1 / (4 (r_k + r_k+1)) costing 8 h t, which
    sums to the traversal time 2 h / (sqrt(a_k) + sqrt(a_k+1)); rest to rest, velocity bounds on a, and
    acceleration rows at both stations of each interval with b = (a_k+1 - a_k) / (2 h)."""
    import cvxpy as cp
    import scipy.sparse as sparse

    n = len(s) - 1
    h = np.diff(s)
    with np.errstate(divide="ignore"):
        amax = np.min((V_MAX / np.abs(dq)) ** 2, axis=1)  # infinite where every axis stands still
    bounded = np.flatnonzero(np.isfinite(amax[1:n])) + 1
    f = 0.5 / h
    first, second = sparse.eye(n, n + 1, 0), sparse.eye(n, n + 1, 1)
    blocks = []
    for j in range(AXES):  # axis j at the first, then at the second station of every interval
        blocks.append(sparse.diags(ddq[:-1, j] - dq[:-1, j] * f) @ first + sparse.diags(dq[:-1, j] * f) @ second)
        blocks.append(sparse.diags(-dq[1:, j] * f) @ first + sparse.diags(ddq[1:, j] + dq[1:, j] * f) @ second)
    rows = sparse.vstack(blocks).tocsr()
    limit = np.repeat(np.repeat(ACC_MAX, 2), n)

    a, r, t = cp.Variable(n + 1), cp.Variable(n + 1), cp.Variable(n)
    inner = slice(1, n)
    v = r[:-1] + r[1:]
    constraints = [a[0] == 0, a[n] == 0, r[0] == 0, r[n] == 0, a[inner] >= 0, r[inner] >= 0,
                   a[bounded] <= amax[bounded], rows @ a <= limit, rows @ a >= -limit,
                   cp.SOC(v + t, cp.vstack([v - t, np.ones(n)]), axis=0),
                   cp.SOC(a[inner] + 0.25, cp.vstack([a[inner] - 0.25, r[inner]]), axis=0)]
    return cp.Problem(cp.Minimize(8 * h @ t), constraints), a


def compare_cvxpy():
    import cvxpy as cp

    path = q.Path.from_waypoints(WAYPOINTS, order=3)
    rows, verdict = [], []
    for n in SIZES:
        s = np.linspace(0.0, 1.0, n)
        problem = q.Qarn2Problem(qarn_robot(path, s), q.Time(1.0), (0, n - 1))
        d = path.evaluate_up_to_2nd(s)
        peer = {}

        def cvxpy_solve():  # formulation, compilation and solve: a fresh problem each call
            program, a = cvxpy_time_problem(s, d.dq, d.ddq)
            program.solve(solver=cp.CLARABEL, equilibrate_max_iter=20)  # qarn_py's one change to the defaults
            peer.update(value=program.value, a=a.value, solver=program.solver_stats.solve_time,
                        iterations=program.solver_stats.num_iters)

        repeats = max(3, min(5, 5000 // n))  # three at least: one call of seconds is at the mercy of the load
        ours, theirs = best_times([lambda: q.qarn2_socp(problem), cvxpy_solve], repeats)
        solver_ours, solver_theirs, around = float("inf"), float("inf"), float("inf")
        for _ in range(repeats):  # Clarabel's own solve time as each side reports it, and qarn_py's rest
            started = time.perf_counter()
            result = q.qarn2_socp_expert(problem)
            around = min(around, time.perf_counter() - started - result.solve_time)
            solver_ours = min(solver_ours, result.solve_time)
            cvxpy_solve()
            solver_theirs = min(solver_theirs, peer["solver"])
        objective = abs(result.objective_value - peer["value"]) / abs(peer["value"])
        rows.append(row("qarn2_socp vs cvxpy + Clarabel, Time", n, ours, theirs, objective))
        rows.append(row("  Clarabel solve alone", n, solver_ours, solver_theirs, max_rel_diff(peer["a"], result.a),
                        f"profiles; {result.iterations} / {peer['iterations']} iterations"))
        # Reachability analysis on the same stations against this exact optimum of the discretized problem:
        # its greedy forward pass can end up slower where a lower speed at one station buys a higher one
        # at the next, which shows on coarse grids.
        topp = q.Topp2Problem(problem.robot.constraints, (0, n - 1))
        (greedy,) = best_times([lambda: q.topp2_ra(topp)], repeats_for(n))
        t_greedy, t_optimum = q.s_to_t_topp2(s, q.topp2_ra(topp))[0], q.s_to_t_topp2(s, result.a)[0]
        rows.append(row("  topp2_ra vs this optimum (qarn2_socp)", n, greedy, ours, (t_greedy - t_optimum) / t_optimum,
                        "traversal time"))
        if n == TARGET_N:
            verdict.append(f"qarn2_socp: {theirs / ours:.1f}x cvxpy (target 5x: {met(theirs / ours >= 5)}); "
                           f"objectives within {objective:.1e} (target 1e-5: {met(objective <= 1e-5)}); around "
                           f"Clarabel's {solver_ours * 1e3:.1f} ms qarn_py spends {around * 1e3:.2f} ms")
    return rows, verdict


# ---- topp3_lp against cvxpy + Clarabel, and jerk-limited planning end to end ----

AXES3 = 6
WAYPOINTS3 = np.random.default_rng(3).uniform(-1.0, 1.0, size=(8, AXES3))  # rad
V3, ACC3, JERK3 = np.linspace(1.0, 2.0, AXES3), np.linspace(3.0, 6.0, AXES3), np.linspace(20.0, 40.0, AXES3)


def jerk_robot(path, s):
    robot = q.Robot(AXES3, capacity=len(s))
    robot.append_s(s)
    robot.set_q_from_path_3rd(path, 0, len(s))
    robot.add_velocity_limits(V3, -V3, start_idx_s=0)
    robot.add_acceleration_limits(ACC3, -ACC3, start_idx_s=0)
    robot.add_jerk_limits(JERK3, -JERK3, start_idx_s=0)
    return robot


def rest_window(s, profile, at_end):
    """A rest window as the library reports it: (rest station, junction station, share), its count from
    profile.num_stationary and its share of constant jerk read from the junction's a and b as the README's
    "Rest ends" bullet gives it (r = a_j / (d_j |b_j|): share 4 - 2 r for 1.5 < r < 2, else 1)."""
    k = profile.num_stationary[1 if at_end else 0]
    rest = len(s) - 1 if at_end else 0
    junction = rest - k if at_end else rest + k
    with np.errstate(divide="ignore", invalid="ignore"):
        r = profile.a[junction] / abs((s[junction] - s[rest]) * profile.b[junction])
    share = 4 - 2 * r if 1.5 < r < 2 and 4 - 2 * r < 1 - 1e-6 else 1.0
    return rest, junction, share


def window_rows(s, d, a_ref, floor, a, rest, junction, share):
    """The rows of a rest window on its closed form (README, "Rest ends"): every station of the window
    holds its velocity, acceleration and linearized jerk rows at a = A w, b = a / e, db/ds = a / g (A the
    junction's a), and the rest station its jerk limit through the constant path jerk J. A phase that
    ends inside the window (share < 1) also bounds A by the jerk where it ends, between two stations:
    not posed here (the difference column would show it if it binds)."""
    span = s[junction] - s[rest]
    ratio = 2 - share / 2
    step = 1 if junction > rest else -1
    i = np.arange(rest + step, junction + step, step)
    dist = s[i] - s[rest]
    x = dist / span
    phase = x <= share
    w = np.where(phase, 1.5 * share / ratio * (x / share) ** (4 / 3), (2 * x - share / 2) / ratio)
    e = np.where(phase, 1.5 * dist, 2 * dist - share * span / 2)
    g_inv = np.where(phase, 1 / (4.5 * dist**2), 0.0)
    rows, bounds = [], []
    with np.errstate(divide="ignore"):
        amax = np.min((V3 / np.abs(d.dq[i])) ** 2, axis=1)
    rows.append(w[np.isfinite(amax)])
    bounds.append(amax[np.isfinite(amax)])
    r = 1 / np.sqrt(np.maximum(a_ref[i], floor))
    for axis in range(AXES3):
        for sign in (1.0, -1.0):
            rows.append(w * sign * (d.ddq[i, axis] + d.dq[i, axis] / e))
            bounds.append(np.full(len(i), ACC3[axis]))
            rows.append(w * (0.5 * r**3 * JERK3[axis] + sign * (d.dq[i, axis] * g_inv + d.dddq[i, axis]
                                                                  + 3 * d.ddq[i, axis] / e)))
            bounds.append(1.5 * r * JERK3[axis])
    # J = (A / (ratio |span|))^(3/2) / sqrt(6 share |span|), and the joint jerk at rest is q' J.
    moving = d.dq[rest] != 0
    cube_root = ratio * abs(span) * (JERK3[moving] / np.abs(d.dq[rest, moving])) ** (2 / 3) * (
        6 * share * abs(span)) ** (1 / 3)
    coefficient, bound = np.concatenate(rows), np.concatenate(bounds)
    return [coefficient * a[junction] <= bound, a[junction] >= 0] + (
        [a[junction] <= cube_root.min()] if len(cube_root) else [])


def cvxpy_topp3_lp(s, d, a_ref, profile, floor=1e-10):
    """The TOPP3 LP that topp3_lp solves for a reference a_ref, rest to rest, in cvxpy with vectorized
    rows; its rest windows (count and shape) read from the library's profile. Free intervals: trapezoid
    equalities and interval rows; junctions a = ratio (s - s_rest) b; stationary stations: the window rows
    above; interior stations: first- and second-order rows; every jerk row linearized around a_ref at the
    stations from junction to junction, once per free interval beside the station, with c = db/ds on that
    interval. It minimises the linearized traversal time: -w . a with w = W / (2 a_ref^(3/2)), W the
    time weights (half the neighbouring intervals, and at a junction also the window's crossing, time
    factor * span), a_ref floored at `floor` times its largest value."""
    import cvxpy as cp

    n = len(s)
    floor *= np.max(a_ref)
    (rest0, k0, share0), (rest1, j_end, share1) = rest_window(s, profile, False), rest_window(s, profile, True)
    dq, ddq, dddq = d.dq, d.ddq, d.dddq  # n x axes
    a, b = cp.Variable(n), cp.Variable(n)
    h = np.diff(s)
    free = slice(k0, j_end)
    nxt = slice(k0 + 1, j_end + 1)
    with np.errstate(divide="ignore"):
        amax = np.min((V3 / np.abs(dq)) ** 2, axis=1)
    both = np.flatnonzero(np.isfinite(amax[k0:j_end]) & np.isfinite(amax[k0 + 1:j_end + 1])) + k0
    cons = [a[0] == 0, a[n - 1] == 0, b[0] == 0, b[n - 1] == 0,
            a[nxt] - a[free] == cp.multiply(h[free], b[free] + b[nxt]),
            2 * a[free] + cp.multiply(h[free], b[free]) >= 0,
            2 * a[free] + cp.multiply(2 * h[free], b[free]) + cp.multiply(h[free], b[nxt]) >= 0,
            a[free] + cp.multiply(h[free], b[free]) >= 0,
            a[both] + cp.multiply(h[both], b[both]) <= np.maximum(amax[both], amax[both + 1])]
    for rest, junction, share in ((rest0, k0, share0), (rest1, j_end, share1)):
        cons.append(a[junction] == (2 - share / 2) * (s[junction] - s[rest]) * b[junction])
        cons += window_rows(s, d, a_ref, floor, a, rest, junction, share)
    inner = np.arange(k0 + 1, j_end)
    bounded = np.isfinite(amax[inner])
    cons += [a[inner] >= 0, a[inner[bounded]] <= amax[inner[bounded]]]
    for axis in range(AXES3):
        acc_row = cp.multiply(ddq[inner, axis], a[inner]) + cp.multiply(dq[inner, axis], b[inner])
        cons += [acc_row <= ACC3[axis], acc_row >= -ACC3[axis]]
    r = 1.0 / np.sqrt(np.maximum(a_ref, floor))
    c = cp.multiply(1.0 / h, b[1:] - b[:-1])  # db/ds per interval
    for station, interval in ((np.arange(k0, j_end), np.arange(k0, j_end)),             # the interval after
                              (np.arange(k0 + 1, j_end + 1), np.arange(k0, j_end))):   # the interval before
        for axis in range(AXES3):
            jm = JERK3[axis]
            for sign in (1.0, -1.0):
                row = (cp.multiply(sign * dddq[station, axis] + 0.5 * r[station] ** 3 * jm, a[station])
                       + cp.multiply(sign * 3 * ddq[station, axis], b[station])
                       + cp.multiply(sign * dq[station, axis], c[interval]))
                cons.append(row <= 1.5 * r[station] * jm)
    weights = np.zeros(n)
    weights[k0 + 1:j_end] = 0.5 * (s[k0 + 2:j_end + 1] - s[k0:j_end - 1])
    for rest, junction, share, beside in ((rest0, k0, share0, k0 + 1), (rest1, j_end, share1, j_end - 1)):
        ratio = 2 - share / 2
        weights[junction] = (ratio + np.sqrt(1.5 * share * ratio)) * abs(s[junction] - s[rest]) + 0.5 * abs(
            s[beside] - s[junction])
    w = 0.5 * weights / np.maximum(a_ref, floor) ** 1.5
    return cp.Problem(cp.Minimize(-w @ a), cons), a


def solves_per_call(call):
    """How many Clarabel solves one call makes: the "solve done" lines it prints at verbosity "summary"
    (printed by the native core, so read from the process's standard output)."""
    import tempfile

    sys.stdout.flush()
    saved = os.dup(1)
    with tempfile.TemporaryFile(mode="w+") as out:
        os.dup2(out.fileno(), 1)
        try:
            call()
        finally:
            sys.stdout.flush()
            os.dup2(saved, 1)
            os.close(saved)
        out.seek(0)
        return sum("solve done" in line for line in out)


def jerk_limited_plan(waypoints, n, dt=0.001):
    """A user's whole road: path, stations, limits, topp2_ra as first reference, the recipe of
    examples/jerk_limited_plan.py, then times at the stations and s on a 1 ms grid."""
    path = q.Path.from_waypoints(waypoints)
    s = np.linspace(0.0, 1.0, n)
    robot = jerk_robot(path, s)
    first = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
    profile, _, passes = plan_jerk_limited(robot.constraints, s, first)
    t_s = q.s_to_t_topp3(s, profile)[1]
    return q.t_to_s_topp3_uniform(s, profile, t_s, dt), robot, profile, passes


def compare_topp3():
    import cvxpy as cp

    path = q.Path.from_waypoints(WAYPOINTS3)
    rows, verdict = [], []
    for n in SIZES[:2]:
        s = np.linspace(0.0, 1.0, n)
        robot = jerk_robot(path, s)
        a_ref = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
        problem = q.Topp3Problem(robot.constraints, a_ref)
        windows = q.topp3_lp(problem)  # the rest windows the library chose for this reference
        d = path.evaluate_up_to_3rd(s)
        peer = {}

        def cvxpy_solve():  # formulation, compilation and solve: a fresh problem each call
            program, a = cvxpy_topp3_lp(s, d, a_ref, windows)
            program.solve(solver=cp.CLARABEL, equilibrate_max_iter=20)
            peer.update(value=program.value, a=a.value, solver=program.solver_stats.solve_time,
                        iterations=program.solver_stats.num_iters)

        repeats = max(1, min(5, 5000 // n))
        ours, theirs = best_times([lambda: q.topp3_lp(problem), cvxpy_solve], repeats)
        solver_ours, solver_theirs = float("inf"), float("inf")
        for _ in range(repeats):
            result = q.topp3_lp_expert(problem)
            solver_ours = min(solver_ours, result.solve_time)
            cvxpy_solve()
            solver_theirs = min(solver_theirs, peer["solver"])
        summary = q.ClarabelOptions(verbosity="summary")
        solves = solves_per_call(lambda: q.topp3_lp(problem, summary))
        objective = abs(result.obj_val - peer["value"]) / abs(peer["value"])
        rows.append(row(f"topp3_lp vs cvxpy + Clarabel, {AXES3} axes", n, ours, theirs, objective,
                        f"rest windows {windows.num_stationary}; {solves} solve{'s' * (solves > 1)} per pass"))
        rows.append(row("  Clarabel solve alone", n, solver_ours, solver_theirs,
                        max_rel_diff(peer["a"], result.profile.a),
                        f"profiles (the LP's optimum may be a face); {result.iterations} / "
                        f"{peer['iterations']} iterations (ours: the last solve)"))
        socp_solves = solves_per_call(lambda: q.topp3_socp(problem, summary))
        lp, socp = best_times([lambda: q.topp3_lp(problem), lambda: q.topp3_socp(problem)], repeats)
        rows.append(row("  topp3_lp vs topp3_socp, one pass", n, lp, socp, None,
                        f"same reference; {solves} / {socp_solves} solves"))
        (planning,) = best_times([lambda: jerk_limited_plan(WAYPOINTS3, n)], repeats)
        samples, plan_robot, profile, passes = jerk_limited_plan(WAYPOINTS3, n)
        rows.append(row(f"  jerk-limited plan end to end, {passes} LP passes", n, planning, None, None,
                        "the recipe, waypoints to s(t) on a 1 ms grid"))
        if n == TARGET_N:
            worst = max(plan_robot.constraints.exceed_topp3(profile))
            verdict.append(f"topp3_lp: {theirs / ours:.1f}x cvxpy ({solves} solve{'s' * (solves > 1)} per pass); objectives within "
                           f"{objective:.1e} (target 1e-6: {met(objective <= 1e-6)}); {socp / lp:.1f}x topp3_socp "
                           f"per pass; a whole jerk-limited plan takes {planning * 1e3:.0f} ms ({len(samples):,} "
                           f"samples, largest violation {worst:.1e})")
    return rows, verdict


# ---- waypoint-path sampling against SciPy ----

def sampling_worker():
    """Runs in a child process (the worker pool reads RAYON_NUM_THREADS once); prints JSON rows."""
    from scipy.interpolate import make_interp_spline

    knots = np.linspace(0.0, 1.0, len(SAMPLING_WAYPOINTS))
    s = np.linspace(0.0, 1.0, SAMPLING_QUERIES)
    results = []
    for order in (3, 5):
        zeros = [(r, np.zeros(AXES)) for r in range(1, (order - 1) // 2 + 1)]
        spline = make_interp_spline(knots, SAMPLING_WAYPOINTS, k=order, bc_type=(zeros, zeros))
        first, second = spline.derivative(1), spline.derivative(2)
        path = q.Path.from_waypoints(SAMPLING_WAYPOINTS, order=order)
        ours, theirs = best_times([lambda: path.evaluate_up_to_2nd(s), lambda: (spline(s), first(s), second(s))], 15)
        d = path.evaluate_up_to_2nd(s)
        difference = max(max_rel_diff(d.q, spline(s)), max_rel_diff(d.dq, first(s)), max_rel_diff(d.ddq, second(s)))
        results.append({"order": order, "ours": ours, "theirs": theirs, "difference": difference})
    print(json.dumps(results))


def compare_scipy():
    rows, verdict = [], []
    runs = [("1 thread", {"RAYON_NUM_THREADS": "1"}), ("all threads", {}),
            ("1 thread, freed memory kept", {"RAYON_NUM_THREADS": "1", **KEEP_FREED_MEMORY}),
            ("all threads, freed memory kept", KEEP_FREED_MEMORY)]
    for label, extra in runs:
        env = {k: v for k, v in os.environ.items() if k != "RAYON_NUM_THREADS"}
        env.update(extra)
        worker = [sys.executable, __file__, "--sampling-worker", *["--quick"] * QUICK]
        out = subprocess.run(worker, env=env, check=True, capture_output=True, text=True).stdout
        for r in json.loads(out.splitlines()[-1]):
            rows.append(row(f"sampling q, dq, ddq vs SciPy k={r['order']}, {label}", SAMPLING_QUERIES, r["ours"],
                            r["theirs"], r["difference"]))
            if label == "1 thread":
                ratio = r["theirs"] / r["ours"]
                verdict.append(f"sampling, order {r['order']}, 1 thread: {ratio:.1f}x SciPy "
                               f"(target 2x: {met(ratio >= 2)})")
    return rows, verdict


# ---- the table ----

def met(ok):
    return "met" if ok else "MISSED"


def milliseconds(x):
    return "-" if x is None else f"{x * 1e3:.3f}" if x < 0.01 else f"{x * 1e3:.1f}"


def print_table(rows):
    head = ("comparison", "size", "qarn_py ms", "peer ms", "speed-up", "difference", "note")
    lines = [(r["comparison"], f"{r['size']:,}", milliseconds(r["ours"]), milliseconds(r["peer"]),
              "-" if r["ours"] is None or r["peer"] is None else f"{r['peer'] / r['ours']:.1f}x",
              "-" if r["difference"] is None else f"{r['difference']:.1e}", r["note"]) for r in rows]
    widths = [max(len(x[i]) for x in [head, *lines]) for i in range(len(head))]
    text_columns = (0, len(head) - 1)  # left-aligned; the numbers are right-aligned

    def line(cells):
        return "  ".join(c.ljust(w) if i in text_columns else c.rjust(w)
                         for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    print(line(head))
    print("  ".join("-" * w for w in widths))
    for cells in lines:
        print(line(cells))


def main():
    warnings.simplefilter("ignore")  # peers' deprecation chatter would break up the table
    print(f"qarn_py {q.__version__}; {AXES} axes; difference: largest |ours - peer| / largest |peer| "
          "(profiles, sampled values) or relative objective difference")
    rows, verdict = [], []
    for compare in (compare_toppra, compare_cvxpy, compare_topp3, compare_scipy):
        more_rows, more_verdict = compare()
        rows += more_rows
        verdict += more_verdict
    print()
    print_table(rows)
    print()
    print(f"Targets (N = {TARGET_N:,}; sampling {SAMPLING_QUERIES:,} queries):")
    for line in verdict:
        print(f"  {line}")


if __name__ == "__main__":
    if "--sampling-worker" in sys.argv[1:]:
        sampling_worker()
    else:
        main()

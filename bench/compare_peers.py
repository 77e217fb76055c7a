"""Hand-run comparison of qarn_py with peer packages, printed as one table: topp2_ra against toppra's
Seidel solver, qarn2_socp and the jerk-limited topp3_lp against the same programs written in cvxpy and
solved by Clarabel, the end-to-end jerk-limited planning time, and waypoint-path sampling against SciPy's
splines. Never part of the test suite.

Peers:  make bench-deps   (or: .venv/bin/python -m pip install -r bench/requirements.txt)
Run:    make build && .venv/bin/python bench/compare_peers.py
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

AXES = 7
WAYPOINTS = np.random.default_rng(1).uniform(-1.0, 1.0, size=(8, AXES))  # rad
V_MAX = np.linspace(1.0, 2.2, AXES)  # rad/s
ACC_MAX = np.linspace(3.0, 6.0, AXES)  # rad/s^2
SIZES = (100, 1000, 10000)
TARGET_N = 1000
SAMPLING_QUERIES = 100_000
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

        repeats = max(1, min(5, 5000 // n))
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
RELINEARIZATIONS = 3


def jerk_robot(path, s):
    robot = q.Robot(AXES3, capacity=len(s))
    robot.append_s(s)
    robot.set_q_from_path_3rd(path, 0, len(s))
    robot.add_velocity_limits(V3, -V3, start_idx_s=0)
    robot.add_acceleration_limits(ACC3, -ACC3, start_idx_s=0)
    robot.add_jerk_limits(JERK3, -JERK3, start_idx_s=0)
    return robot


def lp_reference_module():
    """The row formulas of the TOPP3 LP as the C++ reference test poses them in cvxpy (junction bounds
    of the rest windows, time weights): shared, so that the bench and the test pose one program."""
    import importlib.util

    where = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "cpp", "qarn3",
                         "third_order_reference.py")
    spec = importlib.util.spec_from_file_location("third_order_reference", where)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def cvxpy_topp3_lp(ref, s, d, a_ref, k0, k1, floor=1e-10):
    """The TOPP3 LP qarn_py builds, rest to rest with k0 / k1 stationary intervals, in cvxpy with
    vectorized rows: trapezoid equalities and interval rows on the free intervals, the junctions
    a = 1.5 (s - s_edge) b with their bounds, first- and second-order rows at the interior stations,
    and every jerk row linearized around a_ref at k0 ..= n - 1 - k1, once per free interval beside
    the station, with c = db/ds on that interval; it maximises the time-weighted sum of a."""
    import cvxpy as cp

    n, j_end = len(s), len(s) - 1 - k1
    dq, ddq, dddq = d.dq, d.ddq, d.dddq  # n x axes
    p = {"dim": AXES3, "s": list(s), "dq": dq.T.tolist(), "ddq": ddq.T.tolist(), "dddq": dddq.T.tolist(),
         "v": list(V3), "acc": list(ACC3), "jerk": list(JERK3), "a_ref": list(a_ref), "floor": floor}
    a, b = cp.Variable(n), cp.Variable(n)
    h = np.diff(s)
    free = slice(k0, j_end)
    cons = [a[0] == 0, a[n - 1] == 0, b[0] == 0, b[n - 1] == 0,
            a[k0 + 1:j_end + 1] - a[free] == cp.multiply(h[free], b[free] + b[k0 + 1:j_end + 1]),
            2 * a[free] + cp.multiply(h[free], b[free]) >= 0,
            2 * a[free] + cp.multiply(2 * h[free], b[free]) + cp.multiply(h[free], b[k0 + 1:j_end + 1]) >= 0]
    for k, rest, step, junction in ((k0, 0, 1, k0), (k1, n - 1, -1, j_end)):
        if k > 0:
            cons.append(a[junction] == 1.5 * (s[junction] - s[rest]) * b[junction])
            upper, lower = ref.junction_bounds(p, rest, k, step)
            cons += [a[junction] <= upper] if np.isfinite(upper) else []
            cons.append(a[junction] >= lower)
    inner = np.arange(k0 + 1, j_end)
    with np.errstate(divide="ignore"):
        amax = np.min((V3 / np.abs(dq[inner])) ** 2, axis=1)
    bounded = np.isfinite(amax)
    cons += [a[inner] >= 0, a[inner[bounded]] <= amax[bounded]]
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
    w = np.array(ref.time_weights(list(s), k0, k1))
    return cp.Problem(cp.Minimize(-w @ a), cons), a


def jerk_limited_plan(waypoints, n, dt=0.001):
    """A user's whole road: path, stations, limits, topp2_ra as first reference, the re-linearized TOPP3
    LP, then times at the stations and s on a 1 ms grid."""
    path = q.Path.from_waypoints(waypoints)
    s = np.linspace(0.0, 1.0, n)
    robot = jerk_robot(path, s)
    reference = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
    for _ in range(RELINEARIZATIONS):
        profile = q.topp3_lp(q.Topp3Problem(robot.constraints, reference))
        reference = profile.a
    t_final, t_s = q.s_to_t_topp3(s, profile)
    return q.t_to_s_topp3(s, profile, t_s, dt=dt), robot, profile


def compare_topp3():
    import cvxpy as cp

    ref = lp_reference_module()
    path = q.Path.from_waypoints(WAYPOINTS3)
    rows, verdict = [], []
    for n in SIZES[:2]:
        s = np.linspace(0.0, 1.0, n)
        robot = jerk_robot(path, s)
        a_ref = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
        problem = q.Topp3Problem(robot.constraints, a_ref)
        k0, k1 = q.topp3_lp(problem).num_stationary
        d = path.evaluate_up_to_3rd(s)
        peer = {}

        def cvxpy_solve():  # formulation, compilation and solve: a fresh problem each call
            program, a = cvxpy_topp3_lp(ref, s, d, a_ref, k0, k1)
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
        objective = abs(result.obj_val - peer["value"]) / abs(peer["value"])
        rows.append(row(f"topp3_lp vs cvxpy + Clarabel, {AXES3} axes", n, ours, theirs, objective))
        rows.append(row("  Clarabel solve alone", n, solver_ours, solver_theirs,
                        max_rel_diff(peer["a"], result.profile.a),
                        f"profiles (the LP's optimum may be a face); {result.iterations} / "
                        f"{peer['iterations']} iterations"))
        (planning,) = best_times([lambda: jerk_limited_plan(WAYPOINTS3, n)], repeats)
        rows.append(row(f"  jerk-limited plan end to end, {RELINEARIZATIONS} LPs", n, planning, None, None,
                        "waypoints to s(t) on a 1 ms grid"))
        if n == TARGET_N:
            samples, plan_robot, profile = jerk_limited_plan(WAYPOINTS3, n)
            worst = max(plan_robot.constraints.exceed_topp3(profile))
            verdict.append(f"topp3_lp: {theirs / ours:.1f}x cvxpy; objectives within {objective:.1e}; a whole "
                           f"jerk-limited plan takes {planning * 1e3:.0f} ms ({len(samples):,} samples, largest "
                           f"violation {worst:.1e})")
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
        out = subprocess.run([sys.executable, __file__, "--sampling-worker"], env=env, check=True,
                             capture_output=True, text=True).stdout
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
    if sys.argv[1:] == ["--sampling-worker"]:
        sampling_worker()
    else:
        main()

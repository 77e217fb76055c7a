"""The random campaign of the conic solvers (qarn2_socp, topp3_lp, topp3_socp, qarn3_socp): straight
joint moves, quintic and cubic waypoint paths and fitted paths of 1 to 20 axes, moves from 1e-4 to
1e2 long, each limit between 1x and 1e4x of what binds, rest and moving ends, solved as given and
scaled in time and space. `python tests/python/conic_campaign.py FIRST LAST` prints the figures of
seeds FIRST..LAST-1."""

import sys
from collections import Counter
from dataclasses import dataclass

import numpy as np

from qarn_py import _native as q
from third_order_cases import window_time_factors

SCALES = (1e-4, 1e-2, 1.0, 1e2, 1e4)


@dataclass
class Case:
    seed: int
    dim: int
    kind: str
    n: int
    length: float
    v: np.ndarray
    acc: np.ndarray
    jerk: np.ndarray
    direction: np.ndarray  # lines: q(s) = s * direction
    waypoints: np.ndarray  # paths
    moving_ends: bool
    label: str


def case_of(kind, dim, n, length, v, acc, jerk, seed=0):
    """A fixed case: limits given as scalars or one value per axis, lines along the diagonal."""
    rng = np.random.default_rng(seed)
    direction = np.ones(dim) * length / np.sqrt(dim)
    waypoints = rng.uniform(-1, 1, (int(rng.integers(3, 7)), dim)) * length
    as_axes = lambda x: np.broadcast_to(np.asarray(x, float), (dim,)).copy()
    return Case(seed, dim, kind, n, length, as_axes(v), as_axes(acc), as_axes(jerk), direction, waypoints, False,
                f"seed {seed}: {kind}, {dim} axes, {n} stations, length {length:.2g}")


def make_case(seed, stations=(50, 100, 200, 400)):
    rng = np.random.default_rng(90_000 + seed)
    dim = int(rng.choice([1, 2, 3, 6, 7, 12, 20]))
    kind = str(rng.choice(["line", "line", "quintic", "cubic", "fitted"]))
    n = int(rng.choice(stations))
    length = 10.0 ** rng.uniform(-4, 2)
    direction = rng.normal(size=dim)
    direction *= length / np.linalg.norm(direction)
    if kind == "fitted":
        t = np.linspace(0.0, 1.0, 40)[:, None]
        waypoints = np.sin(2 * np.pi * (t * rng.uniform(0.3, 1.0, dim) + rng.uniform(0, 1, dim))) * length
    else:
        waypoints = rng.uniform(-1, 1, (int(rng.integers(3, 7)), dim)) * length
    # What binds a move of this length in about a second, each limit then loosened by 1x to 1e4x,
    # one of them kept where it binds.
    loose = 10.0 ** rng.uniform(0, 4, 3)
    loose[rng.integers(0, 3)] = 1.0
    v = length * loose[0] * rng.uniform(0.5, 2, dim)
    acc = 4 * length * loose[1] * rng.uniform(0.5, 2, dim)
    jerk = 32 * length * loose[2] * rng.uniform(0.5, 2, dim)
    moving = bool(rng.random() < 0.25)
    label = (f"seed {seed}: {kind}, {dim} axes, {n} stations, length {length:.2g}, "
             f"loose x{np.array2string(loose, precision=1)}{', moving ends' if moving else ''}")
    return Case(seed, dim, kind, n, length, v, acc, jerk, direction, waypoints, moving, label)


def build(case, k=1.0, c=1.0):
    """The robot of the case with time scale k and space scale c; its s and path derivatives."""
    n, dim = case.n, case.dim
    s = np.linspace(0.0, 1.0, n)
    robot = q.Robot(dim, capacity=n)
    robot.append_s(s)
    if case.kind == "line":
        dq = np.tile(case.direction * c, (n, 1))
        zero = np.zeros((n, dim))
        robot.set_q(s[:, None] * dq, dq, zero, 0, dddq=zero)
        derivatives = (dq, zero, zero)
    else:
        w = case.waypoints * c
        if case.kind == "fitted":
            path = q.Path.from_waypoints_fitting(w, tolerance=1e-3 * np.ptp(w))
        else:
            path = q.Path.from_waypoints(w, order=5 if case.kind == "quintic" else 3)
        robot.set_q_from_path_3rd(path, 0, n)
        d = path.evaluate_up_to_3rd(s)
        derivatives = (np.asarray(d.dq), np.asarray(d.ddq), np.asarray(d.dddq))
    limits = (case.v * k * c, case.acc * k * k * c, case.jerk * k ** 3 * c)
    robot.add_velocity_limits(limits[0], -limits[0], start_idx_s=0)
    robot.add_acceleration_limits(limits[1], -limits[1], start_idx_s=0)
    robot.add_jerk_limits(limits[2], -limits[2], start_idx_s=0)
    return robot, s, derivatives, limits


def boundary(case, robot, n):
    """Rest to rest, or moving ends at a quarter of what reachability allows there."""
    if not case.moving_ends:
        return (0.0, 0.0)
    reach = np.asarray(q.reach_set2_bidirectional(q.Topp2Problem(robot.constraints, (0, n - 1))).a_max)
    return (0.25 * float(reach[0]), 0.25 * float(reach[-1]))


def time_weights(s, k0, k1, factors=(3.0, 3.0)):
    """Crossing the window at a rest end takes factor * span / sqrt(a) of its junction."""
    n = len(s)
    w = np.zeros(n)
    for i in range(k0 + 1, n - 1 - k1):
        w[i] = 0.5 * (s[i + 1] - s[i - 1])
    if k0 > 0:
        w[k0] = factors[0] * (s[k0] - s[0]) + 0.5 * (s[k0 + 1] - s[k0])
    if k1 > 0:
        j = n - 1 - k1
        w[j] = factors[1] * (s[-1] - s[j]) + 0.5 * (s[j] - s[j - 1])
    return w


def station_time(s, profile):
    """The traversal time the conic programs minimise: sum of W_j / sqrt(a_j) over the stations
    that carry a time term."""
    a = np.asarray(profile.a)
    k0, k1 = profile.num_stationary
    lo, hi = max(k0, 1), len(a) - 1 - max(k1, 1)
    factors = window_time_factors(s, profile)
    return float(np.sum(time_weights(s, k0, k1, factors)[lo:hi + 1] / np.sqrt(a[lo:hi + 1])))


def consistency(s, profile):
    """Largest |a[k+1] - a[k] - h (b[k] + b[k+1])| over the free intervals, relative to max a."""
    a, b = np.asarray(profile.a), np.asarray(profile.b)
    k0, k1 = profile.num_stationary
    n = len(a)
    residual = np.abs(np.diff(a) - np.diff(s) * (b[1:] + b[:-1]))[k0:n - 1 - k1]
    return float(residual.max() / a.max()) if a.max() > 0 else 0.0


def beyond(x, limit):
    """How far x lies beyond its limit, relative to it: `limit` is the magnitude of symmetric limits
    or the pair (upper, lower)."""
    upper, lower = limit if isinstance(limit, tuple) else (limit, -limit)
    return float(np.max(np.maximum(x / upper, x / lower) - 1))


def limit_excess(s, profile, derivatives, limits):
    """The largest excess of a velocity, acceleration or jerk limit relative to the limit, measured
    from the path derivatives: velocity and acceleration (node b) at every station, the jerk
    sqrt(a) (dddq a + 3 ddq b + dq c) at both stations of every free interval with its c = db/ds."""
    a, b = np.asarray(profile.a), np.asarray(profile.b)
    dq, ddq, dddq = derivatives
    v, acc, jerk = limits
    k0, k1 = profile.num_stationary
    worst = max(beyond(dq * np.sqrt(a)[:, None], v), beyond(ddq * a[:, None] + dq * b[:, None], acc))
    n = len(a)
    for lo in range(k0, n - 1 - k1):
        c = (b[lo + 1] - b[lo]) / (s[lo + 1] - s[lo])
        for p in (lo, lo + 1):
            worst = max(worst, beyond(np.sqrt(a[p]) * (dddq[p] * a[p] + 3 * ddq[p] * b[p] + dq[p] * c), jerk))
    return worst


def run(case, findings):
    """Solves the case with every conic solver and appends (check, label, value) per failed check."""
    n = case.n
    robot, s, derivatives, limits = build(case)
    ends = boundary(case, robot, n)
    fail = lambda check, value: findings.append((check, case.label, value))
    try:
        a2 = np.asarray(q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1), ends)))
    except q.QarnError:
        return  # infeasible for the second-order limits already: no conic case
    t2 = float(q.s_to_t_topp2(s, a2)[0])
    try:
        conic2 = q.qarn2_socp(q.Qarn2Problem(robot, [q.Time(1.0)], (0, n - 1), ends))
        if float(q.s_to_t_topp2(s, conic2)[0]) > t2 * (1 + 1e-6):
            fail("qarn2_socp slower than topp2_ra", float(q.s_to_t_topp2(s, conic2)[0]) / t2 - 1)
    except q.QarnError as error:
        fail("qarn2_socp failed where topp2_ra solved", str(error)[:120])

    problem = lambda reference, module=q, r=robot: module.Topp3Problem(r.constraints, reference, a_boundary=ends)
    try:
        reference = q.topp3_lp(problem(a2)).a
        lp = q.topp3_lp(problem(reference))
    except q.QarnError:
        return  # the jerk limits leave no profile from these ends
    profiles = {"topp3_lp": lp}
    try:
        profiles["topp3_socp"] = q.topp3_socp(problem(reference))
    except q.QarnError as error:
        fail("topp3_socp failed where topp3_lp solved", str(error)[:120])
    try:
        profiles["qarn3_socp"] = q.qarn3_socp(q.Qarn3Problem(robot, [q.Time(1.0)], reference, a_boundary=ends))
    except q.QarnError as error:
        fail("qarn3_socp failed where topp3_lp solved", str(error)[:120])
    for name, p in profiles.items():
        if consistency(s, p) > 1e-8:
            fail(f"{name}: a and b disagree", consistency(s, p))
        if limit_excess(s, p, derivatives, limits) > 1e-6:
            fail(f"{name}: a limit broken", limit_excess(s, p, derivatives, limits))
        try:
            q.s_to_t_topp3(s, p)
        except q.QarnError as error:
            fail(f"{name}: no traversal time", str(error)[:120])
    if "topp3_socp" in profiles:
        gap = station_time(s, profiles["topp3_socp"]) / station_time(s, lp) - 1
        if gap > 1e-6:
            fail("topp3_socp slower than topp3_lp", gap)
        if "qarn3_socp" in profiles:
            gap = abs(station_time(s, profiles["qarn3_socp"]) / station_time(s, profiles["topp3_socp"]) - 1)
            if gap > 1e-6:
                fail("qarn3_socp (Time) differs from topp3_socp", gap)

    # The same problem scaled in time by k and in space by c: the same times, divided by k.
    rng = np.random.default_rng(case.seed)
    k, c = float(rng.choice(SCALES)), float(rng.choice(SCALES))
    scaled, _, _, _ = build(case, k, c)
    scaled_ends = (ends[0] * k * k, ends[1] * k * k)
    for name, solve in (("topp3_lp", q.topp3_lp), ("topp3_socp", q.topp3_socp)):
        if name not in profiles:
            continue
        try:
            p = solve(q.Topp3Problem(scaled.constraints, np.asarray(reference) * k * k, a_boundary=scaled_ends))
        except q.QarnError as error:
            fail(f"{name} failed scaled by k = {k:g}, c = {c:g}", str(error)[:120])
            continue
        gap = abs(station_time(s, p) * k / station_time(s, profiles[name]) - 1)
        if gap > 1e-6:
            fail(f"{name} scaled by k = {k:g}, c = {c:g} takes another time", gap)


def campaign(seeds, stations=(50, 100, 200, 400)):
    findings = []
    for seed in seeds:
        case = make_case(seed, stations)
        try:
            run(case, findings)
        except q.PathError:
            continue  # a path the fit or the spline refuses is no solver case
    return findings


if __name__ == "__main__":
    first, last = int(sys.argv[1]), int(sys.argv[2])
    found = campaign(range(first, last))
    print(Counter(f[0] for f in found))
    for f in found:
        print(f)

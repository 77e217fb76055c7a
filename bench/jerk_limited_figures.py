"""The README's figures on jerk-limited plans, measured: `.venv/bin/python bench/jerk_limited_figures.py`
(about forty minutes, and ten more for the random lines; `lines`, `loosen`, `between`,
`jerk`, `recovery` or `plan` as the argument runs one part).

1. Straight lines against the exact time-optimal jerk-limited motion (the double S-curve, with its
   own acceleration and deceleration limits and moving ends: double_s_time of
   tests/python/third_order_cases.py), at 100 to 3,000 stations: the re-linearized TOPP3 LP of
   examples/jerk_limited_plan.py with the default rest ends (num_stationary_max=None), with one or
   two stationary intervals at each rest end, and topp3_socp around the LP's last reference. Then
   random lines, each with one limit loosened in turn: is the default plan ever slower for it, and
   how far above the exact optimum does it end, at 250, 1,000 and 3,000 stations.
2. The joint acceleration between the stations of curved paths, sampled at 20 points per station
   interval, over its limit, near the rest ends and elsewhere, for topp2_ra's plan and the
   jerk-limited one: the README tour's quintic path, random quintic paths and 1-axis paths fitted
   to sine waypoints (which turn sharply at the waypoints), at 100 to 3,000 stations; at the ends
   of the tour's path with the remedy.
3. The joint jerk and acceleration between the stations, sampled alike: near the rest ends of the
   tour's quintic path and of random quintic paths with loose jerk limits, and at the interior
   knots of random cubic paths (where q''' jumps), each with the remedy. Random paths give the
   median and the worst of 20.
4. The plans whose first LP pass drives a station towards zero (a stored fitted path and seed 684
   of the conic campaign), and the recipe on the campaign's cases against more passes.
5. The whole plan (topp2_ra, the LP passes, s on a 1 ms grid) on 6 axes at 1,000 stations.
"""

import collections
import math
import pathlib
import sys
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np

import qarn_py as q

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "tests" / "python"))
from jerk_limited_plan import plan_jerk_limited  # noqa: E402
from joint_motion import joint_motion  # noqa: E402
from conic_campaign import build, make_case  # noqa: E402
from third_order_cases import SIX_AXES, double_s_time, jerk_line_robot, limits_along_s, stored_path_robot  # noqa: E402

# (what it shows, length, v, acceleration, deceleration, jerk, axes, start speed); the axes are a count
# (moving alike) or a direction with limits per axis; the label printed is built from the numbers
# that run.
LINES = [("trapezoidal acceleration, cruise", 4.0, 1.0, 1.0, 1.0, 2.0, 1, 0.0),
         ("jerk only (triangular acceleration)", 1.0, 10.0, 10.0, 10.0, 1.0, 1, 0.0),
         ("acceleration limit that never binds", 1.0, 1.0, 300.0, 240.0, 20.0, 1, 0.0),
         ("peak acceleration below its limit", 1e-2, 0.05, 0.5, 0.2, 5.0, 1, 0.0),
         ("phases shorter than one interval", 1.0, 2.0, 3.0, 1.0, 50.0, 1, 0.0),
         ("phases shorter than one interval, 100 m", 100.0, 10.0, 100.0, 30.0, 1e3, 1, 0.0),
         ("deceleration 400 times below acceleration", 0.5, 0.3, 20.0, 0.05, 2.0, 1, 0.0),
         ("equal limits, phases of 1/15 interval", 1.0, 2.0, 1.0, 1.0, 50.0, 1, 0.0),
         ("a move of 0.1 mm on 6 axes", 1e-4, 1e-3, 0.05, 0.02, 3.0, 6, 0.0),
         ("6 axes, peak acceleration below its limit", 1e-2, 0.05, 0.5, 0.2, 5.0, 6, 0.0),
         ("moving start near rest", 1.0, 1.0, 2.0, 2.0, 8.0, 1, 0.05),
         ("a jerk limit 1e4 times what binds", 1.0, 100.0, 1.0, 1.0, 1e4, 1, 0.0),
         ("a jerk limit 1e8 times what binds", 1.0, 100.0, 1.0, 1.0, 1e8, 1, 0.0),
         ("a loose jerk limit, deceleration 28 times the acceleration", 0.5265, 12.46, 3.678, 101.58, 72944.0, 1, 0.0),
         ("6 axes, jerk-limited throughout", SIX_AXES["limits"][0], *SIX_AXES["limits"][1:], SIX_AXES["direction"],
          0.0)]
STATIONS = (100, 300, 1000, 3000)


def lines():
    print("1. Straight lines: traversal time above the exact optimum (passes of the LP recipe)")
    for what, length, v, acc, dec, jerk, axes, v0 in LINES:
        direction = np.full(axes, 1 / np.sqrt(axes)) if np.isscalar(axes) else np.asarray(axes)
        v_s, up, jerk_s, down = limits_along_s(direction, v, acc, dec, jerk)
        unit = limits_along_s(direction, 1.0, 1.0, 1.0, 1.0)[0]  # the speed along s at unit axis speeds
        exact = double_s_time(length, v_s, up, jerk_s, down, v0=v0 * unit)
        start = "" if v0 == 0 else f", from speed {v0:g}"
        limits = (f"v {v:g}, acceleration +{acc:g}/-{dec:g}, jerk {jerk:g}, {axes} ax{'is' if axes == 1 else 'es'}"
                  if np.isscalar(axes) else f"{len(direction)} axes, along s v {v_s:.4g}, acceleration "
                  f"+{up:.4g}/-{down:.4g}, jerk {jerk_s:.4g}")
        print(f"  {what}: length {length:g}, {limits}{start}; exact {exact:.7g} s")
        for n in STATIONS:
            robot, s = jerk_line_robot(n, length, v, acc, jerk, dec=dec, direction=direction)
            ends = ((v0 * unit) ** 2, 0.0)
            first = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1), ends))
            cells = []
            for k in (None, 1, 2):
                profile, duration, passes = plan_jerk_limited(robot.constraints, s, first, num_stationary_max=k,
                                                              a_boundary=ends)
                cells.append(f"k={k}: {duration / exact - 1:+.4%} ({passes})")
                if k is None:
                    socp = q.topp3_socp(q.Topp3Problem(robot.constraints, profile.a, a_boundary=ends))
                    cells.append(f"socp: {q.s_to_t_topp3(s, socp)[0] / exact - 1:+.4%}")
            print(f"    {n:5d} stations  " + "  ".join(cells))


# Each limit of a random line loosened in turn (all its axes alike): its key and factor.
LOOSENED = {"jerk x100": ("jerk", 1e2), "jerk x1e8": ("jerk", 1e8), "acceleration x2": ("acc", 2.0),
            "deceleration x2": ("dec", 2.0), "speed x2": ("v", 2.0)}


def random_line(seed):
    """A line of 1 to 6 axes along a random direction, 1e-4 to 1e2 long, with limits per axis:
    speed-ups (v^2 / A) from 3e-5 to 3 times the length, deceleration 0.03 to 30 times the
    acceleration, jerk 0.03 to 1,000 times the A^2 / v that makes the phase as long as the rise."""
    rng = np.random.default_rng(36_000 + seed)
    dim = int(rng.integers(1, 7))
    direction = rng.normal(size=dim)
    length = 10.0 ** rng.uniform(-4, 2)
    v = length * 10 ** rng.uniform(-0.5, 1.5) * rng.uniform(0.5, 2, dim)
    acc = v**2 / length * 10 ** rng.uniform(-0.5, 4) * rng.uniform(0.5, 2, dim)
    dec = acc * 10 ** rng.uniform(np.log10(0.03), np.log10(30), dim)
    jerk = np.maximum(acc, dec) ** 2 / v * 10 ** rng.uniform(-1.5, 3) * rng.uniform(0.5, 2, dim)
    return dict(length=length, v=v, acc=acc, dec=dec, jerk=jerk, direction=direction / np.linalg.norm(direction))


def line_exact(line):
    return double_s_time(line["length"], *limits_along_s(line["direction"], line["v"], line["acc"], line["dec"],
                                                         line["jerk"]))


def line_plan(line, n, k=None):
    robot, s = jerk_line_robot(n, line["length"], line["v"], line["acc"], line["jerk"], dec=line["dec"],
                               direction=line["direction"])
    first = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
    return plan_jerk_limited(robot.constraints, s, first, num_stationary_max=k)[1]


def loosened_line(seed, counts=(250, 1000, 3000)):
    """(gap of the line's default plan to the exact optimum per station count, what fails): a
    loosened limit slower by more than 1e-6, a gap above 0.2% at 1,000 or 0.05% at 3,000 stations,
    a gap that grows with the count, a default slower than one or two stationary intervals."""
    line, failures, gaps = random_line(seed), [], {}
    for name in ("as drawn", *LOOSENED):
        key, factor = LOOSENED.get(name, ("v", 1.0))
        loose = dict(line, **{key: line[key] * factor})
        exact = line_exact(loose)
        for n in counts:
            t = line_plan(loose, n)
            gaps[name, n] = t / exact - 1
            if name != "as drawn" and t > (gaps["as drawn", n] + 1) * line_exact(line) * (1 + 1e-6):
                failures.append(f"{name} slower at {n}")
            if gaps[name, n] > {1000: 2e-3, 3000: 5e-4}.get(n, np.inf):
                failures.append(f"{name} {gaps[name, n]:+.4%} at {n}")
            if any(t > line_plan(loose, n, k) * (1 + 1e-9) for k in (1, 2)):
                failures.append(f"{name} slower than an explicit count at {n}")
        if any(gaps[name, a] < gaps[name, b] for a, b in zip(counts, counts[1:])):
            failures.append(f"{name} gap grows")
    return [gaps["as drawn", n] for n in counts], failures


def loosened_lines(count=30):
    print(f"1b. {count} random lines (random_line), each limit loosened in turn: default plan above the exact optimum")
    with ProcessPoolExecutor(4) as pool:
        found = list(pool.map(loosened_line, range(count)))
    for seed, (gaps, failures) in enumerate(found):
        print(f"  line {seed}: " + "  ".join(f"{g:+.4%}" for g in gaps) + ("  " + "; ".join(failures) if failures else ""))
    gaps = np.array([g for g, _ in found])
    print("  gaps at 250, 1,000, 3,000 stations: median", np.median(gaps, axis=0), "largest", gaps.max(axis=0))


# Limits of examples/joint_motion.py, for random 6-axis paths; those of the README tour for its path.
V6, ACC6, JERK6 = (np.array([2.0, 2.0, 2.5, 3.0, 3.0, 4.0]), np.array([6.0, 5.0, 7.0, 10.0, 10.0, 14.0]),
                   np.array([30.0, 25.0, 35.0, 50.0, 50.0, 70.0]))
TOUR = np.array([[0.0, 0.0, 0.0], [0.6, -0.4, 0.9], [1.2, 0.3, 0.4], [0.8, 0.9, -0.2]])
V3, ACC3, JERK3 = np.array([2.0, 2.0, 3.0]), np.array([5.0, 5.0, 8.0]), np.array([20.0, 20.0, 30.0])
SEEDS = range(20)
KNOTS = np.array([0.25, 0.5, 0.75])  # of the random paths through 5 waypoints


def near_ends(s, width=0.05):
    return (s < width) | (s > 1.0 - width)


def near_knots(s, width=0.01):
    return np.min(np.abs(np.asarray(s)[:, None] - KNOTS), axis=1) < width


def sine_path(seed):
    """A 1-axis path fitted to 40 waypoints of a sine wave of 0.3 to 1 period (the campaign's
    fitted paths), from the first waypoint to the last with zero end derivatives."""
    rng = np.random.default_rng(seed)
    t = np.linspace(0.0, 1.0, 40)[:, None]
    waypoints = np.sin(2 * np.pi * (t * rng.uniform(0.3, 1.0) + rng.uniform(0.0, 1.0)))
    return q.Path.from_waypoints_fitting(waypoints, tolerance=1e-3 * np.ptp(waypoints))


def random_path(seed, order):
    return q.Path.from_waypoints(np.random.default_rng(seed).uniform(-1.0, 1.0, (5, 6)), order=order)


# A plan sampled in time: the samples' s, |acceleration| and |jerk| / limit at each (the largest
# over the axes), the largest |acceleration| / limit at the stations, and the traversal time.
Motion = collections.namedtuple("Motion", "s_t acceleration jerk at_stations duration")


def sampled_motion(path, n, v, acc, jerk, third=True, acc_scale=None, jerk_scale=None, per_interval=20):
    """The plan of the path on n stations, topp2_ra's or (`third`) the jerk-limited recipe's, with
    the acceleration and jerk limits scaled by `acc_scale(s)` and `jerk_scale(s)` at the stations,
    sampled in time at `per_interval` points per station interval on average."""
    s = np.linspace(0.0, 1.0, n)
    robot = q.Robot(path.dim, capacity=n)
    robot.append_s(s)
    robot.set_q_from_path_3rd(path, 0, n)
    robot.add_velocity_limits(v, -v, start_idx_s=0)
    scaled = lambda limit, scale: np.tile(limit, (n, 1)) * (1.0 if scale is None else scale(s)[:, None])
    robot.add_acceleration_limits(scaled(acc, acc_scale), -scaled(acc, acc_scale), start_idx_s=0)
    robot.add_jerk_limits(scaled(jerk, jerk_scale), -scaled(jerk, jerk_scale), start_idx_s=0)
    profile = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
    to_time, to_s = q.s_to_t_topp2, q.t_to_s_topp2
    if third:
        profile, _, _ = plan_jerk_limited(robot.constraints, s, profile)
        to_time, to_s = q.s_to_t_topp3, q.t_to_s_topp3
    duration, t_s = to_time(s, profile)
    s_t = to_s(s, profile, t_s, dt=duration / (per_interval * n))
    _, _, acceleration, joint_jerk = joint_motion(path, s, profile, s_t)
    ratio = lambda x, limit: np.max(np.abs(x) / limit, axis=1)
    return Motion(s_t, ratio(acceleration, acc), ratio(joint_jerk, jerk),
                  np.max(np.abs(joint_motion(path, s, profile, s)[2]) / acc), duration)


def spread(values):
    """Median and worst of the values (ratios to a limit) as excess percentages; one value alone."""
    if len(values) == 1:
        return f"{values[0] - 1:+.1e}"
    return f"{np.median(values) - 1:+.1%} / {np.max(values) - 1:+.1%}"


def limits_between_stations():
    print("2. Acceleration between the stations of curved paths, sampled at 20 points per interval: "
          f"peak |d2q/dt2| / limit - 1, median / worst over {len(SEEDS)} random paths")
    loose = (np.array([100.0]), np.array([4.0]), np.array([3200.0]))
    for label, paths, limits in (
            ("the README tour's quintic path, its limits", [q.Path.from_waypoints(TOUR)], (V3, ACC3, JERK3)),
            ("1-axis paths fitted to sine waypoints, v 100, acceleration 4, jerk 3,200 (loose)",
             [sine_path(seed) for seed in SEEDS], loose),
            ("random 6-axis quintic paths, the limits of examples/joint_motion.py",
             [random_path(seed, 5) for seed in SEEDS], (V6, ACC6, JERK6))):
        print(f"  {label}")
        for third in (False, True):
            cells = []
            for n in (100, 1000, 3000):
                worst_at_stations, ends, elsewhere = 0.0, [], []
                for path in paths:
                    m = sampled_motion(path, n, *limits, third=third)
                    worst_at_stations = max(worst_at_stations, m.at_stations)
                    ends.append(m.acceleration[near_ends(m.s_t)].max())
                    elsewhere.append(m.acceleration[~near_ends(m.s_t)].max())
                cells.append(f"{n}: {spread(ends)} near the ends, {spread(elsewhere)} elsewhere "
                             f"(at the stations {worst_at_stations - 1:+.1e})")
            print(f"    {'jerk-limited plan' if third else 'topp2_ra':17}  " + "; ".join(cells))
    ten_lower = lambda s: np.where((np.arange(len(s)) < 10) | (np.arange(len(s)) >= len(s) - 10), 0.975, 1.0)
    cells = []
    for n in (100, 1000, 3000):
        plain, lower = (sampled_motion(q.Path.from_waypoints(TOUR), n, V3, ACC3, JERK3, third=False, acc_scale=scale)
                        for scale in (None, ten_lower))
        cells.append(f"{n}: {lower.acceleration[near_ends(lower.s_t)].max() - 1:+.2%} near the ends, "
                     f"{lower.duration / plain.duration - 1:+.3%} time")
    print("  the tour's path, topp2_ra with acceleration limits 2.5% lower on the first and last ten stations: "
          + "; ".join(cells))


def jerk_between_stations():
    print("3. Joint jerk and acceleration between the stations, sampled at 20 points per interval: "
          "peak |value| / limit - 1")
    counts = (250, 500, 1000, 2000)
    ends_lower = lambda s: np.where((s < 0.02) | (s > 0.98), 0.9, 1.0)
    for label, order, scale in (("tour's quintic path", 5, None),
                                ("tour's quintic path, jerk limits 10% lower on the first and last 2% of s", 5,
                                 ends_lower), ("tour's path as a cubic", 3, None)):
        cells = []
        for n in counts:
            m = sampled_motion(q.Path.from_waypoints(TOUR, order=order), n, V3, ACC3, JERK3, jerk_scale=scale)
            cells.append(f"{n}: jerk {m.jerk[near_ends(m.s_t)].max() - 1:+.1%} near the ends, "
                         f"{m.jerk[~near_ends(m.s_t)].max() - 1:+.1%} elsewhere")
        print(f"  {label}: " + "; ".join(cells))

    # Random 6-axis paths through 5 waypoints (knots at s = 0, 1/4, ..., 1): median / worst.
    lower_near_knots = lambda s: np.where(near_knots(s), 0.8, 1.0)
    lower_near_ends = lambda s: np.where((s < 0.02) | (s > 0.98), 0.8, 1.0)
    for label, order, jerk_factor, scale in (
            ("random cubic paths", 3, 1.0, None),
            ("random cubic paths, jerk limits 20% lower within 0.01 of s of the knots", 3, 1.0, lower_near_knots),
            ("random quintic paths, jerk limits x10", 5, 10.0, None),
            ("random quintic paths, jerk limits x10 and 20% lower on the first and last 2% of s", 5, 10.0,
             lower_near_ends)):
        print(f"  {label}, median / worst over {len(SEEDS)} paths:")
        for n in counts:
            found = []  # jerk at the knots, near the ends, elsewhere; acceleration near the ends, elsewhere
            for seed in SEEDS:
                m = sampled_motion(random_path(seed, order), n, V6, ACC6, JERK6 * jerk_factor, jerk_scale=scale)
                knot, ends = near_knots(m.s_t), near_ends(m.s_t)
                found.append([m.jerk[knot].max(), m.jerk[ends].max(), m.jerk[~knot & ~ends].max(),
                              m.acceleration[ends].max(), m.acceleration[~ends].max()])
            found = np.array(found)
            print(f"    {n:5d} stations: jerk {spread(found[:, 0])} at the knots, {spread(found[:, 1])} near the "
                  f"ends, {spread(found[:, 2])} elsewhere; acceleration {spread(found[:, 3])} near the ends, "
                  f"{spread(found[:, 4])} elsewhere")


def pass_times(constraints, s, gain=1e-7, max_passes=1000):
    """The traversal times of TOPP3 LP passes from topp2_ra's profile, each linearized around the last
    one's a, until a pass gains less than `gain` of the fastest before it (inf for a profile that
    never arrives)."""
    reference, times = q.topp2_ra(q.Topp2Problem(constraints, (0, len(s) - 1))), []
    while len(times) < max_passes:
        profile = q.topp3_lp(q.Topp3Problem(constraints, reference))
        reference = profile.a
        try:
            times.append(q.s_to_t_topp3(s, profile)[0])
        except q.QarnError:
            times.append(math.inf)
        if not times[-1] < min(times[:-1], default=math.inf) * (1 - gain):
            break
    return times


def slow_recovery(seeds=range(200), passes=30):
    print("4. Plans whose first pass drives a station towards zero; the conic campaign's plans")
    for label, (robot, s, _, _) in (
            ("the fitted 3-axis path of tests/python/cases/jerk_slow_recovery.npz",
             stored_path_robot("jerk_slow_recovery")),
            ("seed 684 of tests/python/conic_campaign.py, make_case(684, stations=(50, 100))",
             build(make_case(684, stations=(50, 100))))):
        first = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, len(s) - 1)))
        a = q.topp3_lp(q.Topp3Problem(robot.constraints, first)).a
        times = pass_times(robot.constraints, s)
        _, duration, count = plan_jerk_limited(robot.constraints, s, first)
        _, long_run, long_count = plan_jerk_limited(robot.constraints, s, first, max_passes=1000, gain=1e-7)
        _, socp, socp_count = plan_jerk_limited(robot.constraints, s, first, solve=q.topp3_socp)
        print(f"  {label}: topp2_ra {q.s_to_t_topp2(s, first)[0]:.4g} s; the first LP pass leaves a at "
              f"{np.min(a[1:-1]) / np.max(a):.1e} of its peak at a station ({times[0]:.6g} s); passes each "
              f"linearized around the last one's a: {min(times[:10]):.6g} s after 10, {min(times):.6g} s after "
              f"{len(times)} (until one gains less than 1e-7); the recipe: {duration:.6g} s in {count} passes, "
              f"{long_run:.6g} s in {long_count} until one gains less than 1e-7, with topp3_socp {socp:.6g} s in "
              f"{socp_count}")
    found = []
    for seed in seeds:
        robot, s, _, _ = build(make_case(seed))
        try:
            first = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, len(s) - 1)))
        except q.QarnError:
            continue  # beyond the second-order limits already
        _, duration, count = plan_jerk_limited(robot.constraints, s, first)
        best = min(pass_times(robot.constraints, s, gain=-math.inf, max_passes=passes))
        found.append((duration / best, count, duration / q.s_to_t_topp2(s, first)[0]))
    ratio, count, over_topp2 = np.array(found).T
    print(f"  cases {seeds.start}-{seeds.stop - 1} of tests/python/conic_campaign.py, rest to rest ({len(found)} "
          f"plans): the recipe's time over the best of {passes} passes each linearized around the last one's a "
          f"- 1: median {np.median(ratio) - 1:+.1e}, worst {np.max(ratio) - 1:+.2%}; {np.mean(count):.2f} passes on "
          f"average, at most {count.max():.0f}; {np.sum(over_topp2 < 1)} plans faster than topp2_ra's, down to "
          f"{np.min(over_topp2):.2f} times its time")


def whole_plan(n=1000, repeats=5):
    """The end-to-end plan of bench/compare_peers.py's 6-axis path with the example's recipe."""
    waypoints = np.random.default_rng(3).uniform(-1.0, 1.0, size=(8, 6))
    v, acc, jerk = np.linspace(1.0, 2.0, 6), np.linspace(3.0, 6.0, 6), np.linspace(20.0, 40.0, 6)
    path = q.Path.from_waypoints(waypoints)
    s = np.linspace(0.0, 1.0, n)
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        robot = q.Robot(6, capacity=n)
        robot.append_s(s)
        robot.set_q_from_path_3rd(path, 0, n)
        robot.add_velocity_limits(v, -v, start_idx_s=0)
        robot.add_acceleration_limits(acc, -acc, start_idx_s=0)
        robot.add_jerk_limits(jerk, -jerk, start_idx_s=0)
        first = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
        profile, duration, passes = plan_jerk_limited(robot.constraints, s, first)
        _, t_s = q.s_to_t_topp3(s, profile)
        q.t_to_s_topp3(s, profile, t_s, dt=1e-3)
        times.append(time.perf_counter() - start)
    print(f"5. The whole plan, 6 axes, {n} stations: {min(times):.3f} s best of {repeats} (median "
          f"{np.median(times):.3f} s), {passes} LP passes, traversal {duration:.4f} s")


if __name__ == "__main__":
    parts = {"lines": lines, "loosen": loosened_lines, "between": limits_between_stations,
             "jerk": jerk_between_stations, "recovery": slow_recovery, "plan": whole_plan}
    for name in sys.argv[1:] or parts:
        parts[name]()

"""The README's figures on jerk-limited plans, measured: `.venv/bin/python bench/jerk_limited_figures.py`
runs every part (about seventy-five minutes, `fitted` twenty of them, `gaps` four; each part prints
its own time); parts named as arguments (`lines`, `loosen`, `gaps`, `cruise`,
`between`, `jerk`, `recovery`, `plan`, `fitted`) run alone, `--count N` sets the number of random
cases of `loosen`, `gaps`, `recovery` and `fitted` (e.g. `fitted --count 10` for a quick look) and
`--workers N` the processes of `loosen`, `gaps` and `fitted` (4).

1. Straight lines against the exact time-optimal jerk-limited motion (the double S-curve, with its
   own acceleration and deceleration limits and moving ends: double_s_time of
   tests/python/third_order_cases.py), at 100 to 3,000 stations: the re-linearized TOPP3 LP of
   examples/jerk_limited_plan.py with the default rest ends (num_stationary_max=None), with one or
   two stationary intervals at each rest end, and topp3_socp around the LP's last reference. Then
   random lines, each with one limit loosened in turn: is the default plan ever slower for it, and
   how far above the exact optimum does it end, at 250, 1,000 and 3,000 stations (`loosen`); the
   default plans of 320 random lines at 1,000 and 3,000 stations, for the worst cases (`gaps`); and
   lines that mostly cruise, whose speed-up fits into about one interval, where the discretized
   optimum itself lies up to 3 / (n - 1) above the exact time (`cruise`).
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
6. The recipe on random fitted paths, the kind users plan (`fitted`): how far it ends above
   re-linearized topp3_socp, how often it stops at its cap of 10 passes while still gaining, how
   often a looser limit (each of velocity, acceleration and jerk 1.1 and 2 times) gives a slower plan,
   with 10 passes and run to convergence, and its plans' excess at and between the stations.
"""

import argparse
import collections
import functools
import inspect
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
from joint_motion import joint_motion, sample_times  # noqa: E402
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


def line_plan(line, n, k=None, **options):
    """The recipe's traversal time on the line at n stations; `options` go to plan_jerk_limited."""
    robot, s = jerk_line_robot(n, line["length"], line["v"], line["acc"], line["jerk"], dec=line["dec"],
                               direction=line["direction"])
    first = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
    return plan_jerk_limited(robot.constraints, s, first, num_stationary_max=k, **options)[1]


def loosened_line(seed, counts=(250, 1000, 3000), loosened=tuple(LOOSENED), explicit=True):
    """(gap of the line's default plan to the exact optimum per station count, what fails): a
    loosened limit slower by more than 1e-6, a gap above 0.2% at 1,000 or 0.05% at 3,000 stations,
    a gap that grows with the count, (`explicit`) a default slower than one or two stationary
    intervals."""
    line, failures, gaps = random_line(seed), [], {}
    for name in ("as drawn", *loosened):
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
            if explicit and any(t > line_plan(loose, n, k) * (1 + 1e-9) for k in (1, 2)):
                failures.append(f"{name} slower than an explicit count at {n}")
        if any(gaps[name, a] < gaps[name, b] for a, b in zip(counts, counts[1:])):
            failures.append(f"{name} gap grows")
    return [gaps["as drawn", n] for n in counts], failures


def random_lines(title, count, counts=(250, 1000, 3000), **options):
    """loosened_line over the lines 0 to count - 1: every line when they are few, else those that
    fail, then the gaps' median and worst per station count."""
    print(f"{title}, {count} random lines (random_line): the default plan above the exact optimum at "
          + ", ".join(f"{n:,}" for n in counts) + " stations")
    with ProcessPoolExecutor(WORKERS) as pool:
        found = list(pool.map(functools.partial(loosened_line, counts=counts, **options), range(count)))
    for seed, (gaps, failures) in enumerate(found):
        if count <= 40 or failures:
            print(f"  line {seed}: " + "  ".join(f"{g:+.4%}" for g in gaps) + "".join(f"  {f}" for f in failures))
    gaps = np.array([g for g, _ in found])
    for n, column in zip(counts, gaps.T):
        print(f"  {n:5d} stations: median {np.median(column):+.5%}, 90% below {np.quantile(column, 0.9):+.4%}, worst "
              f"{column.max():+.4%} = {column.max() * (n - 1):.2f} / (n - 1) (line {column.argmax()})")


def loosened_lines(count=30):
    random_lines("1b. Each limit loosened in turn", count)


def line_gaps(count=320):
    random_lines("1c. The worst cases", count, counts=(1000, 3000), loosened=(), explicit=False)


def cruising_lines(fractions=(1e-3, 0.1, 0.5, 1.0, 2.0), counts=(250, 1000, 3000)):
    """Lines that cruise nearly all the way: where the speed-up fits into about one station interval,
    the discretized optimum itself (re-linearized topp3_socp until a pass gains less than 1e-9) lies
    up to about 3 / (n - 1) above the exact time."""
    print("1d. Lines that mostly cruise: 1 axis, length 1, v 1, acceleration and deceleration v^2 / (f h) and "
          "jerk A^2 / v (speeding up from rest covers f station intervals h, at constant jerk): the recipe "
          "/ the converged topp3_socp plan above the exact optimum (and that times n - 1)")
    for n in counts:
        cells = []
        for f in fractions:
            acc = np.array([(n - 1) / f])
            line = dict(length=1.0, v=np.ones(1), acc=acc, dec=acc, jerk=acc**2, direction=np.ones(1))
            exact = line_exact(line)
            recipe, optimum = (line_plan(line, n, **options) / exact - 1 for options in
                               ({}, dict(solve=q.topp3_socp, max_passes=200, gain=1e-9)))
            cells.append(f"f={f:g}: {recipe:+.4%} / {optimum:+.4%} ({recipe * (n - 1):.2f} / {optimum * (n - 1):.2f})")
        print(f"  {n:5d} stations  " + "  ".join(cells))


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


def path_robot(path, s, v, acc, jerk):
    """A robot along the path at the stations s with symmetric limits, per axis (acc and jerk may also
    be given per station and axis)."""
    robot = q.Robot(path.dim, capacity=len(s))
    robot.append_s(s)
    robot.set_q_from_path_3rd(path, 0, len(s))
    robot.add_velocity_limits(v, -v, start_idx_s=0)
    robot.add_acceleration_limits(acc, -acc, start_idx_s=0)
    robot.add_jerk_limits(jerk, -jerk, start_idx_s=0)
    return robot


def sampled(path, s, profile, acc, jerk, per_interval=20):
    """The Motion of a plan (topp2_ra's array or a Profile3rd) over the stations s, sampled in time
    at `per_interval` points in each station interval (the short ones at a rest end included)."""
    third = isinstance(profile, q.Profile3rd)
    to_time, to_s = (q.s_to_t_topp3, q.t_to_s_topp3_samples) if third else (q.s_to_t_topp2, q.t_to_s_topp2_samples)
    duration, t_s = to_time(s, profile)
    s_t = to_s(s, profile, t_s, sample_times(t_s, per_interval))
    _, _, acceleration, joint_jerk = joint_motion(path, s, profile, s_t)
    ratio = lambda x, limit: np.max(np.abs(x) / limit, axis=1)
    return Motion(s_t, ratio(acceleration, acc), ratio(joint_jerk, jerk),
                  np.max(np.abs(joint_motion(path, s, profile, s)[2]) / acc), duration)


def sampled_motion(path, n, v, acc, jerk, third=True, acc_scale=None, jerk_scale=None, per_interval=20):
    """The plan of the path on n stations, topp2_ra's or (`third`) the jerk-limited recipe's, with
    the acceleration and jerk limits scaled by `acc_scale(s)` and `jerk_scale(s)` at the stations,
    sampled in time at `per_interval` points in each station interval."""
    s = np.linspace(0.0, 1.0, n)
    scaled = lambda limit, scale: np.tile(limit, (n, 1)) * (1.0 if scale is None else scale(s)[:, None])
    robot = path_robot(path, s, v, scaled(acc, acc_scale), scaled(jerk, jerk_scale))
    profile = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
    if third:
        profile = plan_jerk_limited(robot.constraints, s, profile)[0]
    return sampled(path, s, profile, acc, jerk, per_interval)


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


def slow_recovery(count=200, passes=30):
    print("4. Plans whose first pass drives a station towards zero; the conic campaign's plans")
    for label, (robot, s, _, _) in (
            ("the fitted 3-axis path of tests/python/cases/jerk_slow_recovery.npz",
             stored_path_robot("jerk_slow_recovery")),
            ("seed 684 of tests/python/conic_campaign.py, make_case(684, stations=(50, 100))",
             build(make_case(684, stations=(50, 100))))):
        first = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, len(s) - 1)))
        a = q.topp3_lp(q.Topp3Problem(robot.constraints, first)).a
        times = pass_times(robot.constraints, s)
        _, duration, used = plan_jerk_limited(robot.constraints, s, first)
        _, long_run, long_count = plan_jerk_limited(robot.constraints, s, first, max_passes=1000, gain=1e-7)
        _, socp, socp_count = plan_jerk_limited(robot.constraints, s, first, solve=q.topp3_socp)
        print(f"  {label}: topp2_ra {q.s_to_t_topp2(s, first)[0]:.4g} s; the first LP pass leaves a at "
              f"{np.min(a[1:-1]) / np.max(a):.1e} of its peak at a station ({times[0]:.6g} s); passes each "
              f"linearized around the last one's a: {min(times[:10]):.6g} s after 10, {min(times):.6g} s after "
              f"{len(times)} (until one gains less than 1e-7); the recipe: {duration:.6g} s in {used} passes, "
              f"{long_run:.6g} s in {long_count} until one gains less than 1e-7, with topp3_socp {socp:.6g} s in "
              f"{socp_count}")
    found = []
    for seed in range(count):
        robot, s, _, _ = build(make_case(seed))
        try:
            first = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, len(s) - 1)))
        except q.QarnError:
            continue  # beyond the second-order limits already
        _, duration, used = plan_jerk_limited(robot.constraints, s, first)
        best = min(pass_times(robot.constraints, s, gain=-math.inf, max_passes=passes))
        found.append((duration / best, used, duration / q.s_to_t_topp2(s, first)[0]))
    ratio, used, over_topp2 = np.array(found).T
    print(f"  cases 0-{count - 1} of tests/python/conic_campaign.py, rest to rest ({len(found)} "
          f"plans): the recipe's time over the best of {passes} passes each linearized around the last one's a "
          f"- 1: median {np.median(ratio) - 1:+.1e}, worst {np.max(ratio) - 1:+.2%}; {np.mean(used):.2f} passes on "
          f"average, at most {used.max():.0f}; {np.sum(over_topp2 < 1)} plans faster than topp2_ra's, down to "
          f"{np.min(over_topp2):.2f} times its time")


CONVERGED = dict(max_passes=200, gain=1e-7)  # the recipe run until a pass gains less than 1e-7
LOOSER = (1.1, 2.0)  # each limit of a fitted path loosened by these factors in turn


def fitted_path(seed):
    """(path, stations, limits) of the kind users fit: Path.from_waypoints_fitting to 10 to 60
    waypoints of sine waves (0.3 to 1.5 periods per axis, noise of a third of the tolerance) on 1 to
    6 axes, tolerance 1e-3 to 3e-2, 50 to 1,000 stations, symmetric limits per axis: velocity 0.5-3,
    acceleration 1-10, jerk 5-100."""
    rng = np.random.default_rng(seed)
    dim, m, n = int(rng.integers(1, 7)), int(rng.integers(10, 61)), int(rng.integers(50, 1001))
    tolerance = 10 ** rng.uniform(-3, np.log10(3e-2))
    t = np.linspace(0.0, 1.0, m)[:, None]
    waypoints = (np.sin(2 * np.pi * (t * rng.uniform(0.3, 1.5, dim) + rng.uniform(0.0, 1.0, dim)))
                 + rng.normal(0.0, tolerance / 3, (m, dim)))
    path = q.Path.from_waypoints_fitting(waypoints, tolerance=tolerance)
    limits = dict(v=rng.uniform(0.5, 3.0, dim), acc=rng.uniform(1.0, 10.0, dim), jerk=rng.uniform(5.0, 100.0, dim))
    return path, np.linspace(*path.s_range, n), limits


def recipe(constraints, s, first, **options):
    """(profile, time, passes) of plan_jerk_limited; (None, inf, 0) where no pass converts."""
    try:
        return plan_jerk_limited(constraints, s, first, **options)
    except q.QarnError:
        return None, math.inf, 0


def fitted_case(seed):
    """The recipe's times on fitted_path(seed) as drawn and with each limit loosened in turn, the
    recipe and re-linearized topp3_socp run to convergence, its passes, its plan's excess at the
    stations (exceed_topp3 over the smallest limit) and between them (sampled)."""
    path, s, limits = fitted_path(seed)
    found = {"times": {}}  # per limit loosened ("v x2", ...; "as drawn"): the recipe's and converged times
    for key, factor in ((None, 1.0), *((key, factor) for factor in LOOSER for key in limits)):
        constraints = path_robot(path, s, **dict(limits, **({key: limits[key] * factor} if key else {}))).constraints
        try:
            first = q.topp2_ra(q.Topp2Problem(constraints, (0, len(s) - 1)))
        except q.QarnError:
            return {"error": "topp2_ra"}
        name = f"{key} x{factor:g}" if key else "as drawn"
        profile, duration, passes = recipe(constraints, s, first)
        _, converged, converged_passes = recipe(constraints, s, first, **CONVERGED)
        found["times"][name] = duration, converged
        if key is None and profile is not None:
            found["passes"], found["converged passes"] = passes, converged_passes
            found["uncapped passes"] = passes if passes < 10 else recipe(constraints, s, first, max_passes=1000)[2]
            found["socp"] = (recipe(constraints, s, first, solve=q.topp3_socp)[1],
                             recipe(constraints, s, first, solve=q.topp3_socp, **CONVERGED)[1])
            _, exceed_2nd, exceed_3rd = constraints.exceed_topp3(profile)
            found["at stations"] = max(exceed_2nd / limits["acc"].min(), exceed_3rd / limits["jerk"].min())
            m = sampled(path, s, profile, limits["acc"], limits["jerk"])
            ends = near_ends((m.s_t - s[0]) / (s[-1] - s[0]))
            found["between"] = [m.acceleration[ends].max(), m.acceleration[~ends].max(), m.jerk[ends].max(),
                                m.jerk[~ends].max()]
    return found


def fitted_paths(count=250):
    print(f"6. {count} random fitted paths (fitted_path(0 to {count - 1})): the recipe (plan_jerk_limited, at most 10 "
          f"passes, gain 1e-4) from topp2_ra's profile; 'converged': max_passes {CONVERGED['max_passes']}, gain "
          f"{CONVERGED['gain']:g}; 'socp': the best of the recipe with solve=topp3_socp, 10 passes and converged")
    with ProcessPoolExecutor(WORKERS) as pool:
        found = dict(enumerate(pool.map(fitted_case, range(count))))
    failed = {seed: f.get("error", "no pass converts") for seed, f in found.items() if "passes" not in f}
    cases = {seed: f for seed, f in found.items() if seed not in failed}
    print(f"  {len(cases)} plans; without one: {failed or 'none'}")

    def above(label, ratios, bound=5e-4):  # ratios: {seed: time / reference}
        seeds, r = list(ratios), np.array(list(ratios.values())) - 1
        print(f"  {label}: median {np.median(r):+.2e}, worst {r.max():+.3%} (path {seeds[r.argmax()]}); above "
              f"{bound:.2%} on {np.sum(r > bound)} of {len(r)}")

    for label, time_of in (("the recipe", lambda f: f["times"]["as drawn"][0]),
                           ("the recipe converged", lambda f: f["times"]["as drawn"][1]),
                           ("the recipe with solve=topp3_socp", lambda f: f["socp"][0])):
        above(f"{label} over socp", {seed: time_of(f) / min(f["socp"]) for seed, f in cases.items()})
    passes = np.array([f["passes"] for f in cases.values()])
    capped = [seed for seed, f in cases.items() if f["uncapped passes"] > 10]
    print(f"  passes: median {np.median(passes):g}, {np.sum(passes == 10)} at the cap of 10, {len(capped)} of them "
          f"still gaining (max_passes=1000 goes on, to at most "
          f"{max((cases[seed]['uncapped passes'] for seed in capped), default=0)} passes); converged in at most "
          f"{max(f['converged passes'] for f in cases.values())} passes")
    for run in (0, 1):
        slower = {(seed, name): times[run] / f["times"]["as drawn"][run]
                  for seed, f in cases.items() for name, times in f["times"].items() if name != "as drawn"}
        r = np.array(list(slower.values())) - 1
        worst = list(slower)[r.argmax()]
        by_limit = collections.Counter(name for (seed, name), x in slower.items() if x > 1 + 1e-6)
        print(f"  a looser limit slower by more than 1e-6{', converged' if run else ''}: {np.sum(r > 1e-6)} of "
              f"{len(r)} (above 0.05%: {np.sum(r > 5e-4)}), worst {r.max():+.3%} (path {worst[0]}, {worst[1]}); "
              + ", ".join(f"{name} {number}" for name, number in sorted(by_limit.items())))
    at_stations = np.array([f["at stations"] for f in cases.values()])
    print(f"  exceed_topp3 of the recipe's plans over the smallest limit of its kind: worst {at_stations.max():.1e} "
          f"(path {list(cases)[at_stations.argmax()]}), above 1e-6 on {np.sum(at_stations > 1e-6)}")
    between = np.array([f["between"] for f in cases.values()])
    cells = [f"{what} {np.median(x) - 1:+.1%} / {np.quantile(x, 0.9) - 1:+.1%} / {x.max():.3g} times, over twice on "
             f"{np.sum(x > 2)}" for what, x in zip(("acceleration near the ends", "elsewhere", "jerk near the ends",
                                                    "elsewhere"), between.T)]
    print("  between the stations (20 points per interval, 5% of s at each end), peak |value| / limit - 1, median "
          "/ 90% below / worst (where the path turns more sharply than the stations resolve): " + "; ".join(cells))


def whole_plan(n=1000, repeats=5):
    """The end-to-end plan of bench/compare_peers.py's 6-axis path with the example's recipe."""
    waypoints = np.random.default_rng(3).uniform(-1.0, 1.0, size=(8, 6))
    v, acc, jerk = np.linspace(1.0, 2.0, 6), np.linspace(3.0, 6.0, 6), np.linspace(20.0, 40.0, 6)
    path = q.Path.from_waypoints(waypoints)
    s = np.linspace(0.0, 1.0, n)
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        robot = path_robot(path, s, v, acc, jerk)
        first = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
        profile, duration, passes = plan_jerk_limited(robot.constraints, s, first)
        _, t_s = q.s_to_t_topp3(s, profile)
        q.t_to_s_topp3(s, profile, t_s, dt=1e-3)
        times.append(time.perf_counter() - start)
    print(f"5. The whole plan, 6 axes, {n} stations: {min(times):.3f} s best of {repeats} (median "
          f"{np.median(times):.3f} s), {passes} LP passes, traversal {duration:.4f} s")


WORKERS = 4  # processes for the parts over many random cases

if __name__ == "__main__":
    parts = {"lines": lines, "loosen": loosened_lines, "gaps": line_gaps, "cruise": cruising_lines,
             "between": limits_between_stations, "jerk": jerk_between_stations, "recovery": slow_recovery,
             "plan": whole_plan, "fitted": fitted_paths}
    parser = argparse.ArgumentParser(description="The README's figures on jerk-limited plans.")
    parser.add_argument("parts", nargs="*", metavar="part", help="parts to run (all when none): " + ", ".join(parts))
    parser.add_argument("--count", type=int, help="random cases of loosen, gaps, recovery and fitted "
                        "(their defaults: 30, 320, 200 and 250)")
    parser.add_argument("--workers", type=int, default=WORKERS, help=f"processes (default {WORKERS})")
    args = parser.parse_args()
    if set(args.parts) - set(parts):
        parser.error(f"unknown parts {sorted(set(args.parts) - set(parts))}")
    WORKERS = args.workers
    for name in args.parts or parts:
        started = time.perf_counter()
        counted = args.count is not None and "count" in inspect.signature(parts[name]).parameters
        parts[name](**({"count": args.count} if counted else {}))
        print(f"  ({name}: {time.perf_counter() - started:.0f} s)", flush=True)

"""DETAILS' figures on slow zones, measured: `.venv/bin/python bench/slow_zone_figures.py` (about ten
minutes with the default 4 workers; `--count N` and `--workers N` change them).

A slow zone is a velocity limit far below the others on a few stations. Each random case draws a
path through 3 to 7 waypoints of 1 to 6 axes, 40 to 3,000 stations, velocity, acceleration and jerk
limits, and one to three neighbouring stations (inside the path, next to an end or anywhere) whose
velocity limits are 1e-6 to 1e-2 of the others. It prints:
- the largest relative gap between topp2_ra's time and its time with the tolerances tightened to
  1e-15 (1e-12 where that solve fails);
- per solver (topp2_ra, qarn2_socp with a Time objective, and from topp2_ra's profile topp3_lp,
  topp3_socp, qarn3_socp) the largest relative excess of a over the first-order bound and the
  refusals, by whether the zone is at least 1e-4 of the others;
- how closely qarn2_socp's a meets the bound wherever the tightened topp2_ra's does.
"""

import argparse
import multiprocessing

import numpy as np

import qarn_py as q

TIGHT = (q.ReachSet2Options(lp_feas_tol=1e-15, a_cmp_abs_tol=1e-18, a_cmp_rel_tol=1e-15),
         q.ReachSet2Options(lp_feas_tol=1e-12, a_cmp_abs_tol=1e-15, a_cmp_rel_tol=1e-12))
SOLVERS = ("topp2_ra", "qarn2_socp", "topp3_lp", "topp3_socp", "qarn3_socp")


def zone_case(seed):
    """The robot (jerk limits stored too), s, the first-order bound of a (NaN where none), the zone's
    slice and its ratio."""
    rng = np.random.default_rng(seed)
    dim = int(rng.integers(1, 7))
    waypoints = np.cumsum(rng.normal(0.0, 0.6, (int(rng.integers(3, 8)), dim)), axis=0)
    n = int(rng.choice([40, 100, 200, 500, 1000, 3000]))
    ratio, width = float(10.0 ** rng.uniform(-6, -2)), int(rng.integers(1, 4))
    first = int(rng.choice([n // 2, 1, n - 1 - width, int(rng.integers(1, n - width))]))
    path = q.Path.from_waypoints(waypoints)
    s = np.linspace(0.0, 1.0, n)
    robot = q.Robot(dim, capacity=n)
    robot.append_s(s)
    robot.set_q_from_path_3rd(path, 0, n)
    v = np.tile(rng.uniform(0.5, 3.0, dim), (n, 1))
    v[first:first + width] *= ratio
    acc, jerk = rng.uniform(2.0, 10.0, dim), rng.uniform(10.0, 60.0, dim)
    robot.add_velocity_limits(v, -v, start_idx_s=0)
    robot.add_acceleration_limits(acc, -acc, start_idx_s=0)
    robot.add_jerk_limits(jerk, -jerk, start_idx_s=0)
    with np.errstate(divide="ignore"):
        bound = np.min((v / np.abs(path.evaluate_up_to_2nd(s).dq)) ** 2, axis=1)
    bound[~np.isfinite(bound)] = np.nan  # the path rests at its ends
    return robot, s, bound, slice(first, first + width), ratio


def measure(seed):
    robot, s, bound, zone, ratio = zone_case(seed)
    n = len(s)
    window = q.Topp2Problem(robot.constraints, (0, n - 1))
    a = q.topp2_ra(window)
    for options in TIGHT:
        try:
            tight = q.topp2_ra(window, options)
            break
        except q.QarnError:
            continue
    out = {"ratio": ratio, "gap": abs(q.s_to_t_topp2(s, a)[0] / q.s_to_t_topp2(s, tight)[0] - 1.0)}
    at_bound = tight[zone] >= bound[zone] * (1.0 - 1e-6)
    solves = {"topp2_ra": lambda: a,
              "qarn2_socp": lambda: q.qarn2_socp(q.Qarn2Problem(robot, [q.Time(1.0)], (0, n - 1))),
              "topp3_lp": lambda: q.topp3_lp(q.Topp3Problem(robot.constraints, a)).a,
              "topp3_socp": lambda: q.topp3_socp(q.Topp3Problem(robot.constraints, a)).a,
              "qarn3_socp": lambda: q.qarn3_socp(q.Qarn3Problem(robot, [q.Time(1.0)], a)).a}
    for name, solve in solves.items():
        try:
            profile = np.asarray(solve())
        except q.QarnError as error:
            out[name] = str(error)
            continue
        out[name] = float(np.nanmax((profile - bound) / bound))
        if name == "qarn2_socp":
            out["at_bound"] = np.abs(profile[zone][at_bound] / bound[zone][at_bound] - 1.0).tolist()
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=300)
    parser.add_argument("--workers", type=int, default=4)
    args = parser.parse_args()
    with multiprocessing.Pool(args.workers) as pool:
        cases = pool.map(measure, range(args.count))
    print(f"{len(cases)} zones; topp2_ra against its tightened solve: at most {max(c['gap'] for c in cases):.1e}")
    for name in SOLVERS:
        for label, group in (("ratio >= 1e-4", [c for c in cases if c["ratio"] >= 1e-4]),
                             ("ratio < 1e-4", [c for c in cases if c["ratio"] < 1e-4])):
            excess = [c[name] for c in group if not isinstance(c[name], str)]
            refused = [c[name] for c in group if isinstance(c[name], str)]
            print(f"{name:11} {label:14} {len(group):4} zones, largest excess over the bound "
                  f"{max(excess, default=0.0):.1e}, refused {len(refused)}" + "".join(f"\n    {r}" for r in refused))
    met = [d for c in cases for d in c.get("at_bound", [])]
    print(f"qarn2_socp at the bound where topp2_ra is: {len(met)} stations, within {max(met, default=0.0):.1e}")


if __name__ == "__main__":
    main()

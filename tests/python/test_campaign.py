"""The random campaign of the second-order solvers in any units (slow: `pytest -m slow -s
tests/python/test_campaign.py`). Over 2,000 random problems (2-60 axes, tiny motions,
near-duplicate waypoints, tight, loose and mixed-scale limits): no accepted profile breaks a limit
by more than 1e-6 relative, no profile stalls on two neighbouring zeros, and the traversal time of
topp2_ra is measured against the conic optimum. The figures are printed."""

import numpy as np
import pytest

from qarn_py import _native as q
from scale_cases import neighbouring_zeros, quintic_problem, relative_excess, traversal_time

PROBLEMS = 2000


def campaign_case(seed):
    rng = np.random.default_rng(50_000 + seed)
    dim = int(rng.choice([2, 3, 4, 6, 7, 12, 30, 60], p=[0.2, 0.2, 0.15, 0.15, 0.15, 0.07, 0.05, 0.03]))
    n = int(rng.choice([6, 10, 20, 35, 50, 200, 300]))
    count = int(rng.integers(2, 6))
    motion = rng.choice(["normal", "tiny", "near_duplicate"])
    waypoints = rng.uniform(-1.0, 1.0, size=(count, dim))
    if motion == "tiny":
        waypoints *= 1e-6
    elif motion == "near_duplicate":
        waypoints[1:] = waypoints[0] + rng.uniform(-1.0, 1.0, size=(count - 1, dim)) * 10.0 ** rng.uniform(-9, -3)
        waypoints[-1] = waypoints[0] + rng.uniform(-1.0, 1.0, dim)  # the motion itself is not tiny
    limits = rng.choice(["unit", "tight", "loose", "mixed"])
    exponent = {"unit": 0.0, "tight": -3.0, "loose": 3.0}
    if limits == "mixed":
        v = 10.0 ** rng.uniform(-4, 4, dim) * rng.uniform(0.5, 2.0, dim)
        acc = v * 10.0 ** rng.uniform(-2, 2, dim)
    else:
        k = 10.0 ** exponent[str(limits)]
        v, acc = k * rng.uniform(0.5, 2.0, dim), k * k * rng.uniform(0.5, 4.0, dim)
    return waypoints, n, v, acc, f"{dim} axes, {n} stations, {motion} motion, {limits} limits"


@pytest.mark.slow
def test_random_campaign():
    counts = {"problems": 0, "ra_profiles": 0, "ra_errors": 0, "conic_profiles": 0, "conic_errors": 0,
              "broken_ra": 0, "broken_conic": 0, "stalled": 0}
    gaps = {"10-50": [], ">=200": []}
    broken = []
    for seed in range(PROBLEMS):
        waypoints, n, v, acc, label = campaign_case(seed)
        try:
            p = quintic_problem(waypoints, n, v, acc)
        except q.QarnError:
            continue  # a path the spline refuses (e.g. coinciding waypoints) is no solver case
        counts["problems"] += 1
        ra = conic = None
        try:
            ra = np.asarray(q.topp2_ra(p.topp2()))
            counts["ra_profiles"] += 1
        except q.QarnError:
            counts["ra_errors"] += 1
        try:
            conic = np.asarray(q.qarn2_socp(p.qarn2([q.Time(1.0)])))
            counts["conic_profiles"] += 1
        except q.QarnError:
            counts["conic_errors"] += 1
        if ra is not None:
            if relative_excess(p, ra) > 1e-6:
                counts["broken_ra"] += 1
                broken.append(("topp2_ra", seed, label, relative_excess(p, ra)))
            if neighbouring_zeros(ra):
                counts["stalled"] += 1
                broken.append(("stalled", seed, label, 0.0))
        if conic is not None and relative_excess(p, conic) > 1e-6:
            counts["broken_conic"] += 1
            broken.append(("qarn2_socp", seed, label, relative_excess(p, conic)))
        if ra is not None and conic is not None and not neighbouring_zeros(ra):
            gap = traversal_time(p, ra) / traversal_time(p, conic) - 1.0
            if n <= 50 and n >= 10:
                gaps["10-50"].append(gap)
            elif n >= 200:
                gaps[">=200"].append(gap)
    print("\ncampaign:", counts)
    for name, values in gaps.items():
        g = np.asarray(values)
        if len(g):
            print(f"topp2_ra time / conic optimum - 1 at {name} stations over {len(g)} problems: median {np.median(g):.2e}, "
                  f"90% {np.quantile(g, 0.9):.2e}, max {g.max():.2e}, min {g.min():.2e}, within 1e-6: {np.mean(g <= 1e-6):.0%}")
    for item in broken[:20]:
        print("  ", item)
    assert counts["problems"] >= 0.95 * PROBLEMS
    assert counts["broken_ra"] == 0 and counts["broken_conic"] == 0 and counts["stalled"] == 0, broken[:20]

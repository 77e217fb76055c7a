"""The random campaign of the second-order solvers in any units (slow: `pytest -m slow -s
tests/python/test_campaign.py`). Over 2,000 random problems (2-60 axes, tiny motions,
near-duplicate waypoints, tight, loose and mixed-scale limits): no accepted profile breaks a limit
by more than 1e-6 relative, no profile stalls on two neighbouring zeros, the conic optimum is never
slower than topp2_ra's profile, and the traversal time of topp2_ra is measured against it. The figures are printed."""

import numpy as np
import pytest

from qarn_py import _native as q
from scale_cases import campaign_case, neighbouring_zeros, quintic_problem, relative_excess, traversal_time

PROBLEMS = 2000


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
            if gap < -1e-8:  # the optimum slower than a feasible profile
                broken.append(("conic slower than topp2_ra", seed, label, gap))
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
    assert not broken, broken[:20]

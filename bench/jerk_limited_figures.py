"""The README's figures on jerk-limited plans, measured: `.venv/bin/python bench/jerk_limited_figures.py`
(a few minutes).

1. Straight lines from rest to rest against the exact time-optimal jerk-limited motion (the double
   S-curve in closed form), at 100 to 3,000 stations: the re-linearized TOPP3 LP of
   examples/jerk_limited_plan.py with the default rest ends (num_stationary_max=None), with one or
   two stationary intervals, and topp3_socp around the LP's last reference.
2. The joint jerk between the stations of the default quintic waypoint path, sampled at 1 kHz, near
   its rest ends and elsewhere, and with the remedies.
"""

import pathlib
import sys

import numpy as np

import qarn_py as q

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
from jerk_limited_plan import plan_jerk_limited  # noqa: E402
from joint_motion import joint_motion  # noqa: E402
from third_order_cases import jerk_line_robot  # noqa: E402


def double_s_time(length, v, acc, jerk):
    """Rest-to-rest time of the exact jerk-limited optimum along a line."""
    ramp = acc / jerk + v / acc if v * jerk >= acc * acc else 2.0 * np.sqrt(v / jerk)
    if v * ramp <= length:
        return ramp + length / v
    peak = (-acc * acc / jerk + np.sqrt(acc ** 4 / jerk ** 2 + 4.0 * acc * length)) / 2.0
    if peak * jerk >= acc * acc:
        return 2.0 * (peak / acc + acc / jerk)
    return 4.0 * np.sqrt((length * np.sqrt(jerk) / 2.0) ** (2.0 / 3.0) / jerk)


LINES = {"trapezoidal acceleration, cruise": (4.0, 1.0, 1.0, 2.0),
         "jerk only (triangular acceleration)": (1.0, 10.0, 10.0, 1.0),
         "a short move (0.0116), no cruise": (0.0116, 2.8, 1.47, 0.92),
         "acceleration +300/-240, jerk 20": (1.0, 1.0, 300.0, 20.0)}


def lines():
    print("1. Straight lines: traversal time above the exact optimum (passes of the LP recipe)")
    for label, (length, v, acc, jerk) in LINES.items():
        exact = double_s_time(length, v, acc, jerk)
        print(f"  {label}: exact {exact:.6g} s")
        for n in (100, 300, 1000, 3000):
            robot, s = jerk_line_robot(n, length, v, acc, jerk, module=q)
            first = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
            cells = []
            for k in (None, 1, 2):
                profile, duration, passes = plan_jerk_limited(robot.constraints, s, first, num_stationary_max=k)
                cells.append(f"k={k}: {duration / exact - 1:+.4%} ({passes})")
                if k is None:
                    socp = q.topp3_socp(q.Topp3Problem(robot.constraints, profile.a))
                    cells.append(f"socp: {q.s_to_t_topp3(s, socp)[0] / exact - 1:+.4%}")
            print(f"    {n:5d} stations  " + "  ".join(cells))


def quintic_jerk():
    print("2. Joint jerk between the stations of the README tour's quintic path at 1 kHz, largest |jerk| / limit")
    waypoints = np.array([[0.0, 0.0, 0.0], [0.6, -0.4, 0.9], [1.2, 0.3, 0.4], [0.8, 0.9, -0.2]])
    jerk_max = np.array([20.0, 20.0, 30.0])
    for label, order, end_factor in (("quintic", 5, 1.0), ("quintic, jerk limits 10% lower on the first and "
                                                            "last 2% of s", 5, 0.9), ("cubic", 3, 1.0)):
        path = q.Path.from_waypoints(waypoints, order=order)
        cells = []
        for n in (250, 500, 1000, 2000):
            s = np.linspace(0.0, 1.0, n)
            robot = q.Robot(3, capacity=n)
            robot.append_s(s)
            robot.set_q_from_path_3rd(path, 0, n)
            robot.add_velocity_limits([2.0, 2.0, 3.0], [-2.0, -2.0, -3.0], start_idx_s=0)
            robot.add_acceleration_limits([5.0, 5.0, 8.0], [-5.0, -5.0, -8.0], start_idx_s=0)
            limit = np.tile(jerk_max, (n, 1))
            ends = (s < 0.02) | (s > 0.98)
            limit[ends] *= end_factor
            robot.add_jerk_limits(limit, -limit, start_idx_s=0)
            first = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
            profile, _, _ = plan_jerk_limited(robot.constraints, s, first)
            _, t_s = q.s_to_t_topp3(s, profile)
            s_t = q.t_to_s_topp3(s, profile, t_s, dt=1e-3)
            jerk = joint_motion(path, s, profile, s_t)[3]
            near = (s_t < 0.05) | (s_t > 0.95)
            ratio = np.max(np.abs(jerk) / jerk_max, axis=1)
            cells.append(f"{n}: {ratio[near].max():.3f} near the ends, {ratio[~near].max():.3f} elsewhere")
        print(f"  {label}: " + "; ".join(cells))


if __name__ == "__main__":
    lines()
    quintic_jerk()

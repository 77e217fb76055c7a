"""The jerk-limited time-optimal plan by re-linearized TOPP3 linear programs.

The jerk rows of a third-order problem are linearized around a reference profile. Start from the
time-optimal profile without jerk limits (topp2_ra's) and solve again around each result: every pass
linearizes around the last one, and the plan settles within a few passes. `plan_jerk_limited` keeps
the fastest profile that converts to time and stops once a pass gains less than `gain` of the
traversal time (or loses time), so it never hands back a plan slower than one it has seen.

Run it with `.venv/bin/python examples/jerk_limited_plan.py`; `plan_jerk_limited` is the part to copy.
"""

import math

import numpy as np

import qarn_py as q


def plan_jerk_limited(constraints, s, reference, *, max_passes=10, gain=1e-4, solve=q.topp3_lp, **problem):
    """(profile, traversal time, passes) of the re-linearized plan over the stations s of the window
    (their path parameters), starting from the reference a; `problem` holds further Topp3Problem
    keywords (idx_s_start, a_boundary, ...) and `solve` may be topp3_socp."""
    best, best_time, passes = None, math.inf, 0
    for passes in range(1, max_passes + 1):
        profile = solve(q.Topp3Problem(constraints, reference, **problem))
        reference = profile.a
        try:
            duration = q.s_to_t_topp3(s, profile)[0]
        except q.QarnError:
            continue  # a profile that never arrives; the next pass starts from it all the same
        improved = duration < best_time * (1.0 - gain)
        if duration < best_time:
            best, best_time = profile, duration
        if not improved:
            break
    if best is None:
        raise q.QarnError(f"no pass of {passes} gave a profile that converts to time")
    return best, best_time, passes


if __name__ == "__main__":
    # One axis along q(s) = s, 0 <= s <= 1, from rest to rest with |v| <= 1, |a| <= 2, |j| <= 8: the
    # exact time-optimal motion takes L / v + v / A + A / J = 1.75 s.
    n = 1000
    s = np.linspace(0.0, 1.0, n)
    robot = q.Robot(1, capacity=n)
    robot.append_s(s)
    robot.set_q(s[:, None], np.ones((n, 1)), np.zeros((n, 1)), 0, dddq=np.zeros((n, 1)))
    robot.add_velocity_limits([1.0], [-1.0], start_idx_s=0)
    robot.add_acceleration_limits([2.0], [-2.0], start_idx_s=0)
    robot.add_jerk_limits([8.0], [-8.0], start_idx_s=0)
    first = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
    profile, duration, passes = plan_jerk_limited(robot.constraints, s, first)
    print(f"{duration:.6f} s after {passes} passes (exact optimum 1.75 s), "
          f"stationary intervals at the ends {profile.num_stationary}")

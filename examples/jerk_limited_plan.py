"""The jerk-limited time-optimal plan by re-linearized TOPP3 linear programs.

The jerk rows of a third-order problem are linearized around a reference profile. Start from the
time-optimal profile without jerk limits (topp2_ra's) and solve again around each result: every pass
linearizes around the last one, and the plan settles within a few passes. Two rules keep one pass
from misleading the next:

- A pass can raise a to at most three times its reference where a jerk row holds (the row's tangent
  at the reference reaches zero there), so a station that one pass leaves far below its reference
  would take a pass per factor of three to recover. The next reference is therefore at least a
  tenth of the last one at every station.
- The LP follows the slope of the traversal time at its reference and may overshoot: where a pass
  linearized around the last profile gains less than `gain` of the time (or loses time), the plan
  takes the fastest profile on the way between the two instead.

The plan stops once such a pass, searched back, still gains less than `gain`, or once the solver
refuses a pass (a profile that would never arrive, say). `plan_jerk_limited`
hands back the fastest profile it has seen that converts to time and holds the limits at the
stations as the solver's own profiles do: exceed_topp3 within the solver's tolerance, 1e-6 of each
limit (about 1e-8 in practice). A pass's profile does by itself, since its jerk rows (tangents of
jerk_max / sqrt(a)) are tighter than the limits. A mix of two profiles need not: the earlier one
need not meet the rows of the pass that gave the later one, and the jerk limits are not convex in
(a, b). So a mix is kept only where exceed_topp3 finds it within the limits as closely as the two
profiles it mixes, order by order.

Run it with `.venv/bin/python examples/jerk_limited_plan.py`; `plan_jerk_limited` is the part to copy.
"""

import math

import numpy as np

import qarn_py as q

HOLD = 10.0  # the next reference is at least the last one over HOLD
NEVER_ARRIVES = "computed time profile contains NaN or infinity"  # s_to_t_topp3's word for no finite time


def traversal_time(s, profile):
    """The profile's time over the stations s, inf for a profile that never arrives; any other
    refusal of the conversion (s and the profile of different lengths, say) is raised."""
    try:
        return q.s_to_t_topp3(s, profile)[0]
    except q.QarnError as error:
        if NEVER_ARRIVES not in str(error):
            raise
        return math.inf


def fastest_between(s, start, end, duration, exceed):
    """The fastest of end (its time `duration`) and start + t (end - start) for t = 1/2, 1/4, ...,
    halving t while it gains, of the mixes whose exceed(mix) (exceed_topp3's values) is nowhere
    above both start's and end's; end alone where the two differ in their stationary intervals."""
    if start.num_stationary != end.num_stationary:
        return end, duration
    tolerance = np.maximum(exceed(start), exceed(end))
    best, t = end, 0.5
    while t > 1e-3:
        mix = q.Profile3rd(start.a + t * (end.a - start.a), start.b + t * (end.b - start.b), end.num_stationary)
        try:
            mix_time = traversal_time(s, mix)
        except q.QarnError:
            # s converted `end`, so this refuses the mix itself: where start's and end's rest windows
            # differ in shape, the mix's stationary stations are off the closed form its junction gives.
            break
        if not mix_time < duration:
            break
        if np.all(np.asarray(exceed(mix)) <= tolerance):
            best, duration = mix, mix_time
        t /= 2
    return best, duration


def check_stations(s, stations, first_id):
    """Refuses an s other than the window's stations: the plan times every pass over s, and over
    other stations its times are wrong (2 s doubles them) or the conversion refuses every pass."""
    s = np.asarray(s, float)
    if s.shape != stations.shape:
        raise ValueError(f"`s` holds {s.size} values for the {len(stations)} stations of the window "
                         f"(ids {first_id} .. {first_id + len(stations) - 1})")
    differ = np.flatnonzero(s != stations)
    if differ.size:
        k = differ[0]
        raise ValueError(f"`s[{k}]` = {float(s[k])!r} differs from the s of station {first_id + k}, "
                         f"{float(stations[k])!r}")


def plan_jerk_limited(constraints, s, reference, *, max_passes=10, gain=1e-4, solve=q.topp3_lp, **problem):
    """(profile, traversal time, passes) of the re-linearized plan over the stations s of the window
    (their path parameters), starting from the reference a; `problem` holds further Topp3Problem
    keywords (idx_s_start, a_boundary, ...) and `solve` may be topp3_socp. An s that is not the
    window's stations is refused with ValueError before any solve."""
    first_id = problem.get("idx_s_start", 0)
    check_stations(s, constraints.s_values(first_id, first_id + len(reference)), first_id)
    best, best_time, passes = None, math.inf, 0
    start = None  # the profile this pass is linearized around, when the reference is its a
    exceed = lambda profile: constraints.exceed_topp3(profile, idx_s_start=first_id)
    for passes in range(1, max_passes + 1):
        linearized = q.Topp3Problem(constraints, reference, **problem)
        try:
            profile = solve(linearized)
        except q.QarnError:  # a refused pass (one that would never arrive) ends the plan
            if best is None:
                raise
            break
        duration = traversal_time(s, profile)
        if start is not None and not duration < best_time * (1.0 - gain):
            profile, duration = fastest_between(s, start, profile, duration, exceed)
        improved = duration < best_time * (1.0 - gain)
        if duration < best_time:
            best, best_time = profile, duration
        if start is not None and not improved:
            break
        held = np.maximum(profile.a, np.asarray(reference, float) / HOLD)
        start = profile if duration < math.inf and np.array_equal(held, profile.a) else None
        reference = held
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

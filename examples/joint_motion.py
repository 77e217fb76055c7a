"""Joint velocities, accelerations and jerks at the time samples of a planned motion.

The solvers return the path speed at the stations: a = (ds/dt)^2 (and for jerk-limited profiles also
b = d2s/dt2), and t_to_s_topp2* / t_to_s_topp3* give s at the time samples. The joints then follow by
the chain rule from the path's derivatives q', q'', q''' at those s:

    dq/dt    = q' sd
    d2q/dt2  = q'' sd^2 + q' sdd
    d3q/dt3  = q''' sd^3 + 3 q'' sd sdd + q' sddd

with sd = ds/dt, sdd = d2s/dt2 and sddd = d3s/dt3 of the profile between its stations:

- second order (an array a): a is linear in s on each interval, sdd is the interval's constant
  b = (a[k+1] - a[k]) / (2 h) and sddd = 0. sdd jumps at the stations, so the joint jerk is finite
  only between them.
- third order (a Profile3rd): on a free interval b is linear in s (slope kappa), so
  a = a[k] + 2 b[k] u + kappa u^2 with u = s - s[k], and sddd = kappa sd. The num_stationary intervals
  next to a rest end have the closed form of a start (or stop) at constant path jerk: a grows as
  (distance from the end)^(4/3) up to its value at the junction station j, b = a / (1.5 distance), and
  sddd = a[j]^(3/2) / (4.5 (distance of station j)^2), the same constant at both ends. When the
  junction's a[j] / (distance of j * |b[j]|) = r lies strictly between 1.5 and 2, that phase covers
  only the share 4 - 2 r of the distance and the path goes on at the junction's b after it; at
  r = 2 (to 5e-7 above) there is no phase at all: a is linear in the distance, b the junction's.

To check a plan, sample it by station interval (`sample_times`): the intervals next to a rest end
can last a fraction of a millisecond, and a fixed time step of a millisecond steps over them and over
the discretization error that sits there.

Run it with `.venv/bin/python examples/joint_motion.py`; `joint_motion` and `sample_times` are the
parts to copy.
"""

import numpy as np

import qarn_py as q
from jerk_limited_plan import plan_jerk_limited


def window_share(ratio):
    """The share of a rest window covered at constant path jerk, read from its junction's ratio
    a / (distance * |b|) as the library reads it: 4 - 2 ratio where that lies in (0, 1 - 1e-6); 0,
    no phase, for a ratio of 2 to 5e-7 above (a phase too short to resolve); 1, the pure window, for
    any other ratio (1.5 met to the solver's tolerance, or values no such motion has)."""
    share = 4 - 2 * ratio
    return share if 0 < share < 1 - 1e-6 else 0.0 if -1e-6 <= share <= 0 else 1.0


def path_motion(s, profile, s_t):
    """ds/dt, d2s/dt2 and d3s/dt3 at the path parameters s_t of a profile over the stations s: a
    second-order profile (the array a of topp2_ra or qarn2_socp) or a Profile3rd."""
    s, s_t = np.asarray(s, float), np.asarray(s_t, float)
    k = np.clip(np.searchsorted(s, s_t, side="right") - 1, 0, len(s) - 2)  # the interval holding each s_t
    u, h = s_t - s[k], s[k + 1] - s[k]
    if not isinstance(profile, q.Profile3rd):
        a = np.asarray(profile, float)
        b = (a[k + 1] - a[k]) / (2 * h)
        return np.sqrt(np.maximum(a[k] + 2 * b * u, 0.0)), b, np.zeros_like(s_t)
    a_n, b_n = profile.a, profile.b
    kappa = (b_n[k + 1] - b_n[k]) / h
    a = np.maximum(a_n[k] + 2 * b_n[k] * u + kappa * u**2, 0.0)  # rounding may leave -0.0 or -1e-17
    b, sddd = b_n[k] + kappa * u, kappa * np.sqrt(a)
    start, end = profile.num_stationary
    for count, junction, edge, sign in ((start, start, s[0], 1.0), (end, len(s) - 1 - end, s[-1], -1.0)):
        if count == 0:
            continue
        width = sign * (s[junction] - edge)
        distance = sign * (s_t - edge)
        inside = (distance >= 0) & (distance <= width)
        a_j, b_j = a_n[junction], sign * b_n[junction]
        with np.errstate(invalid="ignore", divide="ignore"):  # b = 0 at the end itself, no phase at share 0
            share = window_share(a_j / (b_j * width))
            m = 2 - share / 2  # a_j = m width b_j
            x = distance[inside] / width
            phase = (x <= share) & (share > 0)
            a[inside] = a_j * np.where(phase, 1.5 * share / m * (x / share) ** (4 / 3), (2 * x - share / 2) / m)
            b[inside] = sign * np.where(phase, np.where(x > 0, a[inside] / (1.5 * distance[inside]), 0.0),
                                        a_j / (m * width))
            sddd[inside] = np.where(phase, (a_j / (m * width)) ** 1.5 / np.sqrt(6 * width * share), 0.0)
    return np.sqrt(a), b, sddd


def joint_motion(path, s, profile, s_t):
    """q, dq/dt, d2q/dt2 and d3q/dt3 at the path parameters s_t (one row per sample)."""
    sd, sdd, sddd = (x[:, None] for x in path_motion(s, profile, s_t))
    d = path.evaluate_up_to_3rd(s_t)
    return (d.q, d.dq * sd, d.ddq * sd**2 + d.dq * sdd,
            d.dddq * sd**3 + 3 * d.ddq * sd * sdd + d.dq * sddd)


def sample_times(t_s, per_interval=20):
    """Times from t_s[0] to t_s[-1] (the arrival times at the stations), per_interval of them evenly
    spaced in each station interval, for t_to_s_topp2_samples / t_to_s_topp3_samples."""
    t_s = np.asarray(t_s, float)
    t = t_s[:-1, None] + np.diff(t_s)[:, None] * (np.arange(per_interval) / per_interval)
    return np.append(t.ravel(), t_s[-1])


def plan(n=1000):
    """The quickstart's 6-axis motion: a time-optimal profile on n stations, and the jerk-limited
    one of jerk_limited_plan.py."""
    waypoints = np.array([[0.0, -0.6, 0.9, 0.0, 0.5, 0.0], [0.8, -0.2, 0.5, 0.6, 0.9, -0.4],
                          [1.4, 0.3, 0.1, 0.2, 1.2, 0.3], [0.9, 0.6, -0.4, -0.5, 0.7, 1.1],
                          [0.2, 0.1, 0.2, -0.2, 0.3, 0.6]])
    limits = {"velocity": np.array([2.0, 2.0, 2.5, 3.0, 3.0, 4.0]),
              "acceleration": np.array([6.0, 5.0, 7.0, 10.0, 10.0, 14.0]),
              "jerk": np.array([30.0, 25.0, 35.0, 50.0, 50.0, 70.0])}
    path = q.Path.from_waypoints(waypoints)
    s = np.linspace(0.0, 1.0, n)
    robot = q.Robot(path.dim)
    robot.append_s(s)
    robot.set_q_from_path_3rd(path, 0, n)
    robot.add_velocity_limits(limits["velocity"], -limits["velocity"], start_idx_s=0)
    robot.add_acceleration_limits(limits["acceleration"], -limits["acceleration"], start_idx_s=0)
    robot.add_jerk_limits(limits["jerk"], -limits["jerk"], start_idx_s=0)
    a = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
    profile, _, _ = plan_jerk_limited(robot.constraints, s, a)
    return path, s, a, profile, limits


if __name__ == "__main__":
    path, s, a, profile, limits = plan()
    for name, p, t_of_s, s_of_t in (("velocity + acceleration", a, q.s_to_t_topp2, q.t_to_s_topp2_samples),
                                    ("+ jerk limits", profile, q.s_to_t_topp3, q.t_to_s_topp3_samples)):
        duration, t_s = t_of_s(s, p)
        s_t = s_of_t(s, p, t_s, sample_times(t_s))
        _, velocity, acceleration, jerk = joint_motion(path, s, p, s_t)
        peaks = [np.max(np.abs(x) / limits[key]) for x, key in
                 ((velocity, "velocity"), (acceleration, "acceleration"), (jerk, "jerk"))]
        print(f"{name:24} {duration:.4f} s, {len(s_t)} samples, 20 per station interval; peak |d^k q/dt^k| / "
              f"limit for k = 1, 2, 3: {peaks[0]:.4f}, {peaks[1]:.4f}, {peaks[2]:.4f}")

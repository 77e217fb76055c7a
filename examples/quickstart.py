"""Quickstart: the fastest motion of a 6-axis robot along a path through waypoints, within joint
velocity and acceleration limits, and then also within joint jerk limits. `make demo` runs it; read
it top to bottom as a tutorial."""

import time
from pathlib import Path as FilePath

import numpy as np

import qarn_py as q
from jerk_limited_plan import plan_jerk_limited
from joint_motion import joint_motion, sample_times

# 1. The geometric path, in joint space. Path.from_waypoints builds a quintic spline through the
#    waypoints (one row per waypoint, one column per axis) on uniform spans of s in [0, 1]. Its end
#    derivatives are zero, so the motion can start and end at rest.
WAYPOINTS = np.array([  # rad
    [0.0, -0.6, 0.9, 0.0, 0.5, 0.0],
    [0.8, -0.2, 0.5, 0.6, 0.9, -0.4],
    [1.4, 0.3, 0.1, 0.2, 1.2, 0.3],
    [0.9, 0.6, -0.4, -0.5, 0.7, 1.1],
    [0.2, 0.1, 0.2, -0.2, 0.3, 0.6],
])
path = q.Path.from_waypoints(WAYPOINTS)

# 2. The robot: the path sampled at N stations s[0] < ... < s[N-1], and the limits of every joint.
#    The solvers see the path only through these stations, so N sets the resolution. The third
#    path derivative is stored too, for the jerk limits of step 6.
N = 1000
V_MAX = np.array([2.0, 2.0, 2.5, 3.0, 3.0, 4.0])  # rad/s
ACC_MAX = np.array([6.0, 5.0, 7.0, 10.0, 10.0, 14.0])  # rad/s^2
JERK_MAX = np.array([30.0, 25.0, 35.0, 50.0, 50.0, 70.0])  # rad/s^3
s = np.linspace(0.0, 1.0, N)
robot = q.Robot(len(V_MAX))
robot.append_s(s)  # stations get the ids 0 .. N-1
robot.set_q_from_path_3rd(path, 0, N)  # q and its first three s-derivatives at the stations of ids [0, N)
robot.add_velocity_limits(V_MAX, -V_MAX, start_idx_s=0)  # one vector: the same limit at every station
robot.add_acceleration_limits(ACC_MAX, -ACC_MAX, start_idx_s=0)
robot.add_jerk_limits(JERK_MAX, -JERK_MAX, start_idx_s=0)  # read by the third-order solvers only

# 3. The time-optimal profile a(s) = (ds/dt)^2 from rest (a = 0) to rest, over the stations 0 .. N-1,
#    by reachability analysis. It keeps the velocity and acceleration limits, not the jerk limits.
problem = q.Topp2Problem(robot.constraints, (0, N - 1))
started = time.perf_counter()
a = q.topp2_ra(problem)
solve_ms = (time.perf_counter() - started) * 1e3

# 4. From the path parameter to time: the arrival time at every station, then s on a 4 ms control
#    grid (t = 0, DT, 2 DT, ... and finally the last station).
duration, t_s = q.s_to_t_topp2(s, a)
DT = 0.004
s_grid = q.t_to_s_topp2_uniform(s, a, t_s, DT)
# Between stations a grows linearly in s, so interpolating it is exact; dq/dt = dq/ds * ds/dt.
joint_velocity = path.evaluate_up_to_2nd(s_grid).dq * np.sqrt(np.interp(s_grid, s, a))[:, None]

# 5. Audit the profile against the stored limits: 0 means every limit holds (no value is below 0; the
#    first order starts at -0.0, and gives 0.0 here because a station's a meets its velocity bound
#    exactly); the solver works to a feasibility tolerance of 1e-8, so tiny positive values are
#    rounding. The limits are imposed at the stations; between them they hold up to a discretization
#    error that shrinks with N.
exceed_velocity, exceed_acceleration = robot.constraints.exceed_topp2(a)
at_stations = path.evaluate_up_to_2nd(s).dq * np.sqrt(a)[:, None]
peak_stations = np.max(np.abs(at_stations) / V_MAX)
peak_grid = np.max(np.abs(joint_velocity) / V_MAX)

# 6. Jerk-limited: the third-order profile (a and b = d2s/dt2 at every station) of the TOPP3 linear
#    program. Its jerk rows are linearized around a reference profile; the time-optimal profile of
#    step 3 is the first reference, and each solve's result is the next one (held at a tenth of the
#    last reference at least; jerk_limited_plan.py), keeping the fastest profile and stopping once a
#    pass gains less than 1e-4 of the time. The motion starts and ends at rest; next to each end a
#    closed-form shape (constant path jerk) covers the stations the limits leave to that phase, and
#    keeps the jerk finite.
started = time.perf_counter()
profile, duration3, passes = plan_jerk_limited(robot.constraints, s, a)
solve3_ms = (time.perf_counter() - started) * 1e3
_, t_s3 = q.s_to_t_topp3(s, profile)
s_grid3 = q.t_to_s_topp3_uniform(s, profile, t_s3, DT)
# The audit reads the jerk rows in their own (nonlinear) form. Each solve met them as linearized around
# its reference, and those rows are tighter than the limits, so a pass's profile holds the jerk limits
# to the audit's tolerance too (exceed_topp3 gives about 4e-9 rad/s^3 here, against limits of 25 to
# 70); only a mix of two passes' profiles need not, and the recipe keeps a mix only where this audit
# finds it within the limits.
exceed3 = robot.constraints.exceed_topp3(profile)  # first, second and third order


def joint_acceleration(s_of_t):
    """d2q/dt2 along s(t) sampled every DT, by central differences of q(s(t))."""
    joints = path.evaluate_q(s_of_t[:-1]).q  # the last sample, the final station, closes a shorter step
    return np.diff(joints, 2, axis=0) / DT ** 2


acceleration2, acceleration3 = joint_acceleration(s_grid), joint_acceleration(s_grid3)
# The joint jerk between the stations, by the chain rule from the profile's own form between them
# (joint_motion.py) at 20 points per station interval: the jerk limits hold at the stations, and
# between them up to a discretization error (largest where the path comes to rest, see the README),
# in intervals that last a fraction of a millisecond there. Differences of the control-grid samples
# would smooth that peak away. Without a jerk limit d2s/dt2 jumps at every station, and the joint
# jerk is unbounded.
s_fine3 = q.t_to_s_topp3_samples(s, profile, t_s3, sample_times(t_s3))
jerk3 = np.max(np.abs(joint_motion(path, s, profile, s_fine3)[3]) / JERK_MAX)

print(f"qarn_py {q.__version__}: time-optimal motion along a {path.dim}-axis waypoint path, {N} stations")
print(f"  {'':24} {'velocity + acceleration':>26} {'+ jerk limits':>22}")
print(f"  {'duration':24} {duration:24.4f} s {duration3:20.4f} s")
print(f"  {'solve time':24} {solve_ms:22.2f} ms {solve3_ms:19.1f} ms ({passes} LP passes)")
print(f"  {'largest violation':24} {max(exceed_velocity, exceed_acceleration, 0.0):26.1e} "
      f"{max(*exceed3, 0.0):22.1e}")
print(f"  {'peak |d3q/dt3| / limit':24} {'unbounded':>26} {jerk3:22.3f}   (chain rule, 20 per station interval)")
print(f"  control grid             {len(s_grid)} and {len(s_grid3)} samples, {DT * 1e3:g} ms apart")
print(f"  peak |dq/dt| / limit     {peak_stations:.6f} at the stations, {peak_grid:.6f} on the control grid "
      "(acceleration-limited)")

# 7. The plot (optional): both path speeds against the velocity bound, and the joint accelerations over
#    time: they jump between the limits without a jerk limit and move continuously with one.
try:
    import matplotlib
except ImportError:
    print("  plot                     needs matplotlib: .venv/bin/python -m pip install matplotlib")
else:
    matplotlib.use("Agg")  # write a file, no window
    import matplotlib.pyplot as plt

    # The velocity limits bound the path speed by ds/dt <= sqrt(amax(s)). At the two ends dq/ds goes to
    # zero, so the bound is infinite there and ds/dt may grow large while the joints still move slowly.
    speed_bound = np.sqrt(robot.constraints.amax_values())
    fig, (top, middle, bottom) = plt.subplots(3, 1, figsize=(9, 10), layout="constrained")
    top.plot(s, speed_bound, "k--", label="bound from the velocity limits")
    top.plot(s, np.sqrt(a), label="velocity + acceleration limits")
    top.plot(s, np.sqrt(profile.a), label="+ jerk limits")
    top.set(xlabel="path parameter s", ylabel="ds/dt  [1/s]", title="Path speed",
            ylim=(0.0, 1.3 * np.sqrt(a).max()))
    top.legend(loc="upper center")
    labels = [f"joint {j + 1}" for j in range(path.dim)]
    for axes, acceleration, title in ((middle, acceleration2, "velocity + acceleration limits"),
                                      (bottom, acceleration3, "+ jerk limits")):
        axes.plot(DT * np.arange(1, len(acceleration) + 1), acceleration / ACC_MAX, label=labels)
        axes.axhline(1.0, color="k", linestyle="--")
        axes.axhline(-1.0, color="k", linestyle="--")
        axes.set(xlabel="time t  [s]", ylabel="(d2q/dt2) / limit", title=f"Joint accelerations, {title}",
                 ylim=(-1.2, 1.2), xlim=(0.0, max(duration, duration3)))
    middle.legend(loc="center left", bbox_to_anchor=(1.0, 0.5))
    image = FilePath(__file__).resolve().parent.parent / "build" / "quickstart.png"
    image.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(image, dpi=110)
    print(f"  plot                     {image}")

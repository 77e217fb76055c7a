"""Quickstart: the fastest motion of a 6-axis robot along a path through waypoints, within joint
velocity and acceleration limits. `make demo` runs it; read it top to bottom as a tutorial."""

import time
from pathlib import Path as FilePath

import numpy as np

import qarn_py as q

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
#    The solvers see the path only through these stations, so N sets the resolution.
N = 1000
V_MAX = np.array([2.0, 2.0, 2.5, 3.0, 3.0, 4.0])  # rad/s
ACC_MAX = np.array([6.0, 5.0, 7.0, 10.0, 10.0, 14.0])  # rad/s^2
s = np.linspace(0.0, 1.0, N)
robot = q.Robot(len(V_MAX))
robot.append_s(s)  # stations get the ids 0 .. N-1
robot.set_q_from_path_2nd(path, 0, N)  # q, dq/ds and d2q/ds2 at the stations of ids [0, N)
robot.add_velocity_limits(V_MAX, -V_MAX, start_idx_s=0)  # one vector: the same limit at every station
robot.add_acceleration_limits(ACC_MAX, -ACC_MAX, start_idx_s=0)

# 3. The time-optimal profile a(s) = (ds/dt)^2 from rest (a = 0) to rest, over the stations 0 .. N-1,
#    by reachability analysis.
problem = q.Topp2Problem(robot.constraints, (0, N - 1))
started = time.perf_counter()
a = q.topp2_ra(problem)
solve_ms = (time.perf_counter() - started) * 1e3

# 4. From the path parameter to time: the arrival time at every station, then s on a 4 ms control
#    grid (t = 0, DT, 2 DT, ... and finally the last station).
duration, t_s = q.s_to_t_topp2(s, a)
DT = 0.004
s_grid = q.t_to_s_topp2_uniform(s, a, t_s, DT)
t_grid = np.append(DT * np.arange(len(s_grid) - 1), duration)
# Between stations a grows linearly in s, so interpolating it is exact; dq/dt = dq/ds * ds/dt.
joint_velocity = path.evaluate_up_to_2nd(s_grid).dq * np.sqrt(np.interp(s_grid, s, a))[:, None]

# 5. Audit the profile against the stored limits: values <= 0 mean every limit holds; the solver
#    works to a feasibility tolerance of 1e-8, so tiny positive values are rounding. The limits are
#    imposed at the stations; between them they hold up to a discretization error that shrinks with N.
exceed_velocity, exceed_acceleration = robot.constraints.exceed_topp2(a)
at_stations = path.evaluate_up_to_2nd(s).dq * np.sqrt(a)[:, None]
peak_stations = np.max(np.abs(at_stations) / V_MAX)
peak_grid = np.max(np.abs(joint_velocity) / V_MAX)

print(f"qarn_py {q.__version__}: time-optimal motion along a {path.dim}-axis waypoint path")
print(f"  stations               {N}")
print(f"  duration               {duration:.4f} s")
print(f"  solve time             {solve_ms:.2f} ms (topp2_ra)")
print(f"  control grid           {len(s_grid)} samples, {DT * 1e3:g} ms apart")
print(f"  largest violation      {max(exceed_velocity, 0.0):.1e} (ds/dt)^2, "
      f"{max(exceed_acceleration, 0.0):.1e} rad/s^2")
print(f"  peak |dq/dt| / limit   {peak_stations:.6f} at the stations, {peak_grid:.6f} on the control grid")

# 6. The plot (optional): path speed against its velocity bound, and joint velocities over time.
try:
    import matplotlib
except ImportError:
    print("  plot                   needs matplotlib: .venv/bin/python -m pip install matplotlib")
else:
    matplotlib.use("Agg")  # write a file, no window
    import matplotlib.pyplot as plt

    # The velocity limits bound the path speed by ds/dt <= sqrt(amax(s)). At the two ends dq/ds goes to
    # zero, so the bound is infinite there and ds/dt may grow large while the joints still move slowly.
    speed_bound = np.sqrt(robot.constraints.amax_values())
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(9, 7), layout="constrained")
    top.plot(s, speed_bound, "k--", label="bound from the velocity limits")
    top.plot(s, np.sqrt(a), label="time-optimal ds/dt")
    top.set(xlabel="path parameter s", ylabel="ds/dt  [1/s]", title="Path speed",
            ylim=(0.0, 1.3 * np.sqrt(a).max()))
    top.legend(loc="upper center")
    bottom.plot(t_grid, joint_velocity / V_MAX, label=[f"joint {j + 1}" for j in range(path.dim)])
    bottom.axhline(1.0, color="k", linestyle="--")
    bottom.axhline(-1.0, color="k", linestyle="--")
    bottom.set(xlabel="time t  [s]", ylabel="(dq/dt) / velocity limit", title="Joint velocities against their limits",
               ylim=(-1.2, 1.2))
    bottom.legend(loc="center left", bbox_to_anchor=(1.0, 0.5))
    image = FilePath(__file__).resolve().parent.parent / "build" / "quickstart.png"
    image.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(image, dpi=110)
    print(f"  plot                   {image}")

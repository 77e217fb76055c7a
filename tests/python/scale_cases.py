"""Problems for the any-units checks: random multi-axis paths whose limits can be scaled in time
(velocity x k, acceleration x k^2) and in space (path and limits x c), and the measures the
checks apply to a delivered profile."""

from dataclasses import dataclass

import numpy as np

from qarn_py import _native as q


@dataclass
class Problem:
    robot: object
    s: np.ndarray
    d: object  # path derivatives at s
    v: np.ndarray
    acc: np.ndarray

    @property
    def n(self):
        return len(self.s)

    def topp2(self):
        return q.Topp2Problem(self.robot.constraints, (0, self.n - 1))

    def qarn2(self, objectives):
        return q.Qarn2Problem(self.robot, objectives, (0, self.n - 1))


def quintic_problem(waypoints, n, v, acc):
    """The default quintic path through `waypoints` sampled at n stations on [0, 1], with
    symmetric velocity and acceleration limits (scalars or one value per axis)."""
    waypoints = np.asarray(waypoints, dtype=float)
    dim = waypoints.shape[1]
    path = q.Path.from_waypoints(waypoints)
    robot = q.Robot(dim)
    s = np.linspace(0.0, 1.0, n)
    robot.append_s(s)
    robot.set_q_from_path_2nd(path, 0, n)
    v = np.array(np.broadcast_to(np.asarray(v, dtype=float), (dim,)))
    acc = np.array(np.broadcast_to(np.asarray(acc, dtype=float), (dim,)))
    robot.add_velocity_limits(v, -v, start_idx_s=0)
    robot.add_acceleration_limits(acc, -acc, start_idx_s=0)
    return Problem(robot, s, path.evaluate_up_to_2nd(s), v, acc)


def tour_robot(n, v=(2.0, 2.0, 3.0)):
    """The README tour's path at n stations on [0, 1] with its velocity (per axis, or a row per
    station), acceleration and jerk limits: the robot, s and the path."""
    path = q.Path.from_waypoints([[0.0, 0.0, 0.0], [0.6, -0.4, 0.9], [1.2, 0.3, 0.4], [0.8, 0.9, -0.2]])
    robot, s = q.Robot(3, capacity=n), np.linspace(0.0, 1.0, n)
    robot.append_s(s)
    robot.set_q_from_path_3rd(path, 0, n)
    for add, limit in zip((robot.add_velocity_limits, robot.add_acceleration_limits, robot.add_jerk_limits),
                          (np.asarray(v, dtype=float), np.array([5.0, 5.0, 8.0]), np.array([20.0, 20.0, 30.0]))):
        add(limit, -limit, start_idx_s=0)
    return robot, s, path


def random_case(seed, n=40):
    """Waypoints and per-axis limits of a random 2-7 axis problem."""
    rng = np.random.default_rng(seed)
    dim = int(rng.integers(2, 8))
    waypoints = rng.uniform(-1.0, 1.0, size=(int(rng.integers(3, 6)), dim))
    return waypoints, rng.uniform(0.5, 2.0, dim), rng.uniform(0.5, 4.0, dim), n


def scaled_problem(case, k=1.0, c=1.0):
    """The case with time scale k and space scale c applied: the profile a scales by k^2."""
    waypoints, v, acc, n = case
    return quintic_problem(np.asarray(waypoints) * c, n, v * k * c, acc * k * k * c)


def relative_excess(p, a):
    """Largest excess of any limit at the profile, relative to the size of the limit's own terms:
    a >= 0, |dq| sqrt(a) <= v, and |ddq a + dq b| <= acc at both stations of each interval."""
    a = np.asarray(a, dtype=float)
    worst = float(np.max(np.where(a < 0, 1.0, 0.0)))
    vel2 = p.d.dq**2 * a[:, None]
    worst = max(worst, float(np.max((vel2 - p.v**2) / p.v**2)))
    b = 0.5 * np.diff(a) / np.diff(p.s)
    for lo, hi in ((slice(0, -1), None), (slice(1, None), None)):
        load = p.d.ddq[lo] * a[lo, None] + p.d.dq[lo] * b[:, None]
        size = np.abs(p.d.ddq[lo] * a[lo, None]) + np.abs(p.d.dq[lo] * b[:, None]) + p.acc
        worst = max(worst, float(np.max((np.abs(load) - p.acc) / size)))
    return worst


def traversal_time(p, a):
    return float(q.s_to_t_topp2(p.s, a)[0])


def neighbouring_zeros(a):
    """Whether two neighbouring stations of the profile are both zero (a profile that never arrives)."""
    a = np.asarray(a)
    return bool(np.any((a[:-1] == 0.0) & (a[1:] == 0.0)))


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

"""Second-order problems shared by the solver tests: a straight line with a closed-form
time-optimal profile, and the waypoint path a first-time user would build."""

import numpy as np

from qarn_py import _native as q

LINE_LENGTH, LINE_V, LINE_ACC = 2.0, 1.0, 0.75
WAYPOINTS = np.array([[0.0, 0.0], [1.0, 0.5], [0.5, 1.5], [2.0, 2.0]])
V_MAX, ACC_MAX = np.array([1.0, 1.5]), np.array([2.0, 3.0])


def line_robot(n=41, length=LINE_LENGTH, v=LINE_V, acc=LINE_ACC, **kwargs):
    """One axis moving along q(s) = s on [0, length] with |dq/dt| <= v and |d2q/dt2| <= acc."""
    robot = q.Robot(1, **kwargs)
    s = np.linspace(0.0, length, n)
    robot.append_s(s)
    robot.set_q(s[:, None], np.ones((n, 1)), np.zeros((n, 1)), 0)
    robot.add_velocity_limits([v], [-v], start_idx_s=0)
    robot.add_acceleration_limits([acc], [-acc], start_idx_s=0)
    return robot


def line_optimum(s, length=LINE_LENGTH, v=LINE_V, acc=LINE_ACC):
    """Accelerate at the limit, cruise, brake: a = min(v^2, 2 acc s, 2 acc (L - s))."""
    return np.minimum(v * v, np.minimum(2 * acc * s, 2 * acc * (length - s)))


def waypoint_robot(n=1000, **kwargs):
    """The quintic spline through WAYPOINTS sampled at n stations, with velocity and acceleration
    limits; returns (robot, path, s)."""
    path = q.Path.from_waypoints(WAYPOINTS)
    robot = q.Robot(2, **kwargs)
    s = np.linspace(0.0, 1.0, n)
    robot.append_s(s)
    robot.set_q_from_path_2nd(path, 0, n)
    robot.add_velocity_limits(V_MAX, -V_MAX, start_idx_s=0)
    robot.add_acceleration_limits(ACC_MAX, -ACC_MAX, start_idx_s=0)
    return robot, path, s


def joint_motion(path, s, a):
    """Joint velocity and acceleration of a node profile: dq/dt = q' sqrt(a) at the stations and
    d2q/dt2 = q'' a + q' b with b per interval, at both stations of the interval (n-1 x dim each)."""
    d = path.evaluate_up_to_2nd(s)
    b = 0.5 * np.diff(a) / np.diff(s)
    velocity = d.dq * np.sqrt(a)[:, None]
    acc_start = d.ddq[:-1] * a[:-1, None] + d.dq[:-1] * b[:, None]
    acc_end = d.ddq[1:] * a[1:, None] + d.dq[1:] * b[:, None]
    return velocity, acc_start, acc_end

"""Third-order problems shared by the solver tests: one axis along a straight line with velocity,
acceleration and jerk limits, whose jerk-limited optimum has a closed form, and the re-linearized
TOPP3 LP that a user runs on it."""

import numpy as np

from qarn_py import _native as q

# q(s) = s on [0, 4] with v = 1, A = 1, J = 2: from rest to rest the jerk-limited optimum takes
# L / v + v / A + A / J = 5.5 s, the jerk-free one 5.0 s.
JERK_LINE = dict(length=4.0, v=1.0, acc=1.0, jerk=2.0)
JERK_LINE_TIME = 5.5


def jerk_line_robot(n=201, length=4.0, v=1.0, acc=1.0, jerk=2.0, module=q, **kwargs):
    """One axis moving along q(s) = s on [0, length]; returns (robot, s), a Robot of `module`."""
    robot = module.Robot(1, capacity=max(n, 1000), **kwargs)
    s = np.linspace(0.0, length, n)
    robot.append_s(s)
    robot.set_q(s[:, None], np.ones((n, 1)), np.zeros((n, 1)), 0, dddq=np.zeros((n, 1)))
    robot.add_velocity_limits([v], [-v], start_idx_s=0)
    robot.add_acceleration_limits([acc], [-acc], start_idx_s=0)
    robot.add_jerk_limits([jerk], [-jerk], start_idx_s=0)
    return robot, s


def relinearized_lp(constraints, n, passes=3, options=None):
    """The TOPP3 LP re-linearized around its own result, starting from topp2_ra; the last profile."""
    reference = q.topp2_ra(q.Topp2Problem(constraints, (0, n - 1)))
    for _ in range(passes):
        profile = q.topp3_lp(q.Topp3Problem(constraints, reference), options)
        reference = profile.a
    return profile

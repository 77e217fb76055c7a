"""Third-order problems shared by the solver tests: axes along a straight line with velocity,
acceleration and jerk limits, whose jerk-limited optimum has a closed form, paths stored in cases/,
and the re-linearized TOPP3 LP that a user runs on them."""

import pathlib

import numpy as np
from scipy.optimize import brentq

from qarn_py import _native as q

# q(s) = s on [0, 4] with v = 1, A = 1, J = 2: from rest to rest the jerk-limited optimum takes
# L / v + v / A + A / J = 5.5 s, the jerk-free one 5.0 s.
JERK_LINE = dict(length=4.0, v=1.0, acc=1.0, jerk=2.0)
JERK_LINE_TIME = 5.5


# A line of six axes whose motion is jerk-limited throughout (no acceleration limit reached);
# its length, then v, acceleration, deceleration and jerk per axis.
SIX_AXES = dict(
    direction=[0.007357567289722049, -0.36334275932867344, 0.008106968642670178, -0.3617595028721107,
               -0.48769732003645233, -0.37492943842283866],
    limits=(86.30131970769048,
            [18.93896114336827, 1689.9180445586053, 0.4943059891576819, 356.8969529784394, 307.1191878548983, 153.5899706943781],
            [9.936354853536349, 14001.103381456025, 1.0152231383312298, 101.39346429634135, 499.17490013851767, 489.94102109003666],
            [19.351281715743117, 29264.46828580223, 0.5675332465927675, 289.00778104258586, 1721.27834267975, 1232.2730958215357],
            [97.41390410272702, 12522.0334237456, 0.5006398251959412, 162764.3592629689, 51290.44415191576, 308.66274210093974]))


class LinePath:
    """q(s) = s * direction as a path evaluator."""

    def __init__(self, direction):
        self.direction = np.asarray(direction, float)
        self.dim = len(self.direction)

    def evaluate_up_to_3rd(self, s):
        s = np.asarray(s, float)[:, None]
        zero = np.zeros((len(s), self.dim))
        return s * self.direction, zero + self.direction, zero, zero


def jerk_line_robot(n=201, length=4.0, v=1.0, acc=1.0, jerk=2.0, module=q, dec=None, dim=1, direction=None,
                    **kwargs):
    """`dim` axes moving along q(s) = s / sqrt(dim) on [0, length] (the path s itself for one axis),
    or along q(s) = s * direction, each with the limits v, acc (dec when given below zero) and jerk
    (scalars, or one per axis); returns (robot, s), a Robot of `module`. Along s the limits are
    sqrt(dim) times those of one axis."""
    dim = dim if direction is None else len(direction)
    robot = module.Robot(dim, capacity=max(n, 1000), **kwargs)
    s = np.linspace(0.0, length, n)
    robot.append_s(s)
    dq, zero = np.full((n, dim), 1.0 / np.sqrt(dim)) if dim > 1 else np.ones((n, 1)), np.zeros((n, dim))
    dq = dq if direction is None else np.tile(direction, (n, 1))
    robot.set_q(s[:, None] * dq, dq, zero, 0, dddq=zero)
    axes = lambda x: np.array(np.broadcast_to(np.asarray(x, float), dim))
    robot.add_velocity_limits(axes(v), -axes(v), start_idx_s=0)
    robot.add_acceleration_limits(axes(acc), -axes(acc if dec is None else dec), start_idx_s=0)
    robot.add_jerk_limits(axes(jerk), -axes(jerk), start_idx_s=0)
    return robot, s


def double_s_time(length, v, acc, jerk, dec=None, v0=0.0, v1=0.0):
    """Time of the exact jerk-limited optimum along a line of the given length: from speed v0 to
    speed v1 (both with zero acceleration, and below the peak), |speed| <= v, acceleration within
    [-dec, acc] (dec = acc when not given), |jerk| <= jerk. It speeds up to a peak vp at the
    greatest rate, cruises and slows down: a change of speed dv from and to zero acceleration takes
    dv / A + A / J (A reached) or 2 sqrt(dv / J), covering the mean of its end speeds times that
    time. The time falls as vp grows, so vp is v when the ramps fit into the length and otherwise
    the root of their length (brentq)."""
    dec = acc if dec is None else dec
    ramp = lambda dv, a: dv / a + a / jerk if dv * jerk >= a * a else 2.0 * np.sqrt(dv / jerk)

    def ramps(vp):  # (time, distance) of speeding up to vp and slowing down from it
        up, down = ramp(vp - v0, acc), ramp(vp - v1, dec)
        return up + down, 0.5 * (v0 + vp) * up + 0.5 * (vp + v1) * down

    time, distance = ramps(v)
    if distance <= length:
        return time + (length - distance) / v
    peak = brentq(lambda vp: ramps(vp)[1] - length, max(v0, v1), v, xtol=1e-300, rtol=1e-15, maxiter=500)
    return ramps(peak)[0]


def limits_along_s(direction, v, acc, dec, jerk):
    """(v, acceleration, jerk, deceleration) along s of the line q(s) = s * direction whose axes have
    the limits v, acc (dec below zero) and jerk (scalars, or one per axis): the least over the axes
    of limit / |direction|, an axis moving against s accelerating within its deceleration limit."""
    direction = np.asarray(direction, float)
    along = lambda limit: np.min(np.broadcast_to(limit, direction.shape) / np.abs(direction))
    return (along(v), along(np.where(direction > 0, acc, dec)), along(jerk),
            along(np.where(direction > 0, dec, acc)))


def window_time_factors(s, profile):
    """(start, end): crossing the stationary window at a rest end of a profile takes factor * span /
    sqrt(a) of its junction: 3 wholly at constant jerk, towards 2 when the junction's a / (span |b|)
    = r lies in (1.5, 2) and the constant-jerk phase covers only the share 4 - 2 r of the span, and 2
    without a phase (r = 2 up to 5e-7 above)."""
    a, b, (k0, k1) = np.asarray(profile.a), np.asarray(profile.b), profile.num_stationary
    factors = []
    for j, edge in ((k0, 0), (len(a) - 1 - k1, len(a) - 1)):
        with np.errstate(divide="ignore", invalid="ignore"):
            r = a[j] / (b[j] * (s[j] - s[edge]))
        share = 4 - 2 * r
        share = share if 0 < share < 1 - 1e-6 else 0.0 if -1e-6 <= share <= 0 else 1.0
        m = 2 - share / 2
        factors.append(m + np.sqrt(1.5 * share * m))
    return tuple(factors)


def relinearized_lp(constraints, n, passes=3, options=None):
    """The TOPP3 LP re-linearized around its own result, starting from topp2_ra; the last profile."""
    reference = q.topp2_ra(q.Topp2Problem(constraints, (0, n - 1)))
    for _ in range(passes):
        profile = q.topp3_lp(q.Topp3Problem(constraints, reference), options)
        reference = profile.a
    return profile


def stored_path_robot(name):
    """(robot, s, (dq, ddq, dddq), (v, (a_upper, a_lower), j)) of cases/<name>.npz: the path's q, dq,
    ddq and dddq at the stations s stacked in Q, per-axis limits v and j (symmetric) and a (symmetric),
    or a_upper and a_lower."""
    c = np.load(pathlib.Path(__file__).parent / "cases" / f"{name}.npz")
    s, (path_q, *derivatives) = c["s"], c["Q"]
    acc = (c["a"], -c["a"]) if "a" in c else (c["a_upper"], c["a_lower"])
    robot = q.Robot(path_q.shape[1], capacity=len(s))
    robot.append_s(s)
    robot.set_q(path_q, derivatives[0], derivatives[1], 0, dddq=derivatives[2])
    robot.add_velocity_limits(c["v"], -c["v"], start_idx_s=0)
    robot.add_acceleration_limits(*acc, start_idx_s=0)
    robot.add_jerk_limits(c["j"], -c["j"], start_idx_s=0)
    return robot, s, tuple(derivatives), (c["v"], acc, c["j"])

"""Time conversions of both orders from Python: segment profile, arrival times and s sampled in time,
against closed-form motions, with the argument order, the keyword rule of the wrappers and the core's
messages; the positive-a repair of third-order profiles; faults found before, against values
computed independently."""

import importlib
import math
import pathlib
import sys

import mpmath
import numpy as np
import pytest

from qarn_py import _native as q

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
S3, A3 = [0.0, 0.5, 1.0], [1.0, 1.0, 1.0]


def constant_acceleration(n=21, v0=0.5, acc=0.8, length=2.0):
    """s(t) = v0 t + acc t^2 / 2: a = v0^2 + 2 acc s; returns (s, a, t(s))."""
    s = np.linspace(0.0, length, n)
    a = v0 * v0 + 2 * acc * s
    t = (np.sqrt(a) - v0) / acc
    return s, a, t


class TestAToB:
    def test_values(self):
        np.testing.assert_array_equal(q.a_to_b_topp2(S3, A3), [0.0, 0.0])
        np.testing.assert_array_equal(q.a_to_b_topp2(S3, [0.0, 1.0, 1.0]), [1.0, 0.0])
        s, a, _ = constant_acceleration()
        b = q.a_to_b_topp2(s, a)
        assert b.shape == (20,) and b.dtype == np.float64
        np.testing.assert_allclose(b, 0.8, rtol=1e-12)  # b = dds/dt is the constant acceleration

    def test_errors(self):
        with pytest.raises(q.QarnError) as info:
            q.a_to_b_topp2([0.0, 1.0], [1.0])
        assert str(info.value).startswith("a_to_b_topp2 reported an invalid input: ")
        with pytest.raises(q.QarnError, match="^a_to_b_topp2 reported an invalid input: "):
            q.a_to_b_topp2([0.0], [1.0])
        with pytest.raises(q.QarnError, match="strictly increasing; first violation at local index 1"):
            q.a_to_b_topp2([0.0, 1.0, 1.0], A3)
        with pytest.raises(ValueError, match="`s`"):
            q.a_to_b_topp2([[0.0, 1.0]], A3)
        with pytest.raises(ValueError, match="`a`"):
            q.a_to_b_topp2(S3, [[1.0], [1.0]])


class TestSToT:
    def test_closed_form_times(self):
        s, a, t = constant_acceleration()
        t_final, t_s = q.s_to_t_topp2(s, a)
        np.testing.assert_allclose(t_s, t, rtol=1e-12, atol=1e-15)
        assert t_final == t_s[-1] and t_s[0] == 0.0
        t_final, t_s = q.s_to_t_topp2(s, a, 2.0)
        assert t_s[0] == 2.0 and t_final == t_s[-1]
        np.testing.assert_allclose(t_s, t + 2.0, rtol=1e-12)
        result = q.s_to_t_topp2(s=s, a=a, t0=1)
        assert isinstance(result, tuple) and len(result) == 2 and isinstance(result[0], float)

    def test_t0_is_read_before_the_arrays(self):
        with pytest.raises(TypeError, match="^argument 't0': "):
            q.s_to_t_topp2([[1.0]], A3, t0="zero")
        with pytest.raises(ValueError, match="`s`"):
            q.s_to_t_topp2([[1.0]], A3, t0=0.0)

    def test_core_errors(self):
        with pytest.raises(q.QarnError, match="^s_to_t_topp2 reported an invalid input: "):
            q.s_to_t_topp2(S3, [1.0, -1.0, 1.0])
        with pytest.raises(q.QarnError, match="^s_to_t_topp2 reported an invalid input: "):
            q.s_to_t_topp2(S3, [0.0, 0.0, 1.0])  # standing still over an interval takes forever
        with pytest.raises(q.QarnError, match="t0 = NaN must not be NaN"):
            q.s_to_t_topp2(S3, A3, math.nan)
        with pytest.raises(q.QarnError, match="t0 = inf must not be infinite"):
            q.s_to_t_topp2(S3, A3, math.inf)


class TestTToS:
    def test_documented_example(self):
        _, t_s = q.s_to_t_topp2(S3, A3)
        np.testing.assert_allclose(q.t_to_s_topp2_uniform(S3, A3, t_s, 0.25), [0.0, 0.25, 0.5, 0.75, 1.0],
                                   atol=1e-15)
        np.testing.assert_allclose(q.t_to_s_topp2_uniform(S3, A3, t_s, 0.25, include_final=False),
                                   [0.0, 0.25, 0.5, 0.75], atol=1e-15)

    def test_closed_form_inverse(self):
        s, a, t = constant_acceleration()
        _, t_s = q.s_to_t_topp2(s, a)
        times = np.linspace(0.0, t[-1], 37)[:-1]
        expected = 0.5 * times + 0.4 * times ** 2
        np.testing.assert_allclose(q.t_to_s_topp2_samples(s, a, t_s, times), expected, rtol=1e-11, atol=1e-14)
        uniform = q.t_to_s_topp2_uniform(s, a, t_s, 0.1, t0=0.05)
        grid = 0.05 + 0.1 * np.arange(len(uniform) - 1)
        assert len(uniform) == math.floor((t[-1] - 0.05) / 0.1) + 1  # the grid, then the final station
        np.testing.assert_allclose(uniform[:-1], 0.5 * grid + 0.4 * grid ** 2, rtol=1e-11)
        assert uniform[-1] == s[-1]

    def test_out_of_range_queries_are_nan(self):
        _, t_s = q.s_to_t_topp2(S3, A3)
        out = q.t_to_s_topp2_samples(S3, A3, t_s, [-0.5, 0.5, 1.5])
        assert math.isnan(out[0]) and out[1] == pytest.approx(0.5) and math.isnan(out[2])
        assert math.isnan(q.t_to_s_topp2(S3, A3, t_s, t_sample=[2.0])[0])

    def test_wrapper_modes(self):
        s, a, _ = constant_acceleration()
        _, t_s = q.s_to_t_topp2(s, a)
        np.testing.assert_array_equal(q.t_to_s_topp2(s, a, t_s, dt=0.25), q.t_to_s_topp2_uniform(s, a, t_s, 0.25))
        np.testing.assert_array_equal(q.t_to_s_topp2(s, a, t_s, dt=0.25, t0=0.1, include_final=False),
                                      q.t_to_s_topp2_uniform(s, a, t_s, 0.25, t0=0.1, include_final=False))
        np.testing.assert_array_equal(q.t_to_s_topp2(s, a, t_s, t0=5.0, t_sample=[0.1, 0.2]),
                                      q.t_to_s_topp2_samples(s, a, t_s, [0.1, 0.2]))

    def test_wrapper_keyword_rule(self):
        _, t_s = q.s_to_t_topp2(S3, A3)
        required = "^`dt` is required unless `t_sample` is provided$"
        with pytest.raises(ValueError, match=required):
            q.t_to_s_topp2(S3, A3, t_s)
        with pytest.raises(ValueError, match=required):
            q.t_to_s_topp2(S3, A3, t_s, dt=None, t_sample=None)
        with pytest.raises(ValueError, match="^pass either `dt` for a uniform time grid or `t_sample` for a "
                                             "nonuniform grid, not both$"):
            q.t_to_s_topp2(S3, A3, t_s, dt=0.25, t_sample=[0.1])
        # The arrays are read before the mode is checked.
        with pytest.raises(ValueError, match="`t_s`"):
            q.t_to_s_topp2(S3, A3, [[0.0]])
        with pytest.raises(TypeError):
            q.t_to_s_topp2(S3, A3, t_s, 0.25)  # dt is keyword-only

    def test_argument_order_and_errors(self):
        _, t_s = q.s_to_t_topp2(S3, A3)
        # Scalars first, then s, a, t_s.
        with pytest.raises(TypeError, match="^argument 'dt': "):
            q.t_to_s_topp2_uniform([[0.0]], A3, t_s, "x")
        with pytest.raises(TypeError, match="^argument 'include_final': "):
            q.t_to_s_topp2_uniform([[0.0]], A3, t_s, 0.25, include_final=1)
        with pytest.raises(ValueError, match="`a`"):
            q.t_to_s_topp2_uniform(S3, [[1.0]], [[0.0]], 0.25)
        with pytest.raises(ValueError, match="`t_sample`"):
            q.t_to_s_topp2_samples(S3, A3, t_s, [[0.1]])
        with pytest.raises(q.QarnError, match=r"^t_to_s_topp2 reported an invalid input: `dt` = 0 must be positive$"):
            q.t_to_s_topp2_uniform(S3, A3, t_s, 0.0)
        with pytest.raises(q.QarnError, match="^t_to_s_topp2 reported an invalid input: "):
            q.t_to_s_topp2_samples(S3, A3, t_s, [])
        with pytest.raises(q.QarnError, match="^t_to_s_topp2 reported an invalid input: "):
            q.t_to_s_topp2_samples(S3, A3, t_s, [0.2, 0.1])
        with pytest.raises(q.QarnError, match="^t_to_s_topp2 reported an invalid input: "):
            q.t_to_s_topp2_uniform(S3, A3, [0.0, 1.0, 1.0], 0.25)


def constant_push(n=21, b=0.8, length=2.0):
    """From rest with dds/dt = b: a = 2 b s, t(s) = sqrt(2 s / b); returns (s, profile, t(s))."""
    s = np.linspace(0.0, length, n)
    return s, q.Profile3rd(2 * b * s, np.full(n, b)), np.sqrt(2 * s / b)


class TestThirdOrder:
    def test_closed_form_times_and_inverse(self):
        s, profile, t = constant_push()
        t_final, t_s = q.s_to_t_topp3(s, profile)
        np.testing.assert_allclose(t_s, t, rtol=1e-13, atol=1e-15)
        assert t_final == t_s[-1] and t_s[0] == 0.0
        assert q.s_to_t_topp3(s, profile, 2.0)[1][0] == 2.0
        times = np.linspace(0.0, t[-1], 29)[:-1]
        np.testing.assert_allclose(q.t_to_s_topp3_samples(s, profile, t_s, times), 0.4 * times ** 2,
                                   rtol=1e-12, atol=1e-15)
        np.testing.assert_allclose(q.t_to_s_topp3_samples(s, profile, t_s, t_s), s, rtol=1e-13)
        uniform = q.t_to_s_topp3_uniform(s, profile, t_s, 0.1)
        grid = 0.1 * np.arange(len(uniform) - 1)
        np.testing.assert_allclose(uniform[:-1], 0.4 * grid ** 2, rtol=1e-12, atol=1e-15)
        assert uniform[-1] == s[-1] and len(q.t_to_s_topp3_uniform(s, profile, t_s, 0.1, include_final=False)) == \
            len(uniform) - 1
        out = q.t_to_s_topp3_samples(s, profile, t_s, [-1.0, t_final + 1.0])
        assert np.isnan(out).all()

    def test_a_rest_window_whose_constant_jerk_phase_ends_inside_it(self):
        # From rest at jerk 6 for 0.5 (s = t^3), then at b = 3: the junction s = 0.875 with a = 5.0625
        # (a / (s b) = 27 / 14) at t = 1, and the free intervals after it at b = 3.
        s, t = np.array([0.0, 0.875, 1.375, 1.875]), np.linspace(0.0, 1.2, 49)
        profile = q.Profile3rd([0.0, 5.0625, 8.0625, 11.0625], [0.0, 3.0, 3.0, 3.0], (1, 0))
        motion = [np.where(t <= 0.5, t ** 3, 0.125 + 0.75 * (t - 0.5) + 1.5 * (t - 0.5) ** 2),
                  np.where(t <= 0.5, 3 * t ** 2, 0.75 + 3 * (t - 0.5)), np.minimum(6 * t, 3.0), 6.0 * (t <= 0.5)]
        _, t_s = q.s_to_t_topp3(s, profile)
        assert t_s[1] == pytest.approx(1.0, rel=1e-15)
        s_t = q.t_to_s_topp3_samples(s, profile, t_s, t)
        np.testing.assert_allclose(s_t, motion[0], rtol=1e-14, atol=1e-16)
        path_motion = importlib.import_module("joint_motion").path_motion(s, profile, s_t)
        for got, want in zip(path_motion, motion[1:]):
            np.testing.assert_allclose(got[t != 0.5], want[t != 0.5], rtol=1e-12, atol=1e-12)

    def test_wrapper(self):
        s, profile, _ = constant_push()
        _, t_s = q.s_to_t_topp3(s, profile)
        np.testing.assert_array_equal(q.t_to_s_topp3(s, profile, t_s, dt=0.25, t0=0.1),
                                      q.t_to_s_topp3_uniform(s, profile, t_s, 0.25, t0=0.1))
        np.testing.assert_array_equal(q.t_to_s_topp3(s, profile, t_s, t0=5.0, t_sample=[0.1, 0.2]),
                                      q.t_to_s_topp3_samples(s, profile, t_s, [0.1, 0.2]))
        with pytest.raises(ValueError, match="^`dt` is required unless `t_sample` is provided$"):
            q.t_to_s_topp3(s, profile, t_s, dt=None)
        with pytest.raises(ValueError, match="not both$"):
            q.t_to_s_topp3(s, profile, t_s, dt=0.25, t_sample=[0.1])
        with pytest.raises(ValueError, match="`t_s`"):  # the arrays are read before the mode is checked
            q.t_to_s_topp3(s, profile, [[0.0]])

    def test_argument_order_and_errors(self):
        s, profile, _ = constant_push()
        # The profile is checked before anything else, then the scalars, then the arrays.
        with pytest.raises(TypeError, match="^argument 'profile': 'list' object is not an instance of 'Profile3rd'$"):
            q.s_to_t_topp3([[0.0]], [1.0, 2.0])
        with pytest.raises(TypeError, match="^argument 't0': "):
            q.s_to_t_topp3([[0.0]], profile, "zero")
        with pytest.raises(TypeError, match="^argument 'dt': "):
            q.t_to_s_topp3_uniform([[0.0]], profile, [[0.0]], None)
        with pytest.raises(q.QarnError, match="^s_to_t_topp3 reported an invalid input: "):
            q.s_to_t_topp3(s[:-1], profile)
        with pytest.raises(q.QarnError, match="t0 = NaN must not be NaN"):
            q.s_to_t_topp3(s, profile, math.nan)
        _, t_s = q.s_to_t_topp3(s, profile)
        with pytest.raises(q.QarnError, match="^t_to_s_topp3 reported an invalid input: .*`dt` = 0 must be positive"):
            q.t_to_s_topp3_uniform(s, profile, t_s, 0.0)
        with pytest.raises(q.QarnError, match="^t_to_s_topp3 reported an invalid input: "):
            q.t_to_s_topp3_samples(s, profile, t_s, [])

    def test_force_positive_a(self):
        s = np.linspace(0.0, 1.0, 12)
        a, b = (s - 0.5) ** 2, s - 0.5  # the interpolated a touches zero at s = 0.5
        profile = q.Profile3rd(a, b)
        assert profile.force_positive_a(s) is True
        assert np.all(profile.a > 0.0)
        # Stations away from the repaired interval keep their values.
        np.testing.assert_array_equal(profile.a[:4], a[:4])
        assert q.Profile3rd(np.ones(12), np.zeros(12)).force_positive_a(s=s, a_min=1e-9) is True
        with pytest.raises(q.QarnError, match="^force_positive_a reported an invalid input: "):
            profile.force_positive_a(s[:-1])
        with pytest.raises(ValueError, match="`s`"):
            profile.force_positive_a([[0.0]])
        with pytest.raises(TypeError, match="^argument 'a_min': "):
            profile.force_positive_a(s, a_min="small")

    def test_profile_is_borrowed_exclusively_while_it_is_repaired(self):
        s = np.linspace(0.0, 1.0, 12)
        profile = q.Profile3rd(np.ones(12), np.zeros(12))

        class Grid:
            def __array__(self, dtype=None, copy=None):
                profile.a  # reading the profile while it is being repaired
                return s

        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            profile.force_positive_a(Grid())
        assert profile.force_positive_a(s) is True


def motion(s0, a0, b0, b1, h, t):
    """s at the time t from station s0 of a third-order interval (s''' = kappa s', 60 digits)."""
    mpmath.mp.dps = 60
    a0, b0, kappa, t = mpmath.mpf(a0), mpmath.mpf(b0), (mpmath.mpf(b1) - b0) / h, mpmath.mpf(t)
    r = mpmath.sqrt(abs(kappa))
    if kappa > 0:
        return float(s0 + (mpmath.sqrt(a0) * mpmath.sinh(r * t) + b0 / r * (mpmath.cosh(r * t) - 1)) / r)
    return float(s0 + (mpmath.sqrt(a0) * mpmath.sin(r * t) + b0 / r * (1 - mpmath.cos(r * t))) / r)


def dip_case(a0, b0, b1):
    """s on a fine grid over the first of two intervals of unit length (b constant on the second),
    and the 60-digit motion."""
    a1 = a0 + b0 + b1
    s, profile = [0.0, 1.0, 2.0], q.Profile3rd([a0, a1, a1 + 2 * b1], [b0, b1, b1])
    t_s = q.s_to_t_topp3(s, profile)[1]
    t = np.linspace(0.0, t_s[1], 2001)
    return q.t_to_s_topp3_samples(s, profile, t_s, t), [motion(0, a0, b0, b1, 1, x) for x in t]


def stationary(k, length, at):
    """s at the fraction `at` of the span on a profile of stationary ends around a constant a = (k length)^2."""
    s, profile = np.array([0.0, 1, 2, 3]) * length, q.Profile3rd(np.array([0, k * k, k * k, 0]) * length ** 2,
                                                                  [0.0] * 4, (1, 1))
    t_s = q.s_to_t_topp3(s, profile)[1]
    return q.t_to_s_topp3_samples(s, profile, t_s, [t_s[0] + at * (t_s[-1] - t_s[0])])[0]


def rest_to_rest(h, b):
    return q.s_to_t_topp3([0.0, h], q.Profile3rd([0.0, 0.0], [b, -b]))[0]


S7, SHAPED = np.linspace(0.0, 1.0, 7), q.Profile3rd([0, 0.5 ** (7 / 3), .5, .6, .5, 0.5 ** (7 / 3), 0],
                                                    [0, .5, .3, 0, -.3, -.5, 0], (2, 2))  # a_j x^(4/3), x = 1/2
# Reproducers of faults once found, with independent values: (what, computed, expected, rtol, atol).
A_DIP = 0.25 + 2 ** -54  # a(u) = (u - 0.5)^2 + 2^-54 on the first interval
FAULTS = [
    ("s ran backwards through a minimum of a 2^-54 deep", lambda: dip_case(A_DIP, -0.5, 0.5), None, 0, 1e-13),
    ("s passed s[1] slowing down to a = 1e-14 there", lambda: dip_case(1.0, -(1 - 1e-14), 0.0), None, 0, 1e-13),
    ("rest to rest over 2^600", lambda: rest_to_rest(2.0 ** 600, 2.0 ** -500),
     lambda: float(mpmath.pi * mpmath.sqrt(mpmath.mpf(2) ** 1099)), 4e-16, 0),
    ("rest to rest with b = 1e308", lambda: rest_to_rest(1.0, 1e308),
     lambda: float(mpmath.pi / mpmath.sqrt(2 * mpmath.mpf(1e308))), 4e-16, 0),
    ("rest to rest with b = 1e-160, h = 1e160", lambda: rest_to_rest(1e160, 1e-160),
     lambda: float(mpmath.pi * mpmath.sqrt(mpmath.mpf(1e160) / (2 * mpmath.mpf(1e-160)))), 4e-16, 0),
    ("stationary start at k = 2^-400", lambda: stationary(2.0 ** -400, 1.0, 1.5 / 7), 0.125, 1e-15, 0),
    ("stationary end at k = 2^400", lambda: stationary(2.0 ** 400, 1.0, 1.0), 3.0, 0, 0),
    ("stationary start at k = 1e-150, s up to 3e150", lambda: stationary(1e-150, 1e150, 1.5 / 7), 1.25e149, 1e-15, 0),
    ("stationary start at k = 2^500, s up to 3 * 2^-500", lambda: stationary(2.0 ** 500, 2.0 ** -500, 1.5 / 7),
     0.125 * 2.0 ** -500, 1e-15, 0),
    ("t -> s -> t through stationary stations", lambda: q.t_to_s_topp3_samples(S7, SHAPED, *[q.s_to_t_topp3(
        S7, SHAPED)[1]] * 2), S7, 1e-15, 1e-16),
    ("second-order grid 0.7 / 0.1", lambda: q.t_to_s_topp2_uniform([0, 0.35, 0.7], [1.0] * 3, [0, 0.35, 0.7], 0.1),
     np.arange(8) / 10, 0, 1e-15),
    ("third-order grid 0.7 / 0.1", lambda: q.t_to_s_topp3_uniform([0, 0.35, 0.7], q.Profile3rd([1.0] * 3, [0.0] * 3),
                                                                    [0, 0.35, 0.7], 0.1), np.arange(8) / 10, 0, 1e-15),
    ("grid ending before the profile begins", lambda: q.t_to_s_topp2_uniform(S3, A3, [10, 10.5, 11], 10.6),
     [math.nan], 0, 0),
    ("a NaN last sample appends nothing, second order", lambda: q.t_to_s_topp2_uniform(S3, A3, [5, 5.5, 6], 4),
     [math.nan], 0, 0),
    ("a NaN last sample appends nothing, third order", lambda: q.t_to_s_topp3_uniform(
        S3, q.Profile3rd(A3, [0.0] * 3), [5, 5.5, 6], 4), [math.nan], 0, 0),
]


@pytest.mark.parametrize("what, computed, expected, rtol, atol", FAULTS, ids=[f[0] for f in FAULTS])
def test_faults_found_before(what, computed, expected, rtol, atol):
    got = computed()
    if expected is None:  # (samples, motion): within the interval, non-decreasing and on the motion
        got, want = got
        assert np.all(np.diff(got) >= 0) and 0 <= got[0] and got[-1] <= 1
        np.testing.assert_allclose(got, want, rtol=rtol, atol=atol)
    else:
        np.testing.assert_allclose(got, expected() if callable(expected) else expected, rtol=rtol, atol=atol)


MESSAGE_FAULTS = [
    (lambda: q.s_to_t_topp3([0.0, 1, 2], q.Profile3rd([1.0, 1, 1], [-2.0, 0, 0])), q.QarnError,
     r"\(t = NaN\), num_stationary = \(0, 0\): a turns negative inside \[s\[0\], s\[1\]\] "
     r"\(`Profile3rd.force_positive_a` lifts such dips\)\n  \[0\] a = 1.000000, b = -2.000000, s = 0.000000"),
    (lambda: q.s_to_t_topp3([0.0, 1, 2], q.Profile3rd([1.0, 1e-9, 1], [-1.0, 0, 1])), q.QarnError,
     r"\n  \[1\] a = 1.000000e-9, b = 0.000000, s = 1.000000\n"),
    (lambda: q.Profile3rd([1.0], [0.0], num_stationary=(1, 1, 1)), ValueError,
     "^argument 'num_stationary': expected tuple of length 2, but got tuple of length 3$"),
    (lambda: q.t_to_s_topp2_uniform(S3, A3, [0.0, 0.5, 1.0], 1.0, t0=-1e300), q.QarnError,
     "`dt` = 1 gives 1e300 samples, more than the limit of 268435456$"),
]


@pytest.mark.parametrize("call, error, message", MESSAGE_FAULTS)
def test_messages_found_unclear_before(call, error, message):
    with pytest.raises(error, match=message):
        call()

"""The Robot class: construction and its errors, the shared store, path derivatives (by hand and
from a path), the four axial limits in their vector and matrix forms, and an end-to-end check of
the stored rows against a hand computation on a polynomial path."""

import math

import numpy as np
import pytest

from qarn_py import _native as q

ROW_MESSAGE = "`{}` has {} rows after layout conversion; expected {}"
OUT_OF_BOUNDS = "Some error occurred in the Constraint struct: Requested station interval is out of bounds: "


def robot_with_stations(dim=2, n=10, **kwargs):
    robot = q.Robot(dim, **kwargs)
    robot.append_s(np.linspace(0.0, 1.0, n))
    return robot


def store_derivatives(robot, dq, n):
    """Stores q = 0, the given constant dq and ddq = 1 at stations 0..n-1."""
    dim = robot.dim
    robot.set_q(np.zeros((n, dim)), np.tile(dq, (n, 1)), np.ones((n, dim)), 0)


class TestConstruction:
    def test_defaults_and_repr(self):
        robot = q.Robot(3)
        assert (robot.dim, robot.len, robot.capacity, robot.is_empty) == (3, 0, 1000, True)
        assert robot.idx_s_range == (0, 0)
        assert robot.has_inverse_dynamics is False
        assert len(robot) == 0
        assert repr(robot) == "Robot(dim=3, len=0, capacity=1000, has_inverse_dynamics=false)"
        assert repr(q.Robot(6)) == "Robot(dim=6, len=0, capacity=1000, has_inverse_dynamics=false)"

    def test_errors(self):
        with pytest.raises(ValueError, match="^`dim` must be a positive integer$"):
            q.Robot(0)
        with pytest.raises(ValueError, match="^`capacity` must be a positive integer or None$"):
            q.Robot(2, capacity=0)
        with pytest.raises(ValueError, match="^`dim` must be a positive integer$"):
            q.Robot(0, capacity=0)
        with pytest.raises(OverflowError):
            q.Robot(-1)
        with pytest.raises(TypeError, match="dim"):
            q.Robot(2.0)
        with pytest.raises(TypeError, match="capacity"):
            q.Robot(2, capacity="10")
        with pytest.raises(TypeError):
            q.Robot(2, 10)  # capacity is keyword-only
        with pytest.raises(ValueError, match="^`inverse_dynamics` must be a callable or define an "
                                             r"`inverse_dynamics\(q, dq, ddq\)` method$"):
            q.Robot(2, inverse_dynamics=5)
        # dim is checked before the callback.
        with pytest.raises(ValueError, match="`dim`"):
            q.Robot(0, inverse_dynamics=5)

    def test_point_mass(self):
        for robot in (q.Robot.point_mass(2, capacity=7), q.Robot(3).point_mass(2, capacity=7),
                      q.Robot(2, capacity=7, inverse_dynamics=None)):
            assert repr(robot) == "Robot(dim=2, len=0, capacity=7, has_inverse_dynamics=false)"
        with pytest.raises(TypeError):
            q.Robot.point_mass(2, inverse_dynamics=lambda *a: None)
        assert q.Robot.point_mass.__doc__.startswith("Construct an explicit point-mass robot")

    def test_callback_installation(self):
        robot = q.Robot(2, inverse_dynamics=lambda qq, dq, ddq: ddq)
        assert robot.has_inverse_dynamics
        assert repr(robot).endswith("has_inverse_dynamics=true)")
        robot.clear_inverse_dynamics()
        assert not robot.has_inverse_dynamics
        robot.clear_inverse_dynamics()  # harmless
        assert repr(robot).endswith("has_inverse_dynamics=false)")
        robot.set_inverse_dynamics(lambda qq, dq, ddq: ddq)
        assert robot.has_inverse_dynamics
        with pytest.raises(ValueError, match="^`inverse_dynamics` must be a callable"):
            robot.set_inverse_dynamics(None)
        assert robot.has_inverse_dynamics  # a refused callback changes nothing


class TestStations:
    def test_append_and_grow(self):
        robot = q.Robot(1, capacity=2)
        robot.append_s(np.arange(10.0))
        assert robot.len == len(robot) == 10
        assert robot.capacity >= 10
        assert robot.idx_s_range == (0, 10) and not robot.is_empty

    def test_append_errors(self):
        robot = robot_with_stations(n=3)
        with pytest.raises(q.ConstraintError, match=r"^Some error occurred in the Constraint struct: `s` must be "
                                                    r"strictly increasing; first violation at local index 0\.$"):
            robot.append_s([0.5])
        with pytest.raises(ValueError, match="^`s` must be convertible to a one-dimensional float64 array$"):
            robot.append_s([[2.0]])
        assert robot.len == 3

    def test_constraints_proxy_shares_the_store(self):
        robot = q.Robot(2)
        first, second = robot.constraints, robot.constraints
        assert first is not second
        first.append_s([0.0, 0.5])
        assert robot.len == 2 and second.len == 2
        robot.append_s([1.0])
        assert first.idx_s_range == (0, 3)
        del robot
        assert first.len == 3  # the state lives on with the proxy


class TestSetQ:
    def test_layouts_store_the_same_data(self):
        # Velocity limits read dq: amax = (upper / dq)^2 tells what was stored.
        dq = np.array([[1.0, -2.0], [0.5, 4.0], [2.0, 0.0]])  # three stations, two axes
        for layout, given in (("sample_major", dq), ("dim_major", dq.T)):
            robot = robot_with_stations(n=3)
            zeros = np.zeros_like(given)
            robot.set_q(zeros, given, zeros, 0, layout=layout)
            robot.add_velocity_limits([1.0, 1.0], [-1.0, -1.0], start_idx_s=0)
            np.testing.assert_allclose(robot.constraints.amax_values(), [0.25, 0.0625, 0.25])

    def test_shape_errors(self):
        robot = robot_with_stations(n=3)
        good = np.zeros((3, 2))
        with pytest.raises(ValueError) as info:
            robot.set_q(np.zeros((3, 3)), good, good, 0)
        assert str(info.value) == ROW_MESSAGE.format("q", 3, 2)
        with pytest.raises(ValueError) as info:
            robot.set_q(good.T, good, good.T, 0, layout="dim_major")
        assert str(info.value) == ROW_MESSAGE.format("dq", 3, 2)
        with pytest.raises(ValueError) as info:
            robot.set_q(good, good, good, 0, dddq=np.zeros((3, 1)))
        assert str(info.value) == ROW_MESSAGE.format("dddq", 1, 2)
        with pytest.raises(ValueError, match="^`ddq` must be convertible to a two-dimensional float64 array$"):
            robot.set_q(good, good, [0.0, 0.0], 0)
        with pytest.raises(q.ConstraintError, match="^Some error occurred in the Constraint struct: "
                                                    "Input dimensions do not match the expected shape.$"):
            robot.set_q(good, np.zeros((2, 2)), good, 0)
        with pytest.raises(q.ConstraintError, match=f"^{OUT_OF_BOUNDS}idx_s=2, len=3.$"):
            robot.set_q(good, good, good, 2)
        with pytest.raises(ValueError, match="^`layout` must be MatrixLayout.SAMPLE_MAJOR"):
            robot.set_q(good, good, good, 0, layout="columns")

    def test_jerk_limits_need_dddq(self):
        robot = robot_with_stations(n=3)
        zeros = np.zeros((3, 2))
        robot.set_q(zeros, np.ones((3, 2)), zeros, 0)
        with pytest.raises(q.ConstraintError, match="Required derivative data"):
            robot.add_jerk_limits([1.0, 1.0], [-1.0, -1.0], start_idx_s=0)
        robot.set_q(zeros, np.ones((3, 2)), zeros, 0, dddq=zeros)
        robot.add_jerk_limits([1.0, 1.0], [-1.0, -1.0], start_idx_s=0)


class TestLimitForms:
    @pytest.fixture
    def robot(self):
        robot = robot_with_stations(n=10)
        store_derivatives(robot, [1.0, 1.0], 10)
        return robot

    def amax(self, robot):
        return robot.constraints.amax_values()

    def test_vector_covers_the_rest_of_the_window(self, robot):
        robot.add_velocity_limits([1.0, 2.0], [-1.0, -2.0], start_idx_s=4)
        np.testing.assert_array_equal(self.amax(robot), [math.inf] * 4 + [1.0] * 6)

    def test_vector_with_length(self, robot):
        robot.add_velocity_limits([0.5, 2.0], [-1.0, -2.0], start_idx_s=4, length=3)
        np.testing.assert_array_equal(self.amax(robot), [math.inf] * 4 + [0.25] * 3 + [math.inf] * 3)

    def test_matrix_forms(self, robot):
        upper = np.column_stack([np.linspace(1.0, 2.0, 6), np.full(6, 5.0)])
        robot.add_velocity_limits(upper, -upper, start_idx_s=4)
        np.testing.assert_allclose(self.amax(robot)[4:], upper[:, 0] ** 2)
        other = robot_with_stations(n=10)
        store_derivatives(other, [1.0, 1.0], 10)
        other.add_velocity_limits(upper.T, -upper.T, start_idx_s=4, length=6, layout=" Dim-Major ")
        np.testing.assert_array_equal(self.amax(other), self.amax(robot))

    def test_each_limit_is_converted_once(self, robot):
        conversions = []

        class Limit:
            def __init__(self, values):
                self.values = values

            def __array__(self, dtype=None, copy=None):
                conversions.append(self.values.ndim)
                return np.asarray(self.values, dtype=dtype)

        upper = np.column_stack([np.linspace(1.0, 2.0, 6), np.full(6, 5.0)])
        robot.add_velocity_limits(Limit(upper), Limit(np.array([-1.0, -2.0])), start_idx_s=4)
        assert conversions == [2, 1]
        np.testing.assert_allclose(self.amax(robot)[4:], upper[:, 0] ** 2)

    def test_limit_errors(self, robot):
        with pytest.raises(ValueError) as info:
            robot.add_velocity_limits([1.0, 2.0, 3.0], [-1.0, -2.0], start_idx_s=4)
        assert str(info.value) == "`upper` must have length 2; got 3"
        with pytest.raises(ValueError) as info:
            robot.add_velocity_limits(np.ones((6, 2)), [-1.0, -2.0], start_idx_s=4, length=5)
        assert str(info.value) == "`length` is 5, but `upper` contains 6 station samples"
        with pytest.raises(ValueError) as info:
            robot.add_velocity_limits(np.ones((6, 3)), [-1.0, -2.0], start_idx_s=4)
        assert str(info.value) == "`upper` must be convertible to a one- or two-dimensional float64 array"
        with pytest.raises(ValueError) as info:
            robot.add_velocity_limits([1.0, 2.0], np.ones((2, 2, 2)), start_idx_s=4)
        assert str(info.value) == "`lower` must be convertible to a one- or two-dimensional float64 array"
        with pytest.raises(TypeError, match="start_idx_s"):
            robot.add_velocity_limits([1.0, 2.0], [-1.0, -2.0])
        with pytest.raises(ValueError, match="^`layout` must be a MatrixLayout value or a string$"):
            robot.add_velocity_limits([1.0, 2.0], [-1.0, -2.0], start_idx_s=0, layout=1)
        with pytest.raises(q.ConstraintError, match="`axial_acceleration` requires strict signed limits"):
            robot.add_acceleration_limits([1.0, 2.0], [1.0, -2.0], start_idx_s=0)
        with pytest.raises(q.ConstraintError, match=f"^{OUT_OF_BOUNDS}idx_s=8, len=3.$"):
            robot.add_velocity_limits([1.0, 2.0], [-1.0, -2.0], start_idx_s=8, length=3)
        # The window is checked before the vector is repeated: no overflow, no allocation.
        with pytest.raises(q.ConstraintError, match=f"^{OUT_OF_BOUNDS}idx_s=0, len={2 ** 62}.$"):
            robot.add_velocity_limits([1.0, 2.0], [-1.0, -2.0], start_idx_s=0, length=2 ** 62)
        with pytest.raises(q.ConstraintError, match="dimensions"):  # differing counts come before the window
            robot.add_velocity_limits([1.0, 2.0], -np.ones((3, 2)), start_idx_s=12)
        np.testing.assert_array_equal(self.amax(robot), [math.inf] * 10)  # nothing was applied

    def test_start_at_or_beyond_the_end(self, robot):
        robot.add_velocity_limits([1.0, 2.0], [-1.0, -2.0], start_idx_s=10)  # zero stations
        with pytest.raises(q.ConstraintError, match=f"^{OUT_OF_BOUNDS}idx_s=12, len=0.$"):
            robot.add_velocity_limits([1.0, 2.0], [-1.0, -2.0], start_idx_s=12)

    def test_dimmajor_spelling_and_scalar_for_one_axis(self):
        robot = robot_with_stations(dim=1, n=4)
        store_derivatives(robot, [2.0], 4)
        robot.add_velocity_limits(3.0, -1.0, start_idx_s=0, layout="DIMMAJOR")
        np.testing.assert_array_equal(robot.constraints.amax_values(), [2.25] * 4)


def polynomial_path(coefficients, n_points=6):
    """A quintic waypoint spline through the cubic polynomials q_i(s) = sum_p c[i, p] s^p on [0, 1]; with
    the exact end derivatives it reproduces them, so q', q'' are known by hand."""
    c = np.asarray(coefficients, dtype=float)
    poly = [np.polynomial.Polynomial(row) for row in c]
    x = np.linspace(0.0, 1.0, n_points)
    h = x[1] - x[0]
    points = np.column_stack([p(x) for p in poly])

    def state(at):
        return np.array([[h * p.deriv(1)(at), h ** 2 / 2 * p.deriv(2)(at)] for p in poly])

    path = q.Path.from_waypoints(points, order=5, start_state=state(0.0), end_state=state(1.0))
    dq = lambda s: np.column_stack([p.deriv(1)(s) for p in poly])  # noqa: E731
    ddq = lambda s: np.column_stack([p.deriv(2)(s) for p in poly])  # noqa: E731
    return path, dq, ddq


def expected_exceed(s, a, amax, dq, ddq, upper, lower):
    """exceed_topp2 by hand: 0 <= a <= amax, and lower <= ddq a + dq b <= upper at both ends of every
    interval with that interval's b = (a[k+1] - a[k]) / (2 (s[k+1] - s[k]))."""
    finite = np.isfinite(amax)
    exceed_1st = max(0.0, -a.min(), (a[finite] - amax[finite]).max(initial=-math.inf))
    b = 0.5 * np.diff(a) / np.diff(s)
    exceed_2nd = 0.0
    for k in range(len(s) - 1):
        for p in (k, k + 1):
            load = ddq[p] * a[p] + dq[p] * b[k]
            exceed_2nd = max(exceed_2nd, (load - upper).max(), (lower - load).max())
    return exceed_1st, exceed_2nd


class TestEndToEnd:
    COEFFICIENTS = [[0.1, 1.0, -0.5, 2.0], [-0.3, -2.0, 3.0, -0.5]]

    def test_path_to_rows(self):
        path, dq_of, ddq_of = polynomial_path(self.COEFFICIENTS)
        s = np.linspace(0.0, 1.0, 9)
        robot = q.Robot(2)
        robot.append_s(s)
        robot.set_q_from_path_2nd(path, 0, 9)
        v_upper, v_lower = np.array([1.5, 2.0]), np.array([-1.0, -3.0])
        a_upper, a_lower = np.array([4.0, 5.0]), np.array([-4.0, -6.0])
        robot.add_velocity_limits(v_upper, v_lower, start_idx_s=0)
        robot.add_acceleration_limits(a_upper, a_lower, start_idx_s=0)

        dq, ddq = dq_of(s), ddq_of(s)
        bound = np.where(dq > 0, v_upper / np.where(dq == 0, 1, dq), v_lower / np.where(dq == 0, 1, dq)) ** 2
        amax = bound.min(axis=1)
        np.testing.assert_allclose(robot.constraints.amax_values(), amax, rtol=1e-10)

        rng = np.random.default_rng(3)
        violated = set()
        for scale in (0.05, 0.5, 2.0):
            for _ in range(10):
                a = rng.uniform(0.0, scale, size=len(s)) * amax
                got = robot.constraints.exceed_topp2(a)
                want = expected_exceed(s, a, amax, dq, ddq, a_upper, a_lower)
                np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-12)
                violated.update(order for order in (0, 1) if want[order] > 0)
        assert violated == {0, 1}  # both orders were measured where they bind

    def test_third_order_samples_and_windows(self):
        path, dq_of, _ = polynomial_path(self.COEFFICIENTS)
        robot = q.Robot(2)
        robot.append_s(np.linspace(0.0, 1.0, 9))
        robot.constraints.pop_front_n(2)  # stations 2..8 remain
        robot.set_q_from_path_3rd(path, 3, 6)
        robot.add_jerk_limits([1.0, 1.0], [-1.0, -1.0], start_idx_s=3, length=3)
        with pytest.raises(q.ConstraintError, match="Required derivative data"):
            robot.add_velocity_limits([1.0, 1.0], [-1.0, -1.0], start_idx_s=2)
        robot.add_velocity_limits([1.0, 1.0], [-1.0, -1.0], start_idx_s=3, length=3)
        s = np.linspace(0.0, 1.0, 9)[3:6]
        expected = (1.0 / np.abs(dq_of(s))).min(axis=1) ** 2
        np.testing.assert_allclose(robot.constraints.amax_values(3, 6), expected, rtol=1e-10)

    def test_path_errors_and_windows(self):
        path, _, _ = polynomial_path(self.COEFFICIENTS)
        robot = q.Robot(2)
        robot.append_s([0.0, 0.5, 1.0, 1.5])
        with pytest.raises(q.PathError, match=r"s out of range \[0, 1\] at index 3: 1.5"):
            robot.set_q_from_path_2nd(path, 0, 4)
        with pytest.raises(q.ConstraintError, match=f"^{OUT_OF_BOUNDS}idx_s=2, len=3.$"):
            robot.set_q_from_path_2nd(path, 2, 5)
        with pytest.raises(q.ConstraintError, match=r"Requested interval is empty: 2 <= idx_s < 2\.$"):
            robot.set_q_from_path_3rd(path, 2, 2)
        with pytest.raises(TypeError, match="^argument 'path': 'Robot' object is not an instance of 'Path'$"):
            robot.set_q_from_path_2nd(robot, 0, 2)
        # Nothing was stored by the failures.
        with pytest.raises(q.ConstraintError, match="Required derivative data"):
            robot.add_velocity_limits([1.0, 1.0], [-1.0, -1.0], start_idx_s=0, length=3)
        with pytest.raises(q.ConstraintError, match="Input dimensions do not match the expected shape"):
            robot.set_q_from_path_2nd(q.Path.from_waypoints(np.zeros((3, 3))), 0, 2)

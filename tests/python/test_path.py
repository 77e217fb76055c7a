"""SplineConfig, the waypoint constructors of Path with their keyword and config rules, path
evaluation and PathDerivatives, against SciPy's make_interp_spline as an independent reference."""

import math

import numpy as np
import pytest
from scipy.interpolate import make_interp_spline

from qarn_py import _native as q

SPLINE_CONFLICT = "pass either a `SplineConfig` object or direct spline keyword options, not both"


def waypoints(n_points=6, dim=3, seed=7):
    return np.random.default_rng(seed).uniform(-2.0, 2.0, size=(n_points, dim))


class TestSplineConfig:
    def test_defaults_and_repr(self):
        config = q.SplineConfig()
        assert repr(config) == "SplineConfig(order=5, s_min=0, s_max=1, out_of_range=Error, parametrization=Uniform)"
        assert (config.order, config.s_min, config.s_max) == (5, 0.0, 1.0)
        assert config.out_of_range == q.OutOfRangeMode.ERROR
        assert config.parametrization == q.Parametrization.UNIFORM
        assert config.start_state is None and config.end_state is None

    def test_keywords_only(self):
        with pytest.raises(TypeError):
            q.SplineConfig(5)
        config = q.SplineConfig(order=3, s_min=-0.5, s_max=2.25, out_of_range=" CLAMP\n")
        assert repr(config) == ("SplineConfig(order=3, s_min=-0.5, s_max=2.25, out_of_range=Clamp, "
                                "parametrization=Uniform)")
        assert config.out_of_range == q.OutOfRangeMode.CLAMP

    def test_argument_errors_name_the_argument(self):
        with pytest.raises(OverflowError):
            q.SplineConfig(order=-1)
        with pytest.raises(TypeError, match="order"):
            q.SplineConfig(order=5.0)
        with pytest.raises(TypeError, match="s_min"):
            q.SplineConfig(s_min="0")
        with pytest.raises(ValueError, match="^`out_of_range` must be OutOfRangeMode.ERROR"):
            q.SplineConfig(out_of_range="wrap")
        with pytest.raises(ValueError, match="^`start_state` must be convertible to a two-dimensional float64 array$"):
            q.SplineConfig(start_state=[1.0, 2.0])
        # The first failing argument in conversion order is reported.
        with pytest.raises(ValueError, match="out_of_range"):
            q.SplineConfig(out_of_range="x", start_state=[1.0])

    def test_setters(self):
        config = q.SplineConfig()
        config.order = 4  # stored without checks
        assert config.order == 4
        config.s_min, config.s_max = -1, 3.5
        assert (config.s_min, config.s_max) == (-1.0, 3.5)
        config.out_of_range = "Clamp"
        assert config.out_of_range == q.OutOfRangeMode.CLAMP
        config.out_of_range = None
        assert config.out_of_range == q.OutOfRangeMode.ERROR
        config.parametrization = " UNIFORM "
        assert config.parametrization == q.Parametrization.UNIFORM
        with pytest.raises(ValueError, match=r'^`parametrization` must be Parametrization.UNIFORM or "uniform"$'):
            config.parametrization = "chordal"
        with pytest.raises(ValueError, match="^`parametrization` must be a Parametrization value or a string$"):
            config.parametrization = 0
        with pytest.raises(TypeError, match="order"):
            config.order = "5"
        assert config.order == 4  # a failed setter keeps the value
        with pytest.raises(AttributeError, match="^property has no deleter$"):
            del config.order

    def test_boundary_state_is_copied_both_ways(self):
        state = np.array([[1.0, 2.0], [3.0, 4.0]])
        config = q.SplineConfig(start_state=state)
        state[0, 0] = -7.0
        read = config.start_state
        np.testing.assert_array_equal(read, [[1.0, 2.0], [3.0, 4.0]])
        assert read.flags.c_contiguous and read.dtype == np.float64
        read[0, 0] = 100.0
        assert config.start_state[0, 0] == 1.0
        config.end_state = [[5.0, 6.0]]
        np.testing.assert_array_equal(config.end_state, [[5.0, 6.0]])
        config.end_state = None
        assert config.end_state is None

    def test_setter_borrows_before_converting(self, hooks):
        # A start_state whose conversion reads the config back while the setter holds it.
        config = q.SplineConfig()

        class Reads:
            def __array__(self, dtype=None, copy=None):
                config.order  # noqa: B018 - a shared borrow during the exclusive one
                return np.zeros((1, 1))

        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            config.start_state = Reads()
        assert config.start_state is None

    def test_number_setters_convert_before_borrowing(self):
        config = q.SplineConfig()

        class Seven:
            def __index__(self):
                return config.order + 2  # reading the config is fine: nothing is borrowed yet

        config.order = Seven()
        assert config.order == 7

    def test_even_order_fails_when_a_path_is_built(self):
        config = q.SplineConfig()
        config.order = 4
        with pytest.raises(q.PathError, match=r"^Some error occurred in the Path struct: "
                                              r"invalid spline order: 4, expected >= 3$"):
            q.Path.from_waypoints(waypoints(), config)


class TestPathConstruction:
    def test_no_constructor(self):
        with pytest.raises(TypeError):
            q.Path()

    def test_attributes(self):
        path = q.Path.from_waypoints(waypoints(5, 3))
        assert path.dim == 3
        assert path.s_range == (0.0, 1.0)
        assert type(path.s_range[0]) is float
        assert q.Path.from_waypoints(waypoints(5, 3), layout="dim_major").dim == 5
        with pytest.raises(AttributeError):
            path.dim = 4
        assert q.Path.__module__ == "qarn_py._native"

    def test_both_constructors_agree(self):
        s = np.linspace(0.0, 2.0, 17)
        kwargs = dict(order=3, s_min=0.0, s_max=2.0)
        a = q.Path.from_waypoints(waypoints(), **kwargs).evaluate_up_to_3rd(s)
        b = q.Path.from_waypoints_interpolating(waypoints(), **kwargs).evaluate_up_to_3rd(s)
        for name in ("q", "dq", "ddq", "dddq"):
            np.testing.assert_array_equal(getattr(a, name), getattr(b, name))
        assert q.Path.from_waypoints.__text_signature__ == q.Path.from_waypoints_interpolating.__text_signature__
        assert q.Path.from_waypoints.__doc__.startswith("Build a waypoint spline path.")
        assert "Equivalent alias for ``Path.from_waypoints_interpolating``" in q.Path.from_waypoints.__doc__
        assert q.Path.from_waypoints_interpolating.__doc__.startswith(
            "Build a waypoint spline path that interpolates every waypoint.")
        with pytest.raises(TypeError, match=r"^Path\.from_waypoints_interpolating\(\) got an unexpected keyword"):
            q.Path.from_waypoints_interpolating(waypoints(), degree=3)

    def test_config_and_keywords(self):
        config = q.SplineConfig(order=3, s_max=2.0)
        path = q.Path.from_waypoints(waypoints(), config, order=5, s_min=-0.0, parametrization="uniform")
        assert path.s_range == (0.0, 2.0)
        for bad in (dict(order=7), dict(s_min=math.nan), dict(s_max=2.0), dict(out_of_range="clamp"),
                    dict(start_state=np.zeros((3, 2)))):
            with pytest.raises(ValueError) as info:
                q.Path.from_waypoints(waypoints(), config, **bad)
            assert str(info.value) == SPLINE_CONFLICT
        with pytest.raises(TypeError, match="config"):
            q.Path.from_waypoints(waypoints(), config=q.Time(1.0))

    def test_config_is_copied(self):
        config = q.SplineConfig(order=3)
        path = q.Path.from_waypoints(waypoints(), config)
        reference = path.evaluate_q([0.3]).q
        config.s_max = 10.0
        config.order = 5
        np.testing.assert_array_equal(path.evaluate_q([0.3]).q, reference)
        assert path.s_range == (0.0, 1.0)

    def test_waypoint_conversion_comes_first(self):
        with pytest.raises(ValueError, match="^`waypoints` must be convertible to a two-dimensional float64 array$"):
            q.Path.from_waypoints([1.0, 2.0], q.SplineConfig(), order=7)
        with pytest.raises(ValueError, match="^`end_state` must be convertible"):
            q.Path.from_waypoints(waypoints(), q.SplineConfig(), order=7, end_state=[1.0])

    def test_path_errors(self):
        prefix = "Some error occurred in the Path struct: "
        with pytest.raises(q.PathError, match=f"^{prefix}not enough waypoints: 1, expected >= 2$"):
            q.Path.from_waypoints([[1.0, 2.0]])
        with pytest.raises(q.PathError, match=f"^{prefix}invalid dimension: 0$"):
            q.Path.from_waypoints(np.zeros((3, 0)))
        with pytest.raises(q.PathError, match=rf"^{prefix}invalid s range: \[1, 1\]$"):
            q.Path.from_waypoints(waypoints(), s_min=1.0, s_max=1.0)
        with pytest.raises(q.PathError, match=rf"^{prefix}invalid spline order: 1, expected >= 3$"):
            q.Path.from_waypoints(waypoints(), order=1)
        with pytest.raises(q.PathError, match=f"^{prefix}dimension mismatch$"):
            q.Path.from_waypoints(waypoints(dim=3), start_state=np.zeros((2, 2)))
        with pytest.raises(ValueError, match="^`layout` must be a MatrixLayout value or a string$"):
            q.Path.from_waypoints(waypoints(), layout=1)


def scipy_reference(points, order, s_min, s_max, start_deriv, end_deriv, s):
    """Value and three derivatives (n_queries, dim) of make_interp_spline with the end derivatives."""
    m = (order - 1) // 2
    x = np.linspace(s_min, s_max, len(points))
    out = np.empty((4, len(s), points.shape[1]))
    for axis in range(points.shape[1]):
        bc = ([(r, start_deriv[axis, r - 1]) for r in range(1, m + 1)],
              [(r, end_deriv[axis, r - 1]) for r in range(1, m + 1)])
        spline = make_interp_spline(x, points[:, axis], k=order, bc_type=bc)
        for nu in range(4):
            out[nu, :, axis] = spline(s, nu=nu)
    return out


def assert_close(actual, expected):
    scale = np.abs(expected).max()
    np.testing.assert_allclose(actual, expected, rtol=1e-10, atol=1e-10 * scale)


class TestScipyReference:
    @pytest.mark.parametrize("order", [3, 5])
    @pytest.mark.parametrize("layout", ["sample_major", "dim_major"])
    def test_values_and_derivatives(self, order, layout):
        rng = np.random.default_rng(order * 10 + len(layout))
        n_points, dim, s_min, s_max = 7, 3, -0.5, 2.0
        m = (order - 1) // 2
        h = (s_max - s_min) / (n_points - 1)
        points = rng.uniform(-2.0, 2.0, size=(n_points, dim))
        start_deriv = rng.uniform(-3.0, 3.0, size=(dim, m))
        end_deriv = rng.uniform(-3.0, 3.0, size=(dim, m))
        # Boundary states hold span-local Taylor coefficients h^r / r! * q^(r).
        taylor = np.array([h ** r / math.factorial(r) for r in range(1, m + 1)])
        s = np.concatenate([[s_min, s_max], np.linspace(s_min, s_max, n_points), rng.uniform(s_min, s_max, 30)])
        expected = scipy_reference(points, order, s_min, s_max, start_deriv, end_deriv, s)

        given = points if layout == "sample_major" else points.T.copy()
        path = q.Path.from_waypoints(given, order=order, s_min=s_min, s_max=s_max, start_state=start_deriv * taylor,
                                     end_state=end_deriv * taylor, layout=layout)
        result = path.evaluate_up_to_3rd(s)
        for nu, name in enumerate(("q", "dq", "ddq", "dddq")):
            array = getattr(result, name)
            assert array.dtype == np.float64 and array.flags.c_contiguous
            if layout == "sample_major":
                assert array.shape == (len(s), dim)
                assert_close(array, expected[nu])
            else:
                assert array.shape == (dim, len(s))
                assert_close(array, expected[nu].T)

    def test_zero_boundary_states_by_default(self):
        points = waypoints(5, 2)
        s = np.linspace(0.0, 1.0, 23)
        expected = scipy_reference(points, 3, 0.0, 1.0, np.zeros((2, 1)), np.zeros((2, 1)), s)
        path = q.Path.from_waypoints(points, q.SplineConfig(order=3))
        assert_close(path.evaluate_up_to_2nd(s).ddq, expected[2])


class TestEvaluation:
    @pytest.fixture
    def path(self):
        return q.Path.from_waypoints(waypoints(5, 3))

    def test_orders_present(self, path):
        s = [0.0, 0.5, 1.0]
        only_q = path.evaluate_q(s)
        assert only_q.dq is None and only_q.ddq is None and only_q.dddq is None
        second = path.evaluate_up_to_2nd(s)
        assert second.dq.shape == second.ddq.shape == (3, 3) and second.dddq is None
        third = path.evaluate_up_to_3rd(s)
        assert third.dddq.shape == (3, 3)
        np.testing.assert_array_equal(only_q.q, third.q)
        np.testing.assert_array_equal(second.ddq, third.ddq)

    def test_layouts_transpose(self):
        points = waypoints(5, 3)
        s = np.linspace(0.0, 1.0, 5)
        sample = q.Path.from_waypoints(points).evaluate_up_to_3rd(s)
        dim = q.Path.from_waypoints(points.T, layout=q.MatrixLayout.DIM_MAJOR).evaluate_up_to_3rd(s)
        assert sample.q.shape == (5, 3) and dim.q.shape == (3, 5)
        for name in ("q", "dq", "ddq", "dddq"):
            np.testing.assert_array_equal(getattr(dim, name), getattr(sample, name).T)
        # The waypoints are interpolated at the uniform knots.
        np.testing.assert_allclose(sample.q, points, rtol=0, atol=1e-13)

    def test_query_conversion(self, path):
        reference = path.evaluate_q([0.0, 1.0]).q
        np.testing.assert_array_equal(path.evaluate_q((0, 1)).q, reference)
        np.testing.assert_array_equal(path.evaluate_q(np.array([0, 1], dtype=np.int64)).q, reference)
        assert path.evaluate_q(0.5).q.shape == (1, 3)
        with pytest.raises(ValueError, match="^`s` must be convertible to a one-dimensional float64 array$"):
            path.evaluate_q([[0.5]])

    def test_empty_query(self, path):
        assert path.evaluate_up_to_3rd([]).dddq.shape == (0, 3)
        assert q.Path.from_waypoints(waypoints(5, 3), layout="dim_major").evaluate_q([]).q.shape == (5, 0)

    def test_out_of_range(self, path):
        with pytest.raises(q.PathError, match=r"^Some error occurred in the Path struct: "
                                              r"s out of range \[0, 1\] at index 0: 1.000000000002$"):
            path.evaluate_q([1.0 + 2e-12])
        inside = path.evaluate_q([1.0 + 5e-13, -5e-13]).q
        np.testing.assert_array_equal(inside, path.evaluate_q([1.0, 0.0]).q)
        clamped = q.Path.from_waypoints(waypoints(5, 3), out_of_range="clamp")
        np.testing.assert_array_equal(clamped.evaluate_q([-100.0, 7.0]).q, clamped.evaluate_q([0.0, 1.0]).q)
        assert np.isnan(path.evaluate_q([math.nan]).q).all()


class TestPathDerivatives:
    def test_getters_return_the_stored_arrays(self):
        result = q.Path.from_waypoints(waypoints()).evaluate_up_to_3rd([0.1, 0.2])
        for name in ("q", "dq", "ddq", "dddq"):
            assert getattr(result, name) is getattr(result, name)
        result.q[0, 0] = 123.0
        assert result.q[0, 0] == 123.0  # writes are seen by later reads

    def test_fixed_repr_and_no_constructor(self):
        path = q.Path.from_waypoints(waypoints())
        text = "PathDerivatives(q=<numpy.ndarray>, dq=..., ddq=..., dddq=...)"
        assert repr(path.evaluate_q([0.5])) == repr(path.evaluate_up_to_2nd([0.5])) == text
        assert repr(path.evaluate_up_to_3rd([0.5])) == text
        with pytest.raises(TypeError):
            q.PathDerivatives()

    def test_arrays_outlive_the_result(self):
        result = q.Path.from_waypoints(waypoints()).evaluate_up_to_2nd(np.linspace(0, 1, 50))
        ddq = result.ddq
        expected = ddq.copy()
        del result
        np.testing.assert_array_equal(ddq, expected)


def buffer_owner(array):
    """The object at the end of an array's base chain: what holds its memory."""
    while isinstance(array, np.ndarray):
        array = array.base
    return array


class TestLargeEvaluation:
    """80,000 queries of 7 axes fill 4.5 MB per array, past the 4 MiB from which sample buffers are
    allocated for huge pages; batches of 5,000 stay below it."""

    N, DIM, BATCH = 80_000, 7, 5_000
    NAMES = ("q", "dq", "ddq", "dddq")

    @pytest.mark.parametrize("layout", ["sample_major", "dim_major"])
    def test_arrays_own_their_buffers_and_match_small_batches(self, layout):
        points = waypoints(12, self.DIM)
        path = q.Path.from_waypoints(points if layout == "sample_major" else points.T.copy(), layout=layout)
        s = np.random.default_rng(5).uniform(0.0, 1.0, self.N)
        result = path.evaluate_up_to_3rd(s)
        arrays = [getattr(result, name) for name in self.NAMES]
        owners = [buffer_owner(array) for array in arrays]
        assert all(type(owner).__name__ == "_OwnedBuffer" for owner in owners)
        assert len({id(owner) for owner in owners}) == 4  # one buffer each, nothing shared
        for array in arrays:
            assert array.flags.c_contiguous and array.flags.writeable
            assert array.shape == ((self.N, self.DIM) if layout == "sample_major" else (self.DIM, self.N))
        if layout == "dim_major":  # the transposed copies of the sample-major arrays
            sample_major = q.Path.from_waypoints(points).evaluate_up_to_3rd(s)
            for name, array in zip(self.NAMES, arrays):
                np.testing.assert_array_equal(array, getattr(sample_major, name).T, err_msg=name)
        for start in range(0, self.N, self.BATCH):
            part = path.evaluate_up_to_3rd(s[start:start + self.BATCH])
            for name, array in zip(self.NAMES, arrays):
                window = slice(start, start + self.BATCH)
                whole = array[window] if layout == "sample_major" else array[:, window]
                np.testing.assert_array_equal(whole, getattr(part, name), err_msg=f"{name} from {start}")

    def test_queries_are_read_in_place_and_left_unchanged(self):
        path = q.Path.from_waypoints(waypoints(12, self.DIM))
        s = np.linspace(0.0, 1.0, self.N)
        s.flags.writeable = False
        kept = s.copy()
        dense = path.evaluate_up_to_2nd(s)
        np.testing.assert_array_equal(s, kept)
        # A strided view is made contiguous first; a read-only array is read as it is.
        strided = path.evaluate_up_to_2nd(s[::2])
        np.testing.assert_array_equal(strided.ddq, dense.ddq[::2])

    @pytest.mark.parametrize("order", ["2nd", "3rd"])
    def test_station_store_from_a_large_path(self, order):
        path = q.Path.from_waypoints(waypoints(12, self.DIM))
        s = np.linspace(0.0, 1.0, self.N)
        robot = q.Robot(self.DIM)
        robot.append_s(s)
        getattr(robot, f"set_q_from_path_{order}")(path, 0, self.N)
        v = np.full(self.DIM, 1.5)
        robot.add_velocity_limits(v, -v, start_idx_s=0)
        with np.errstate(divide="ignore"):  # the path rests at both ends: no velocity bound there
            expected = np.min((1.5 / np.abs(path.evaluate_up_to_2nd(s).dq)) ** 2, axis=1)
        np.testing.assert_allclose(robot.constraints.amax_values(), expected, rtol=1e-13)

"""Tolerance-fitted paths: the fit's guarantees (distance to the polyline, end points, the exact
interpolant of unselected axes against SciPy, derivatives), its report and failure texts,
SmoothingConfig and SmoothingReport, and Path.from_waypoints_fitting's keyword rules."""

import re

import numpy as np
import pytest
from scipy.interpolate import make_interp_spline, make_lsq_spline

from qarn_py import _native as q

SMOOTHING_CONFLICT = "pass either a `SmoothingConfig` object or direct smoothing keyword options, not both"
TOLERANCE_ERROR = "`tolerance` must be a float or a one-dimensional float64 array"
AXES_ERROR = "`axes` must be None or a sequence of nonnegative integers"
ZIGZAG = np.array([[0, 0], [1, 1], [2, 0], [3, 1], [4, 0], [5, 1]], float)


def noisy_waypoints(n=50, seed=3):
    rng = np.random.default_rng(seed)
    s = np.linspace(0.0, 1.0, n)
    clean = np.c_[np.sin(3 * s), np.cos(2 * s) - 1, 0.5 * s**2]
    return clean + rng.normal(0.0, 3e-4, clean.shape)


def budget_exceeded(stage, spans, budget):
    return (f"{stage} segment budget exceeded: {spans} spans needed, max_segments = {budget}; raise `max_segments`, "
            "or the tolerance above the noise of the waypoints")


def smoothing_failed(text):
    return pytest.raises(q.PathError, match="^" + re.escape("Some error occurred in the Path struct: "
                                                             "path smoothing failed: " + text) + "$")


class TestFitGuarantees:
    def test_noisy_waypoints_stay_within_the_tolerance_of_the_polyline(self):
        w = noisy_waypoints()
        path = q.Path.from_waypoints_fitting(w, tolerance=1e-3)
        report = path.smoothing_report
        assert report.axes == [0, 1, 2] and report.interpolated_segments == 0
        assert np.all(report.max_errors <= 1e-3)
        s = np.linspace(0.0, 1.0, 40001)
        q_fit = path.evaluate_q(s).q
        u = np.linspace(0.0, 1.0, len(w))
        for axis in range(3):
            deviation = np.abs(q_fit[:, axis] - np.interp(s, u, w[:, axis]))
            assert deviation.max() <= report.max_errors[axis] * (1 + 1e-9)
        ends = path.evaluate_q([0.0, 1.0]).q
        np.testing.assert_array_equal(ends[0], w[0])
        np.testing.assert_array_equal(ends[1], w[-1])

    def test_per_axis_tolerances_in_axes_order_and_physical_parameters(self):
        w = noisy_waypoints(seed=5)
        parameters = 2.0 + 3.0 * np.linspace(0.0, 1.0, len(w)) ** 1.5
        tolerance = [2e-3, 5e-4]
        path = q.Path.from_waypoints_fitting(w, tolerance=tolerance, axes=[2, 0], parameters=parameters)
        report = path.smoothing_report
        assert report.axes == [2, 0] and path.s_range == (2.0, 5.0)
        assert report.max_errors[0] <= tolerance[0] and report.max_errors[1] <= tolerance[1]
        s = np.linspace(2.0, 5.0, 20001)
        q_fit = path.evaluate_q(s).q
        for j, axis in enumerate([2, 0]):
            deviation = np.abs(q_fit[:, axis] - np.interp(s, parameters, w[:, axis]))
            assert deviation.max() <= tolerance[j]

    def test_unselected_axes_are_the_quintic_interpolant_with_resting_ends(self):
        w = noisy_waypoints()
        parameters = np.cumsum(np.r_[0.0, np.random.default_rng(8).uniform(0.5, 1.5, len(w) - 1)])
        path = q.Path.from_waypoints_fitting(w, axes=[0], parameters=parameters)
        report = path.smoothing_report
        assert report.interpolated_segments == len(w) - 1
        s = np.linspace(parameters[0], parameters[-1], 5001)
        d = path.evaluate_up_to_3rd(s)
        for axis in (1, 2):
            reference = make_interp_spline(parameters, w[:, axis], k=5,
                                           bc_type=([(1, 0.0), (2, 0.0)], [(1, 0.0), (2, 0.0)]))
            for nu, got in enumerate((d.q, d.dq, d.ddq, d.dddq)):
                want = reference(s, nu=nu)
                np.testing.assert_allclose(got[:, axis], want, rtol=0, atol=1e-9 * max(1.0, np.abs(want).max()))
        at_waypoints = path.evaluate_q(parameters).q
        np.testing.assert_allclose(at_waypoints[:, 1:], w[:, 1:], rtol=0, atol=1e-12)
        np.testing.assert_array_equal(at_waypoints[[0, -1]], w[[0, -1]])

    def test_derivatives_are_the_central_differences_of_the_order_below(self):
        w = noisy_waypoints(seed=11)
        path = q.Path.from_waypoints_fitting(w, tolerance=1e-3, axes=[0, 1])
        s = np.random.default_rng(4).uniform(0.01, 0.99, 300)
        h = 1e-6
        mid, plus, minus = (path.evaluate_up_to_3rd(s + d) for d in (0.0, h, -h))
        for low, high in (("q", "dq"), ("dq", "ddq"), ("ddq", "dddq")):
            difference = (getattr(plus, low) - getattr(minus, low)) / (2 * h)
            exact = getattr(mid, high)
            scale = np.abs(exact).max(axis=0)
            assert np.all(np.abs(difference - exact) <= 1e-6 * scale), (low, high)

    @pytest.mark.parametrize("n, noise", [(1000, 0.0), (10000, 5e-4)])
    def test_dense_waypoints_get_spans_only_where_the_audit_needs_them(self, n, noise):
        # A smooth curve needs a few quintic spans, not one per bend of its polyline; with noise of
        # half the tolerance the curve must follow the noise, within the default budget of spans.
        u = np.linspace(0.0, 1.0, n)
        w = np.c_[np.sin(3 * u), np.cos(2 * u) - 1, 0.5 * u**2] + np.random.default_rng(0).normal(0.0, noise, (n, 3))
        report = q.Path.from_waypoints_fitting(w, tolerance=1e-3).smoothing_report
        assert np.all(report.max_errors <= 1e-3)
        if noise == 0.0:
            fine = np.linspace(0.0, 1.0, 20001)
            polyline = np.column_stack([np.interp(fine, u, w[:, j]) for j in range(3)])
            for spans in range(1, 20):
                knots = np.r_[np.zeros(6), np.linspace(0.0, 1.0, spans + 1)[1:-1], np.ones(6)]
                if np.abs(make_lsq_spline(u, w, knots, k=5)(fine) - polyline).max() <= 0.5e-3:
                    break
            assert report.segments <= 4 * spans
        else:
            assert report.segments < n

    def test_two_waypoints_give_the_straight_line(self):
        w = np.array([[1.0, -2.0, 0.5], [3.0, 2.0, 0.5]])
        path = q.Path.from_waypoints_fitting(w, parameters=[1.0, 3.0])
        report = path.smoothing_report
        assert (report.segments, report.interpolated_segments, report.refinements, report.fitting_rows,
                report.checked_intervals) == (1, 0, 0, 0, 2)
        np.testing.assert_allclose(report.max_errors, 0.0, atol=1e-15)
        s = np.linspace(1.0, 3.0, 11)
        d = path.evaluate_up_to_3rd(s)
        np.testing.assert_allclose(d.q, w[0] + np.outer((s - 1.0) / 2.0, w[1] - w[0]), atol=1e-14)
        np.testing.assert_allclose(d.dq, np.tile((w[1] - w[0]) / 2.0, (11, 1)), atol=1e-13)
        np.testing.assert_allclose(d.ddq, 0.0, atol=1e-12)

    def test_collinear_waypoints_need_no_least_squares_pass(self):
        t = np.linspace(0.0, 1.0, 9)
        w = np.c_[t, 2 * t - 1]
        report = q.Path.from_waypoints_fitting(w).smoothing_report
        assert (report.segments, report.fitting_rows, report.refinements, report.checked_intervals) == (1, 0, 0, 16)

    def test_refinement_adds_spans_where_the_bound_is_not_met(self):
        report = q.Path.from_waypoints_fitting(ZIGZAG, tolerance=0.01).smoothing_report
        assert report.refinements > 0 and report.fitting_rows > 0
        # Initial and final audits of all five intervals plus the windows re-audited.
        assert report.checked_intervals > 10
        with smoothing_failed(budget_exceeded("refinement", report.segments, report.segments - 1)):
            q.Path.from_waypoints_fitting(ZIGZAG, tolerance=0.01, max_segments=report.segments - 1)

    def test_refinement_limit_reports_the_worst_ratio(self):
        with pytest.raises(q.PathError, match=r"refinement limit reached; error/tolerance=(\d+\.\d+)$") as raised:
            q.Path.from_waypoints_fitting(ZIGZAG, tolerance=0.01, max_refinements=0)
        assert float(re.search(r"=(\d+\.\d+)$", str(raised.value)).group(1)) > 0.99


class TestFitFailures:
    @pytest.mark.parametrize("waypoints, keywords, text", [
        ([[0.0, np.nan], [1.0, 1.0]], {}, "expected finite (dim, n_points) matrix, dim > 0, n_points >= 2"),
        ([[0.0, 1.0]], {}, "expected finite (dim, n_points) matrix, dim > 0, n_points >= 2"),
        (np.zeros((3, 0)), {}, "expected finite (dim, n_points) matrix, dim > 0, n_points >= 2"),
        (ZIGZAG, {"axes": []}, "axes must not be empty"),
        (ZIGZAG, {"axes": [0, 0]}, "axes must be distinct valid indices"),
        (ZIGZAG, {"axes": [2]}, "axes must be distinct valid indices"),
        (ZIGZAG, {"tolerance": 0.0}, "positive tolerance required for each selected axis"),
        (ZIGZAG, {"tolerance": -1e-3}, "positive tolerance required for each selected axis"),
        (ZIGZAG, {"tolerance": np.nan}, "positive tolerance required for each selected axis"),
        (ZIGZAG, {"tolerance": [1e-3]}, "positive tolerance required for each selected axis"),
        (ZIGZAG, {"parameters": [0, 1, 1, 2, 3, 4]}, "parameters must be finite, strictly increasing and match "
                                                     "the point count"),
        (ZIGZAG, {"parameters": [0, 1, 2]}, "parameters must be finite, strictly increasing and match the point count"),
        (ZIGZAG, {"parameters": [0, 1, 2, 3, 4, np.inf]}, "parameters must be finite, strictly increasing and match "
                                                          "the point count"),
        (ZIGZAG[:2], {"parameters": [-1e308, 1e308]}, "parameter range cannot be represented reliably"),
        # The range's width is finite but its inverse is not: derivatives would be infinite.
        (ZIGZAG[:2], {"parameters": [0.0, 1e-310]}, "parameter range cannot be represented reliably"),
        (ZIGZAG[:3], {"parameters": [0.0, 1e-320, 1e300]}, "parameter range cannot be represented reliably"),
        ([[0.0], [1e308]], {"tolerance": 1e-10}, "coordinate/tolerance scale overflow"),
        # Four sharp corners, three knots each.
        (ZIGZAG, {"tolerance": 0.01, "max_segments": 0}, budget_exceeded("initial", 13, 0)),
    ])
    def test_each_check_has_its_text(self, waypoints, keywords, text):
        with smoothing_failed(text):
            q.Path.from_waypoints_fitting(waypoints, **keywords)

    @pytest.mark.parametrize("parameters", [[0, 1e-300, 2e-300, 1], [0, 5e-324, 1e-323, 1], [0, 1e-12, 2e-12, 1]])
    def test_tiny_parameter_steps_end_in_a_path_error(self, parameters):
        # Slopes overflow here; the fit must neither hang nor produce NaN knots.
        w = np.array([[0.0, 0.0], [1000.0, -1e300], [2000.0, 1e300], [0.0, 0.0]])
        with pytest.raises(q.PathError, match="path smoothing failed"):
            q.Path.from_waypoints_fitting(w, parameters=parameters, tolerance=[1e-3, 1e290], max_refinements=200,
                                          max_segments=10**6)


class TestFittedPathEvaluation:
    def test_query_range_rules(self):
        w = noisy_waypoints()
        strict = q.Path.from_waypoints_fitting(w, parameters=np.linspace(0.0, 2.0, len(w)))
        clamping = q.Path.from_waypoints_fitting(w, parameters=np.linspace(0.0, 2.0, len(w)), out_of_range="clamp")
        np.testing.assert_array_equal(strict.evaluate_q([2.0 + 5e-13]).q, strict.evaluate_q([2.0]).q)
        with pytest.raises(q.PathError, match=re.escape("s out of range [0, 2] at index 1: 2.000000000002")):
            strict.evaluate_q([1.0, 2.0 + 2e-12, 5.0])
        np.testing.assert_array_equal(clamping.evaluate_q([-3.0, 7.0]).q, clamping.evaluate_q([0.0, 2.0]).q)
        for bad in (np.nan, np.inf):
            for path in (strict, clamping):
                with pytest.raises(q.PathError, match="at index 0"):
                    path.evaluate_q([bad])
        assert strict.evaluate_up_to_2nd([]).q.shape == (0, 3)

    def test_layout_and_report_objects(self):
        w = noisy_waypoints()
        dim_major = q.Path.from_waypoints_fitting(w.T, layout="dim_major")
        assert dim_major.dim == 3
        d = dim_major.evaluate_q([0.0, 0.5])
        assert d.q.shape == (3, 2)
        np.testing.assert_array_equal(d.q.T, q.Path.from_waypoints_fitting(w).evaluate_q([0.0, 0.5]).q)
        assert dim_major.smoothing_report is not dim_major.smoothing_report
        assert q.Path.from_waypoints(w).smoothing_report is None
        with pytest.raises(TypeError):
            q.SmoothingReport()
        report = q.Path.from_waypoints_fitting(ZIGZAG[:2]).smoothing_report
        assert repr(report) == ("SmoothingReport(axes=[0, 1], segments=1, interpolated_segments=0, refinements=0, "
                                "max_errors=[0.0, 0.0])")
        assert isinstance(report.max_errors, np.ndarray) and report.max_errors.dtype == np.float64
        with pytest.raises(AttributeError):
            report.segments = 3

class TestSmoothingConfig:
    def test_defaults_and_repr(self):
        config = q.SmoothingConfig()
        assert repr(config) == ("SmoothingConfig(tolerance=0.001, axes=None, parameters=None, max_refinements=20, "
                                "max_segments=20000, out_of_range=Error)")
        assert config.tolerance == 0.001 and isinstance(config.tolerance, float)
        assert config.axes is None and config.parameters is None
        assert (config.max_refinements, config.max_segments) == (20, 20000)
        assert config.out_of_range == q.OutOfRangeMode.ERROR

    @pytest.mark.parametrize("tolerance", [np.float64(0.002), np.array(0.002), 0.002, 2e-3])
    def test_scalar_tolerances_are_one_value(self, tolerance):
        config = q.SmoothingConfig(tolerance=tolerance)
        assert isinstance(config.tolerance, float) and config.tolerance == 0.002

    def test_setters(self):
        config = q.SmoothingConfig()
        config.tolerance = [1.0, 2e-5]
        config.axes = (2, 0)
        config.parameters = [0.0, 1.0]
        config.max_refinements = 4
        config.max_segments = 5
        config.out_of_range = " Clamp "
        assert repr(config) == ("SmoothingConfig(tolerance=[1.0, 2e-5], axes=[2, 0], parameters=<2 values>, "
                                "max_refinements=4, max_segments=5, out_of_range=Clamp)")
        np.testing.assert_array_equal(config.tolerance, [1.0, 2e-5])
        np.testing.assert_array_equal(config.parameters, [0.0, 1.0])
        assert config.axes == [2, 0] and config.out_of_range == q.OutOfRangeMode.CLAMP
        config.tolerance = None
        config.axes = None
        config.parameters = None
        config.out_of_range = None
        assert repr(config) == ("SmoothingConfig(tolerance=0.001, axes=None, parameters=None, max_refinements=4, "
                                "max_segments=5, out_of_range=Error)")
        with pytest.raises(ValueError, match=f"^{re.escape(AXES_ERROR)}$"):
            config.axes = "01"
        assert config.axes is None
        with pytest.raises(OverflowError):
            config.max_segments = -1
        assert config.max_segments == 5

    @pytest.mark.parametrize("keywords, error, text", [
        ({"tolerance": [[1e-3]]}, ValueError, TOLERANCE_ERROR),
        ({"tolerance": "abc"}, ValueError, TOLERANCE_ERROR),
        ({"axes": [-1]}, ValueError, AXES_ERROR),
        ({"axes": "0"}, ValueError, AXES_ERROR),
        ({"axes": 3}, ValueError, AXES_ERROR),
        ({"axes": [0.5]}, ValueError, AXES_ERROR),
        ({"parameters": [[0.0]]}, ValueError, "`parameters` must be convertible to a one-dimensional float64 array"),
        ({"out_of_range": "wrap"}, ValueError, "`out_of_range` must be OutOfRangeMode.ERROR"),
    ])
    def test_conversion_errors(self, keywords, error, text):
        with pytest.raises(error, match="^" + re.escape(text)):
            q.SmoothingConfig(**keywords)

    def test_conversion_order_and_checks_left_to_the_fit(self):
        # tolerance is converted before the budgets, axes after them.
        with pytest.raises(ValueError, match=re.escape(TOLERANCE_ERROR)):
            q.SmoothingConfig(tolerance=[[1.0]], max_refinements=1.5)
        with pytest.raises(TypeError, match="max_refinements"):
            q.SmoothingConfig(axes="x", max_refinements=1.5)
        with smoothing_failed("axes must not be empty"):
            q.Path.from_waypoints_fitting(ZIGZAG, q.SmoothingConfig(axes=[]))


class Raising:
    """Raises `error` from NumPy's array conversion and from sequence access."""

    def __init__(self, error):
        self.error = error

    def __array__(self, dtype=None, copy=None):
        raise self.error

    def __len__(self):
        return 2

    def __getitem__(self, index):
        raise self.error


class TestConversionFailures:
    @pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), MemoryError()])
    def test_interrupts_exits_and_memory_errors_pass_unchanged(self, error):
        for keywords in ({"tolerance": Raising(error)}, {"axes": Raising(error)}):
            with pytest.raises(type(error)) as raised:
                q.SmoothingConfig(**keywords)
            assert raised.value is error
            with pytest.raises(type(error)):
                q.Path.from_waypoints_fitting(ZIGZAG, **keywords)

    @pytest.mark.parametrize("error", [RuntimeError("no"), TypeError("no"), ValueError("no")])
    def test_ordinary_exceptions_become_the_value_error(self, error):
        with pytest.raises(ValueError, match=f"^{re.escape(TOLERANCE_ERROR)}$"):
            q.SmoothingConfig(tolerance=Raising(error))
        with pytest.raises(ValueError, match=f"^{re.escape(AXES_ERROR)}$"):
            q.SmoothingConfig(axes=Raising(error))


class TestFittingKeywords:
    def test_config_with_default_keywords_is_used(self):
        config = q.SmoothingConfig(tolerance=0.02, max_refinements=7)
        path = q.Path.from_waypoints_fitting(ZIGZAG, config, tolerance=0.001, max_refinements=20,
                                             max_segments=20000, out_of_range="error")
        reference = q.Path.from_waypoints_fitting(ZIGZAG, tolerance=0.02, max_refinements=7)
        s = np.linspace(0.0, 1.0, 33)
        np.testing.assert_array_equal(path.evaluate_q(s).q, reference.evaluate_q(s).q)
        # The path keeps a copy: later changes of the config do not reach it.
        config.tolerance = 0.5
        np.testing.assert_array_equal(path.evaluate_q(s).q, reference.evaluate_q(s).q)

    @pytest.mark.parametrize("keywords", [{"tolerance": [0.001]}, {"tolerance": 0.002}, {"axes": [0]},
                                          {"parameters": np.arange(6.0)}, {"max_refinements": 21},
                                          {"max_segments": 5}, {"out_of_range": "clamp"}])
    def test_config_and_other_keywords_conflict(self, keywords):
        with pytest.raises(ValueError, match=f"^{re.escape(SMOOTHING_CONFLICT)}$"):
            q.Path.from_waypoints_fitting(ZIGZAG, q.SmoothingConfig(), **keywords)

    def test_keyword_conversions(self):
        assert q.Path.from_waypoints_fitting(ZIGZAG, tolerance=None).smoothing_report.axes == [0, 1]
        with pytest.raises(ValueError, match=f"^{re.escape(TOLERANCE_ERROR)}$"):
            q.Path.from_waypoints_fitting(ZIGZAG, tolerance=[[0.1]])
        with pytest.raises(ValueError, match=f"^{re.escape(AXES_ERROR)}$"):
            q.Path.from_waypoints_fitting(ZIGZAG, axes="1")
        with pytest.raises(TypeError):
            q.Path.from_waypoints_fitting(ZIGZAG, q.SplineConfig())
        with pytest.raises(ValueError, match="`waypoints` must be convertible"):
            q.Path.from_waypoints_fitting([1.0, 2.0])

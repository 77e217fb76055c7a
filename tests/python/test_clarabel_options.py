"""Conic-solver settings and options from Python: the 39 ClarabelSettings fields with their
defaults, conversions and text forms, ClarabelOptions with its copy semantics, what reaches the
solver (method, log, acceptance flags), and ClarabelLinearSolverInfo."""

import inspect
import math

import numpy as np
import pytest

from qarn_py import _native as q
from second_order_cases import line_robot

M = q.ClarabelDirectSolveMethod

# Name, default and kind of every setting, in order: Clarabel's defaults except equilibrate_max_iter
# (20, not 10) and verbose (False).
FIELDS = [
    ("max_iter", 200, "u32"), ("time_limit", math.inf, "f64"), ("verbose", False, "bool"),
    ("max_step_fraction", 0.99, "f64"), ("tol_gap_abs", 1e-8, "f64"), ("tol_gap_rel", 1e-8, "f64"),
    ("tol_feas", 1e-8, "f64"), ("tol_infeas_abs", 1e-8, "f64"), ("tol_infeas_rel", 1e-8, "f64"),
    ("tol_ktratio", 1e-6, "f64"), ("reduced_tol_gap_abs", 5e-5, "f64"), ("reduced_tol_gap_rel", 5e-5, "f64"),
    ("reduced_tol_feas", 1e-4, "f64"), ("reduced_tol_infeas_abs", 5e-12, "f64"),
    ("reduced_tol_infeas_rel", 5e-5, "f64"), ("reduced_tol_ktratio", 1e-4, "f64"),
    ("equilibrate_enable", True, "bool"), ("equilibrate_max_iter", 20, "u32"),
    ("equilibrate_min_scaling", 1e-4, "f64"), ("equilibrate_max_scaling", 1e4, "f64"),
    ("linesearch_backtrack_step", 0.8, "f64"), ("min_switch_step_length", 0.1, "f64"),
    ("min_terminate_step_length", 1e-4, "f64"), ("max_threads", 0, "u32"), ("direct_kkt_solver", True, "bool"),
    ("direct_solve_method", M.AUTO, "method"), ("static_regularization_enable", True, "bool"),
    ("static_regularization_constant", 1e-8, "f64"), ("static_regularization_proportional", 2.0 ** -104, "f64"),
    ("dynamic_regularization_enable", True, "bool"), ("dynamic_regularization_eps", 1e-13, "f64"),
    ("dynamic_regularization_delta", 2e-7, "f64"), ("iterative_refinement_enable", True, "bool"),
    ("iterative_refinement_reltol", 1e-13, "f64"), ("iterative_refinement_abstol", 1e-12, "f64"),
    ("iterative_refinement_max_iter", 10, "u32"), ("iterative_refinement_stop_ratio", 5.0, "f64"),
    ("presolve_enable", True, "bool"), ("input_sparse_dropzeros", False, "bool"),
]

DEFAULT_DEBUG = (
    "PyClarabelSettings { max_iter: 200, time_limit: inf, verbose: false, max_step_fraction: 0.99, "
    "tol_gap_abs: 1e-8, tol_gap_rel: 1e-8, tol_feas: 1e-8, tol_infeas_abs: 1e-8, tol_infeas_rel: 1e-8, "
    "tol_ktratio: 1e-6, reduced_tol_gap_abs: 5e-5, reduced_tol_gap_rel: 5e-5, reduced_tol_feas: 0.0001, "
    "reduced_tol_infeas_abs: 5e-12, reduced_tol_infeas_rel: 5e-5, reduced_tol_ktratio: 0.0001, "
    "equilibrate_enable: true, equilibrate_max_iter: 20, equilibrate_min_scaling: 0.0001, "
    "equilibrate_max_scaling: 10000.0, linesearch_backtrack_step: 0.8, min_switch_step_length: 0.1, "
    "min_terminate_step_length: 0.0001, max_threads: 0, direct_kkt_solver: true, direct_solve_method: Auto, "
    "static_regularization_enable: true, static_regularization_constant: 1e-8, "
    "static_regularization_proportional: 4.930380657631324e-32, dynamic_regularization_enable: true, "
    "dynamic_regularization_eps: 1e-13, dynamic_regularization_delta: 2e-7, iterative_refinement_enable: true, "
    "iterative_refinement_reltol: 1e-13, iterative_refinement_abstol: 1e-12, iterative_refinement_max_iter: 10, "
    "iterative_refinement_stop_ratio: 5.0, presolve_enable: true, input_sparse_dropzeros: false }")

FLAGS = ["allow_almost_solved", "allow_max_iterations", "allow_max_time", "allow_callback_terminated",
         "allow_insufficient_progress"]


def settings_values(settings):
    return [getattr(settings, name) for name, _, _ in FIELDS]


def line_problem(n=41):
    robot = line_robot(n)
    return robot, q.Qarn2Problem(robot, q.Time(1.0), (0, n - 1))


class TestClarabelSettings:
    def test_defaults_and_signature(self):
        s = q.ClarabelSettings()
        assert settings_values(s) == [default for _, default, _ in FIELDS]
        assert s.direct_solve_method is M.AUTO
        params = list(inspect.signature(q.ClarabelSettings).parameters.values())
        assert [p.name for p in params] == [name for name, _, _ in FIELDS]
        assert all(p.kind is inspect.Parameter.KEYWORD_ONLY for p in params)
        assert [p.default for p in params] == [default if kind != "method" else "auto" for _, default, kind in FIELDS]
        assert "time_limit=1e999" in q.ClarabelSettings.__text_signature__
        assert "direct_solve_method='auto'" in q.ClarabelSettings.__text_signature__
        assert q.ClarabelSettings.__doc__.splitlines()[0] == "Python-owned raw Clarabel numerical settings."

    def test_repr(self):
        assert repr(q.ClarabelSettings()) == ("ClarabelSettings(max_iter=200, time_limit=inf, tol_gap_rel=0.00000001, "
                                              "tol_feas=0.00000001, direct_solve_method=Auto)")
        assert repr(q.ClarabelSettings(time_limit=10.0, max_iter=50)) == (
            "ClarabelSettings(max_iter=50, time_limit=10, tol_gap_rel=0.00000001, tol_feas=0.00000001, "
            "direct_solve_method=Auto)")
        s = q.ClarabelSettings(time_limit=math.nan, direct_solve_method="qdldl", tol_feas=2.5e-3)
        assert repr(s) == ("ClarabelSettings(max_iter=200, time_limit=NaN, tol_gap_rel=0.00000001, tol_feas=0.0025, "
                           "direct_solve_method=Qdldl)")

    def test_every_field_is_set_read_and_kept_apart(self):
        given = {}
        for i, (name, default, kind) in enumerate(FIELDS):
            given[name] = {"u32": 1000 + i, "f64": 0.5 + i, "bool": not default, "method": M.PANUA}[kind]
        s = q.ClarabelSettings(**given)
        assert settings_values(s) == list(given.values())
        t = q.ClarabelSettings()
        for name, value in given.items():
            setattr(t, name, value)
        assert settings_values(t) == list(given.values())
        # One field at a time: nothing else moves.
        for name, default, kind in FIELDS:
            u = q.ClarabelSettings(**{name: given[name]})
            assert [getattr(u, n) for n, _, _ in FIELDS if n != name] == [d for n, d, _ in FIELDS if n != name]

    def test_integer_fields(self):
        assert q.ClarabelSettings(max_iter=4294967295).max_iter == 4294967295
        for bad in (-1, 4294967296):
            with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
                q.ClarabelSettings(max_iter=bad)
        with pytest.raises(TypeError, match="^argument 'max_iter': "):
            q.ClarabelSettings(max_iter=2.0)
        with pytest.raises(TypeError, match="^argument 'max_threads': "):
            q.ClarabelSettings(max_threads=None)
        assert q.ClarabelSettings(equilibrate_max_iter=np.int64(7)).equilibrate_max_iter == 7

    def test_float_and_bool_fields(self):
        s = q.ClarabelSettings(tol_gap_rel=1, tol_feas=-1.0, time_limit=math.nan, verbose=True,
                               direct_kkt_solver=False, presolve_enable=np.bool_(False))
        assert s.tol_gap_rel == 1.0 and isinstance(s.tol_gap_rel, float)
        assert s.tol_feas == -1.0 and math.isnan(s.time_limit)
        assert (s.verbose, s.direct_kkt_solver, s.presolve_enable) == (True, False, False)
        with pytest.raises(TypeError, match="^argument 'verbose': "):
            q.ClarabelSettings(verbose=1)
        with pytest.raises(TypeError, match="^argument 'tol_feas': "):
            q.ClarabelSettings(tol_feas=None)
        assert q.ClarabelSettings(tol_feas=True).tol_feas == 1.0

    def test_method_field(self):
        assert q.ClarabelSettings(direct_solve_method=" FAER ").direct_solve_method is M.FAER
        assert q.ClarabelSettings(direct_solve_method=None).direct_solve_method is M.AUTO
        assert q.ClarabelSettings(direct_solve_method=M.MKL).direct_solve_method is M.MKL
        with pytest.raises(ValueError, match="^`direct_solve_method` must be a ClarabelDirectSolveMethod value or a "
                                             "string$"):
            q.ClarabelSettings(direct_solve_method=2)
        with pytest.raises(ValueError, match="^`direct_solve_method` must be ClarabelDirectSolveMethod.AUTO, "):
            q.ClarabelSettings(direct_solve_method="cholesky")

    def test_setters(self):
        s = q.ClarabelSettings()
        s.max_iter = 7
        s.direct_solve_method = "mkl"
        assert (s.max_iter, s.direct_solve_method) == (7, M.MKL)
        s.direct_solve_method = None
        assert s.direct_solve_method is M.AUTO
        with pytest.raises(TypeError, match="^argument 'max_iter': "):
            s.max_iter = 1.5
        with pytest.raises(OverflowError):
            s.max_iter = -3
        with pytest.raises(ValueError, match="^`direct_solve_method` must be"):
            s.direct_solve_method = "loud"
        with pytest.raises(TypeError, match="^argument 'presolve_enable': "):
            s.presolve_enable = 0
        assert (s.max_iter, s.direct_solve_method, s.presolve_enable) == (7, M.AUTO, True)
        with pytest.raises(AttributeError, match="^property has no deleter$"):
            del s.max_iter

    def test_call_forms(self):
        with pytest.raises(TypeError):
            q.ClarabelSettings(5)
        with pytest.raises(TypeError, match="got an unexpected keyword argument 'max_iters'"):
            q.ClarabelSettings(max_iters=5)


class TestClarabelOptions:
    def test_defaults_and_repr(self):
        o = q.ClarabelOptions()
        assert o.verbosity is q.Verbosity.SILENT
        assert [getattr(o, f) for f in FLAGS] == [True, False, False, False, False]
        assert settings_values(o.clarabel_settings) == settings_values(q.ClarabelSettings())
        assert repr(o) == ("ClarabelOptions(verbosity=Silent, allow_almost_solved=true, allow_max_iterations=false, "
                           "allow_max_time=false, allow_callback_terminated=false, "
                           "allow_insufficient_progress=false, clarabel_settings=" + DEFAULT_DEBUG + ")")
        assert q.ClarabelOptions.__doc__.splitlines()[0] == (
            "Python-owned shared options for Clarabel-backed SOCP solvers.")

    def test_construction(self):
        o = q.ClarabelOptions(verbosity="TRACE", allow_almost_solved=False, allow_max_time=np.bool_(True),
                              clarabel_settings=q.ClarabelSettings(max_iter=9))
        assert o.verbosity is q.Verbosity.TRACE
        assert [getattr(o, f) for f in FLAGS] == [False, False, True, False, False]
        assert o.clarabel_settings.max_iter == 9
        assert q.ClarabelOptions(clarabel_settings=None).clarabel_settings.max_iter == 200
        with pytest.raises(ValueError, match="^`verbosity` must be a Verbosity value or a string$"):
            q.ClarabelOptions(verbosity=3)
        with pytest.raises(TypeError, match="^argument 'allow_max_time': "):
            q.ClarabelOptions(allow_max_time=1)
        with pytest.raises(TypeError, match="^argument 'clarabel_settings': 'ReachSet2Options' object is not an "
                                            "instance of 'ClarabelSettings'$"):
            q.ClarabelOptions(clarabel_settings=q.ReachSet2Options())

    def test_settings_are_copies(self):
        source = q.ClarabelSettings(max_iter=50)
        o = q.ClarabelOptions(clarabel_settings=source)
        source.max_iter = 60
        read = o.clarabel_settings
        read.max_iter = 5
        assert o.clarabel_settings.max_iter == 50 and o.clarabel_settings is not read
        o.clarabel_settings = read
        read.max_iter = 6
        assert o.clarabel_settings.max_iter == 5
        with pytest.raises(TypeError, match="^argument 'value': 'None' is not an instance of 'ClarabelSettings'$"):
            o.clarabel_settings = None
        assert o.clarabel_settings.max_iter == 5

    def test_setters(self):
        o = q.ClarabelOptions()
        for flag in FLAGS:
            setattr(o, flag, not getattr(o, flag))
        assert [getattr(o, f) for f in FLAGS] == [False, True, True, True, True]
        with pytest.raises(TypeError, match="^argument 'value': "):
            o.allow_max_time = "yes"
        assert o.allow_max_time is True
        o.verbosity = "Debug"
        assert o.verbosity is q.Verbosity.DEBUG
        with pytest.raises(ValueError, match="^`verbosity` must be Verbosity.SILENT"):
            o.verbosity = "chatty"
        o.verbosity = None
        assert o.verbosity is q.Verbosity.SILENT
        with pytest.raises(AttributeError, match="^property has no deleter$"):
            del o.verbosity


class TestWhatReachesTheSolver:
    def test_none_means_the_defaults(self):
        _, problem = line_problem()
        np.testing.assert_array_equal(q.qarn2_socp(problem), q.qarn2_socp(problem, q.ClarabelOptions()))
        np.testing.assert_array_equal(q.qarn2_socp(problem), q.qarn2_socp(problem, options=None))

    def test_method_names(self):
        _, problem = line_problem()
        for method in (M.AUTO, M.QDLDL):
            settings = q.ClarabelSettings(direct_solve_method=method)
            info = q.qarn2_socp_expert(problem, q.ClarabelOptions(clarabel_settings=settings)).linsolver
            assert info.method is M.QDLDL and info.direct is True
        settings = q.ClarabelSettings(direct_solve_method="faer")
        assert q.qarn2_socp_expert(problem, q.ClarabelOptions(clarabel_settings=settings)).linsolver.method is M.FAER
        # This build of Clarabel has no MKL solver and says so about the name it received.
        settings = q.ClarabelSettings(direct_solve_method="mkl")
        with pytest.raises(q.QarnError, match='^qarn2_socp reported an error in Clarabel solver: Bad settings: Bad '
                                              'value for field "direct_solve_method"$'):
            q.qarn2_socp(problem, q.ClarabelOptions(clarabel_settings=settings))

    def test_tolerances_reach_the_solver(self):
        _, problem = line_problem()
        tight = q.qarn2_socp_expert(problem).iterations
        loose = q.ClarabelSettings(tol_gap_abs=1e-2, tol_gap_rel=1e-2, tol_feas=1e-2)
        assert q.qarn2_socp_expert(problem, q.ClarabelOptions(clarabel_settings=loose)).iterations < tight

    def test_clarabel_log_only_with_detailed_diagnostics(self, capfd):
        _, problem = line_problem()
        verbose = q.ClarabelSettings(verbose=True)
        q.qarn2_socp(problem, q.ClarabelOptions(verbosity="summary", clarabel_settings=verbose))
        out = capfd.readouterr().out
        assert "qarn2_socp" in out and "Clarabel" not in out
        q.qarn2_socp(problem, q.ClarabelOptions(verbosity="debug", clarabel_settings=verbose))
        assert "Clarabel" in capfd.readouterr().out
        q.qarn2_socp(problem, q.ClarabelOptions(verbosity="debug"))
        assert "Clarabel" not in capfd.readouterr().out

    def test_acceptance_flags(self):
        _, problem = line_problem()
        few = q.ClarabelSettings(max_iter=3)
        with pytest.raises(q.QarnError) as info:
            q.qarn2_socp(problem, q.ClarabelOptions(clarabel_settings=few))
        assert str(info.value) == "qarn2_socp reported a failure in Clarabel solver with status MaxIterations"
        # Accepting MaxIterations accepts the status, not an iterate that breaks the limits.
        with pytest.raises(q.QarnError, match="the solution accepted with status MaxIterations fails its audit: the "):
            q.qarn2_socp(problem, q.ClarabelOptions(clarabel_settings=few, allow_max_iterations=True))
        near = q.ClarabelSettings(max_iter=q.qarn2_socp_expert(problem).iterations - 1)
        a = q.qarn2_socp(problem, q.ClarabelOptions(clarabel_settings=near, allow_max_iterations=True))
        assert a.shape == (41,) and np.all(a >= 0.0)
        expired = q.ClarabelSettings(time_limit=0.0)
        result = q.qarn2_socp_expert(problem, q.ClarabelOptions(clarabel_settings=expired))
        assert result.solver_status == q.ClarabelSolverStatus.MAX_TIME and result.a is None
        # The expert variant keeps its diagnostics: the raw vectors, and which row the iterate breaks.
        accepted = q.qarn2_socp_expert(problem, q.ClarabelOptions(clarabel_settings=expired, allow_max_time=True))
        assert accepted.a is None and accepted.audit_failure.startswith("the ") and len(accepted.x) > 0

    def test_settings_the_solver_refuses(self):
        robot, problem = line_problem()
        settings = q.ClarabelSettings(direct_kkt_solver=False)
        with pytest.raises(q.QarnError, match="^qarn2_socp reported an error in Clarabel solver: "):
            q.qarn2_socp(problem, q.ClarabelOptions(clarabel_settings=settings))
        # The robot stays usable.
        assert q.qarn2_socp(problem).shape == (41,)
        assert robot.constraints.len == 41


class TestLinearSolverInfo:
    def test_attributes_and_repr(self):
        _, problem = line_problem()
        info = q.qarn2_socp_expert(problem).linsolver
        assert (info.method, info.direct) == (M.QDLDL, True)
        assert isinstance(info.threads, int) and info.threads >= 1
        assert info.nnz_a > 0 and info.nnz_l > 0
        assert repr(info) == (f"ClarabelLinearSolverInfo(method=Qdldl, threads={info.threads}, direct=true, "
                              f"nnz_a={info.nnz_a}, nnz_l={info.nnz_l})")
        assert q.ClarabelLinearSolverInfo.__doc__ == "Python-owned linear-solver metadata reported by Clarabel."
        with pytest.raises(TypeError):
            q.ClarabelLinearSolverInfo()
        with pytest.raises(AttributeError):
            info.threads = 2

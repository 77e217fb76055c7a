"""Jerk-limited convex-objective profiles from Python: Qarn3Problem, qarn3_socp and its expert
result, a Python inverse-dynamics model and its exceptions."""

import threading

import numpy as np
import pytest

from qarn_py import _native as q
from third_order_cases import jerk_line_robot

MASS, GRAVITY = 2.0, 0.5


def model(calls=None, fail=None):
    """tau = MASS ddq + GRAVITY; raises KeyError while fail["on"] is set."""
    def inverse_dynamics(qq, dq, ddq):
        if calls is not None:
            calls.append(threading.get_ident())
        if fail is not None and fail["on"]:
            raise KeyError("joint 1")
        return MASS * ddq + GRAVITY
    return inverse_dynamics


@pytest.fixture(scope="module")
def line():
    return jerk_line_robot(41)


class TestQarn3Problem:
    def test_attributes_and_repr(self, line):
        robot, s = line
        p = q.Qarn3Problem(robot, [q.Time(1.0), {"kind": "time", "weight": 2.0}], np.full(41, 0.5),
                           num_stationary_max=(2, 3), a_boundary=(0, 0.5))
        assert p.robot is robot and p.objective_count == 2
        assert (p.idx_s_start, p.idx_s_final, p.s_len, p.num_stationary_max) == (0, 40, 41, (2, 3))
        assert p.b_linearization is None and p.a_linearization_floor == 1e-10
        assert repr(p) == ("Qarn3Problem(idx_s_start=0, s_len=41, a_boundary=(0, 0.5), b_boundary=(0, 0), "
                           "num_stationary_max=(2, 3), objective_count=2)")
        assert q.Qarn3Problem.__text_signature__ == (
            "(robot, objectives, a_linearization, *, idx_s_start=0, a_boundary=(0.0, 0.0), b_boundary=(0.0, 0.0), "
            "num_stationary_max=None, a_linearization_floor=1e-10, b_linearization=None)")
        assert p.validate() is None
        assert q.Qarn3Problem(robot, q.Time(1.0), np.full(41, 0.5)).objective_count == 1

    def test_checks(self, line):
        robot, s = line
        with pytest.raises(q.QarnError, match="objectives must not be empty"):
            q.Qarn3Problem(robot, [], np.full(41, 0.5))
        # The builder's checks come before the objective checks.
        with pytest.raises(q.QarnError, match="a_linearization cannot be empty"):
            q.Qarn3Problem(robot, [], [])
        with pytest.raises(q.QarnError, match=r"^Qarn3Problem reported .*objectives\[0\] normalize.len\(\)=2"):
            q.Qarn3Problem(robot, q.ThermalEnergy(1.0, [1.0, 1.0]), np.full(41, 0.5))
        with pytest.raises(q.ConstraintError):
            q.Qarn3Problem(robot, q.Time(1.0), np.full(42, 0.5))  # one station beyond the store
        own, _ = jerk_line_robot(41)
        p = q.Qarn3Problem(own, q.Time(1.0), np.full(41, 0.5))
        own.constraints.pop_back_n(1)
        with pytest.raises(q.ConstraintError):
            p.validate()

    def test_argument_errors_in_order(self, line):
        robot, s = line
        with pytest.raises(TypeError, match="^argument 'robot': 'Constraints' object is not an instance of 'Robot'$"):
            q.Qarn3Problem(robot.constraints, q.Time(1.0), np.full(41, 0.5))
        with pytest.raises(ValueError, match="^`num_stationary_max` must be an integer, a pair of integers or None$"):
            q.Qarn3Problem(robot, {"kind": "jerk"}, [[1.0]], num_stationary_max=1.5)
        # Arrays are converted before the objectives are parsed.
        with pytest.raises(ValueError, match="a_linearization"):
            q.Qarn3Problem(robot, {"kind": "jerk"}, [[1.0]])
        with pytest.raises(ValueError, match="^objective dict field `kind` must be one of "):
            q.Qarn3Problem(robot, {"kind": "jerk", "weight": 1.0}, np.full(41, 0.5))

    def test_borrow_conflict_is_an_ordinary_runtime_error(self, hooks):
        robot, s = jerk_line_robot(41, module=hooks)
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$") as info:
            hooks._call_while_exclusive(robot, lambda held: hooks.Qarn3Problem(held, hooks.Time(1.0), np.full(41, 0.5)))
        assert type(info.value) is RuntimeError


class TestQarn3Solvers:
    def test_time_alone_is_the_topp3_socp_optimum(self, line):
        robot, s = line
        reference = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, len(s) - 1)))
        profile = q.qarn3_socp(q.Qarn3Problem(robot, q.Time(1.0), reference))
        assert isinstance(profile, q.Profile3rd) and profile.num_stationary == (1, 1)
        expected = q.topp3_socp(q.Topp3Problem(robot.constraints, reference))
        np.testing.assert_allclose(profile.a, expected.a, rtol=1e-6, atol=1e-9)
        assert max(robot.constraints.exceed_topp3(profile)) <= 1e-6

    def test_expert_result(self, line):
        robot, s = line
        problem = q.Qarn3Problem(robot, [q.Time(2.0), {"kind": "time", "weight": 0.5}], np.full(41, 0.5))
        result = q.qarn3_socp_expert(problem)
        assert result.solver_status is q.ClarabelSolverStatus.SOLVED
        np.testing.assert_array_equal(result.profile.a, q.qarn3_socp(problem).a)
        terms = result.objective_terms
        assert terms.shape == (2,) and terms[0] == terms[1]
        assert result.objective_value == pytest.approx(2.5 * terms[0], rel=1e-12)
        assert result.obj_val == pytest.approx(result.objective_value, rel=1e-6)
        assert repr(result) == (f"Qarn3ClarabelResult(profile_available=true, solver_status=Solved, iterations="
                                f"{result.iterations}, objective_value=Some({result.objective_value!r}))")
        terms[:] = -1.0
        assert result.objective_terms[0] > 0.0

    def test_unaccepted_status(self, line):
        robot, s = line
        problem = q.Qarn3Problem(robot, q.Time(1.0), np.full(41, 0.5))
        options = q.ClarabelOptions(clarabel_settings=q.ClarabelSettings(max_iter=2))
        result = q.qarn3_socp_expert(problem, options)
        assert result.solver_status is q.ClarabelSolverStatus.MAX_ITERATIONS
        assert result.profile is None and result.objective_value is None and result.objective_terms is None
        assert len(result.x) > 2 * 41
        with pytest.raises(q.QarnError, match="^qarn3_socp reported a failure in Clarabel solver with status "
                                              "MaxIterations$"):
            q.qarn3_socp(problem, options)

    def test_problem_classes_are_not_interchangeable(self, line):
        robot, s = line
        qarn3 = q.Qarn3Problem(robot, q.Time(1.0), np.full(41, 0.5))
        topp3 = q.Topp3Problem(robot.constraints, np.full(41, 0.5))
        with pytest.raises(TypeError, match="^argument 'problem': 'Qarn3Problem' object is not an instance of "
                                            "'Topp3Problem'$"):
            q.topp3_lp(qarn3)
        with pytest.raises(TypeError, match="^argument 'problem': 'Topp3Problem' object is not an instance of "
                                            "'Qarn3Problem'$"):
            q.qarn3_socp_expert(topp3)
        for f in (q.qarn3_socp, q.qarn3_socp_expert):
            assert f.__text_signature__ == "(problem, options=None)"

    def test_python_model_with_torque_limits(self):
        calls = []
        robot, s = jerk_line_robot(41, inverse_dynamics=model(calls))
        robot.add_torque_limits([2.5], [-2.5], start_idx_s=0)  # |2 ddq + 0.5| <= 2.5: ddq in [-1.5, 1]
        calls.clear()
        problem = q.Qarn3Problem(robot, [q.Time(1.0), q.ThermalEnergy(0.01, [1.0])], np.full(41, 0.5))
        result = q.qarn3_socp_expert(problem)
        assert calls and set(calls) == {threading.get_ident()}
        b = result.profile.b  # ddq = b on q(s) = s
        assert b.max() <= 1.0 + 1e-6 and b.min() >= -1.5 - 1e-6
        assert result.objective_terms.shape == (2,) and np.all(np.isfinite(result.objective_terms))

    def test_model_exception_is_raised_unchanged_and_does_not_outlive_its_call(self):
        fail = {"on": False}
        robot, s = jerk_line_robot(41, inverse_dynamics=model(fail=fail))
        problem = q.Qarn3Problem(robot, [q.Time(1.0), q.ThermalEnergy(0.01, [1.0])], np.full(41, 0.5))
        fail["on"] = True
        with pytest.raises(KeyError, match="joint 1"):
            q.qarn3_socp(problem)
        fail["on"] = False
        assert len(q.qarn3_socp(problem)) == 41  # the slot was emptied at the start of the call
        assert q.qarn3_socp_expert(problem).profile is not None

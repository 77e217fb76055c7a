"""Jerk-limited convex-objective profiles from Python: Qarn3Problem."""

import numpy as np
import pytest

from qarn_py import _native as q
from third_order_cases import jerk_line_robot


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
            "num_stationary_max=1, a_linearization_floor=1e-10, b_linearization=None)")
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
        with pytest.raises(ValueError, match="^`num_stationary_max` must be an integer or a pair of integers$"):
            q.Qarn3Problem(robot, {"kind": "jerk"}, [[1.0]], num_stationary_max=None)
        # Arrays are converted before the objectives are parsed.
        with pytest.raises(ValueError, match="a_linearization"):
            q.Qarn3Problem(robot, {"kind": "jerk"}, [[1.0]])
        with pytest.raises(ValueError, match="^objective dict field `kind` must be one of "):
            q.Qarn3Problem(robot, {"kind": "jerk", "weight": 1.0}, np.full(41, 0.5))

    def test_borrow_conflict_is_an_ordinary_runtime_error(self, hooks, line):
        robot, s = line
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$") as info:
            hooks._call_while_exclusive(robot, lambda held: hooks.Qarn3Problem(held, hooks.Time(1.0), np.full(41, 0.5)))
        assert type(info.value) is RuntimeError

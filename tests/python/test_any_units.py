"""Solvers that hold in any units: the regressions of limits far from unit scale, accepted
profiles audited against the stored limits, and unbounded windows reported before a conic solve."""

import numpy as np
import pytest

from qarn_py import _native as q
from scale_cases import quintic_problem, relative_excess, traversal_time


class TestQarn2FarFromUnitScale:
    @pytest.mark.parametrize("v", [1e-2, 3e-3, 1e-3, 1e-4, 1e3, 1e5])
    def test_one_axis_quintic_holds_its_limits(self, v):
        # Before: 1.049x the limit at 3e-3, 1.114x at 1e-3, 6.9x (AlmostSolved) at 1e-4, and
        # 3-64% slower than the reachability optimum (AlmostSolved) for limits x 1e3 to 1e5.
        p = quintic_problem([[0.0], [1.0]], 100, v, v)
        result = q.qarn2_socp_expert(p.qarn2([q.Time(1.0)]))
        assert result.solver_status == q.ClarabelSolverStatus.SOLVED
        assert relative_excess(p, result.a) <= 1e-6
        # The traversal time agrees with a solve to tolerances a hundred times tighter. (At
        # v = A = 1e-4 the profile spans four orders of magnitude, a ~ 1.3e-4 next to the ends
        # and 1e-8 in between, and the default tolerances leave 1.4e-5 in the time.)
        tight = q.ClarabelSettings(tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)
        reference = q.qarn2_socp(p.qarn2([q.Time(1.0)]), q.ClarabelOptions(clarabel_settings=tight))
        assert traversal_time(p, result.a) == pytest.approx(traversal_time(p, reference), rel=1e-4)

    def test_without_limits_the_window_is_unbounded(self):
        robot = q.Robot(1)
        s = np.linspace(0.0, 2.0, 20)
        robot.append_s(s)
        robot.set_q(s[:, None], np.ones((20, 1)), np.zeros((20, 1)), 0)
        problem = q.Qarn2Problem(robot, [q.Time(1.0)], (0, 19))
        # Before: AlmostSolved with a up to 3.9e5.
        with pytest.raises(q.QarnError, match="^qarn2_socp reported an unboundedness: The reachable set is unbounded at index 1"):
            q.qarn2_socp(problem)
        with pytest.raises(q.QarnError, match="unboundedness"):
            q.qarn2_socp_expert(problem)
        # The same rule as reachability.
        with pytest.raises(q.QarnError, match="^topp2_ra reported an unboundedness"):
            q.topp2_ra(q.Topp2Problem(robot.constraints, (0, 19)))

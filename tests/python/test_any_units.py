"""Solvers that hold in any units: the regressions of limits far from unit scale, accepted
profiles audited against the stored limits, and unbounded windows reported before a conic solve."""

import numpy as np
import pytest

from qarn_py import _native as q
from scale_cases import neighbouring_zeros, quintic_problem, relative_excess, traversal_time


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


class TestReachabilityFarFromUnitScale:
    @pytest.mark.parametrize("scale", [1e-6, 1e-3, 1e4])
    def test_tiny_and_huge_limits_hold_relative_to_their_size(self, scale):
        # Before: relative violations up to 6.1e-4 with limits near 1e-6 (absolute tolerances).
        waypoints = [[0.0, 0.1], [-0.3, 0.6], [1.0, 1.1], [0.4, -0.2]]
        p = quintic_problem(waypoints, 200, [scale, 2 * scale], [3 * scale, scale])
        a = np.asarray(q.topp2_ra(p.topp2()))
        assert relative_excess(p, a) <= 1e-6
        # Velocity and acceleration both x scale is no exact symmetry of the problem; compare
        # with the conic optimum of the same problem instead.
        c = q.qarn2_socp(p.qarn2([q.Time(1.0)]))
        assert traversal_time(p, a) == pytest.approx(traversal_time(p, c), rel=2e-4)

    def test_mixed_scale_axes(self):
        p = quintic_problem([[0.0, 0.0, 0.0], [1.0, 1e-4, 5e3], [0.2, 3e-4, -2e3]], 150, [1.0, 1e-5, 1e3], [2.0, 1e-6, 4e4])
        a = np.asarray(q.topp2_ra(p.topp2()))
        assert relative_excess(p, a) <= 1e-6
        rs = q.reach_set2_bidirectional(p.topp2())
        assert np.all(a <= np.asarray(rs.a_max) * (1 + 1e-6))


class TestNoStalledProfile:
    def test_the_reported_five_station_problem_arrives(self):
        # Before: a = [0, 0.2586, 0.1137, 0, 0], two neighbouring zeros, s_to_t_topp2 failed.
        p = quintic_problem([[0.0, 0.1], [-0.3, 0.6], [1.0, 1.1]], 5, 1.0, 2.0)
        a = np.asarray(q.topp2_ra(p.topp2()))
        assert not neighbouring_zeros(a[1:-1]) and a[-2] > 0.0
        assert np.isfinite(traversal_time(p, a))
        assert relative_excess(p, a) <= 1e-6
        # Here the conic optimum is reached exactly.
        c = q.qarn2_socp(p.qarn2([q.Time(1.0)]))
        np.testing.assert_allclose(a, c, rtol=1e-6, atol=1e-9)


class TestNonFinitePathData:
    def test_a_nan_in_dq_is_refused_naming_station_and_axis(self):
        robot = q.Robot(2)
        robot.append_s(np.linspace(0.0, 1.0, 5))
        dq = np.ones((5, 2))
        dq[3, 1] = np.nan
        with pytest.raises(q.ConstraintError, match=r"`dq` at idx_s=3, axis 1 is NaN; path derivatives must be finite\."):
            robot.set_q(np.zeros((5, 2)), dq, np.zeros((5, 2)), 0)
        # Nothing was stored: limits cannot be built on the refused stations.
        with pytest.raises(q.ConstraintError, match="not fully available"):
            robot.add_velocity_limits([1.0, 1.0], [-1.0, -1.0], start_idx_s=0)

    def test_a_nan_waypoint_is_refused_when_the_path_is_sampled(self):
        # Before: topp2_ra silently dropped the axis and returned a profile 2.5x too fast.
        path = q.Path.from_waypoints(np.array([[0.0, 0.1], [np.nan, 0.6], [1.0, 1.1]]))
        robot = q.Robot(2)
        robot.append_s(np.linspace(0.0, 1.0, 5))
        with pytest.raises(q.ConstraintError, match="path derivatives must be finite"):
            robot.set_q_from_path_2nd(path, 0, 5)

    def test_an_infinite_dddq_is_refused(self):
        robot = q.Robot(1)
        robot.append_s(np.linspace(0.0, 1.0, 3))
        dddq = np.zeros((3, 1))
        dddq[2, 0] = np.inf
        with pytest.raises(q.ConstraintError, match=r"`dddq` at idx_s=2, axis 0 is inf"):
            robot.set_q(np.zeros((3, 1)), np.ones((3, 1)), np.zeros((3, 1)), 0, dddq=dddq)

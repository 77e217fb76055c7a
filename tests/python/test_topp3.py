"""Jerk-limited time-optimal profiles from Python: Profile3rd, Topp3Problem, the TOPP3 LP and SOCP
with their expert result, and Constraints.exceed_topp3."""

import numpy as np
import pytest

from qarn_py import _native as q
from third_order_cases import JERK_LINE_TIME, jerk_line_robot, relinearized_lp


@pytest.fixture(scope="module")
def line():
    """(robot, s) of the jerk-limited straight line at 201 stations."""
    return jerk_line_robot()


class TestProfile3rd:
    def test_attributes_copies_and_protocols(self):
        a, b = np.array([0.0, 1.0, 2.0]), np.array([0.5, 0.25, 0.0])
        p = q.Profile3rd(a, b, num_stationary=(1, 2))
        a[:] = 9.0  # the caller's array does not reach the profile
        np.testing.assert_array_equal(p.a, [0.0, 1.0, 2.0])
        np.testing.assert_array_equal(p.b, [0.5, 0.25, 0.0])
        p.a[:] = 7.0  # nor does a returned copy
        np.testing.assert_array_equal(p.a, [0.0, 1.0, 2.0])
        assert (p.len, len(p), bool(p)) == (3, 3, True)
        assert (p.num_stationary, p.num_stationary_start, p.num_stationary_end) == ((1, 2), 1, 2)
        assert repr(p) == "Profile3rd(len=3, num_stationary=(1, 2))"
        empty = q.Profile3rd([], [])
        assert (len(empty), bool(empty), repr(empty)) == (0, False, "Profile3rd(len=0, num_stationary=(0, 0))")
        assert q.Profile3rd.__text_signature__ == "(a, b, num_stationary=(0, 0))"
        assert q.Profile3rd(b=[1.0], a=[2.0]).a.tolist() == [2.0]

    def test_argument_errors(self):
        with pytest.raises(ValueError, match="^`a` and `b` must have the same length, got 2 and 3$"):
            q.Profile3rd([1, 2], [0, 0, 0])
        with pytest.raises(TypeError, match="^argument 'num_stationary': 'list' object cannot be converted"):
            q.Profile3rd([1.0], [0.0], num_stationary=[1, 1])
        with pytest.raises(OverflowError):
            q.Profile3rd([1.0], [0.0], (0, -1))
        with pytest.raises(ValueError, match="a"):
            q.Profile3rd([[1.0]], [0.0])
        # num_stationary is converted before the arrays.
        with pytest.raises(TypeError, match="num_stationary"):
            q.Profile3rd([[1.0]], [0.0], num_stationary=None)

    def test_subclass(self, line):
        class Tagged(q.Profile3rd):
            def __new__(cls, a, b, tag):
                self = super().__new__(cls, a, b)
                self.tag = tag
                return self

        robot, s = line
        p = Tagged(np.full(len(s), 0.01), np.zeros(len(s)), tag="slow")
        assert isinstance(p, q.Profile3rd) and p.tag == "slow" and len(p) == len(s)
        assert robot.constraints.exceed_topp3(p) == robot.constraints.exceed_topp3(p.a, p.b)


class TestTopp3Problem:
    def test_attributes_and_repr(self, line):
        robot, s = line
        reference = np.full(len(s), 0.5)
        p = q.Topp3Problem(robot.constraints, reference)
        reference[:] = -1.0  # copied at construction
        assert p.constraints is not robot.constraints and isinstance(p.constraints, q.Constraints)
        assert (p.idx_s_start, p.idx_s_final, p.s_len) == (0, len(s) - 1, len(s))
        assert (p.a_boundary, p.b_boundary, p.num_stationary_max) == ((0.0, 0.0), (0.0, 0.0), None)
        assert p.a_linearization_floor == 1e-10 and p.b_linearization is None
        np.testing.assert_array_equal(p.a_linearization, np.full(len(s), 0.5))
        p.a_linearization[:] = 3.0
        np.testing.assert_array_equal(p.a_linearization, np.full(len(s), 0.5))
        assert repr(p) == ("Topp3Problem(idx_s_start=0, s_len=201, a_boundary=(0, 0), b_boundary=(0, 0), "
                           "num_stationary_max=None, a_linearization_floor=0.0000000001)")
        assert q.Topp3Problem.__text_signature__ == (
            "(constraints, a_linearization, *, idx_s_start=0, a_boundary=(0.0, 0.0), b_boundary=(0.0, 0.0), "
            "num_stationary_max=None, a_linearization_floor=1e-10, b_linearization=None)")
        assert p.validate() is None
        c = robot.constraints
        assert q.Topp3Problem(c, reference * 0 + 0.5).constraints is c
        with_b = q.Topp3Problem(c, np.full(len(s), 0.5), b_linearization=np.zeros(len(s)), a_boundary=(0.25, 0),
                                b_boundary=(0.125, -1.5))
        np.testing.assert_array_equal(with_b.b_linearization, np.zeros(len(s)))
        assert repr(with_b) == ("Topp3Problem(idx_s_start=0, s_len=201, a_boundary=(0.25, 0), "
                                "b_boundary=(0.125, -1.5), num_stationary_max=None, a_linearization_floor=0.0000000001)")

    @pytest.mark.parametrize("value, expected", [(2, (2, 2)), ((1, 3), (1, 3)), (np.uint8(1), (1, 1)),
                                                 (True, (1, 1)), (None, None)])
    def test_num_stationary_max_forms(self, line, value, expected):
        robot, s = line
        p = q.Topp3Problem(robot.constraints, np.full(len(s), 0.5), num_stationary_max=value)
        assert p.num_stationary_max == expected

    @pytest.mark.parametrize("value", [[1, 1], -1, 1.0, (1, 2, 3), (1, -1), "1"])
    def test_num_stationary_max_refusals(self, line, value):
        robot, s = line
        with pytest.raises(ValueError, match="^`num_stationary_max` must be an integer, a pair of integers or None$"):
            q.Topp3Problem(robot.constraints, np.full(len(s), 0.5), num_stationary_max=value)
        # A rest end without its stationary interval: before, every profile took infinite time.
        for value, end in ((0, "start"), ((0, 1), "start"), ((1, 0), "end")):
            with pytest.raises(ValueError, match=f"^`num_stationary_max` = .* leaves the rest {end} "):
                q.Topp3Problem(robot.constraints, np.full(len(s), 0.5), num_stationary_max=value)
        moving = q.Topp3Problem(robot.constraints, np.full(len(s), 0.5), num_stationary_max=0, a_boundary=(0.1, 0.1))
        assert moving.num_stationary_max == (0, 0)

    def test_window_inside_the_store(self):
        robot, s = jerk_line_robot(15)
        robot.constraints.pop_front_until(10)
        p = q.Topp3Problem(robot.constraints, np.full(5, 0.5), idx_s_start=10)
        assert (p.s_len, p.idx_s_final) == (5, 14)

    def test_builder_checks(self, line):
        robot, s = line
        c = robot.constraints
        cases = [
            (dict(a_linearization=[]), "a_linearization cannot be empty"),
            (dict(a_linearization=[0.5, 0.5, 0.5], num_stationary_max=1),
             r"2 station intervals must exceed num_stationary.0.max\(1\) \+ num_stationary.1.max\(1\) = 2 "
             r"\(num_stationary = \(1, 1\)\)"),
            (dict(a_linearization=np.full(4, 0.5), num_stationary_max=(2, 1)),
             r"3 station intervals must exceed .* = 3"),
            (dict(a_linearization=np.full(len(s), 0.5), a_linearization_floor=0.0),
             "a_linearization_floor must be positive, got 0"),
            (dict(a_linearization=np.full(len(s), 0.5), a_linearization_floor=np.inf),  # before: a plan of 4.2e13 s
             "a_linearization_floor must be finite, got inf"),
            (dict(a_linearization=np.full(len(s), 0.5), a_linearization_floor=np.nan),
             "a_linearization_floor must be finite, got NaN"),
            (dict(a_linearization=np.full(len(s), 0.5), b_linearization=np.zeros(3)),
             "b_linearization.len\\(\\) = 3 must equal a_linearization.len\\(\\) = 201"),
            (dict(a_linearization=np.full(len(s), 0.5), a_boundary=(np.nan, 0.0)), "initial a = NaN must not be NaN"),
            (dict(a_linearization=np.full(len(s) + 5, 0.5)), "linearize_constraint_3order failed"),
        ]
        for kwargs, message in cases:
            with pytest.raises(q.QarnError, match=message):
                q.Topp3Problem(c, **kwargs)
        assert q.Topp3Problem(c, np.full(4, 0.5), num_stationary_max=(1, 1)).s_len == 4

    def test_argument_errors_in_order(self, line):
        robot, s = line
        with pytest.raises(TypeError, match="^argument 'constraints': 'Robot' object is not an instance of "
                                            "'Constraints'$"):
            q.Topp3Problem(robot, np.full(len(s), 0.5))
        for name, value in (("idx_s_start", -1), ("a_boundary", (0.0,)), ("b_boundary", [0.0, 0.0])):
            with pytest.raises((TypeError, ValueError, OverflowError)):
                q.Topp3Problem(robot.constraints, np.full(len(s), 0.5), **{name: value})
        # Scalars are converted before the arrays.
        with pytest.raises(TypeError, match="^argument 'a_linearization_floor'"):
            q.Topp3Problem(robot.constraints, [[1.0]], a_linearization_floor="x")
        with pytest.raises(ValueError, match="a_linearization"):
            q.Topp3Problem(robot.constraints, [[1.0]])
        with pytest.raises(ValueError, match="b_linearization"):
            q.Topp3Problem(robot.constraints, np.full(len(s), 0.5), b_linearization=[[1.0]])

    def test_borrow_conflict_is_an_ordinary_runtime_error(self, hooks):
        robot, s = jerk_line_robot(module=hooks)
        c = robot.constraints
        reference = np.full(len(s), 0.5)
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$") as info:
            hooks._call_while_exclusive(c, lambda held: hooks.Topp3Problem(held, reference))
        assert type(info.value) is RuntimeError


class TestTopp3Solvers:
    def test_jerk_limited_straight_line(self):
        robot, s = jerk_line_robot(1001)
        profile = relinearized_lp(robot.constraints, len(s), passes=5)
        assert isinstance(profile, q.Profile3rd) and len(profile) == len(s)
        t_final, _ = q.s_to_t_topp3(s, profile)
        assert 5.0 < t_final < JERK_LINE_TIME * 1.02
        exceed = robot.constraints.exceed_topp3(profile)
        assert max(exceed) <= 1e-6, exceed
        assert profile.a[0] == 0.0 and profile.a[-1] == 0.0 and np.all(profile.a >= 0.0)

    def test_a_new_users_road(self, capfd):
        """Waypoints to s(t) on a 1 ms grid; the joint motion recomputed from q(s(t)) by finite
        differences keeps the limits (the jerk to the discretization error between stations)."""
        waypoints = np.array([[0.0, 0.0], [1.0, 0.5], [0.5, 1.5], [2.0, 2.0]])
        v, acc, jerk = np.array([1.0, 1.5]), np.array([2.0, 3.0]), np.array([10.0, 15.0])
        n, dt = 400, 1e-3
        path = q.Path.from_waypoints(waypoints)
        s = np.linspace(0.0, 1.0, n)
        robot = q.Robot(2)
        robot.append_s(s)
        robot.set_q_from_path_3rd(path, 0, n)
        robot.add_velocity_limits(v, -v, start_idx_s=0)
        robot.add_acceleration_limits(acc, -acc, start_idx_s=0)
        robot.add_jerk_limits(jerk, -jerk, start_idx_s=0)
        # The first pass, from reachability, which lets a grow far beyond what the jerk allows next to
        # the rest ends, solves once (before: twice).
        first = q.Topp3Problem(robot.constraints, q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1))))
        q.topp3_lp(first, q.ClarabelOptions(verbosity="summary"))
        assert capfd.readouterr().out.count("solve done") == 1
        profile = relinearized_lp(robot.constraints, n, passes=4)
        t_final, t_s = q.s_to_t_topp3(s, profile)
        assert t_final > q.s_to_t_topp2(s, q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1))))[0]
        assert max(robot.constraints.exceed_topp3(profile)) <= 1e-6
        s_t = q.t_to_s_topp3(s, profile, t_s, dt=dt)
        assert len(s_t) == int(t_final / dt) + 1 and s_t[0] == 0.0 and s_t[-1] == 1.0
        assert np.all(np.diff(s_t) >= 0.0)
        joints = path.evaluate_q(s_t[:-1]).q  # the last sample closes a shorter step
        for order, limit, slack in ((1, v, 1e-3), (2, acc, 1e-2), (3, jerk, 0.1)):
            peak = np.abs(np.diff(joints, order, axis=0)).max(axis=0) / dt ** order
            assert np.all(peak <= limit * (1 + slack)), (order, peak / limit)

    def test_socp_is_not_slower_than_the_lp(self, line):
        robot, s = line
        reference = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, len(s) - 1)))
        problem = q.Topp3Problem(robot.constraints, reference)
        lp, socp = q.topp3_lp(problem), q.topp3_socp(problem)
        assert q.s_to_t_topp3(s, socp)[0] <= q.s_to_t_topp3(s, lp)[0] * (1 + 1e-6)
        assert max(robot.constraints.exceed_topp3(socp)) <= 1e-6

    def test_expert_result(self, line):
        robot, s = line
        problem = q.Topp3Problem(robot.constraints, np.full(len(s), 0.5), num_stationary_max=1)
        result = q.topp3_lp_expert(problem)
        assert result.solver_status is q.ClarabelSolverStatus.SOLVED and result.solver_status == 1
        np.testing.assert_array_equal(result.profile.a, q.topp3_lp(problem).a)
        assert result.profile is not result.profile and result.profile.num_stationary == (1, 1)
        assert result.objective_value is None and result.objective_terms is None
        assert result.obj_val_dual == pytest.approx(result.obj_val, rel=1e-6)
        assert result.r_prim < 1e-6 and result.r_dual < 1e-6 and result.solve_time >= 0.0
        assert len(result.x) == 2 * len(s) and len(result.z) == len(result.s)
        assert result.linsolver.method is q.ClarabelDirectSolveMethod.QDLDL
        assert repr(result) == (f"Qarn3ClarabelResult(profile_available=true, solver_status=Solved, "
                                f"iterations={result.iterations}, objective_value=None)")
        socp = q.topp3_socp_expert(problem)
        assert len(socp.x) > 2 * len(s) and socp.profile is not None
        for name in ("x", "z", "s"):
            first = getattr(result, name)
            first[:] = -7.0
            assert not np.array_equal(getattr(result, name), first)
        with pytest.raises(TypeError):
            q.Qarn3ClarabelResult()

    def test_unaccepted_status(self, line):
        robot, s = line
        problem = q.Topp3Problem(robot.constraints, np.full(len(s), 0.5))
        options = q.ClarabelOptions(clarabel_settings=q.ClarabelSettings(max_iter=2))
        result = q.topp3_lp_expert(problem, options)
        assert result.solver_status is q.ClarabelSolverStatus.MAX_ITERATIONS and result.iterations == 2
        assert result.profile is None and len(result.x) == 2 * len(s) and np.all(np.isfinite(result.x))
        assert repr(result) == ("Qarn3ClarabelResult(profile_available=false, solver_status=MaxIterations, "
                                "iterations=2, objective_value=None)")
        for solve, name in ((q.topp3_lp, "topp3_lp"), (q.topp3_socp, "topp3_socp")):
            with pytest.raises(q.QarnError, match=f"^{name} reported a failure in Clarabel solver with status "
                                                  "MaxIterations$"):
                solve(problem, options)

    def test_options_and_arguments(self, line):
        robot, s = line
        problem = q.Topp3Problem(robot.constraints, np.full(len(s), 0.5))
        np.testing.assert_array_equal(q.topp3_lp(problem).a, q.topp3_lp(problem, None).a)
        np.testing.assert_array_equal(q.topp3_lp(problem).a, q.topp3_lp(problem=problem, options=None).a)
        with pytest.raises(TypeError, match="^argument 'problem': 'Topp2Problem' object is not an instance of "
                                            "'Topp3Problem'$"):
            q.topp3_socp(q.Topp2Problem(robot.constraints, (0, 10)))
        with pytest.raises(TypeError, match="^argument 'options': 'ReachSet2Options' object is not an instance of "
                                            "'ClarabelOptions'$"):
            q.topp3_lp_expert(problem, q.ReachSet2Options())
        with pytest.raises(TypeError, match="^topp3_lp\\(\\) missing 1 required positional argument: 'problem'$"):
            q.topp3_lp()
        for f in (q.topp3_lp, q.topp3_lp_expert, q.topp3_socp, q.topp3_socp_expert):
            assert f.__text_signature__ == "(problem, options=None)"

    def test_each_solve_rebuilds_with_the_current_limits(self):
        robot, s = jerk_line_robot(101)
        problem = q.Topp3Problem(robot.constraints, np.full(len(s), 0.5))
        fast = q.topp3_lp(problem)
        robot.add_velocity_limits([0.5], [-0.5], start_idx_s=0)  # tightens the stored bound
        slow = q.topp3_lp(problem)
        assert fast.a.max() > 0.9 and slow.a.max() <= 0.25 * (1 + 1e-6)

    def test_store_errors_are_raised(self):
        robot, s = jerk_line_robot(101)
        problem = q.Topp3Problem(robot.constraints, np.full(len(s), 0.5))
        robot.constraints.pop_back_n(1)
        with pytest.raises(q.QarnError, match="linearize_constraint_3order failed"):
            q.topp3_lp(problem)
        with pytest.raises(q.QarnError, match="linearize_constraint_3order failed"):
            problem.validate()


class TestExceedTopp3:
    def test_profile_and_array_forms(self, line):
        robot, s = line
        c = robot.constraints
        profile = relinearized_lp(c, len(s), passes=1)
        by_profile = c.exceed_topp3(profile)
        assert len(by_profile) == 3 and all(isinstance(x, float) for x in by_profile)
        assert by_profile == c.exceed_topp3(profile.a, profile.b, num_stationary=profile.num_stationary)
        assert max(by_profile) <= 1e-6
        # Twice the speed breaks every order, the jerk term counted outside the stationary intervals.
        fast = c.exceed_topp3(4 * profile.a, 4 * profile.b, num_stationary=profile.num_stationary)
        assert min(fast) > 0.5
        assert all(np.isnan(c.exceed_topp3(profile, idx_s_start=1)))  # stations beyond the store

    def test_invalid_profiles_give_nan(self, line):
        robot, s = line
        c = robot.constraints
        for a, b in (([1.0], [0.0]), (np.ones(len(s)), np.zeros(len(s) - 1)), ([np.nan, 1.0], [0.0, 0.0])):
            assert all(np.isnan(c.exceed_topp3(a, b)))

    def test_argument_errors(self, line):
        robot, s = line
        c = robot.constraints
        p = q.Profile3rd(np.ones(3), np.zeros(3))
        not_both = "^pass either a `Profile3rd` or `a`, `b`, and `num_stationary`, not both$"
        with pytest.raises(ValueError, match=not_both):
            c.exceed_topp3(p, b=np.zeros(3))
        with pytest.raises(ValueError, match=not_both):
            c.exceed_topp3(p, num_stationary=(0, 0))
        with pytest.raises(ValueError, match="^`b` is required unless `a` is a `Profile3rd`$"):
            c.exceed_topp3([1.0, 1.0])
        with pytest.raises(ValueError, match="^`b` is required unless `a` is a `Profile3rd`$"):
            c.exceed_topp3([[1.0]])  # before `a` is converted
        with pytest.raises(ValueError, match="^expected tuple of length 2, but got tuple of length 3$"):
            c.exceed_topp3(p, num_stationary=(0, 0, 0))
        with pytest.raises(TypeError, match="^argument 'num_stationary'"):
            c.exceed_topp3([1.0], [0.0], num_stationary=[0, 0])
        with pytest.raises(OverflowError):
            c.exceed_topp3(p, idx_s_start=-1)

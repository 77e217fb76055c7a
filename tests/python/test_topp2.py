"""Time-optimal second-order profiles from Python: ReachSet2Options and its rule, Topp2Problem,
topp2_ra and the reachable sets, checked against closed-form profiles and against the limits
themselves, from waypoints to a time-sampled trajectory."""

import math

import numpy as np
import pytest

from qarn_py import _native as q
from second_order_cases import (ACC_MAX, LINE_ACC, LINE_LENGTH, LINE_V, V_MAX, WAYPOINTS, joint_motion,
                                line_optimum, line_robot, waypoint_robot)

RULE = "ReachSet2OptionsBuilder reported an invalid options: "
EPS = 2.220446049250313e-16


class TestReachSet2Options:
    def test_defaults_and_repr(self):
        o = q.ReachSet2Options()
        assert (o.lp_feas_tol, o.a_cmp_abs_tol, o.a_cmp_rel_tol) == (1e-8, 1e-8, 1e-8)
        assert o.verbosity is q.Verbosity.SILENT
        assert repr(o) == ("ReachSet2Options(lp_feas_tol=0.00000001, a_cmp_abs_tol=0.00000001, "
                           "a_cmp_rel_tol=0.00000001, verbosity=Silent)")
        assert q.ReachSet2Options.__text_signature__ == (
            "(*, lp_feas_tol=1e-08, a_cmp_abs_tol=1e-08, a_cmp_rel_tol=1e-08, verbosity='silent')")

    def test_values_and_verbosity_strings(self):
        o = q.ReachSet2Options(lp_feas_tol=1, a_cmp_abs_tol=0.0, a_cmp_rel_tol=2.5e-7, verbosity=" TRACE ")
        assert (o.lp_feas_tol, o.a_cmp_abs_tol, o.a_cmp_rel_tol) == (1.0, 0.0, 2.5e-7)
        assert o.verbosity == q.Verbosity.TRACE and "verbosity=Trace" in repr(o)
        assert q.ReachSet2Options(lp_feas_tol=EPS).lp_feas_tol == EPS
        assert q.ReachSet2Options(verbosity=q.Verbosity.DEBUG).verbosity is q.Verbosity.DEBUG

    @pytest.mark.parametrize("kwargs, message", [
        (dict(lp_feas_tol=0.0), "lp_feas_tol = 0 must be strictly positive"),
        (dict(lp_feas_tol=EPS / 2), "lp_feas_tol = 0.00000000000000011102230246251565 must be strictly positive"),
        (dict(lp_feas_tol=-1.0), "lp_feas_tol = -1 must be strictly positive"),
        (dict(lp_feas_tol=math.nan), "lp_feas_tol = NaN must not be NaN"),
        (dict(lp_feas_tol=math.inf), "lp_feas_tol = inf must not be infinite"),
        (dict(a_cmp_abs_tol=-math.inf), "a_cmp_abs_tol = -inf must not be infinite"),
        (dict(a_cmp_rel_tol=math.nan), "a_cmp_rel_tol = NaN must not be NaN"),
        (dict(a_cmp_abs_tol=0.0, a_cmp_rel_tol=0.0),
         "At least one of a_cmp_abs_tol = 0 and a_cmp_rel_tol = 0 must be strictly positive."),
        (dict(a_cmp_abs_tol=-1.0),
         "At least one of a_cmp_abs_tol = -1 and a_cmp_rel_tol = 0.00000001 must be strictly positive."),
        (dict(a_cmp_abs_tol=0.0, a_cmp_rel_tol=EPS),
         "At least one of a_cmp_abs_tol = 0 and a_cmp_rel_tol = 0.0000000000000002220446049250313 must be "
         "strictly positive."),
    ])
    def test_rule(self, kwargs, message):
        with pytest.raises(q.QarnError) as info:
            q.ReachSet2Options(**kwargs)
        assert str(info.value) == RULE + message
        assert type(info.value) is q.QarnError

    def test_argument_errors(self):
        with pytest.raises(TypeError, match="^argument 'a_cmp_abs_tol': "):
            q.ReachSet2Options(a_cmp_abs_tol="x")
        with pytest.raises(ValueError, match="^`verbosity` must be a Verbosity value or a string$"):
            q.ReachSet2Options(verbosity=2)
        with pytest.raises(TypeError):
            q.ReachSet2Options(1e-8)  # keyword-only

    def test_refused_setter_keeps_the_old_value(self):
        o = q.ReachSet2Options(lp_feas_tol=1e-6)
        with pytest.raises(q.QarnError, match="lp_feas_tol = NaN must not be NaN"):
            o.lp_feas_tol = math.nan
        assert o.lp_feas_tol == 1e-6
        o.a_cmp_abs_tol = 0.0  # the relative tolerance keeps the pair valid
        with pytest.raises(q.QarnError, match="At least one of a_cmp_abs_tol = 0 and a_cmp_rel_tol = 0 must"):
            o.a_cmp_rel_tol = 0.0
        assert (o.a_cmp_abs_tol, o.a_cmp_rel_tol) == (0.0, 1e-8)
        with pytest.raises(TypeError, match="^argument 'value': "):
            o.lp_feas_tol = "small"
        with pytest.raises(ValueError, match="^`verbosity` must be Verbosity.SILENT"):
            o.verbosity = "loud"
        assert o.lp_feas_tol == 1e-6 and o.verbosity is q.Verbosity.SILENT
        o.lp_feas_tol = 3
        o.verbosity = "debug"
        assert (o.lp_feas_tol, o.verbosity) == (3.0, q.Verbosity.DEBUG)
        o.verbosity = None
        assert o.verbosity is q.Verbosity.SILENT
        with pytest.raises(AttributeError, match="^property has no deleter$"):
            del o.lp_feas_tol

    @pytest.mark.parametrize("name", ["lp_feas_tol", "a_cmp_abs_tol", "a_cmp_rel_tol"])
    def test_a_value_that_reads_the_options_while_converting_is_stored(self, name):
        o = q.ReachSet2Options()

        class Half:
            def __float__(self):
                return getattr(o, name) / 2  # a shared borrow of o, before the setter's own

        setattr(o, name, Half())
        assert getattr(o, name) == 5e-9


class TestTopp2Problem:
    @pytest.fixture
    def constraints(self):
        c = q.Constraints(1)
        c.append_s(np.linspace(0.0, 1.0, 10))
        return c

    def test_attributes_and_repr(self, constraints):
        p = q.Topp2Problem(constraints, (0, 5), (1, 0.5))
        assert p.constraints is constraints
        assert (p.idx_s_interval, p.a_boundary, p.s_len) == ((0, 5), (1.0, 0.5), 6)
        assert repr(p) == "Topp2Problem(idx_s_interval=(0, 5), a_boundary=(1, 0.5))"
        assert q.Topp2Problem(constraints, (0, 2)).s_len == 3
        assert q.Topp2Problem.__text_signature__ == "(constraints, idx_s_interval, a_boundary=(0.0, 0.0))"

    def test_checks_at_construction(self, constraints):
        with pytest.raises(q.QarnError, match="^Topp2ProblemBuilder reported an invalid "):
            q.Topp2Problem(constraints, (0, 1))
        with pytest.raises(q.ConstraintError, match="out of bounds"):
            q.Topp2Problem(constraints, (0, 10))  # station 10 is not stored
        with pytest.raises(q.QarnError, match=r"^Topp2ProblemBuilder reported an invalid options: "
                                              r"a_start \(a_boundary.0\) = -1 must"):
            q.Topp2Problem(constraints, (0, 5), (-1.0, 0.0))

    def test_argument_forms(self, constraints):
        with pytest.raises(TypeError, match="^argument 'idx_s_interval': "):
            q.Topp2Problem(constraints, [0, 5])
        with pytest.raises(OverflowError):
            q.Topp2Problem(constraints, (0, -5))
        with pytest.raises(TypeError, match="^argument 'idx_s_interval': "):
            q.Topp2Problem(constraints, (0, 5.0))
        with pytest.raises(ValueError, match="length 3"):
            q.Topp2Problem(constraints, (0, 1, 2))
        with pytest.raises(TypeError, match="^argument 'a_boundary': "):
            q.Topp2Problem(constraints, (0, 5), [0.0, 0.0])
        robot = q.Robot(1)
        robot.append_s(np.linspace(0.0, 1.0, 10))
        with pytest.raises(TypeError, match="^argument 'constraints': 'Robot' object is not an instance of "
                                            "'Constraints'$"):
            q.Topp2Problem(robot, (0, 5))
        assert q.Topp2Problem(robot.constraints, (0, 5)).s_len == 6

    def test_validate_follows_the_store(self, constraints):
        p = q.Topp2Problem(constraints, (0, 9))
        assert p.validate() is None
        constraints.pop_front_n(1)
        with pytest.raises(q.ConstraintError, match="out of bounds"):
            p.validate()
        assert p.idx_s_interval == (0, 9)  # unchanged by the failure

    def test_problem_keeps_the_state_alive(self):
        robot = line_robot()
        p = q.Topp2Problem(robot.constraints, (0, 40))
        del robot
        np.testing.assert_allclose(q.topp2_ra(p), line_optimum(np.linspace(0.0, LINE_LENGTH, 41)), atol=1e-9)


class TestTopp2Ra:
    def test_closed_form_profile(self):
        n = 81
        robot = line_robot(n)
        s = np.linspace(0.0, LINE_LENGTH, n)
        a = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
        assert a.dtype == np.float64 and a.shape == (n,) and a.flags.c_contiguous
        np.testing.assert_allclose(a, line_optimum(s), rtol=1e-7, atol=1e-9)
        t_final, _ = q.s_to_t_topp2(s, a)
        # Within a step of the continuous optimum: ramps of v/acc each and cruise over the rest.
        ramp = LINE_V ** 2 / (2 * LINE_ACC)
        assert t_final == pytest.approx(2 * LINE_V / LINE_ACC + (LINE_LENGTH - 2 * ramp) / LINE_V, rel=1e-4)

    def test_boundary_values_and_a_sub_window(self):
        robot = line_robot(81)
        s = np.linspace(0.0, LINE_LENGTH, 81)
        a = q.topp2_ra(q.Topp2Problem(robot.constraints, (10, 70), (0.2, 0.1)))
        assert a.shape == (61,) and a[0] == pytest.approx(0.2) and a[-1] == pytest.approx(0.1)
        sub = s[10:71]
        expected = np.minimum(LINE_V ** 2, np.minimum(0.2 + 2 * LINE_ACC * (sub - sub[0]),
                                                      0.1 + 2 * LINE_ACC * (sub[-1] - sub)))
        np.testing.assert_allclose(a, expected, rtol=1e-7, atol=1e-9)

    def test_first_user_example(self):
        """Waypoints -> path -> robot with limits -> problem -> profile -> times -> s(t)."""
        robot, path, s = waypoint_robot(1000)
        problem = q.Topp2Problem(robot.constraints, (0, 999))
        # The reachability pass tolerates lp_feas_tol of the limits; 1e-10 keeps the audit below 1e-9.
        a = q.topp2_ra(problem, q.ReachSet2Options(lp_feas_tol=1e-10))
        exceed_1st, exceed_2nd = robot.constraints.exceed_topp2(a)
        assert exceed_1st <= 1e-9 * (V_MAX ** 2).max() and exceed_2nd <= 1e-9 * ACC_MAX.max()

        # The profile meets the limits, measured independently in joint space.
        velocity, acc_start, acc_end = joint_motion(path, s, a)
        assert np.all(np.abs(velocity) <= V_MAX * (1 + 1e-9))
        assert np.all(np.abs(acc_start) <= ACC_MAX * (1 + 1e-9)) and np.all(np.abs(acc_end) <= ACC_MAX * (1 + 1e-9))
        t_final, t_s = q.s_to_t_topp2(s, a)
        assert t_s[0] == 0.0 and t_final == t_s[-1] and np.all(np.diff(t_s) > 0)
        samples = q.t_to_s_topp2(s, a, t_s, dt=0.01)
        assert len(samples) == math.floor(t_final / 0.01) + 1  # the grid, then the final station
        assert samples[0] == 0.0 and samples[-1] == 1.0 and np.all(np.diff(samples) > 0)
        np.testing.assert_allclose(np.interp(samples[:-1], s, t_s), 0.01 * np.arange(len(samples) - 1),
                                   atol=2e-3)

    def test_default_tolerance_stays_within_the_tolerance(self):
        robot, _, _ = waypoint_robot(500)
        problem = q.Topp2Problem(robot.constraints, (0, 499))
        a = q.topp2_ra(problem)
        np.testing.assert_array_equal(a, q.topp2_ra(problem, q.ReachSet2Options()))
        np.testing.assert_array_equal(a, q.topp2_ra(problem=problem, options=None))
        assert robot.constraints.exceed_topp2(a)[1] <= 1e-8 * ACC_MAX.max() * (1 + 1e-6)

    def test_argument_errors(self):
        robot = line_robot()
        problem = q.Topp2Problem(robot.constraints, (0, 40))
        with pytest.raises(TypeError) as info:
            q.topp2_ra(problem, opts=None)
        assert str(info.value) == "topp2_ra() got an unexpected keyword argument 'opts'"
        with pytest.raises(TypeError, match="^topp2_ra\\(\\) missing 1 required positional argument: 'problem'$"):
            q.topp2_ra()
        with pytest.raises(TypeError, match="^argument 'problem': 'Qarn2Problem' object is not an instance of "
                                            "'Topp2Problem'$"):
            q.topp2_ra(q.Qarn2Problem(robot, q.Time(1.0), (0, 40)), options=None)
        with pytest.raises(TypeError, match="^argument 'options': 'ClarabelOptions' object is not an instance of "
                                            "'ReachSet2Options'$"):
            q.reach_set2_backward(problem, q.ClarabelOptions())
        with pytest.raises(TypeError, match="^argument 'problem': "):
            q.reach_set2_bidirectional(None)

    def test_core_failures(self):
        robot = line_robot()
        # a_start beyond what the limits allow: no profile can start there.
        problem = q.Topp2Problem(robot.constraints, (0, 40), (4.0, 0.0))
        with pytest.raises(q.QarnError, match="reported an infeasibility"):
            q.topp2_ra(problem)
        # Torque 10 + 2 ddq against 5 on q = s^2: no a anywhere. Before: "... backward pass where a_max
        # = NaN, a_min = -0"; now the limits that empty the set, with finite values.
        n = 41
        torque = q.Robot(1, capacity=n, inverse_dynamics=lambda qq, dq, ddq: 10 + 2 * ddq)
        s = np.linspace(0.0, 1.0, n)
        torque.append_s(s)
        torque.set_q((s * s)[:, None], 2 * s[:, None], np.full((n, 1), 2.0), 0)
        torque.add_torque_limits([5.0], [-5.0], start_idx_s=0)
        with pytest.raises(q.QarnError) as info:
            q.topp2_ra(q.Topp2Problem(torque.constraints, (0, n - 1)))
        assert str(info.value) == (
            "reach_set2 reported an infeasibility: The reachable set is empty at index 14 during the backward pass: "
            "with a between 8.928571428571427 and 11.249999999999996 at idx_s = 15, no a >= 0 at idx_s = 14 holds "
            "both the second-order row 0 at idx_s = 14 (acc_a = 4, acc_b = 1.4000000000000004, acc_max = -5) and the "
            "second-order row 1 at idx_s = 15 (acc_a = -4, acc_b = -1.5, acc_max = 15)")
        # The store changed after the problem was made: the solve checks it again.
        problem = q.Topp2Problem(robot.constraints, (0, 40))
        robot.constraints.pop_back_n(1)
        with pytest.raises(q.ConstraintError, match="out of bounds"):
            q.topp2_ra(problem)
        with pytest.raises(q.ConstraintError, match="out of bounds"):
            q.reach_set2_backward(problem)

    def test_progress_lines_follow_the_verbosity(self, capfd):
        problem = q.Topp2Problem(line_robot().constraints, (0, 40))
        q.topp2_ra(problem)
        assert capfd.readouterr().out == ""
        q.topp2_ra(problem, q.ReachSet2Options(verbosity="summary"))
        out = capfd.readouterr().out
        assert out.startswith("\ntopp2_ra started: 0 <= idx_s <= 40, a_start = 0, a_final = 0.\n")
        q.reach_set2_bidirectional(problem, q.ReachSet2Options(verbosity="summary"))
        assert "reach_set2: forward + backward total elapsed time = " in capfd.readouterr().out


class TestReachSets:
    def test_closed_form_sets(self):
        n = 41
        robot = line_robot(n)
        s = np.linspace(0.0, LINE_LENGTH, n)
        problem = q.Topp2Problem(robot.constraints, (0, n - 1))
        backward = q.reach_set2_backward(problem)
        # Backward: every a from which a stop at the end is still possible.
        np.testing.assert_allclose(backward.a_max, np.minimum(LINE_V ** 2, 2 * LINE_ACC * (LINE_LENGTH - s)),
                                   rtol=1e-7, atol=1e-9)
        np.testing.assert_allclose(backward.a_min, 0.0, atol=1e-12)
        both = q.reach_set2_bidirectional(problem)
        np.testing.assert_allclose(both.a_max, line_optimum(s), rtol=1e-7, atol=1e-9)
        np.testing.assert_allclose(both.a_min, 0.0, atol=1e-12)

    def test_sets_enclose_the_optimum(self):
        robot, _, _ = waypoint_robot(300)
        problem = q.Topp2Problem(robot.constraints, (0, 299))
        a = q.topp2_ra(problem)
        for solver in (q.reach_set2_backward, q.reach_set2_bidirectional):
            sets = solver(problem)
            assert np.all(sets.a_min <= a + 1e-9) and np.all(a <= sets.a_max * (1 + 1e-8) + 1e-12)
        np.testing.assert_allclose(q.reach_set2_bidirectional(problem).a_max[-1], 0.0, atol=1e-12)

    def test_result_object(self):
        problem = q.Topp2Problem(line_robot().constraints, (5, 30))
        sets = q.reach_set2_backward(problem, q.ReachSet2Options(a_cmp_rel_tol=1e-6))
        assert len(sets) == sets.len == problem.s_len == 26 and bool(sets)
        assert repr(sets) == "ReachSet2(len=26)"
        first = sets.a_max
        first[:] = -1.0
        assert sets.a_max is not first and np.all(sets.a_max >= 0.0)
        assert sets.a_min.shape == (26,)
        with pytest.raises(TypeError):
            q.ReachSet2()
        with pytest.raises(AttributeError):
            sets.a_max = first


class TestBetweenStations:
    """What the README says of the limits between stations, on the quintic and cubic paths through
    WAYPOINTS: the excess of the joint acceleration over its limit shrinks with the station count,
    except near the rest end of the quintic path, where it stays near 2% unless the limits are
    tighter there."""

    @staticmethod
    def excess(order, n, tighter_ends=None, sub=16):
        """The largest relative excess of |d2q/dt2| over ACC_MAX within the intervals of the first
        and of the second half of the path (a linear in s and b constant per interval)."""
        path = q.Path.from_waypoints(WAYPOINTS, order=order)
        s = np.linspace(0.0, 1.0, n)
        robot = q.Robot(2, capacity=max(n, 1000))
        robot.append_s(s)
        robot.set_q_from_path_2nd(path, 0, n)
        robot.add_velocity_limits(V_MAX, -V_MAX, start_idx_s=0)
        robot.add_acceleration_limits(ACC_MAX, -ACC_MAX, start_idx_s=0)
        if tighter_ends:
            for start in (0, n - 10):
                robot.add_acceleration_limits(tighter_ends * ACC_MAX, -tighter_ends * ACC_MAX, start_idx_s=start,
                                              length=10)
        a = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
        b = 0.5 * np.diff(a) / np.diff(s)
        step = np.diff(s)[:, None] * np.linspace(0.0, 1.0, sub)
        d = path.evaluate_up_to_2nd((s[:-1, None] + step).ravel())
        acc = d.ddq * (a[:-1, None] + 2 * b[:, None] * step).ravel()[:, None] + d.dq * np.repeat(b, sub)[:, None]
        per_interval = (np.abs(acc) / ACC_MAX).max(axis=1).reshape(n - 1, sub).max(axis=1) - 1
        half = (n - 1) // 2
        return per_interval[:half].max(), per_interval[half:].max()

    def test_the_quintic_rest_end_keeps_its_excess(self):
        counts = (100, 300, 1000)
        quintic = [self.excess(5, n) for n in counts]
        tightened = [self.excess(5, n, tighter_ends=0.975) for n in counts]
        cubic = [self.excess(3, n) for n in counts]
        assert all(0.015 < end < 0.025 for _, end in quintic)  # about 2% at any count
        assert quintic[0][0] > 10 * quintic[-1][0]  # the first half shrinks
        for shrinking in (tightened, cubic):
            worst = [max(pair) for pair in shrinking]
            assert worst[0] < 0.003 and worst[0] > 10 * worst[-1]


def reference_reach_sets(s, rows, amax, a_boundary, bidirectional):
    """The reach sets by linear programs over every a (SciPy's HiGHS): rows[m] holds the (acc_a,
    acc_b, acc_max) rows of station m, which act in both intervals next to it with that interval's
    b; amax[m] is its first-order bound (inf: none). The backward set at station m projects the
    intervals from m to the end, with a_final fixed; the bidirectional one projects every interval,
    with a_start fixed too. (a_min, a_max) per station, inf where unbounded; None when infeasible."""
    from scipy.optimize import linprog

    n = len(s)

    def interval_rows(k):
        f = 0.5 / (s[k + 1] - s[k])
        for m in (k, k + 1):
            for acc_a, acc_b, acc_max in rows[m]:
                row = np.zeros(n)
                row[m] += acc_a
                row[k] -= f * acc_b
                row[k + 1] += f * acc_b
                yield row, acc_max

    bounds = [(0.0, amax[m] if np.isfinite(amax[m]) else None) for m in range(n)]
    bounds[-1] = (a_boundary[1], a_boundary[1])
    if bidirectional:
        bounds[0] = (a_boundary[0], a_boundary[0])
    low, high = np.empty(n), np.empty(n)
    for m in range(n):
        pairs = [pair for k in range(0 if bidirectional else m, n - 1) for pair in interval_rows(k)]
        matrix = np.array([row for row, _ in pairs]) if pairs else None
        bound = [value for _, value in pairs] or None
        for sign, out in ((1.0, low), (-1.0, high)):
            cost = np.zeros(n)
            cost[m] = sign
            result = linprog(cost, A_ub=matrix, b_ub=bound, bounds=bounds, method="highs")
            if result.status == 2:
                return None
            out[m] = np.inf if result.status == 3 else sign * result.fun
    return low, high


def reach_case(seed):
    """A small random store: stations with upper rows, lower-bound rows only (a >= c), rows in b,
    or none; first-order bounds on some stations."""
    rng = np.random.default_rng(seed)
    n = int(rng.integers(3, 8))
    s = np.cumsum(rng.uniform(0.2, 1.0, n))
    rows, amax = [], np.full(n, np.inf)
    for m in range(n):
        kind = rng.choice(["none", "lower", "upper", "mixed"])
        station = []
        if kind in ("lower", "mixed"):
            station.append((-1.0, 0.0, -rng.uniform(0.1, 0.6)))  # a >= c
        if kind in ("upper", "mixed"):
            station.append((rng.uniform(0.5, 2.0), rng.uniform(-1.0, 1.0), rng.uniform(1.0, 3.0)))
            station.append((rng.uniform(0.5, 2.0), -rng.uniform(-1.0, 1.0), rng.uniform(1.0, 3.0)))
        rows.append(station)
        if rng.random() < 0.3:
            amax[m] = rng.uniform(0.7, 4.0)
    a_boundary = (float(rng.uniform(0.0, 0.8)), float(rng.uniform(0.0, 0.8)))
    return s, rows, amax, a_boundary


class TestReachSetsAgainstLinearPrograms:
    """The reach sets against the projections of the whole problem, on stores where stations have
    only lower-bound rows and no first-order bound (the sets are unbounded above there)."""

    @staticmethod
    def store(s, rows, amax):
        c = q.Constraints(1)
        c.append_s(s)
        for m, station in enumerate(rows):
            for acc_a, acc_b, acc_max in station:
                c.add_constraint_2nd([[acc_a]], [[acc_b]], [[acc_max]], m)
            if np.isfinite(amax[m]):
                c.add_constraint_1st([[amax[m]]], m)
        return c

    def test_lower_bound_rows_alone_give_their_bound(self):
        c = q.Constraints(1)
        c.append_s([0.0, 1.0, 2.0, 3.0])
        c.add_constraint_2nd(np.ones((4, 1)), np.zeros((4, 1)), np.full((4, 1), 0.5), 0, is_negative=True)
        problem = q.Topp2Problem(c, (0, 3), (0.6, 0.6))
        backward = q.reach_set2_backward(problem)
        np.testing.assert_array_equal(backward.a_min, [0.5, 0.5, 0.5, 0.6])
        np.testing.assert_array_equal(backward.a_max, [np.inf, np.inf, np.inf, 0.6])
        both = q.reach_set2_bidirectional(problem)
        np.testing.assert_array_equal(both.a_min, [0.6, 0.5, 0.5, 0.6])
        np.testing.assert_array_equal(both.a_max, [0.6, np.inf, np.inf, 0.6])
        with pytest.raises(q.QarnError, match="unbounded at index 1"):
            q.topp2_ra(problem)

    @pytest.mark.parametrize("seed", range(40))
    def test_random_stores(self, seed):
        s, rows, amax, a_boundary = reach_case(seed)
        problem = q.Topp2Problem(self.store(s, rows, amax), (0, len(s) - 1), a_boundary)
        for solver, bidirectional in ((q.reach_set2_backward, False), (q.reach_set2_bidirectional, True)):
            expected = reference_reach_sets(s, rows, amax, a_boundary, bidirectional)
            if expected is None:
                with pytest.raises(q.QarnError):
                    solver(problem)
                continue
            sets = solver(problem)
            for got, want in ((sets.a_min, expected[0]), (sets.a_max, expected[1])):
                assert np.array_equal(np.isinf(got), np.isinf(want)), (got, want)
                finite = np.isfinite(want)
                np.testing.assert_allclose(got[finite], want[finite], rtol=1e-7, atol=1e-9)

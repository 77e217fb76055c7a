"""Convex-objective second-order profiles from Python: Qarn2Problem, qarn2_socp and its expert
result, every objective kind as object and as dict with its terms recomputed in NumPy, agreement
with reachability analysis, and a Python inverse-dynamics model."""

import threading

import numpy as np
import pytest

from qarn_py import _native as q
from second_order_cases import LINE_LENGTH, joint_motion, line_optimum, line_robot, waypoint_robot

MASS, GRAVITY = np.array([2.0, 0.5]), np.array([1.0, -3.0])


def torque(path, s, a):
    """Joint torques per interval k at station k with the segment b_k for the model
    tau = MASS * qdd + GRAVITY (dim x n-1)."""
    d = path.evaluate_up_to_2nd(s)
    b = 0.5 * np.diff(a) / np.diff(s)
    qdd = d.ddq[:-1] * a[:-1, None] + d.dq[:-1] * b[:, None]
    return (MASS * qdd + GRAVITY).T


def interval_times(s, a):
    return 2 * np.diff(s) / (np.sqrt(a[:-1]) + np.sqrt(a[1:]))


def model_callback(calls=None):
    def inverse_dynamics(qq, dq, ddq):
        if calls is not None:
            calls.append(threading.get_ident())
        return MASS * ddq + GRAVITY
    return inverse_dynamics


@pytest.fixture(scope="module")
def first_user():
    """The waypoint robot with the torque model; returns (robot, path, s)."""
    return waypoint_robot(200, inverse_dynamics=model_callback())


class TestQarn2Problem:
    def test_attributes_and_repr(self):
        robot = line_robot()
        objectives = [q.Time(1.0), {"kind": "time", "weight": 2.0}]
        p = q.Qarn2Problem(robot, objectives, (2, 30), (0.25, 0))
        assert p.robot is robot
        assert (p.idx_s_interval, p.a_boundary, p.s_len, p.objective_count) == ((2, 30), (0.25, 0.0), 29, 2)
        assert repr(p) == "Qarn2Problem(idx_s_interval=(2, 30), a_boundary=(0.25, 0), objective_count=2)"
        assert q.Qarn2Problem(robot, q.Time(1.0), (0, 40)).objective_count == 1
        assert q.Qarn2Problem.__text_signature__ == "(robot, objectives, idx_s_interval, a_boundary=(0.0, 0.0))"
        assert p.validate() is None

    def test_checks_at_construction_and_validate(self):
        robot = line_robot()
        with pytest.raises(q.QarnError, match="objectives must not be empty"):
            q.Qarn2Problem(robot, [], (0, 5))
        with pytest.raises(q.QarnError, match="^Qarn2ProblemBuilder reported "):
            q.Qarn2Problem(robot, q.Time(-1.0), (0, 5))
        with pytest.raises(q.QarnError, match="^Qarn2ProblemBuilder reported "):
            q.Qarn2Problem(robot, q.Linear(1.0, np.ones(6), np.ones(6)), (0, 5))  # beta is per interval
        assert q.Qarn2Problem(robot, q.Linear(1.0, np.ones(6), np.ones(5)), (0, 5)).s_len == 6
        with pytest.raises(q.QarnError, match="^Qarn2ProblemBuilder reported "):
            q.Qarn2Problem(robot, q.ThermalEnergy(1.0, [1.0, 1.0]), (0, 5))  # one axis
        p = q.Qarn2Problem(robot, q.Time(1.0), (0, 40))
        robot.constraints.pop_back_n(1)
        with pytest.raises(q.ConstraintError, match="out of bounds"):
            p.validate()

    def test_argument_forms(self):
        robot = line_robot()
        with pytest.raises(TypeError, match="^argument 'robot': 'Constraints' object is not an instance of 'Robot'$"):
            q.Qarn2Problem(robot.constraints, q.Time(1.0), (0, 5))
        with pytest.raises(TypeError, match="^argument 'idx_s_interval': "):
            q.Qarn2Problem(robot, q.Time(1.0), [0, 5])
        with pytest.raises(ValueError, match="^objective dict field `kind` must be one of "):
            q.Qarn2Problem(robot, {"kind": "jerk", "weight": 1.0}, (0, 5))
        # The interval is converted before the objectives are parsed.
        with pytest.raises(OverflowError):
            q.Qarn2Problem(robot, {"kind": "jerk"}, (0, -1))

    def test_objectives_are_copied(self):
        robot = line_robot()
        alpha = np.zeros(41)
        linear = q.Linear(1.0, alpha, np.zeros(40))
        p = q.Qarn2Problem(robot, [q.Time(1.0), linear], (0, 40))
        alpha[:] = 1e6  # neither the array nor the objective object reaches the problem
        a = q.qarn2_socp(p)
        np.testing.assert_allclose(a, line_optimum(np.linspace(0.0, LINE_LENGTH, 41)), rtol=1e-5, atol=1e-7)


class TestTimeOptimum:
    def test_closed_form_line(self):
        robot = line_robot()
        a = q.qarn2_socp(q.Qarn2Problem(robot, q.Time(1.0), (0, 40)))
        assert a.dtype == np.float64 and a.shape == (41,)
        expected = line_optimum(np.linspace(0.0, LINE_LENGTH, 41))
        np.testing.assert_allclose(a, expected, rtol=1e-5, atol=1e-8)
        np.testing.assert_allclose(a, q.topp2_ra(q.Topp2Problem(robot.constraints, (0, 40))), rtol=1e-5, atol=1e-8)

    def test_agrees_with_reachability_on_the_waypoint_path(self):
        robot, path, s = waypoint_robot(1000)
        a_ra = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, 999)))
        a = q.qarn2_socp(q.Qarn2Problem(robot, q.Time(1.0), (0, 999)))
        t_ra, t = q.s_to_t_topp2(s, a_ra)[0], q.s_to_t_topp2(s, a)[0]
        # Where an axis comes to rest (here near the end and where an axis reverses), the discrete
        # acceleration rows couple neighbouring stations with coefficients of one sign, so no
        # profile is largest at every station: the greedy forward pass of reachability analysis is
        # then slightly slower than the conic optimum (2.9e-6 relative at 1,000 stations; the gap
        # shrinks as the grid is refined).
        assert t <= t_ra * (1 + 1e-9)
        assert t == pytest.approx(t_ra, rel=1e-5)
        exceed = robot.constraints.exceed_topp2(a)
        assert exceed[0] <= 1e-7 and exceed[1] <= 1e-7
        np.testing.assert_allclose(a[:990], a_ra[:990], rtol=1e-4, atol=1e-7)


class TestExpert:
    def test_result(self):
        robot = line_robot()
        problem = q.Qarn2Problem(robot, [q.Time(2.0), {"kind": "Time", "weight": 0.5}], (0, 40))
        result = q.qarn2_socp_expert(problem)
        assert result.solver_status is q.ClarabelSolverStatus.SOLVED and result.solver_status == 1
        assert isinstance(result.iterations, int) and 0 < result.iterations < 200
        np.testing.assert_array_equal(result.a, q.qarn2_socp(problem))
        t_final = q.s_to_t_topp2(np.linspace(0.0, LINE_LENGTH, 41), result.a)[0]
        np.testing.assert_allclose(result.objective_terms, [t_final, t_final], rtol=1e-12)
        assert result.objective_value == pytest.approx(2.5 * t_final, rel=1e-12)
        assert result.obj_val == pytest.approx(result.objective_value, rel=1e-6)
        assert result.obj_val_dual == pytest.approx(result.obj_val, rel=1e-6)
        assert result.r_prim < 1e-6 and result.r_dual < 1e-6 and result.solve_time >= 0.0
        assert len(result.z) == len(result.s) and len(result.x) >= 41
        assert result.linsolver.method is q.ClarabelDirectSolveMethod.QDLDL
        assert repr(result) == (f"Qarn2SocpResult(a_available=true, solver_status=Solved, iterations="
                                f"{result.iterations}, objective_value=Some({result.objective_value!r}))")

    def test_arrays_are_fresh_copies(self):
        result = q.qarn2_socp_expert(q.Qarn2Problem(line_robot(), q.Time(1.0), (0, 40)))
        for name in ("x", "z", "s", "a", "objective_terms"):
            first = getattr(result, name)
            second = getattr(result, name)
            assert first is not second and np.array_equal(first, second)
            first[:] = -7.0
            assert not np.array_equal(getattr(result, name), first)
        with pytest.raises(TypeError):
            q.Qarn2SocpResult()

    def test_unaccepted_status(self):
        problem = q.Qarn2Problem(line_robot(), q.Time(1.0), (0, 40))
        options = q.ClarabelOptions(clarabel_settings=q.ClarabelSettings(max_iter=3))
        result = q.qarn2_socp_expert(problem, options)
        assert result.solver_status is q.ClarabelSolverStatus.MAX_ITERATIONS and result.iterations == 3
        assert result.a is None and result.objective_value is None and result.objective_terms is None
        assert len(result.x) > 41 and np.all(np.isfinite(result.x))
        assert repr(result) == ("Qarn2SocpResult(a_available=false, solver_status=MaxIterations, iterations=3, "
                                "objective_value=None)")
        with pytest.raises(q.QarnError, match="^qarn2_socp reported a failure in Clarabel solver with status "
                                              "MaxIterations$"):
            q.qarn2_socp(problem, options)

    def test_argument_errors(self):
        robot = line_robot()
        problem = q.Qarn2Problem(robot, q.Time(1.0), (0, 40))
        with pytest.raises(TypeError, match="^qarn2_socp\\(\\) got an unexpected keyword argument 'opts'$"):
            q.qarn2_socp(problem, opts=None)
        with pytest.raises(TypeError, match="^argument 'problem': 'Topp2Problem' object is not an instance of "
                                            "'Qarn2Problem'$"):
            q.qarn2_socp_expert(q.Topp2Problem(robot.constraints, (0, 40)))
        with pytest.raises(TypeError, match="^argument 'options': 'ReachSet2Options' object is not an instance of "
                                            "'ClarabelOptions'$"):
            q.qarn2_socp(problem, q.ReachSet2Options())


class TestObjectiveKinds:
    """Every kind, as an object and as a dict, on the waypoint path with the torque model."""

    def kinds(self, n, dict_form):
        rng = np.random.default_rng(5)
        alpha, beta = rng.uniform(0.0, 1.0, n), rng.uniform(-1.0, 1.0, n - 1)
        normalize = [0.5, 2.0]
        if dict_form:
            return [{"kind": "time", "weight": 1.0},
                    {"kind": " Linear", "weight": 0.1, "alpha": alpha, "beta": beta},
                    {"kind": "Thermal-Energy", "weight": 0.01, "normalize": normalize},
                    {"kind": "tv_torque", "weight": 0.001, "normalize": normalize}]
        return [q.Time(1.0), q.Linear(0.1, alpha, beta), q.ThermalEnergy(0.01, normalize),
                q.TotalVariationTorque(0.001, normalize)]

    @staticmethod
    def reference_terms(path, s, a, objectives):
        """The four terms recomputed from the profile: time, linear, thermal, total variation."""
        alpha, beta = objectives[1].alpha, objectives[1].beta
        normalize = np.asarray(objectives[2].normalize)
        tau = torque(path, s, a)
        dt = interval_times(s, a)
        return [dt.sum(),
                alpha @ a + beta @ (0.5 * np.diff(a) / np.diff(s)),
                (dt * ((normalize[:, None] * tau) ** 2).sum(axis=0)).sum(),
                (normalize[:, None] * np.abs(np.diff(tau, axis=1))).sum()]

    @pytest.mark.parametrize("dict_form", [False, True])
    def test_every_kind_solves(self, first_user, dict_form):
        robot, path, s = first_user
        n = len(s)
        objectives = self.kinds(n, dict_form)
        result = q.qarn2_socp_expert(q.Qarn2Problem(robot, objectives, (0, n - 1)))
        assert result.solver_status in (q.ClarabelSolverStatus.SOLVED, q.ClarabelSolverStatus.ALMOST_SOLVED)
        a = result.a
        exceed = robot.constraints.exceed_topp2(a)
        assert exceed[0] <= 1e-7 and exceed[1] <= 1e-7
        expected = self.reference_terms(path, s, a, self.kinds(n, False))
        np.testing.assert_allclose(result.objective_terms, expected, rtol=1e-9)
        weights = [1.0, 0.1, 0.01, 0.001]
        assert result.objective_value == pytest.approx(np.dot(weights, expected), rel=1e-9)

    def test_objects_and_dicts_give_the_same_profile(self, first_user):
        robot, _, s = first_user
        n = len(s)
        by_object = q.qarn2_socp(q.Qarn2Problem(robot, self.kinds(n, False), (0, n - 1)))
        by_dict = q.qarn2_socp(q.Qarn2Problem(robot, self.kinds(n, True), (0, n - 1)))
        np.testing.assert_array_equal(by_object, by_dict)


class TestInverseDynamicsCallback:
    def test_thermal_trades_time_for_energy(self):
        calls = []
        robot, path, s = waypoint_robot(150, inverse_dynamics=model_callback(calls))
        n = len(s)
        fast = q.qarn2_socp_expert(q.Qarn2Problem(robot, [q.Time(1.0), q.ThermalEnergy(0.0, [1.0, 1.0])], (0, n - 1)))
        assert calls and set(calls) == {threading.get_ident()}  # on the calling thread
        calls.clear()
        cool = q.qarn2_socp_expert(q.Qarn2Problem(robot, [q.Time(1.0), q.ThermalEnergy(1.0, [1.0, 1.0])], (0, n - 1)))
        assert calls and set(calls) == {threading.get_ident()}
        (t_fast, e_fast), (t_cool, e_cool) = fast.objective_terms, cool.objective_terms
        assert t_cool > t_fast and e_cool < e_fast
        # Each optimum is the better one for its own weights.
        assert t_cool + e_cool < t_fast + e_fast
        dt = interval_times(s, cool.a)
        assert e_cool == pytest.approx((dt * (torque(path, s, cool.a) ** 2).sum(axis=0)).sum(), rel=1e-9)
        velocity, acc_start, _ = joint_motion(path, s, cool.a)
        assert np.all(np.isfinite(velocity)) and np.all(np.isfinite(acc_start))

    def test_callback_exception_propagates_unchanged(self):
        error = LookupError("joint model")
        state = {"fail": False}

        def callback(qq, dq, ddq):
            if state["fail"]:
                raise error
            return MASS * ddq + GRAVITY

        robot, _, s = waypoint_robot(50, inverse_dynamics=callback)
        problem = q.Qarn2Problem(robot, [q.Time(1.0), q.ThermalEnergy(0.1, [1.0, 1.0])], (0, 49))
        state["fail"] = True
        with pytest.raises(LookupError) as info:
            q.qarn2_socp(problem)
        assert info.value is error
        with pytest.raises(LookupError) as info:
            q.qarn2_socp_expert(problem)
        assert info.value is error
        state["fail"] = False
        assert q.qarn2_socp(problem).shape == (50,)  # no stale exception is raised later
        robot.set_inverse_dynamics(lambda qq, dq, ddq: [1.0])
        with pytest.raises(ValueError, match="^`inverse_dynamics` returned 1 values; expected 2$"):
            q.qarn2_socp(problem)

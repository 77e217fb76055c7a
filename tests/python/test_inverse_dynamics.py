"""The inverse-dynamics bridge: accepted callback objects, the four calls per station with their
arguments, torque rows by hand for a simple model, failures kept as the callback's own exception,
the protocol errors, and the release of replaced callbacks."""

import contextlib
import gc
import math
import threading
import warnings
import weakref

import numpy as np
import pytest

from qarn_py import _native as q

SQRT2 = math.sqrt(2.0)
# A six-axis arm: the DH rows (d, a, alpha) of a UR5, link masses, centres of mass, principal inertias.
DH = [(0.089, 0, np.pi / 2), (0, -0.425, 0), (0, -0.392, 0), (0.109, 0, np.pi / 2), (0.095, 0, -np.pi / 2),
      (0.082, 0, 0)]
LINKS = list(zip([3.7, 8.4, 2.3, 1.2, 1.2, 0.19], np.random.default_rng(2).uniform(-0.1, 0.2, (6, 3)),
                 np.random.default_rng(3).uniform(1e-4, 0.3, (6, 3))))


def rigid_body(qq, dq, ddq):
    """tau = M(q) ddq + c(q, dq) + g(q) of the arm by recursive Newton-Euler in world coordinates, in
    the precision of q."""
    f = np.asarray(qq).dtype.type
    rot, origin, w, dw, acc, links = np.eye(3, dtype=f), *np.zeros((3, 3), f), np.array([0, 0, 9.81], f), []
    for i, ((d, a, alpha), (mass, com, inertia)) in enumerate(zip(DH, LINKS)):
        z, ct, st, ca, sa = rot[:, 2], np.cos(qq[i]), np.sin(qq[i]), np.cos(f(alpha)), np.sin(f(alpha))
        mass, com, inertia = f(mass), com.astype(f), inertia.astype(f)
        end = origin + rot @ np.array([a * ct, a * st, d], f)
        rot = rot @ np.array([[ct, -st * ca, st * sa], [st, ct * ca, -ct * sa], [0, sa, ca]], f)
        dw, w = dw + z * ddq[i] + np.cross(w, z * dq[i]), w + z * dq[i]
        arm = lambda r: np.cross(dw, r) + np.cross(w, np.cross(w, r))  # noqa: E731
        acc, centre, inertia = acc + arm(end - origin), end + rot @ com, rot @ np.diag(inertia) @ rot.T
        wrench = mass * (acc + arm(centre - end)), inertia @ dw + np.cross(w, inertia @ w)
        links.append((z, origin, end, centre, *wrench))
        origin = end
    tau, force, moment = np.zeros(6, f), np.zeros(3, f), np.zeros(3, f)  # of the next link on this one, about its joint
    for i in reversed(range(6)):
        z, joint, end, centre, f, n = links[i]
        moment = n + np.cross(centre - joint, f) + moment + np.cross(end - joint, force)
        force, tau[i] = f + force, z @ moment
    return tau


def robot_on_line(dim=2, n=4, callback=None, dq=None, module=q):
    """Stations 0..n-1 on [0, 1] with q = s, the given dq and ddq = 0.5 per axis; a Robot of `module`."""
    robot = module.Robot(dim, inverse_dynamics=callback)
    s = np.linspace(0.0, 1.0, n)
    robot.append_s(s)
    dq = np.ones(dim) if dq is None else np.asarray(dq, dtype=float)
    robot.set_q(np.tile(s[:, None], (1, dim)), np.tile(dq, (n, 1)), np.full((n, dim), 0.5), 0)
    return robot


def add_torque(robot, bound=10.0, **kwargs):
    dim = robot.dim
    robot.add_torque_limits(np.full(dim, bound), np.full(dim, -bound), start_idx_s=0, **kwargs)


class TestAcceptance:
    def test_callable_or_method(self):
        class WithMethod:
            def inverse_dynamics(self, qq, dq, ddq):
                return ddq

        assert q.Robot(2, inverse_dynamics=WithMethod()).has_inverse_dynamics

    def test_refusals(self):
        message = r"^`inverse_dynamics` must be a callable or define an `inverse_dynamics\(q, dq, ddq\)` method$"

        class NotCallable:
            inverse_dynamics = 3.0

        for bad in (None, 5, NotCallable()):
            with pytest.raises(ValueError, match=message):
                q.Robot(2).set_inverse_dynamics(bad)

        class Raising:
            @property
            def inverse_dynamics(self):
                raise RuntimeError("lookup failed")

        with pytest.raises(RuntimeError, match="^lookup failed$"):
            q.Robot(2, inverse_dynamics=Raising())

    def test_call_operator_wins(self):
        seen = []

        class Both:
            def __call__(self, qq, dq, ddq):
                seen.append("call")
                return ddq

            def inverse_dynamics(self, qq, dq, ddq):
                seen.append("method")
                return ddq

        add_torque(robot_on_line(callback=Both(), n=2))
        assert set(seen) == {"call"}

    def test_method_is_looked_up_at_every_call(self):
        calls = []

        class Swapping:
            def inverse_dynamics(self, qq, dq, ddq):
                calls.append(1)
                self.inverse_dynamics = lambda *args: args[2]
                return ddq

        add_torque(robot_on_line(callback=Swapping(), n=2))
        assert len(calls) == 1  # later calls went to the replaced attribute


class TestCalls:
    def test_four_calls_per_station_with_their_arguments(self):
        calls = []

        def record(qq, dq, ddq):
            for array in (qq, dq, ddq):
                assert type(array) is np.ndarray and array.dtype == np.float64 and array.ndim == 1
            calls.append((qq.copy(), dq.copy(), ddq.copy()))
            result = ddq.copy()
            qq[:] = 99.0  # fresh arrays: writing into them changes nothing stored
            return result

        dq = np.array([1.0, -2.0])
        robot = robot_on_line(callback=record, dq=dq, n=3)
        add_torque(robot)
        assert len(calls) == 4 * 3
        s = np.linspace(0.0, 1.0, 3)
        ddq = np.full(2, 0.5)
        zero = np.zeros(2)
        for k in range(3):
            position = np.full(2, s[k])
            expected = [(position, zero, zero), (position, zero, dq), (position, SQRT2 * dq, 2 * ddq),
                        (position, dq, ddq)]
            for got, want in zip(calls[4 * k:4 * k + 4], expected):
                for g, w in zip(got, want):
                    np.testing.assert_array_equal(g, w)
        # A second addition sees the stored q, not the values the callback wrote.
        calls.clear()
        add_torque(robot)
        np.testing.assert_array_equal(calls[0][0], [0.0, 0.0])

    def test_point_mass_callback_gives_the_acceleration_rows(self):
        a = np.array([0.2, 1.5, 0.1, 3.0])
        by_callback = robot_on_line(callback=lambda qq, dq, ddq: list(ddq), dq=[1.0, -2.0])
        by_acceleration = robot_on_line(dq=[1.0, -2.0])
        point_mass = robot_on_line(dq=[1.0, -2.0])
        add_torque(by_callback, bound=0.8)
        add_torque(point_mass, bound=0.8)
        by_acceleration.add_acceleration_limits([0.8, 0.8], [-0.8, -0.8], start_idx_s=0)
        expected = by_acceleration.constraints.exceed_topp2(a)
        assert expected[1] > 0
        assert by_callback.constraints.exceed_topp2(a) == expected
        assert point_mass.constraints.exceed_topp2(a) == expected

    def test_torque_rows_by_hand(self):
        # tau_i = m_i ddq_i + k_i dq_i^2 + g_i cos(q_i): along the path
        # tau = (m q'' + k q'^2) a + m q' b + g cos(q).
        m, k, g = np.array([2.0, 0.5]), np.array([0.3, -0.2]), np.array([1.0, 4.0])
        model = lambda qq, dq, ddq: m * ddq + k * dq ** 2 + g * np.cos(qq)  # noqa: E731
        dq = np.array([1.0, -2.0])
        robot = robot_on_line(callback=model, dq=dq)
        upper, lower = np.array([3.0, 6.0]), np.array([-2.0, -1.0])
        robot.add_torque_limits(upper, lower, start_idx_s=0)

        s = np.linspace(0.0, 1.0, 4)
        coeff_a = m * 0.5 + k * dq ** 2
        coeff_b = m * dq
        rng = np.random.default_rng(11)
        for _ in range(20):
            a = rng.uniform(0.0, 3.0, size=4)
            b = 0.5 * np.diff(a) / np.diff(s)
            worst = 0.0
            for j in range(3):
                for p in (j, j + 1):
                    tau = coeff_a * a[p] + coeff_b * b[j] + g * np.cos(s[p])
                    worst = max(worst, (tau - upper).max(), (lower - tau).max())
            got = robot.constraints.exceed_topp2(a)
            assert got[0] == 0.0
            assert got[1] == pytest.approx(worst, rel=1e-12, abs=1e-12)

    @pytest.mark.parametrize("viscous, dtype, rel", [(0.0, np.float64, 1e-12), (0.1, np.float64, 0.0),
                                                     (0.0, np.float32, 1e-4)],
                             ids=["rigid body", "rigid body with viscous friction", "rigid body in single precision"])
    def test_a_rigid_body_gives_its_own_torques_and_a_term_linear_in_dq_is_refused(self, viscous, dtype, rel):
        def model(qq, dq, ddq):
            qq, dq, ddq = (np.asarray(x, dtype) for x in (qq, dq, ddq))
            return rigid_body(qq, dq, ddq) + dtype(viscous) * np.array([10, 10, 8, 2, 2, 2], dtype) * dq
        robot, s, path = q.Robot(6, inverse_dynamics=model), np.linspace(0.0, 1.0, 30), q.Path.from_waypoints(
            np.random.default_rng(5).uniform(-2.0, 2.0, (5, 6)))  # at rest at both ends
        robot.append_s(s)
        robot.set_q_from_path_2nd(path, 0, 30)
        with pytest.raises(q.QarnError, match=r"not quadratic in the joint velocity at idx_s=1 on axis \d: ") \
                if viscous else contextlib.nullcontext():
            add_torque(robot, bound=20.0)
        d, a = path.evaluate_up_to_2nd(s), np.random.default_rng(6).uniform(0.0, 0.05, 30)
        b = 0.5 * np.diff(a) / np.diff(s)
        worst = max(np.abs(model(d.q[p], d.dq[p] * np.sqrt(a[p]), d.ddq[p] * a[p] + d.dq[p] * b[j])).max() - 20.0
                    for j in range(29) for p in (j, j + 1))
        assert worst > 0 and robot.constraints.exceed_topp2(a)[1] == (0.0 if viscous else pytest.approx(worst, rel=rel))

    # The integer result is exact (2 * ddq of 0.5, 1.0, 3.0), so that the model stays linear in ddq.
    @pytest.mark.parametrize("dim, result", [(2, lambda ddq: list(ddq)), (2, lambda ddq: (2 * ddq).astype(np.int64)),
                                             (2, lambda ddq: tuple(ddq.tolist())), (1, lambda ddq: float(ddq[0]))])
    def test_result_conversions(self, dim, result):
        """Each result gives the rows of a model returning NumPy's float64 array of it."""
        robots = [robot_on_line(dim=dim, n=2, dq=np.full(dim, 3.0), callback=model)
                  for model in (lambda qq, dq, ddq: result(ddq),
                                lambda qq, dq, ddq: np.atleast_1d(np.asarray(result(ddq), dtype=np.float64)))]
        for robot in robots:
            add_torque(robot, bound=2.0)
        for a in ([3.0, 5.0], [7.0, 9.0], [12.0, 4.0]):  # each exceeds the limits
            got, expected = (robot.constraints.exceed_topp2(np.array(a)) for robot in robots)
            assert expected[1] > 0.0 and got == expected


class TestWithoutTheInterpreterLock:
    """A solve may run the torque terms with the interpreter lock released; the bridge takes it back."""

    def test_callback_runs_and_its_exception_wins(self, hooks):
        threads = []

        def model(qq, dq, ddq):
            threads.append(threading.get_ident())
            return 3.0 * ddq + dq ** 2

        robot = robot_on_line(callback=model, dq=[1.0, -2.0], n=3, module=hooks)
        coeff_a = hooks._torque_coeff_a_released(robot, 0, 3)
        # coeff_a = M q'' + c(q, q') = 3 * 0.5 + q'^2
        np.testing.assert_allclose(coeff_a, np.tile([[2.5], [5.5]], (1, 3)), rtol=1e-12)
        assert set(threads) == {threading.get_ident()} and len(threads) == 12

        error = KeyError("released")
        robot.set_inverse_dynamics(lambda *args: (_ for _ in ()).throw(error))
        with pytest.raises(KeyError) as info:
            hooks._torque_coeff_a_released(robot, 0, 3)
        assert info.value is error


class TestFailures:
    def test_callback_exception_is_raised_unchanged(self):
        error = KeyError("joint 3")
        state = {"fail": True}

        def callback(qq, dq, ddq):
            if state["fail"]:
                raise error
            return ddq

        robot = robot_on_line(callback=callback)
        with pytest.raises(KeyError) as info:
            add_torque(robot)
        assert info.value is error
        assert info.tb is not None
        state["fail"] = False
        add_torque(robot)  # the next call does not see the old exception
        with pytest.raises(q.ConstraintError, match="strict signed limits"):
            robot.add_torque_limits([1.0, 1.0], [1.0, -1.0], start_idx_s=0)

    def test_protocol_errors(self):
        with pytest.raises(ValueError, match=r"^`inverse_dynamics` returned 3 values; expected 2$"):
            add_torque(robot_on_line(callback=lambda qq, dq, ddq: [1.0, 2.0, 3.0]))
        with pytest.raises(TypeError, match=r"^'ndarray' object is not an instance of "):
            add_torque(robot_on_line(callback=lambda qq, dq, ddq: ddq.reshape(2, 1)))
        with pytest.raises(ValueError):  # NumPy's own conversion error
            add_torque(robot_on_line(callback=lambda qq, dq, ddq: [[1.0], [2.0, 3.0]]))
        with pytest.raises(TypeError):
            add_torque(robot_on_line(callback=lambda qq, dq: dq))

    def test_non_finite_torque_is_a_core_error(self):
        robot = robot_on_line(callback=lambda qq, dq, ddq: np.array([0.0, math.nan]), n=2)
        with pytest.raises(q.QarnError) as info:
            add_torque(robot)
        assert type(info.value) is q.QarnError
        assert str(info.value) == ("Robot dynamics error: inverse_dynamics returned non-finite tau[1] = NaN at "
                                   "idx_s=0 during tau(q, 0, 0)")

    def test_callback_must_not_use_its_robot(self):
        holder = {}

        def callback(qq, dq, ddq):
            holder["robot"].len  # noqa: B018 - the robot is locked by the call being served
            return ddq

        robot = robot_on_line(callback=callback)
        holder["robot"] = robot
        with pytest.raises(RuntimeError, match="already locked by this thread"):
            add_torque(robot)
        assert robot.len == 4  # the state is fine afterwards
        other = robot_on_line(callback=lambda qq, dq, ddq: (q.Robot(1).len, ddq)[1])
        add_torque(other)  # other robots may be used


class TestLifetime:
    def test_replaced_and_cleared_callbacks_are_released(self):
        class Dynamics:
            def __call__(self, qq, dq, ddq):
                return ddq

        first, second = Dynamics(), Dynamics()
        first_ref, second_ref = weakref.ref(first), weakref.ref(second)
        robot = q.Robot(2, inverse_dynamics=first)
        del first
        robot.set_inverse_dynamics(second)
        del second
        gc.collect()
        assert first_ref() is None and second_ref() is not None
        robot.clear_inverse_dynamics()
        gc.collect()
        assert second_ref() is None

    def test_finalizer_of_a_replaced_callback_may_use_the_robot(self):
        # The old callback is released after the state is unlocked: its finalizer can read the robot
        # instead of waiting for (or failing on) the lock held by the replacing call.
        seen = []

        class Dynamics:
            def __call__(self, qq, dq, ddq):
                return ddq

            def __del__(self):
                seen.append(robot.len)

        robot = q.Robot(2, inverse_dynamics=Dynamics())
        robot.append_s([0.0, 1.0])
        robot.set_inverse_dynamics(lambda qq, dq, ddq: ddq)
        assert seen == [2]
        robot.set_inverse_dynamics(Dynamics())
        robot.clear_inverse_dynamics()
        assert seen == [2, 2]

    def test_state_keeps_the_callback_while_a_proxy_lives(self):
        class Dynamics:
            def __call__(self, qq, dq, ddq):
                return ddq

        callback = Dynamics()
        ref = weakref.ref(callback)
        robot = q.Robot(2, inverse_dynamics=callback)
        proxy = robot.constraints
        del callback, robot
        gc.collect()
        assert ref() is not None
        del proxy
        gc.collect()
        assert ref() is None


def torque_from(robot, idx_s):
    robot.add_torque_limits([10.0, 10.0], [-10.0, -10.0], start_idx_s=idx_s)


class TestModelChangeOverTorqueRows:
    """Torque rows keep the model they were computed with; changing the model says so."""

    WARNING = "the store holds torque limits computed with the previous dynamics model"


    @staticmethod
    def changes(robot):
        return [lambda: robot.set_inverse_dynamics(lambda qq, dq, ddq: 2.0 * ddq), robot.clear_inverse_dynamics]

    @pytest.mark.parametrize(
        "prepare, warns",
        [
            (lambda r: None, False),
            (lambda r: r.add_velocity_limits([1.0, 1.0], [-1.0, -1.0], start_idx_s=0), False),
            (lambda r: add_torque(r), True),
            (lambda r: (torque_from(r, 2), r.constraints.pop_front_n(3)), True),
            (lambda r: (torque_from(r, 2), r.constraints.pop_back_n(2)), False),
            (lambda r: (add_torque(r), r.constraints.clear(keep_idx_s=True)), False),
            # Stations appended again under the removed ids hold no torque rows.
            (lambda r: (torque_from(r, 3), r.constraints.pop_back_n(1), r.append_s([2.0])), False),
            (lambda r: (torque_from(r, 3), r.constraints.pop_front_n(3)), True),
        ],
        ids=["empty", "velocity", "torque", "torque kept", "torque popped", "cleared", "ids reused", "last kept"],
    )
    def test_warning_exactly_when_torque_rows_are_stored(self, prepare, warns):
        for change in range(2):
            robot = robot_on_line(n=4)
            prepare(robot)
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                self.changes(robot)[change]()
            messages = [str(w.message) for w in caught if w.category is RuntimeWarning]
            assert len(messages) == int(warns)
            if warns:
                method = ("set_inverse_dynamics", "clear_inverse_dynamics")[change]
                assert messages[0].startswith(f"Robot.{method}: {self.WARNING}")

    def test_a_warning_turned_into_an_error_changes_nothing(self):
        robot = robot_on_line(callback=lambda qq, dq, ddq: ddq, n=3)
        add_torque(robot)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            for change in self.changes(robot):
                with pytest.raises(RuntimeWarning, match=self.WARNING):
                    change()
                assert robot.has_inverse_dynamics

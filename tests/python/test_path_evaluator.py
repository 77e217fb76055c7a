"""Paths backed by Python evaluator objects: the protocol probes of Path.from_evaluator*, the
fallbacks between evaluate_q / evaluate_up_to_2nd / evaluate_up_to_3rd, the return checks with
their exact texts, layouts, exceptions passed through unchanged, and sampling into a robot."""

import sys
import threading
import time

import numpy as np
import pytest

from qarn_py import _native as q


def analytic(s):
    """q = [sin s, s^3] and its first three derivatives, each (n, 2)."""
    s = np.asarray(s, dtype=np.float64)
    return (
        np.stack([np.sin(s), s**3], axis=1),
        np.stack([np.cos(s), 3 * s**2], axis=1),
        np.stack([-np.sin(s), 6 * s], axis=1),
        np.stack([-np.cos(s), np.full_like(s, 6.0)], axis=1),
    )


class ThirdOnly:
    """Defines only evaluate_up_to_3rd, in the given layout, and counts its calls."""

    def __init__(self, layout="sample_major"):
        self.dim = 2
        self.calls = []
        self.dim_major = layout == "dim_major"

    def evaluate_up_to_3rd(self, s):
        self.calls.append(s)
        arrays = analytic(s)
        return tuple(a.T for a in arrays) if self.dim_major else arrays


S = np.array([0.0, 0.2, 0.5, 0.9, 1.0])


class TestEvaluation:
    @pytest.mark.parametrize("layout", ["sample_major", "dim_major"])
    def test_third_order_method_serves_every_evaluation(self, layout):
        evaluator = ThirdOnly(layout)
        path = q.Path.from_evaluator_3rd(evaluator, 0.0, 1.0, layout=layout)
        assert path.dim == 2 and path.s_range == (0.0, 1.0)
        expected = analytic(S)
        transpose = (lambda a: a.T) if layout == "dim_major" else (lambda a: a)
        for method, count in [("evaluate_q", 1), ("evaluate_up_to_2nd", 3), ("evaluate_up_to_3rd", 4)]:
            before = len(evaluator.calls)
            d = getattr(path, method)(S)
            assert len(evaluator.calls) == before + 1  # one Python call per evaluation
            got = [d.q, d.dq, d.ddq, d.dddq]
            for k in range(4):
                if k < count:
                    np.testing.assert_array_equal(got[k], transpose(expected[k]))
                else:
                    assert got[k] is None

    def test_set_q_from_path_stores_the_evaluator_values(self, hooks):
        path = hooks.Path.from_evaluator_3rd(ThirdOnly(), 0.0, 1.0)
        robot = hooks.Robot(2)
        robot.append_s(S)
        robot.set_q_from_path_3rd(path, 0, len(S))
        for stored, expected in zip(hooks._stored_derivatives(robot, 0, len(S)), analytic(S)):
            np.testing.assert_array_equal(stored, expected)
        robot.set_q_from_path_2nd(path, 1, 4)
        stored = hooks._stored_derivatives(robot, 1, 3)
        np.testing.assert_array_equal(stored[3], np.zeros((3, 2)))  # no third derivative given

    def test_fallbacks_between_methods(self):
        class SecondAndThird(ThirdOnly):
            def evaluate_up_to_2nd(self, s):
                self.second = getattr(self, "second", 0) + 1
                return analytic(s)[:3]

        evaluator = SecondAndThird()
        path = q.Path.from_evaluator(evaluator, 0.0, 1.0)  # the alias builds the same path
        np.testing.assert_array_equal(path.evaluate_q(S).q, analytic(S)[0])
        path.evaluate_up_to_2nd(S)
        assert evaluator.second == 2 and evaluator.calls == []  # q through the second-order method

        class SecondOnly:
            dim = 2

            def evaluate_up_to_2nd(self, s):
                return analytic(s)[:3]

        second = q.Path.from_evaluator_2nd(SecondOnly(), 0.0, 1.0)
        np.testing.assert_array_equal(second.evaluate_q(S).q, analytic(S)[0])
        np.testing.assert_array_equal(second.evaluate_up_to_2nd(S).ddq, analytic(S)[2])
        with pytest.raises(q.PathError, match="unsupported derivative order: requested 3, available 2$"):
            second.evaluate_up_to_3rd(S)
        with pytest.raises(q.PathError, match="s out of range"):  # reported before the order
            second.evaluate_up_to_3rd([2.0])

    def test_empty_queries_still_call_the_evaluator(self):
        evaluator = ThirdOnly("dim_major")
        path = q.Path.from_evaluator_3rd(evaluator, 0.0, 1.0, layout="dim_major")
        assert path.evaluate_up_to_3rd([]).dddq.shape == (2, 0)
        assert len(evaluator.calls) == 1 and evaluator.calls[0].shape == (0,)

    def test_queries_are_range_checked_and_copied(self):
        evaluator = ThirdOnly()
        path = q.Path.from_evaluator_3rd(evaluator, 0.0, 1.0)
        with pytest.raises(q.PathError, match=r"s out of range \[0, 1\] at index 1: 2$"):
            path.evaluate_q([0.5, 2.0, 3.0])
        assert evaluator.calls == []

        user_s = np.array([0.1, 0.4, 0.8])

        class Meddling(ThirdOnly):
            def evaluate_up_to_3rd(self, s):
                seen = s.copy()
                user_s[:] = 7.0  # the caller's array changes during the call
                s[:] = -1.0  # so does the one passed in
                return super().evaluate_up_to_3rd(seen)

        meddling = Meddling()
        meddling_path = q.Path.from_evaluator_3rd(meddling, 0.0, 1.0)
        d = meddling_path.evaluate_up_to_2nd(user_s)
        np.testing.assert_array_equal(d.q, analytic([0.1, 0.4, 0.8])[0])
        np.testing.assert_array_equal(user_s, 7.0)
        again = meddling_path.evaluate_q([0.3])  # a fresh float64 array on every call
        np.testing.assert_array_equal(again.q, analytic([0.3])[0])
        assert meddling.calls[-1].dtype == np.float64


class TestProtocolProbes:
    @pytest.mark.parametrize("constructor", ["from_evaluator", "from_evaluator_2nd", "from_evaluator_3rd"])
    def test_dim_forms(self, constructor):
        build = getattr(q.Path, constructor)

        class Evaluator(ThirdOnly):
            evaluate_up_to_2nd = ThirdOnly.evaluate_up_to_3rd

        as_method = Evaluator()
        as_method.dim = lambda: 3
        assert build(as_method, 0.0, 1.0).dim == 3
        for dim, error, message in [
            (2.5, TypeError, None),
            ("2", TypeError, None),
            (-1, OverflowError, None),
            (0, ValueError, r"^path evaluator `dim` must be a positive integer$"),
        ]:
            e = Evaluator()
            e.dim = dim
            with pytest.raises(error, match=message):
                build(e, 0.0, 1.0)
        e = Evaluator()
        e.dim = lambda: 0
        with pytest.raises(ValueError, match="must be a positive integer$"):
            build(e, 0.0, 1.0)

        class NoDim:
            def evaluate_up_to_3rd(self, s):
                pass

            evaluate_up_to_2nd = evaluate_up_to_3rd

        with pytest.raises(ValueError, match=r"^path evaluator must define `dim` as a positive integer attribute or method$"):
            build(NoDim(), 0.0, 1.0)

        class Failing(NoDim):
            @property
            def dim(self):
                raise RuntimeError("no dim today")

        with pytest.raises(RuntimeError, match="^no dim today$"):
            build(Failing(), 0.0, 1.0)

    def test_required_methods(self):
        class Bare:
            dim = 1
            evaluate_up_to_3rd = 5  # not callable: counts as absent

        for constructor, text in [
            ("from_evaluator_3rd", "`Path.from_evaluator_3rd` evaluator must define `evaluate_up_to_3rd(s)`"),
            ("from_evaluator", "`Path.from_evaluator_3rd` evaluator must define `evaluate_up_to_3rd(s)`"),
            ("from_evaluator_2nd", "`Path.from_evaluator_2nd` evaluator must define `evaluate_up_to_2nd(s)`"),
        ]:
            with pytest.raises(ValueError) as info:
                getattr(q.Path, constructor)(Bare(), 0.0, 1.0)
            assert str(info.value) == text

    def test_range_and_arguments(self):
        for s_min, s_max, text in [(1.0, 1.0, "1, 1"), (float("nan"), 1.0, "NaN, 1"), (0.0, float("inf"), "0, inf")]:
            with pytest.raises(q.PathError, match=rf"^Some error occurred in the Path struct: invalid s range: \[{text}\]$"):
                q.Path.from_evaluator_3rd(ThirdOnly(), s_min, s_max)
        path = q.Path.from_evaluator_3rd(ThirdOnly(), 0.0, 2.0)
        assert path.s_range == (0.0, 2.0) and path.smoothing_report is None
        with pytest.raises(ValueError, match="^`layout` must be"):
            q.Path.from_evaluator_3rd(ThirdOnly(), 0.0, 1.0, layout="rows")


class Returning:
    """An evaluator whose three methods return whatever `make(s)` gives."""

    def __init__(self, make, dim=2):
        self.dim = dim
        self.make = make

    def evaluate_q(self, s):
        return self.make(s)

    def evaluate_up_to_2nd(self, s):
        return self.make(s)

    def evaluate_up_to_3rd(self, s):
        return self.make(s)


class TestReturnChecks:
    def evaluate(self, method, make, dim=2, layout="sample_major", s=S):
        path = q.Path.from_evaluator_3rd(Returning(make, dim), 0.0, 1.0, layout=layout)
        return getattr(path, method)(s)

    @pytest.mark.parametrize(
        "method, make, text",
        [
            ("evaluate_up_to_2nd", lambda s: list(analytic(s)[:3]),
             "`evaluate_up_to_2nd` must return a tuple of 3 array-like values"),
            ("evaluate_up_to_2nd", lambda s: analytic(s)[:2],
             "`evaluate_up_to_2nd` must return a tuple of 3 array-like values; got 2"),
            ("evaluate_up_to_3rd", lambda s: analytic(s) + (None,),
             "`evaluate_up_to_3rd` must return a tuple of 4 array-like values; got 5"),
            ("evaluate_q", lambda s: analytic(s)[0].T,
             "`evaluate_q` returned `q` with shape (2, 5); expected shape (5, 2)"),
            ("evaluate_up_to_3rd", lambda s: analytic(s)[:3] + (np.zeros((5, 3)),),
             "`evaluate_up_to_3rd` returned `dddq` with shape (5, 3); expected shape (5, 2)"),
            ("evaluate_q", lambda s: s,
             "``evaluate_q` return field `q`` must be convertible to a two-dimensional float64 array"),
        ],
    )
    def test_exact_texts(self, method, make, text):
        with pytest.raises(ValueError) as info:
            self.evaluate(method, make)
        assert str(info.value) == text

    def test_dim_major_shape_and_one_dimensional_q(self):
        with pytest.raises(ValueError, match=r"^`evaluate_q` returned `q` with shape \(5, 2\); expected shape \(2, 5\)$"):
            self.evaluate("evaluate_q", lambda s: analytic(s)[0], layout="dim_major")
        with pytest.raises(ValueError, match="two-dimensional"):
            self.evaluate("evaluate_q", lambda s: np.sin(s), dim=1)
        d = self.evaluate("evaluate_q", lambda s: np.sin(s)[:, None], dim=1)
        np.testing.assert_array_equal(d.q[:, 0], np.sin(S))
        # Lists, integer arrays and non-contiguous arrays are converted.
        d = self.evaluate("evaluate_q", lambda s: np.ones((2, 2 * len(s)), dtype=np.int32)[:, ::2].T)
        np.testing.assert_array_equal(d.q, np.ones((5, 2)))

    def test_evaluator_exceptions_pass_through_unchanged(self):
        error = KeyError("missing axis")
        state = {"fail": True}

        def make(s):
            if state["fail"]:
                raise error
            return analytic(s)

        path = q.Path.from_evaluator_3rd(Returning(make), 0.0, 1.0)
        robot = q.Robot(2)
        robot.append_s(S)
        for call in [lambda: path.evaluate_up_to_3rd(S), lambda: path.evaluate_q(S),
                     lambda: robot.set_q_from_path_3rd(path, 0, 5), lambda: robot.set_q_from_path_2nd(path, 0, 5)]:
            with pytest.raises(KeyError) as info:
                call()
            assert info.value is error
        state["fail"] = False
        np.testing.assert_array_equal(path.evaluate_up_to_3rd(S).dddq, analytic(S)[3])
        robot.set_q_from_path_3rd(path, 0, 5)

    def test_each_evaluation_raises_its_own_exception(self):
        # Two threads evaluate one path; the first is inside its evaluator when the second fails.
        inside, second_done = threading.Event(), threading.Event()
        errors = {0.25: ValueError("first"), 0.75: ValueError("second")}

        def make(s):
            if s[0] == 0.25:
                inside.set()
                second_done.wait(5)
            raise errors[float(s[0])]

        path = q.Path.from_evaluator_3rd(Returning(make), 0.0, 1.0)
        raised = {}

        def run(x):
            try:
                path.evaluate_q([x])
            except ValueError as e:
                raised[x] = e

        first = threading.Thread(target=run, args=(0.25,))
        first.start()
        inside.wait(5)
        run(0.75)
        second_done.set()
        first.join()
        assert raised[0.25] is errors[0.25] and raised[0.75] is errors[0.75]

    def test_nested_evaluation_of_the_same_path(self):
        calls = []

        def make(s):
            calls.append(len(s))
            if len(calls) == 1:
                with pytest.raises(ZeroDivisionError):
                    path.evaluate_q([0.5, 0.5])  # the inner evaluation fails on its own
                raise LookupError("outer")
            raise ZeroDivisionError("inner")

        path = q.Path.from_evaluator_3rd(Returning(make), 0.0, 1.0)
        with pytest.raises(LookupError, match="^outer$"):
            path.evaluate_q([0.5])
        assert calls == [1, 2]


def test_references_balance_over_many_evaluations():
    from conftest import assert_balanced

    s = np.linspace(0.0, 1.0, 7)
    state = {"fail": False}

    class Flaky(ThirdOnly):
        def evaluate_up_to_3rd(self, queries):
            if state["fail"]:
                raise KeyError("axis")  # a new one each time: a re-raised one grows its traceback
            return tuple(a.T for a in analytic(queries))  # recording no calls

    evaluator = Flaky("dim_major")
    robot = q.Robot(2)
    robot.append_s(s)

    def body():
        path = q.Path.from_evaluator_3rd(evaluator, 0.0, 1.0, layout="dim_major")
        path.evaluate_up_to_2nd(s)
        robot.set_q_from_path_3rd(path, 0, 7)
        state["fail"] = True
        try:
            path.evaluate_q(s)
        except KeyError:
            pass
        state["fail"] = False
        try:
            q.Path.from_evaluator_3rd(Returning(lambda queries: [1.0]), 0.0, 1.0).evaluate_up_to_2nd(s)
        except ValueError:
            pass

    # Many calls: the interpreter's and NumPy's free lists move by a few hundred blocks now and then,
    # which the bound (calls / 25) must absorb.
    assert_balanced((evaluator, s, robot), body, calls=10000, warmup=2000)


class TestSamplingIntoAChangingStore:
    """set_q_from_path_* samples the path without the robot's lock: stations that another thread
    replaces meanwhile are sampled again, so the store never holds derivatives of another grid."""

    FIRST = S
    SECOND = S * 0.5 + 0.25

    @staticmethod
    def robot_and_path(hooks, replace):
        """A robot on FIRST and a path whose evaluator, on each call, has a second thread run
        `replace(robot, call_number)` and waits for it."""
        robot = hooks.Robot(2)
        robot.append_s(TestSamplingIntoAChangingStore.FIRST)

        class Replacing(ThirdOnly):
            def evaluate_up_to_3rd(self, s):
                thread = threading.Thread(target=replace, args=(robot, len(self.calls)))
                thread.start()
                thread.join()
                return super().evaluate_up_to_3rd(s)

        evaluator = Replacing()
        return robot, hooks.Path.from_evaluator_3rd(evaluator, 0.0, 1.0), evaluator

    def test_replaced_stations_are_sampled_again(self, hooks):
        def replace(robot, call):
            if call == 0:
                robot.constraints.clear()
                robot.append_s(self.SECOND)

        robot, path, evaluator = self.robot_and_path(hooks, replace)
        robot.set_q_from_path_3rd(path, 0, len(S))
        assert [list(s) for s in evaluator.calls] == [list(self.FIRST), list(self.SECOND)]
        for stored, expected in zip(hooks._stored_derivatives(robot, 0, len(S)), analytic(self.SECOND)):
            np.testing.assert_array_equal(stored, expected)

    def test_stations_removed_meanwhile_fail_as_after_the_removal(self, hooks):
        robot, path, _ = self.robot_and_path(hooks, lambda robot, call: robot.constraints.pop_back_n(2))
        with pytest.raises(hooks.ConstraintError):
            robot.set_q_from_path_2nd(path, 0, len(S))
        assert robot.len == len(S) - 2

    def test_stations_that_keep_changing_fail_with_nothing_written(self, hooks):
        def replace(robot, call):
            robot.constraints.clear()
            robot.append_s(S * 0.5 + 0.1 * (call + 1))

        robot, path, evaluator = self.robot_and_path(hooks, replace)
        with pytest.raises(RuntimeError, match=r"^the stations \[0, 5\) were replaced while the path was sampled, "
                                               r"3 times; nothing was written$"):
            robot.set_q_from_path_3rd(path, 0, len(S))
        assert len(evaluator.calls) == 3
        with pytest.raises(ValueError, match="^stations without derivatives$"):
            hooks._stored_derivatives(robot, 0, len(S))

    def test_a_thread_replacing_the_stations_never_leaves_another_grid(self, hooks):
        # Two threads on one robot: one samples the path into the store, the other keeps replacing
        # the stations. Whenever the store holds derivatives, they are the path's at the stored s.
        robot = hooks.Robot(2)
        path = hooks.Path.from_evaluator_3rd(ThirdOnly(), 0.0, 1.0)
        grids = [S, S * 0.5 + 0.25, S * 0.9 + 0.05]
        robot.append_s(grids[0])
        paused, stop, checked = threading.Lock(), threading.Event(), []

        def replacer():
            k = 0
            while not stop.is_set():
                with paused:
                    k += 1
                    robot.constraints.clear()
                    robot.append_s(grids[k % len(grids)])

        thread = threading.Thread(target=replacer)
        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)  # switch threads often, inside the sampling too
        thread.start()
        deadline = time.monotonic() + 10.0
        try:
            while len(checked) < 60 and time.monotonic() < deadline:
                try:
                    robot.set_q_from_path_3rd(path, 0, len(S))
                except (hooks.ConstraintError, RuntimeError):
                    continue  # the window was empty or kept changing: nothing written
                with paused:
                    try:
                        stored = hooks._stored_derivatives(robot, 0, len(S))
                    except ValueError:
                        continue  # replaced after the write
                    s = robot.constraints.s_values(0, len(S))
                    checked.append(all(np.array_equal(a, b) for a, b in zip(stored, analytic(s))))
        finally:
            stop.set()
            thread.join()
            sys.setswitchinterval(interval)
        assert len(checked) >= 10 and all(checked), (len(checked), checked.count(False))  # 60 but under sanitizers

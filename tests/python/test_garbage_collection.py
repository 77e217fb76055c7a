"""Reference cycles through the module's objects are collected: a robot whose inverse-dynamics
callback refers back to it (with Constraints views and problems on it), and a path whose evaluator
refers back to it. The collector sees each reference once: a cycle still reachable through one
holder of a shared robot state is kept whole."""

import gc
import weakref

import numpy as np
import pytest

from qarn_py import _native as q


def collected(ref):
    gc.collect()
    return ref() is None


def self_capturing_robot(holders=()):
    """A robot whose callback closes over the robot and over `holders(robot)`; returns a weak
    reference to the callback and the robot."""
    robot = q.Robot(1)
    robot.append_s(np.linspace(0.0, 1.0, 5))
    robot.set_q(np.zeros((5, 1)), np.ones((5, 1)), np.zeros((5, 1)), 0)
    kept = [make(robot) for make in holders]

    def dynamics(qq, dq, ddq):
        assert robot is not None and kept is not None  # a callback must not use its robot
        return ddq

    robot.set_inverse_dynamics(dynamics)
    return weakref.ref(dynamics), robot


class Dynamics:
    """An inverse-dynamics object that keeps its robot in an attribute."""

    def __init__(self):
        self.robot = None

    def inverse_dynamics(self, qq, dq, ddq):
        return ddq


@pytest.mark.parametrize(
    "holders",
    [
        (),
        (lambda r: r.constraints,),
        (lambda r: q.Topp2Problem(r.constraints, (0, 4)), lambda r: q.Qarn2Problem(r, q.Time(1.0), (0, 4))),
        (lambda r: q.Topp3Problem(r.constraints, np.full(5, 0.5)),
         lambda r: q.Qarn3Problem(r, q.Time(1.0), np.full(5, 0.5))),
    ],
    ids=["robot", "constraints", "second-order problems", "third-order problems"],
)
def test_a_robot_whose_callback_captures_it_is_freed(holders):
    ref, robot = self_capturing_robot(holders)
    robot.add_torque_limits([1.0], [-1.0], start_idx_s=0)  # the callback ran
    del robot
    assert collected(ref)


def test_a_callback_object_holding_its_robot_is_freed():
    model = Dynamics()
    model.robot = q.Robot(2, inverse_dynamics=model)
    ref = weakref.ref(model)
    del model
    assert collected(ref)


def test_a_cycle_reachable_through_another_holder_stays_whole():
    ref, robot = self_capturing_robot()
    constraints = robot.constraints
    del robot
    gc.collect()
    assert ref() is not None  # reachable: constraints -> state -> callback -> robot
    robot = dict(zip(ref().__code__.co_freevars, ref().__closure__))["robot"].cell_contents
    assert robot.has_inverse_dynamics and robot.constraints.len == constraints.len == 5
    robot.add_torque_limits([1.0], [-1.0], start_idx_s=0)
    del robot
    assert not collected(ref)
    del constraints
    assert collected(ref)


def test_the_collector_sees_the_state_and_its_callback_once():
    ref, robot = self_capturing_robot()
    views = [robot.constraints for _ in range(3)]
    (state,) = [o for o in gc.get_referents(robot) if type(o).__name__ == "_RobotState"]
    for view in views:
        assert [o for o in gc.get_referents(view) if o is state]
    assert gc.get_referents(state) == [type(state), ref()]
    assert gc.is_tracked(robot) and gc.is_tracked(state)
    robot.clear_inverse_dynamics()
    assert gc.get_referents(state) == [type(state)]


def test_a_parked_callback_exception_is_seen_and_freed(hooks):
    # An exception left in a state's error slot refers to whatever its arguments hold.
    probe = hooks._RobotStateProbe(1)
    holder = Dynamics()
    holder.robot = probe
    error = KeyError(holder)
    probe.park_error(error)
    (state,) = [o for o in gc.get_referents(probe) if type(o).__name__ == "_RobotState"]
    assert error in gc.get_referents(state)
    ref = weakref.ref(holder)
    del probe, holder, error, state
    assert collected(ref)


class Evaluator:
    """q = s on one axis; keeps its path in an attribute."""

    dim = 1

    def __init__(self):
        self.path = None

    def evaluate_up_to_3rd(self, s):
        n = len(s)
        return s[:, None], np.ones((n, 1)), np.zeros((n, 1)), np.zeros((n, 1))


@pytest.mark.parametrize("constructor", ["from_evaluator_3rd", "from_evaluator", "from_evaluator_2nd"])
def test_an_evaluator_holding_its_path_is_freed(constructor):
    evaluator = Evaluator()
    evaluator.evaluate_up_to_2nd = lambda s: evaluator.evaluate_up_to_3rd(s)[:3]
    evaluator.path = getattr(q.Path, constructor)(evaluator, 0.0, 1.0)
    assert gc.get_referents(evaluator.path) == [q.Path, evaluator]
    np.testing.assert_array_equal(evaluator.path.evaluate_q([0.5]).q, [[0.5]])
    ref = weakref.ref(evaluator)
    del evaluator
    assert collected(ref)


def test_evaluation_results_report_their_arrays():
    d = q.Path.from_waypoints([[0.0], [1.0]]).evaluate_up_to_2nd([0.0, 1.0])
    assert gc.get_referents(d) == [q.PathDerivatives, d.q, d.dq, d.ddq]

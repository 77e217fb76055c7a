"""Reference and memory balance of the model classes: objectives, paths, robots with a Python
inverse-dynamics callback (succeeding and raising) and constraint stores, over thousands of calls."""

import numpy as np

from conftest import assert_balanced
from qarn_py import _native as q

CALLS = 3000


def scenario(hooks):
    waypoints = np.random.default_rng(0).uniform(size=(5, 2))
    s = np.linspace(0.0, 1.0, 7)
    limit = np.array([2.0, 2.0])
    spec = {"kind": "linear", "weight": 1.0, "alpha": s, "beta": s[1:]}
    path = q.Path.from_waypoints(waypoints)
    failure = {"on": False}

    def dynamics(qq, dq, ddq):
        if failure["on"]:
            raise KeyError("joint")
        return ddq

    robot = q.Robot(2, inverse_dynamics=dynamics)
    robot.append_s(s)
    robot.set_q_from_path_2nd(path, 0, len(s))
    args = (waypoints, s, limit, spec, path, dynamics, robot)

    def body():
        hooks._parse_objectives([hooks.Linear(1.0, s, s), spec, hooks.Time(1.0)])
        result = path.evaluate_up_to_3rd(s)
        assert result.q is result.q
        q.Path.from_waypoints(waypoints, q.SplineConfig(order=3, start_state=np.zeros((2, 1))))
        robot.set_q_from_path_3rd(path, 1, 4)
        robot.add_torque_limits(limit, -limit, start_idx_s=0)
        robot.constraints.exceed_topp2(s)
        failure["on"] = True
        try:
            robot.add_torque_limits(limit, -limit, start_idx_s=0)
        except KeyError:
            pass
        failure["on"] = False
        for bad in (lambda: path.evaluate_q([2.0]), lambda: robot.add_velocity_limits(s, limit, start_idx_s=0),
                    lambda: hooks._parse_objectives({"kind": "linear", "weight": 1.0, "alpha": s})):
            try:
                bad()
            except (q.QarnError, ValueError):
                pass
        robot.constraints.clear()
        robot.append_s(s)
        robot.set_q_from_path_2nd(path, 0, len(s))

    return args, body


def test_no_reference_or_block_leaks(hooks):
    args, body = scenario(hooks)
    assert_balanced(args, body, CALLS, warmup=300)

"""Reference and memory balance of the second-order solver bindings: problems, options, results,
solves that succeed, fail in the core and fail in a Python callback, over thousands of calls."""

import numpy as np

from conftest import assert_balanced
from qarn_py import _native as q
from second_order_cases import line_robot

CALLS = 1500


def test_no_reference_or_block_leaks():
    failure = {"on": False}

    def dynamics(qq, dq, ddq):
        if failure["on"]:
            raise KeyError("joint")
        return 2.0 * ddq

    robot = line_robot(12, inverse_dynamics=dynamics)
    constraints = robot.constraints
    thermal = q.ThermalEnergy(0.1, [1.0])
    reach_options = q.ReachSet2Options(lp_feas_tol=1e-9)
    settings = q.ClarabelSettings(max_iter=50)
    options = q.ClarabelOptions(clarabel_settings=settings)
    s = np.linspace(0.0, 2.0, 12)
    args = (robot, constraints, thermal, reach_options, settings, options, dynamics, s)

    def body():
        topp2 = q.Topp2Problem(constraints, (0, 11))
        a = q.topp2_ra(topp2, reach_options)
        q.reach_set2_bidirectional(topp2).a_max
        qarn2 = q.Qarn2Problem(robot, [q.Time(1.0), thermal], (0, 11))
        result = q.qarn2_socp_expert(qarn2, options)
        result.linsolver, result.x, result.objective_terms, repr(result)
        options.clarabel_settings = options.clarabel_settings
        t_final, t_s = q.s_to_t_topp2(s, a)
        q.t_to_s_topp2(s, a, t_s, dt=t_final / 7)
        failure["on"] = True
        try:
            q.qarn2_socp(qarn2)
        except KeyError:
            pass
        failure["on"] = False
        for bad in (lambda: q.Topp2Problem(constraints, (0, 1)), lambda: q.topp2_ra(topp2, options),
                    lambda: q.ReachSet2Options(lp_feas_tol=0.0)):
            try:
                bad()
            except (q.QarnError, TypeError):
                pass

    assert_balanced(args, body, CALLS, warmup=150)


def test_third_order_calls_do_not_leak():
    from third_order_cases import jerk_line_robot

    robot, s = jerk_line_robot(12)
    constraints = robot.constraints
    reference = np.full(12, 0.5)
    options = q.ClarabelOptions(clarabel_settings=q.ClarabelSettings(max_iter=60))
    args = (robot, constraints, reference, options, s)

    def body():
        problem = q.Topp3Problem(constraints, reference, b_linearization=np.zeros(12))
        result = q.topp3_lp_expert(problem, options)
        profile = result.profile
        result.x, result.linsolver, repr(result), repr(problem), problem.b_linearization
        q.qarn3_socp(q.Qarn3Problem(robot, q.Time(1.0), reference), options)
        constraints.exceed_topp3(profile)
        constraints.exceed_topp3(profile.a, profile.b, num_stationary=(1, 1))
        q.Profile3rd(profile.a, profile.b, (1, 1)).force_positive_a(s)
        t_final, t_s = q.s_to_t_topp3(s, profile)
        q.t_to_s_topp3(s, profile, t_s, dt=t_final / 7)
        q.t_to_s_topp3_samples(s, profile, t_s, t_s[1:4])
        for bad in (lambda: q.Topp3Problem(constraints, reference[:3]), lambda: q.Profile3rd([1.0], []),
                    lambda: q.s_to_t_topp3(s[:3], profile), lambda: q.t_to_s_topp3(s, profile, s),
                    lambda: constraints.exceed_topp3(profile, b=reference),
                    lambda: q.Topp3Problem(constraints, reference, num_stationary_max=-1)):
            try:
                bad()
            except (q.QarnError, ValueError):
                pass

    # The tuple free lists of the interpreter fill by up to a hundred blocks or so over the first
    # thousands of calls here; more calls keep that below the limit, which a leak would pass at once.
    assert_balanced(args, body, 3 * CALLS, warmup=150)

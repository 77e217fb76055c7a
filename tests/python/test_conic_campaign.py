"""The conic solvers never hand out a wrong profile: the reproducers of limits far looser than what
binds, and the random campaign of conic_campaign.py (a small run by default; `pytest -m slow -s
tests/python/test_conic_campaign.py` runs 2,000 problems at up to 400 stations)."""

from pathlib import Path

import numpy as np
import pytest

from qarn_py import _native as q
from conic_campaign import build, campaign, case_of, consistency, limit_excess, make_case, station_time


def line(n, length, v, acc, jerk=1e30, dim=1):
    """Axes moving along q(s) = s * direction, s in [0, 1], |direction| = length: the shape of
    every straight joint move."""
    return build(case_of("line", dim, n, length, v, acc, jerk))


def stored(name):
    """A case kept in cases/: one quintic per axis over uniform stations of [0, length] (coefficients
    highest power first), constant upper and lower limits of velocity, acceleration and jerk, and
    moving ends. The robot, s, path derivatives and limits as line() gives them, and the ends."""
    c = np.load(Path(__file__).parent / "cases" / f"{name}.npz")
    s = np.linspace(0.0, float(c["length"]), int(c["stations"]))
    derivatives = [np.column_stack([np.polyval(np.polyder(p, k), s) for p in c["coefficients"]]) for k in range(4)]
    robot = q.Robot(len(c["coefficients"]), capacity=len(s))
    robot.append_s(s)
    robot.set_q(*derivatives[:3], 0, dddq=derivatives[3])
    limits = tuple((upper, lower) for upper, lower in c["limits"])
    for add, (upper, lower) in zip((robot.add_velocity_limits, robot.add_acceleration_limits, robot.add_jerk_limits),
                                   limits):
        add(upper, lower, start_idx_s=0)
    return robot, s, derivatives[1:], limits, tuple(c["a_boundary"])


def relinearized(robot, n, passes, ends=(0.0, 0.0)):
    reference = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1), ends))
    for _ in range(passes):
        reference = q.topp3_lp(q.Topp3Problem(robot.constraints, reference, a_boundary=ends)).a
    return reference


# (a line from rest to rest: axes, stations, length, v, acc, jerk; or a stored case, LP passes
# before the compared solve). Before: topp3_socp reported AlmostSolved with a and b disagreeing by
# 0.68 of max a (the first row; 3e-3 on the 6-axis move of the fourth), or raised on short moves
# (the second), or came back 0.4% slower than the LP (the third); topp3_socp and qarn3_socp ended
# MaxIterations after 200 iterations where the LP solves in 28 + 27 (the last: 5,000 stations, the
# jerk limits holding the motion 149 times below the reference).
THIRD_ORDER_CASES = [((1, 50, 1.0, 1e4, 1.0, 1.0), 0), ((1, 155, 0.01, 50.0, 0.5, 17.0), 2),
                     ((1, 155, 0.01, 5.0, 0.5, 17.0), 2), ((6, 100, 0.005 * np.sqrt(6), 2.0, 6.0, 40.0), 1),
                     ("socp_5000_moving_ends", 0)]


@pytest.mark.parametrize("case, passes", THIRD_ORDER_CASES)
def test_third_order_solvers_agree(case, passes):
    if isinstance(case, str):
        robot, s, derivatives, limits, ends = stored(case)
    else:
        dim, n, length, v, acc, jerk = case
        robot, s, derivatives, limits = line(n, length, v, acc, jerk, dim)
        ends = (0.0, 0.0)
    reference = relinearized(robot, len(s), passes, ends)
    lp = q.topp3_lp(q.Topp3Problem(robot.constraints, reference, a_boundary=ends))
    socp = q.topp3_socp(q.Topp3Problem(robot.constraints, reference, a_boundary=ends))
    qarn3 = q.qarn3_socp(q.Qarn3Problem(robot, [q.Time(1.0)], reference, a_boundary=ends))
    for p in (lp, socp, qarn3):
        assert consistency(s, p) <= 1e-8
        assert limit_excess(s, p, derivatives, limits) <= 1e-6
        assert np.isfinite(q.s_to_t_topp3(s, p)[0])
    assert station_time(s, socp) <= station_time(s, lp) * (1 + 1e-6)
    assert station_time(s, qarn3) == pytest.approx(station_time(s, socp), rel=1e-6)


# (stations, length, v, acc). Before: qarn2_socp raised (the limit rows broken at AlmostSolved) on
# the first and last, and ended AlmostSolved 0.19% slower than topp2_ra on the second.
SECOND_ORDER_CASES = [(50, 1.0, 1e4, 1.0), (250, 10.0, 500.0, 2.0), (155, 0.01, 50.0, 0.5)]


@pytest.mark.parametrize("n, length, v, acc", SECOND_ORDER_CASES)
def test_qarn2_is_never_slower_than_reachability_on_lines(n, length, v, acc):
    robot, s, _, _ = line(n, length, v, acc)
    ra = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
    result = q.qarn2_socp_expert(q.Qarn2Problem(robot, [q.Time(1.0)], (0, n - 1)))
    assert result.solver_status == q.ClarabelSolverStatus.SOLVED and result.audit_failure is None
    assert q.s_to_t_topp2(s, result.a)[0] <= q.s_to_t_topp2(s, ra)[0] * (1 + 1e-6)
    # Before: InsufficientProgress.
    cool = q.qarn2_socp_expert(q.Qarn2Problem(robot, [q.Time(1.0), q.ThermalEnergy(0.1, [1.0])], (0, n - 1)))
    assert cool.solver_status == q.ClarabelSolverStatus.SOLVED


def test_objectives_least_at_rest_are_solved_or_refused_where_they_stop():
    # Before: "The reachable set is unbounded" for every objective; only the time alone has no
    # optimum when nothing bounds a. Then QARN3's Linear objective returned its exact rest as
    # solved, which never arrives; the others end a hair above rest, a motion that arrives.
    n = 50
    robot = q.Robot(1)
    s = np.linspace(0.0, 1.0, n)
    robot.append_s(s)
    robot.set_q(s[:, None], np.ones((n, 1)), np.zeros((n, 1)), 0, dddq=np.zeros((n, 1)))
    reference = np.full(n, 0.5)

    def least_at_rest(solve):
        try:
            profile = solve()
        except q.QarnError as error:
            return "so it never arrives" in str(error)
        return np.max(getattr(profile, "a", profile)) <= 1e-9

    for objective in (q.Linear(1.0, np.ones(n), np.zeros(n)), q.ThermalEnergy(1.0, [1.0]),
                      q.TotalVariationTorque(1.0, [1.0])):
        assert least_at_rest(lambda: q.qarn3_socp(q.Qarn3Problem(robot, [objective], reference)))
        second = objective if not isinstance(objective, q.Linear) else q.Linear(1.0, np.ones(n), np.zeros(n - 1))
        assert least_at_rest(lambda: q.qarn2_socp(q.Qarn2Problem(robot, [second], (0, n - 1))))
    with pytest.raises(q.QarnError, match="never arrives"):
        q.qarn3_socp(q.Qarn3Problem(robot, [q.Linear(1.0, np.ones(n), np.zeros(n))], reference))
    with pytest.raises(q.QarnError, match="unboundedness"):
        q.qarn3_socp(q.Qarn3Problem(robot, [q.Time(1.0)], reference))


def test_the_expert_result_keeps_its_diagnostics_when_the_audit_fails():
    # Before: topp3_lp_expert raised instead of returning its raw vectors.
    robot, s, _, _ = line(100, 1.0, 1.0, 1.0, 2.0)
    problem = q.Topp3Problem(robot.constraints, relinearized(robot, 100, 0))
    options = q.ClarabelOptions(clarabel_settings=q.ClarabelSettings(max_iter=4), allow_max_iterations=True)
    result = q.topp3_lp_expert(problem, options)
    assert result.solver_status == q.ClarabelSolverStatus.MAX_ITERATIONS and len(result.x) == 200
    assert (result.profile is None) == (result.audit_failure is not None)
    if result.audit_failure is not None:
        with pytest.raises(q.QarnError, match="fails its audit: " + result.audit_failure.replace(".", r"\.")):
            q.topp3_lp(problem, options)


# (seed, gravity scale, torque limit over gravity, ThermalEnergy weight, reference). Before:
# AlmostSolved on the first, the audit failing on the others.
GRAVITY_CASES = [(6, 10.0, 3.0, 1.0, "lp"), (6, 10.0, 1.05, 1e3, "topp2"), (7, 100.0, 1.05, 1e3, "lp")]


@pytest.mark.parametrize("seed, scale, margin, weight, reference", GRAVITY_CASES)
def test_thermal_energy_under_gravity_is_solved(seed, scale, margin, weight, reference):
    # A 6-axis point mass with gravity terms, ThermalEnergy normalised by the torque limits.
    dim, n = 6, 150
    rng = np.random.default_rng(seed)
    path = q.Path.from_waypoints(rng.uniform(-1.5, 1.5, (5, dim)))
    mass = np.array([8.0, 6.0, 4.0, 2.0, 1.0, 0.5]) * rng.uniform(0.05, 1.0)
    gravity = np.array([0.0, 200.0, 90.0, 25.0, 4.0, 0.5]) * scale
    robot = q.Robot(dim, capacity=n, inverse_dynamics=lambda qq, dq, ddq: mass * ddq + gravity * np.cos(qq))
    s = np.linspace(0.0, 1.0, n)
    robot.append_s(s)
    robot.set_q_from_path_3rd(path, 0, n)
    for add, limit in ((robot.add_velocity_limits, 2.0), (robot.add_acceleration_limits, 6.0),
                       (robot.add_jerk_limits, 40.0)):
        add(np.full(dim, limit), np.full(dim, -limit), start_idx_s=0)
    torque = margin * (gravity + 10 * mass)
    robot.add_torque_limits(torque, -torque, start_idx_s=0)
    first = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
    a_ref = first if reference == "topp2" else q.topp3_lp(q.Topp3Problem(robot.constraints, first)).a
    objectives = [q.Time(1.0), q.ThermalEnergy(weight, 1.0 / torque)]
    result = q.qarn3_socp_expert(q.Qarn3Problem(robot, objectives, a_ref))
    assert result.solver_status == q.ClarabelSolverStatus.SOLVED and result.profile is not None
    second = q.qarn2_socp_expert(q.Qarn2Problem(robot, objectives, (0, n - 1)))
    assert second.a is not None and second.audit_failure is None


def end_robot(n=12):
    """Two axes on [0, 1]: the line q0 = s, whose velocity limit is 0.1 at station 0 (1 elsewhere),
    and q1 = 10 (1 - cos 2 pi s) / (2 pi)^2, at rest at both ends (dq = dddq = 0, ddq = 10), where
    its acceleration is 10 a and its jerk 30 sqrt(a) b; acceleration 1 and 0.05, jerk 10 and 1."""
    s = np.linspace(0.0, 1.0, n)
    w = 2 * np.pi * s
    dq = np.column_stack([np.ones(n), 10 * np.sin(w) / (2 * np.pi)])
    dddq = np.column_stack([np.zeros(n), -20 * np.pi * np.sin(w)])
    dq[[0, -1], 1] = dddq[[0, -1], 1] = 0.0
    robot = q.Robot(2, capacity=n)
    robot.append_s(s)
    robot.set_q(np.column_stack([s, 10 * (1 - np.cos(w)) / (2 * np.pi) ** 2]), dq,
                np.column_stack([np.zeros(n), 10 * np.cos(w)]), 0, dddq=dddq)
    v = np.ones((n, 2))
    v[0, 0] = 0.1
    robot.add_velocity_limits(v, -v, start_idx_s=0)
    robot.add_acceleration_limits([1.0, 0.05], [-1.0, -0.05], start_idx_s=0)
    robot.add_jerk_limits([10.0, 1.0], [-10.0, -1.0], start_idx_s=0)
    return robot, n


def solve_ends(solver, robot, n, a, b):
    if solver == "qarn2_socp":
        return q.qarn2_socp(q.Qarn2Problem(robot, [q.Time(1.0)], (0, n - 1), a))
    kw = dict(a_boundary=a, b_boundary=b)
    if solver == "qarn3_socp":
        return q.qarn3_socp(q.Qarn3Problem(robot, [q.Time(1.0)], np.full(n, 0.004), **kw))
    return getattr(q, solver)(q.Topp3Problem(robot.constraints, np.full(n, 0.004), **kw))


# (a, b) at the start and at the end that break one limit of the end station (the second order takes
# a alone), and what the refusal says of the initial and of the final state.
BROKEN_ENDS = {
    "velocity": ((0.25, 0.0), (1.5, 0.0),
                 "The initial state a_start = 0.25 cannot be greater than the maximum feasible state a_max[0] = "
                 "0.010000000000000002 at idx_s_start = 0",
                 "The final state a_final = 1.5 cannot be greater than the maximum feasible state a_max[n] = 1 at "
                 "idx_s_final = 11"),
    "acceleration": ((0.004, -3.0), (0.004, 3.0),
                     "The initial state a_start = 0.004, b_start = -3 cannot hold the second-order row 2 at "
                     "idx_s_start = 0: acc_a a + acc_b b = 3 is greater than acc_max = 1",
                     "The final state a_final = 0.004, b_final = 3 cannot hold the second-order row 0 at "
                     "idx_s_final = 11: acc_a a + acc_b b = 3 is greater than acc_max = 1"),
    "jerk": ((0.004, 0.9), (0.004, -0.9),
             "The initial state a_start = 0.004, b_start = 0.9 cannot hold the third-order row 1 at idx_s_start = 0: "
             "sqrt(a) (jerk_a a + jerk_b b + jerk_d) = 1.7076299364909246 is greater than jerk_max = 1",
             "The final state a_final = 0.004, b_final = -0.9 cannot hold the third-order row 3 at idx_s_final = 11: "
             "sqrt(a) (jerk_a a + jerk_b b + jerk_d) = 1.7076299364909246 is greater than jerk_max = 1"),
}
END_CASES = [(solver, end, limit) for solver in ("qarn2_socp", "topp3_lp", "topp3_socp", "qarn3_socp")
             for end in ("start", "end", "both") for limit in BROKEN_ENDS
             if not (solver == "qarn2_socp" and limit == "jerk")]


@pytest.mark.parametrize("solver, end, limit", END_CASES)
def test_end_values_that_break_their_station_limits_are_never_returned(solver, end, limit):
    # Before: every conic solver returned them (a[0] = 0.25 against a_max[0] = 0.01, a joint
    # acceleration of -3 against its limit of 1). Refused before the solve where the end station
    # decides; the second order's acceleration rows need the next station and the solve.
    robot, n = end_robot()
    broken_start, broken_end, initial, final = BROKEN_ENDS[limit]
    if solver == "qarn2_socp" and limit == "acceleration":
        broken_start = broken_end = (0.008, 0.0)  # 10 a above 0.05 whatever b
    start = broken_start if end != "end" else (0.004, 0.0)
    final_values = broken_end if end != "start" else (0.004, 0.0)
    with pytest.raises(q.QarnError) as info:
        solve_ends(solver, robot, n, (start[0], final_values[0]), (start[1], final_values[1]))
    if solver == "qarn2_socp" and limit == "acceleration":
        assert str(info.value).startswith(f"qarn2_socp reported an infeasibility: No profile from a_start = {start[0]} "
                                          f"to a_final = {final_values[0]} holds the first- and second-order limits")
        assert f"with a = 0.008 at idx_s = {0 if end == 'start' else 11}, no a " in str(info.value)
    else:
        assert str(info.value) == f"{solver} reported an infeasibility: {initial if end != 'end' else final}"
    solve_ends(solver, robot, n, (0.004, 0.004), (0.0, 0.0))  # valid ends keep solving


def test_an_unreachable_start_is_reported_infeasible_whatever_the_status():
    # Before: "status DualInfeasible" for objectives that cannot be unbounded (the campaign's seed 50).
    case = make_case(50, stations=(50,))
    robot, _, _, _ = build(case)
    a_start = 0.5 * robot.constraints.amax_values(0, 1)[0]
    objectives = [q.Time(1.0), q.ThermalEnergy(1.0, [1.0]), q.TotalVariationTorque(1.0, [1.0])]
    with pytest.raises(q.QarnError, match=r"^qarn2_socp reported an infeasibility: No profile from a_start = .* "
                                          r"The reachable set is empty at index 1 during the forward pass: with a = "):
        q.qarn2_socp(q.Qarn2Problem(robot, objectives, (0, 49), (a_start, 0.0)))


def test_random_campaign():
    findings = campaign(range(150), stations=(50, 100))
    assert not findings, findings


@pytest.mark.slow
def test_random_campaign_in_full():
    findings = campaign(range(2000))
    assert not findings, findings

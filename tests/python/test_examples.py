"""examples/joint_motion.py: its joint velocities, accelerations and jerks at time samples are the
time derivatives of the sampled motion q(s(t)), checked against central differences whose error must
shrink as dt^2 (a wrong term leaves an error that does not shrink); the recipe of
examples/jerk_limited_plan.py refuses stations other than its window's and hides no conversion
error; and the README's tour runs as printed."""

import functools
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import qarn_py as q
from third_order_cases import LinePath, jerk_line_robot

REPOSITORY = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPOSITORY / "examples"))
import joint_motion as example  # noqa: E402
from jerk_limited_plan import plan_jerk_limited, traversal_time  # noqa: E402


def line_plan(n, length, v, acc, dec, jerk):
    """plan()'s tuple for one axis along q(s) = s, the jerk-limited profile planned by the recipe."""
    robot, s = jerk_line_robot(n, length, v, acc, jerk, dec=dec)
    a = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
    path = q.Path.from_evaluator_3rd(LinePath([1.0]), 0.0, length)
    return path, s, a, plan_jerk_limited(robot.constraints, s, a)[0], None


# The line's end window has the junction ratio a / (span |b|) = 2 exactly, no constant-jerk phase:
# read as the pure window before, its d2s/dt2 was 4/3 of the deceleration limit.
PLANS = {"quickstart path": lambda: example.plan(200),
         "line ending at r = 2": lambda: line_plan(1000, 2.322175291419729, 3.333097712317441, 9.27777910499004,
                                                   0.1051447214678915, 2869416.3317995756)}


@functools.cache
def planned(name):
    return PLANS[name]()


def difference_errors(name, order, dt):
    """Per derivative, the largest |central difference of the order below - the example's value| on
    samples whose neighbours lie in the same station interval (the derivative above the profile's own
    order jumps at the stations), relative to the largest value."""
    path, s, a, profile, _ = planned(name)
    p, s_to_t, t_to_s = ((a, q.s_to_t_topp2, q.t_to_s_topp2_uniform) if order == 2 else
                         (profile, q.s_to_t_topp3, q.t_to_s_topp3_uniform))
    _, t_s = s_to_t(s, p)
    s_t = t_to_s(s, p, t_s, dt, include_final=False)
    t = dt * np.arange(len(s_t))
    same_interval = np.searchsorted(t_s, t[:-2]) == np.searchsorted(t_s, t[2:])
    derivatives = example.joint_motion(path, s, p, s_t)
    errors = []
    for low, high in zip(derivatives[:-1], derivatives[1:]):
        difference = (low[2:] - low[:-2]) / (2 * dt)
        errors.append(np.abs(difference - high[1:-1])[same_interval].max() / np.abs(high).max())
    return np.array(errors)


@pytest.mark.parametrize("name, order", [("quickstart path", 2), ("quickstart path", 3), ("line ending at r = 2", 3)])
def test_joint_derivatives_are_the_time_derivatives_of_the_motion(name, order):
    coarse, fine = (difference_errors(name, order, dt) for dt in (2e-4, 1e-4))
    assert np.all(fine <= 1e-3), fine
    assert np.all(fine <= coarse / 3), (coarse, fine)


def test_the_readme_tour_runs_as_printed():
    readme = (REPOSITORY / "README.md").read_text()
    tour = readme.split("## A tour of the API", 1)[1].split("```python\n", 1)[1].split("```", 1)[0]
    run = subprocess.run([sys.executable, "-c", tour], cwd=REPOSITORY, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and not run.stderr, run.stderr
    assert len(run.stdout.splitlines()) == tour.count("print("), run.stdout


# (window start, the s given, the refusal). Before: a short s gave "no pass of 10 gave a profile that
# converts to time" after ten solves, a doubled s a plan of twice the time.
@pytest.mark.parametrize("start, given, message", [
    (0, lambda s: s[:-1], r"`s` holds 200 values for the 201 stations of the window \(ids 0 \.\. 200\)"),
    (50, lambda s: s[:151], r"`s\[0\]` = 0\.0 differs from the s of station 50, 1\.0")])
def test_the_recipe_refuses_stations_other_than_its_windows_before_any_solve(start, given, message):
    robot, s = jerk_line_robot()
    a = q.topp2_ra(q.Topp2Problem(robot.constraints, (start, len(s) - 1)))
    with pytest.raises(ValueError, match=message):
        plan_jerk_limited(robot.constraints, given(s), a, idx_s_start=start, solve=lambda _: pytest.fail("solved"))
    assert plan_jerk_limited(robot.constraints, s[start:], a, idx_s_start=start)[1] < np.inf
    # A conversion error that is not about the profile is raised, not timed as inf.
    with pytest.raises(q.QarnError, match=r"`a.len\(\)` = 201 and `b.len\(\)` = 201 must equal `s.len\(\)` = 200"):
        traversal_time(s[:-1], q.Profile3rd(np.ones(201), np.zeros(201), (0, 0)))

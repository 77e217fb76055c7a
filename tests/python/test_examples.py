"""examples/joint_motion.py: its joint velocities, accelerations and jerks at time samples are the
time derivatives of the sampled motion q(s(t)), checked against central differences whose error must
shrink as dt^2 (a wrong term leaves an error that does not shrink)."""

import importlib.util
from pathlib import Path

import numpy as np
import pytest

import qarn_py as q

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "joint_motion.py"


@pytest.fixture(scope="module")
def example():
    spec = importlib.util.spec_from_file_location("joint_motion", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def planned(example):
    return example.plan(200)


def difference_errors(example, planned, order, dt):
    """Per derivative, the largest |central difference of the order below - the example's value| on
    samples whose neighbours lie in the same station interval (the derivative above the profile's own
    order jumps at the stations), relative to the largest value."""
    path, s, a, profile, _ = planned
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


@pytest.mark.parametrize("order", [2, 3])
def test_joint_derivatives_are_the_time_derivatives_of_the_motion(example, planned, order):
    coarse, fine = (difference_errors(example, planned, order, dt) for dt in (2e-4, 1e-4))
    assert np.all(fine <= 1e-3), fine
    assert np.all(fine <= coarse / 3), (coarse, fine)

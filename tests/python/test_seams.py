"""The seams between Python and the core refuse what they cannot honour: complex values from any
evaluator or callback, symbolic functions NumPy cannot evaluate (refused when the path is built),
runaway recursion through the module (RecursionError at any recursion limit, never a crash), and
sizes that cannot be allocated (MemoryError); and they honour what they can: the derivatives of
piecewise-smooth symbolic paths, and an empty query on a path of very many axes."""

import importlib
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest
import sympy as sp

import qarn_py as q

X = sp.Symbol("x", real=True)


class Plain:
    """A third-order evaluator of `dim` axes returning make(s) for every order."""

    def __init__(self, make, dim=2):
        self.dim = dim
        self.make = make
        self.calls = []

    def evaluate_up_to_3rd(self, s):
        self.calls.append(len(s))
        return tuple(self.make(s) for _ in range(4))


def plain(make, s=(0.25, 0.5), layout="sample_major", dim=2):
    return lambda: q.Path.from_evaluator_3rd(Plain(make, dim), 0.0, 1.0, layout=layout).evaluate_up_to_3rd(s)


def optional(module):
    try:
        return importlib.import_module(module)
    except ImportError:
        return None


anp = optional("autograd.numpy")
jnp = optional("jax.numpy")


def backend(module, build):
    """The call of `build(module)`, or a skip when the backend is not installed."""
    return lambda: build(module) if module is not None else pytest.skip("backend not installed")


def torque(callback):
    def call():
        robot = q.Robot(2, inverse_dynamics=callback)
        robot.append_s([0.0, 1.0])
        robot.set_q(np.zeros((2, 2)), np.ones((2, 2)), np.zeros((2, 2)), 0)
        robot.add_torque_limits([1.0, 1.0], [-1.0, -1.0], start_idx_s=0)
    return call


def complex_at(s, axis, k):
    """(n, 2) real values with an imaginary part at axis `axis` of query `k` only."""
    z = np.stack([s, s**2], axis=1).astype(complex)
    z[k, axis] += 1j
    return z


def sympy_path(expr, symbol=X):
    return lambda: q.Path.from_sympy([expr], symbol=symbol)


# (call, exception, message): each call is refused, the message naming what was refused.
REFUSED = {
    "evaluator, complex q": (plain(lambda s: complex_at(s, 0, 0)), ValueError,
                             r"^`evaluate_up_to_3rd` returned complex values in `q`: axis 0 at s = 0.25; "
                             r"a path must be real$"),
    "evaluator, dim-major": (plain(lambda s: complex_at(s, 1, 1).T, layout="dim_major"), ValueError,
                             r"complex values in `q`: axis 1 at s = 0.5;"),
    "evaluator, zero imaginary parts": (plain(lambda s: complex_at(s, 0, 0).real + 0j), ValueError,
                                        r"complex values in `q`: axis 0 at s = 0.25;"),
    "autograd": (backend(anp, lambda np_: q.Path.from_autograd(lambda t: np_.sqrt(t - 2 + 0j), 0.0, 1.0)),
                 ValueError,
                 r"^`Path.from_autograd`: entry 0 of the path evaluates to complex values \(q at s = 0.0\)$"),
    "jax": (backend(jnp, lambda np_: q.Path.from_jax(lambda t: np_.array([t, t + 1j * (t + 1)]), 0.0, 1.0)),
            ValueError, r"^`Path.from_jax`: entry 1 of the path evaluates to complex values \(q at s = 0.0\)$"),
    "jax without x64": (backend(jnp, lambda np_: q.Path.from_jax(lambda t: np_.array([t, t + 1j * (t + 1)]), 0.0,
                                                                 1.0, require_x64=False)),
                        ValueError, r"entry 1 of the path evaluates to complex values"),
    "sympy": (lambda: q.Path.from_sympy([X, X + sp.I * (X - 0.5) ** 2], symbol=X).evaluate_up_to_3rd([0.5, 1.0]),
              ValueError, r"^`Path.from_sympy`: entry 1 of the path evaluates to complex values \(q at s = 1.0\)$"),
    "inverse dynamics": (torque(lambda qq, dq, ddq: ddq + np.array([0.0, 1j])), ValueError,
                         r"^`inverse_dynamics` returned complex values: tau\[1\]; torques must be real$"),
    "besselj": (sympy_path(sp.besselj(0, X)), ValueError,
                r"^`Path.from_sympy`: NumPy cannot evaluate `besselj` \(in q of entry 0: besselj\(0, x\)\)$"),
    "LambertW": (sympy_path(X + sp.LambertW(X)), ValueError, r"NumPy cannot evaluate `LambertW` \(in q of entry 0"),
    "gamma": (sympy_path(sp.gamma(X + 1)), ValueError, r"NumPy cannot evaluate `gamma` \(in q of entry 0"),
    "erf": (sympy_path(sp.erf(X)), ValueError, r"NumPy cannot evaluate `erf` \(in q of entry 0"),
    "zoo": (sympy_path(sp.zoo * X), ValueError, r"NumPy cannot evaluate `ComplexInfinity` \(in q of entry 0: zoo\)$"),
    "sample matrix of 2**62 axes": (plain(lambda s: None, dim=2**62), MemoryError,
                                    r"^evaluate_path_samples reported an error: the sample matrix is too large "
                                    r"to allocate$"),
}


@pytest.mark.parametrize("case", REFUSED)
def test_refused(case):
    call, kind, message = REFUSED[case]
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # nothing is cast with a ComplexWarning on the way
        with pytest.raises(kind, match=message):
            call()


@pytest.mark.parametrize("symbol", [X, sp.Symbol("x")], ids=["real symbol", "plain symbol"])
def test_derivatives_of_abs_away_from_the_corner_and_at_it(symbol):
    path = q.Path.from_sympy([sp.Abs(symbol - 0.5), (symbol - 0.5) * sp.Abs(symbol - 0.5)], symbol=symbol)
    s = np.array([0.1, 0.3, 0.5, 0.8])
    d = path.evaluate_up_to_3rd(s)
    u = s - 0.5
    corner = s == 0.5
    np.testing.assert_array_equal(d.q, np.stack([np.abs(u), u * np.abs(u)], axis=1))
    np.testing.assert_array_equal(d.dq, np.stack([np.sign(u), 2 * np.abs(u)], axis=1))
    # The distributions that differentiation brings in are 0 where the derivative exists, and NaN
    # at the corner, where it does not: the store refuses such a station instead of planning through it.
    np.testing.assert_array_equal(d.ddq, np.where(corner[:, None], np.nan, np.stack([0 * u, 2 * np.sign(u)], axis=1)))
    np.testing.assert_array_equal(d.dddq, np.where(corner[:, None], np.nan, np.zeros((4, 2))))
    robot = q.Robot(2)
    robot.append_s(s)
    with pytest.raises(q.ConstraintError, match="`ddq` at idx_s=2, axis 0 is NaN"):
        robot.set_q_from_path_3rd(path, 0, 4)
    robot.set_q_from_path_3rd(path, 0, 2)


def test_an_empty_query_of_many_axes_calls_the_evaluator_once():
    evaluator = Plain(lambda s: np.zeros((0, 2**40)), dim=2**40)
    path = q.Path.from_evaluator_3rd(evaluator, 0.0, 1.0)
    assert path.evaluate_up_to_3rd([]).dddq.shape == (0, 2**40)
    assert evaluator.calls == [0]


RECURSION = """
import sys
import numpy as np
import qarn_py as q

class Evaluator:
    dim = 1

    def evaluate_up_to_3rd(self, s):
        path.evaluate_q(s)  # without end

def inverse_dynamics(qq, dq, ddq):  # a new robot with this very model, without end
    robot = q.Robot(1, inverse_dynamics=inverse_dynamics)
    robot.append_s([0.0, 1.0])
    robot.set_q(np.zeros((2, 1)), np.ones((2, 1)), np.zeros((2, 1)), 0)
    robot.add_torque_limits([1.0], [-1.0], start_idx_s=0)

path = q.Path.from_evaluator_3rd(Evaluator(), 0.0, 1.0)
sys.setrecursionlimit(int(sys.argv[1]))
for call in (lambda: path.evaluate_q([0.5]), lambda: inverse_dynamics(None, None, None)):
    try:
        call()
    except RecursionError as error:
        print(str(error))
"""


@pytest.mark.parametrize("limit", [1000, 2500, 5000, 100_000])
def test_runaway_recursion_raises_recursion_error_at_any_limit(limit):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(RECURSION), str(limit)], capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    lines = done.stdout.splitlines()
    assert len(lines) == 2 and all(line.startswith("maximum recursion depth exceeded") for line in lines), lines

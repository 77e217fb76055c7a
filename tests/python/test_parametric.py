"""Parametric paths: Path.from_sympy against hand-written derivatives, the autograd, JAX and CasADi
builds of the same function against it, each backend failing alone when it cannot be imported,
float64 throughout, and a solve on a symbolic circle against a dense waypoint spline of it."""

import sys
import warnings

import numpy as np
import pytest
import sympy as sp

import qarn_py as q

S = np.array([0.0, 0.1, 0.37, 0.5, 0.81, 1.0])


def reference(s):
    """q = [sin 2s, s^3 + 1, 3s] and its three derivatives, written out by hand, each (n, 3)."""
    s = np.asarray(s, dtype=np.float64)
    zero, one = np.zeros_like(s), np.ones_like(s)
    return (
        np.stack([np.sin(2 * s), s**3 + 1, 3 * s], axis=1),
        np.stack([2 * np.cos(2 * s), 3 * s**2, 3 * one], axis=1),
        np.stack([-4 * np.sin(2 * s), 6 * s, zero], axis=1),
        np.stack([-8 * np.cos(2 * s), 6 * one, zero], axis=1),
    )


def sympy_path(layout="sample_major"):
    s = sp.Symbol("s")
    return q.Path.from_sympy([sp.sin(2 * s), s**3 + 1, 3 * s], symbol=s, layout=layout)


def autograd_path():
    anp = pytest.importorskip("autograd.numpy")
    return q.Path.from_autograd(lambda s: anp.array([anp.sin(2 * s), s**3 + 1, 3 * s]), 0.0, 1.0)


def jax_path(jit=True):
    jnp = pytest.importorskip("jax.numpy")
    return q.Path.from_jax(lambda s: jnp.array([jnp.sin(2 * s), s**3 + 1, 3 * s]), 0.0, 1.0, jit=jit)


def casadi_path():
    casadi = pytest.importorskip("casadi")
    s = casadi.SX.sym("s")
    return q.Path.from_casadi([casadi.sin(2 * s), s**3 + 1, 3 * s], symbol=s)


def derivatives(path, s=S):
    d = path.evaluate_up_to_3rd(s)
    return d.q, d.dq, d.ddq, d.dddq


class TestSympy:
    @pytest.mark.parametrize("layout", ["sample_major", "dim_major"])
    def test_against_hand_written_derivatives(self, layout):
        path = sympy_path(layout)
        assert isinstance(path, q.Path) and path.dim == 3 and path.s_range == (0.0, 1.0)
        transpose = (lambda a: a.T) if layout == "dim_major" else (lambda a: a)
        for got, expected in zip(derivatives(path), reference(S)):
            assert got.dtype == np.float64
            np.testing.assert_allclose(got, transpose(expected), rtol=0, atol=1e-12)
        np.testing.assert_allclose(path.evaluate_q(S).q, transpose(reference(S)[0]), rtol=0, atol=1e-12)
        np.testing.assert_allclose(path.evaluate_up_to_2nd(S).ddq, transpose(reference(S)[2]), rtol=0, atol=1e-12)
        assert path.evaluate_up_to_3rd([]).dddq.shape == ((0, 3) if layout == "sample_major" else (3, 0))

    def test_forms_of_the_expressions(self):
        s = sp.Symbol("s")
        one = q.Path.from_sympy(s**2, symbol=s, s_min=-1.0, s_max=2.0)  # a lone expression: one axis
        assert one.dim == 1 and one.s_range == (-1.0, 2.0)
        np.testing.assert_allclose(one.evaluate_up_to_3rd([-1.0, 2.0]).ddq, [[2.0], [2.0]])
        constant = q.Path.from_sympy(sp.Matrix([2, s]), symbol=s)  # a column, with a constant entry
        d = constant.evaluate_up_to_3rd(S)
        np.testing.assert_array_equal(d.q[:, 0], 2.0)
        np.testing.assert_array_equal(d.dq, np.tile([0.0, 1.0], (len(S), 1)))
        with pytest.raises(ValueError, match="entry 1 of the path evaluates to complex values"):
            q.Path.from_sympy([s, sp.I * s], symbol=s).evaluate_q(S)
        with pytest.raises(TypeError, match="`symbol` must be a sympy Symbol"):
            q.Path.from_sympy([s], symbol="s")
        with pytest.raises(ValueError, match="also found t"):
            q.Path.from_sympy([s * sp.Symbol("t")], symbol=s)
        with pytest.raises(TypeError, match="symbol"):
            q.Path.from_sympy([s])  # symbol is a required keyword


@pytest.mark.parametrize("build", [autograd_path, jax_path, lambda: jax_path(jit=False), casadi_path],
                         ids=["autograd", "jax", "jax-nojit", "casadi"])
def test_backends_agree_with_sympy(build):
    path = build()
    assert isinstance(path, q.Path) and path.dim == 3
    for got, expected in zip(derivatives(path), derivatives(sympy_path())):
        assert got.dtype == np.float64
        np.testing.assert_allclose(got, expected, rtol=0, atol=1e-12)
    # Other batch sizes, one query and none.
    for s in [np.linspace(0.0, 1.0, 37), [0.6], []]:
        for got, expected in zip(derivatives(path, s), reference(s)):
            np.testing.assert_allclose(got, expected, rtol=0, atol=1e-12)
    np.testing.assert_allclose(path.evaluate_q(S).q, reference(S)[0], rtol=0, atol=1e-12)


class TestJax:
    def test_x64_is_enabled_for_the_call_only(self):
        jax = pytest.importorskip("jax")
        path = jax_path()
        before = jax.config.jax_enable_x64
        d = path.evaluate_up_to_3rd(S)
        assert jax.config.jax_enable_x64 == before
        # float32 would lose these digits: sin(2 * 0.37) to 1e-15.
        assert abs(d.q[2, 0] - np.sin(0.74)) < 1e-15

    def test_float32_is_never_silent(self):
        jnp = pytest.importorskip("jax.numpy")

        def single(s):
            return jnp.array([jnp.sin(s), s]).astype(jnp.float32)

        with pytest.raises(TypeError, match="float32, not float64"):
            q.Path.from_jax(single, 0.0, 1.0).evaluate_q(S)
        widened = q.Path.from_jax(single, 0.0, 1.0, require_x64=False)
        with pytest.warns(UserWarning, match="widened to float64"):
            d = widened.evaluate_q(S)
        assert d.q.dtype == np.float64

    def test_q_fn_gives_a_vector_or_a_scalar(self):
        jnp = pytest.importorskip("jax.numpy")
        with pytest.raises(ValueError, match="one-dimensional"):
            q.Path.from_jax(lambda s: jnp.eye(2) * s, 0.0, 1.0)
        scalar = q.Path.from_jax(lambda s: s**4, 0.0, 1.0)
        np.testing.assert_allclose(scalar.evaluate_up_to_3rd([0.5]).dddq, [[12.0]], rtol=0, atol=1e-12)


class TestCasadi:
    def test_mx_column_and_dim_major(self):
        casadi = pytest.importorskip("casadi")
        s = casadi.MX.sym("s")
        path = q.Path.from_casadi(casadi.vertcat(casadi.sin(2 * s), s**3 + 1, 3 * s), symbol=s, layout="dim_major")
        for got, expected in zip(derivatives(path), reference(S)):
            np.testing.assert_allclose(got, expected.T, rtol=0, atol=1e-12)
        with pytest.raises(TypeError, match="scalar CasADi symbol"):
            q.Path.from_casadi([s], symbol=2 * s)
        with pytest.raises(TypeError, match="^`q_expr` must be a CasADi expression .*, not float$"):
            q.Path.from_casadi(1.5, symbol=s)
        with pytest.raises(TypeError, match="not DM"):
            q.Path.from_casadi([1.0, 2.0], symbol=s)  # numbers alone make no expression
        with pytest.raises(TypeError, match="^`q_expr` must be a CasADi expression .*: Wrong number or type"):
            q.Path.from_casadi([s, None, "x"], symbol=s)
        with pytest.raises(ValueError, match="^`q_expr` must be an expression in `symbol` alone: "):
            q.Path.from_casadi([s * casadi.MX.sym("t")], symbol=s)


@pytest.mark.parametrize(
    "module, constructor, call, build_other",
    [
        ("sympy", "from_sympy", lambda: q.Path.from_sympy([0], symbol=None), autograd_path),
        ("autograd", "from_autograd", lambda: q.Path.from_autograd(abs, 0.0, 1.0), sympy_path),
        ("jax", "from_jax", lambda: q.Path.from_jax(abs, 0.0, 1.0), sympy_path),
        ("casadi", "from_casadi", lambda: q.Path.from_casadi([0], symbol=None), sympy_path),
    ],
)
def test_an_unimportable_backend_fails_alone(monkeypatch, module, constructor, call, build_other):
    monkeypatch.setitem(sys.modules, module, None)  # import now raises ImportError
    with pytest.raises(ImportError, match=f"`Path.{constructor}` requires {module}"):
        call()
    assert build_other().dim == 3


def test_solve_on_a_symbolic_circle_matches_a_dense_spline_of_it():
    s = sp.Symbol("s")
    circle = q.Path.from_sympy([sp.cos(2 * sp.pi * s), sp.sin(2 * sp.pi * s)], symbol=s)
    # A quintic through 401 points of the circle, with the circle's own derivatives at both ends
    # (as span-local Taylor coefficients h^r / r! q^(r)).
    n_points = 401
    h = 1.0 / (n_points - 1)
    knots = np.linspace(0.0, 1.0, n_points)
    ends = circle.evaluate_up_to_2nd([0.0, 1.0])
    states = [np.stack([h * ends.dq[i], h * h / 2 * ends.ddq[i]], axis=1) for i in (0, 1)]
    spline = q.Path.from_waypoints(circle.evaluate_q(knots).q, start_state=states[0], end_state=states[1])

    stations = np.linspace(0.0, 1.0, 300)
    exact, approx = circle.evaluate_up_to_2nd(stations), spline.evaluate_up_to_2nd(stations)
    # The spline's error in the derivatives that the limits read, relative to their size (2 pi, 4 pi^2).
    error = max(np.abs(exact.dq - approx.dq).max() / (2 * np.pi), np.abs(exact.ddq - approx.ddq).max() / (4 * np.pi**2))
    assert error < 1e-8

    def solve(path):
        robot = q.Robot(2)
        robot.append_s(stations)
        robot.set_q_from_path_2nd(path, 0, len(stations))
        robot.add_velocity_limits([3.0, 3.0], [-3.0, -3.0], start_idx_s=0)
        robot.add_acceleration_limits([20.0, 20.0], [-20.0, -20.0], start_idx_s=0)
        return q.topp2_ra(q.Topp2Problem(robot.constraints, (0, len(stations) - 1)))

    a_exact, a_spline = solve(circle), solve(spline)
    assert a_exact.max() > 0.1
    np.testing.assert_allclose(a_spline, a_exact, rtol=0, atol=10 * error * a_exact.max())


def test_no_backend_warning_leaks_from_constant_derivatives():
    anp = pytest.importorskip("autograd.numpy")
    path = q.Path.from_autograd(lambda s: anp.array([3.0 * s, 2.0 + 0.0 * s]), 0.0, 1.0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        d = path.evaluate_up_to_3rd(S)
    np.testing.assert_array_equal(d.dddq, np.zeros((len(S), 2)))
    np.testing.assert_array_equal(d.dq, np.tile([3.0, 0.0], (len(S), 1)))

"""Paths from symbolic or auto-differentiated expressions, for the parametric constructors of
``Path`` (``from_sympy``, ``from_casadi``, ``from_autograd``, ``from_jax``).

Each turns its input into a third-order path evaluator (``dim`` and ``evaluate_q``,
``evaluate_up_to_2nd``, ``evaluate_up_to_3rd`` over a batch of path parameters) and builds the path
through ``Path.from_evaluator_3rd``. Every backend is imported inside its own function, so a
missing one fails only its own constructor. Values are float64 throughout.
"""

import functools
import importlib
import warnings

import numpy as np


def _require(module, constructor, package=None):
    """Imports a backend, or raises ImportError naming it and the constructor that needs it."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(
            f"`Path.{constructor}` requires {module}; install it with `pip install {package or module}`"
        ) from error


class _Evaluator:
    """A third-order evaluator over ``orders(s, k)``, which returns the derivatives of orders
    0..k at the queries ``s`` as float64 arrays of shape (n, dim)."""

    def __init__(self, dim, orders, layout):
        self.dim = dim
        self._orders = orders
        self._dim_major = layout == "dim_major"

    def _evaluate(self, s, k):
        s = np.asarray(s, dtype=np.float64)
        arrays = self._orders(s, k)
        if self._dim_major:
            arrays = [a.T for a in arrays]
        return tuple(arrays)

    def evaluate_q(self, s):
        return self._evaluate(s, 0)[0]

    def evaluate_up_to_2nd(self, s):
        return self._evaluate(s, 2)

    def evaluate_up_to_3rd(self, s):
        return self._evaluate(s, 3)


def _build(dim, orders, s_min, s_max, layout):
    from qarn_py._native import Path

    return Path.from_evaluator_3rd(_Evaluator(dim, orders, layout), s_min, s_max, layout=layout)


def _columns(values, n):
    """Per-axis values (arrays of n, or scalars for constant entries) as one (n, dim) array."""
    out = np.empty((n, len(values)), dtype=np.float64)
    for axis, value in enumerate(values):
        value = np.asarray(value)
        if np.iscomplexobj(value):  # float64 would silently keep the real part
            raise ValueError(f"`Path.from_sympy`: entry {axis} of the path evaluates to complex values")
        out[:, axis] = np.broadcast_to(value.astype(np.float64, copy=False), (n,))
    return out


def _from_sympy(q_exprs, symbol, s_min, s_max, layout):
    sympy = _require("sympy", "from_sympy")
    if not isinstance(symbol, sympy.Symbol):
        raise TypeError(f"`symbol` must be a sympy Symbol, not {type(symbol).__name__}")
    if isinstance(q_exprs, (sympy.MatrixBase, list, tuple)):
        exprs = [sympy.sympify(e) for e in sympy.Matrix(q_exprs)]
    else:
        exprs = [sympy.sympify(q_exprs)]
    if not exprs:
        raise ValueError("`q_exprs` must hold at least one expression")
    others = set().union(*(e.free_symbols for e in exprs)) - {symbol}
    if others:
        names = ", ".join(sorted(str(x) for x in others))
        raise ValueError(f"`q_exprs` may depend on `symbol` alone; also found {names}")
    derivatives = [exprs]
    for _ in range(3):
        derivatives.append([sympy.diff(e, symbol) for e in derivatives[-1]])
    functions = [sympy.lambdify(symbol, d, modules="numpy", cse=True) for d in derivatives]

    def orders(s, k):
        return [_columns(functions[order](s), s.shape[0]) for order in range(k + 1)]

    return _build(len(exprs), orders, s_min, s_max, layout)


def _from_casadi(q_expr, symbol, s_min, s_max, layout):
    casadi = _require("casadi", "from_casadi")
    expected = "`q_expr` must be a CasADi expression (SX or MX) or a list of them"
    if isinstance(q_expr, (list, tuple)):
        try:
            q_expr = casadi.vertcat(*q_expr)
        except NotImplementedError as error:  # CasADi's report of items it cannot stack
            raise TypeError(f"{expected}: {error}") from error
    if not isinstance(q_expr, (casadi.SX, casadi.MX)):
        raise TypeError(f"{expected}, not {type(q_expr).__name__}")
    if not hasattr(symbol, "is_symbolic") or not symbol.is_symbolic() or symbol.numel() != 1:
        raise TypeError("`symbol` must be a scalar CasADi symbol (SX.sym or MX.sym)")
    if q_expr.size2() != 1 or q_expr.size1() == 0:
        raise ValueError(f"`q_expr` must be a column of expressions; got shape {q_expr.shape}")
    try:
        derivatives = [q_expr]
        for _ in range(3):
            derivatives.append(casadi.jacobian(derivatives[-1], symbol))
        # One function per highest order asked for, each batched over the queries as one row.
        functions = {k: casadi.Function(f"q_up_to_{k}", [symbol], derivatives[: k + 1]) for k in (0, 2, 3)}
    except RuntimeError as error:  # CasADi's report of an expression it cannot differentiate in `symbol`
        raise ValueError(f"`q_expr` must be an expression in `symbol` alone: {error}") from error

    @functools.lru_cache(maxsize=16)
    def batched(k, n):
        return functions[k].map(n)

    def orders(s, k):
        n = s.shape[0]
        if n == 0:
            return [np.empty((0, q_expr.size1())) for _ in range(k + 1)]
        results = batched(k, n)(s.reshape(1, n))
        results = results if isinstance(results, (list, tuple)) else [results]
        return [np.ascontiguousarray(np.asarray(r.full(), dtype=np.float64).T) for r in results]

    return _build(q_expr.size1(), orders, s_min, s_max, layout)


def _probe_dim(values, constructor):
    """The number of values `q_fn` gives at one s: a scalar is one axis."""
    q0 = np.asarray(values, dtype=np.float64)
    if q0.ndim > 1 or q0.size == 0:
        raise ValueError(
            f"`Path.{constructor}`: `q_fn(s)` must return a scalar or a non-empty one-dimensional array; "
            f"got shape {q0.shape}"
        )
    return q0.size


def _from_autograd(q_fn, s_min, s_max, layout):
    autograd = _require("autograd", "from_autograd")
    dim = _probe_dim(q_fn(float(s_min)), "from_autograd")
    functions = [q_fn]
    for _ in range(3):
        functions.append(autograd.deriv(functions[-1]))

    def orders(s, k):
        out = [np.empty((s.shape[0], dim), dtype=np.float64) for _ in range(k + 1)]
        with warnings.catch_warnings():
            # A derivative that does not depend on s (a straight axis) is correct, only constant.
            warnings.filterwarnings("ignore", message="Output seems independent of input")
            for i, si in enumerate(s):
                for order in range(k + 1):
                    out[order][i] = functions[order](float(si))
        return out

    return _build(dim, orders, s_min, s_max, layout)


def _x64(jax):
    """A context in which JAX computes in 64 bits, leaving the global setting as it was."""
    enable = getattr(jax, "enable_x64", None)
    if enable is not None:
        return enable(True)
    from jax.experimental import enable_x64

    return enable_x64()


def _from_jax(q_fn, s_min, s_max, layout, jit, require_x64):
    jax = _require("jax", "from_jax", "jax[cpu]")
    with _x64(jax):
        dim = _probe_dim(q_fn(np.float64(s_min)), "from_jax")
    jnp = jax.numpy

    def up_to(k):
        """s -> (q, dq, ..., the k-th derivative) at one s: each order is the forward-mode tangent
        of the one below, so the lower orders are computed once, not once per order."""
        if k == 0:
            return lambda si: (q_fn(si),)
        lower = up_to(k - 1)

        def orders_at(si):
            values, tangents = jax.jvp(lower, (si,), (jnp.ones_like(si),))
            return values + (tangents[-1],)

        return orders_at

    functions = {}
    for k in (0, 2, 3):
        batch = jax.vmap(up_to(k))
        functions[k] = jax.jit(batch) if jit else batch

    def orders(s, k):
        n = s.shape[0]
        if n == 0:
            return [np.empty((0, dim)) for _ in range(k + 1)]
        # JAX specialises its work to the batch size (compiling, with or without jit): padding to a
        # power of two keeps the number of compilations logarithmic in the sizes asked for.
        padded = 1 << (n - 1).bit_length()
        batch = np.full(padded, s[0])
        batch[:n] = s
        with _x64(jax):
            results = functions[k](batch)
        arrays = []
        for r in results:
            if r.dtype != np.float64:
                if require_x64:
                    raise TypeError(f"`Path.from_jax`: `q_fn` computed in {r.dtype}, not float64")
                warnings.warn(f"`Path.from_jax`: `q_fn` computed in {r.dtype}; widened to float64", stacklevel=2)
            arrays.append(np.asarray(r, dtype=np.float64).reshape(padded, dim)[:n])
        return arrays

    return _build(dim, orders, s_min, s_max, layout)

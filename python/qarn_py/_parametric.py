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


_DERIVATIVES = ("q", "dq", "ddq", "dddq")


def _real(values, constructor, order, s):
    """The (n, dim) values of the derivative of `order` at the queries `s` as float64. Complex values
    are refused, naming the first entry that is not real: float64 would silently keep the real part."""
    values = np.asarray(values)
    if np.iscomplexobj(values) and values.size:
        non_real = np.flatnonzero(values.imag)
        k, axis = divmod(int(non_real[0]) if non_real.size else 0, values.shape[1])
        raise ValueError(
            f"`Path.{constructor}`: entry {axis} of the path evaluates to complex values "
            f"({_DERIVATIVES[order]} at s = {float(s[k])!r})"
        )
    return values.astype(np.float64, copy=False)


class _Evaluator:
    """A third-order evaluator over ``orders(s, k)``, which returns the derivatives of orders
    0..k at the queries ``s`` as arrays of shape (n, dim), real or complex; the evaluator refuses
    complex ones and hands out float64."""

    def __init__(self, dim, orders, layout, constructor):
        self.dim = dim
        self._orders = orders
        self._dim_major = layout == "dim_major"
        self._constructor = constructor

    def _evaluate(self, s, k):
        s = np.asarray(s, dtype=np.float64)
        arrays = [_real(a, self._constructor, order, s) for order, a in enumerate(self._orders(s, k))]
        if self._dim_major:
            arrays = [a.T for a in arrays]
        return tuple(arrays)

    def evaluate_q(self, s):
        return self._evaluate(s, 0)[0]

    def evaluate_up_to_2nd(self, s):
        return self._evaluate(s, 2)

    def evaluate_up_to_3rd(self, s):
        return self._evaluate(s, 3)


def _build(dim, orders, s_min, s_max, layout, constructor):
    from qarn_py._native import Path

    return Path.from_evaluator_3rd(_Evaluator(dim, orders, layout, constructor), s_min, s_max, layout=layout)


def _columns(values, n):
    """Per-axis values (arrays of n, or scalars for constant entries) as one (n, dim) array."""
    return np.stack([np.broadcast_to(np.asarray(value), (n,)) for value in values], axis=1)


def _dirac_delta(x, k=0):
    """DiracDelta(x, k), which the derivatives of Abs, sign and Heaviside bring in: 0 away from its
    singular point, where the derivative it stands in is 0; NaN at it, where there is none."""
    x = np.asarray(x, dtype=np.float64)
    return np.where(x == 0.0, np.nan, 0.0)


_SYMPY_MODULES = [{"DiracDelta": _dirac_delta}, "numpy"]


def _sympy_compiled(sympy, entries, symbol, probe):
    """`entries` compiled for NumPy and evaluated once at the `probe` queries; raises what fails."""
    function = sympy.lambdify(symbol, entries, modules=_SYMPY_MODULES, cse=True)
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        _columns(function(probe) if isinstance(entries, list) else [function(probe)], probe.shape[0])
    return function


def _sympy_unevaluable(sympy, entries, symbol, probe, order):
    """The ValueError for derivatives that NumPy cannot evaluate, naming the innermost subexpression
    that fails on its own (a function NumPy lacks, say), or None when each one alone succeeds."""
    seen = set()
    for axis, expr in enumerate(entries):
        for node in sympy.postorder_traversal(expr):
            # Conditions and the pairs of a Piecewise are no values of their own.
            if node in seen or not isinstance(node, sympy.Expr) or node.is_Symbol or node.is_Rational:
                continue
            seen.add(node)
            try:
                _sympy_compiled(sympy, node, symbol, probe)
            except Exception as error:
                refusal = ValueError(
                    f"`Path.from_sympy`: NumPy cannot evaluate `{node.func.__name__}` "
                    f"(in {_DERIVATIVES[order]} of entry {axis}: {node})"
                )
                refusal.__cause__ = error
                return refusal
    return None


def _sympy_functions(sympy, exprs, symbol, s_min, s_max):
    """q and its three derivatives compiled for NumPy, each tried once on a few queries of the
    range, so that what NumPy cannot evaluate is refused here rather than at the first evaluation."""
    with np.errstate(all="ignore"):
        probe = np.array([s_min, 0.5 * s_min + 0.5 * s_max, s_max], dtype=np.float64)
    derivatives = [exprs]
    for _ in range(3):
        derivatives.append([sympy.diff(e, symbol) for e in derivatives[-1]])
    functions = []
    for order, entries in enumerate(derivatives):
        try:
            functions.append(_sympy_compiled(sympy, entries, symbol, probe))
        except Exception as error:
            refusal = _sympy_unevaluable(sympy, entries, symbol, probe, order)
            if refusal is None:
                raise ValueError(f"`Path.from_sympy`: NumPy cannot evaluate {_DERIVATIVES[order]}") from error
            raise refusal from refusal.__cause__
    return functions


# Most entries of `Path.from_sympy`'s expressions, one per axis: far more than any robot has; each
# costs some 30 ms of differentiation and compilation, so this many already take minutes.
_MAX_SYMPY_AXES = 10_000


def _entry_count(value):
    """The entries `value` holds as its shape or length tell them, without walking it (1 for a
    single expression)."""
    shape = getattr(value, "shape", None)
    if isinstance(shape, tuple) and all(isinstance(n, int) for n in shape):  # matrices and arrays
        return int(np.prod(shape, dtype=object))
    return 1 if isinstance(value, (str, bytes)) or not hasattr(value, "__len__") else len(value)


def _sympy_entries(sympy, q_exprs):
    """The expressions of `q_exprs`, their number (the path's dimension) checked before they are
    walked: an empty or an absurdly large input is refused at once."""
    count = _entry_count(q_exprs)
    if isinstance(q_exprs, (list, tuple)) and count <= _MAX_SYMPY_AXES:
        count = sum(_entry_count(row) for row in q_exprs)  # the rows of a nested list
    if count == 0:
        raise ValueError("`q_exprs` must hold at least one expression")
    if count > _MAX_SYMPY_AXES:
        raise ValueError(f"`q_exprs` holds {count} entries; a path has at most {_MAX_SYMPY_AXES} axes")
    if isinstance(q_exprs, (sympy.MatrixBase, list, tuple)):
        return [sympy.sympify(e) for e in sympy.Matrix(q_exprs)]
    return [sympy.sympify(q_exprs)]


def _from_sympy(q_exprs, symbol, s_min, s_max, layout):
    sympy = _require("sympy", "from_sympy")
    if not isinstance(symbol, sympy.Symbol):
        raise TypeError(f"`symbol` must be a sympy Symbol, not {type(symbol).__name__}")
    exprs = _sympy_entries(sympy, q_exprs)
    others = set().union(*(e.free_symbols for e in exprs)) - {symbol}
    if others:
        names = ", ".join(sorted(str(x) for x in others))
        raise ValueError(f"`q_exprs` may depend on `symbol` alone; also found {names}")
    if not symbol.is_real:
        # s is real: differentiated in a symbol that may be complex, Abs and sign would bring in
        # re, im and Derivative terms that have no numerical value.
        real = sympy.Dummy(symbol.name, real=True)
        exprs = [e.subs(symbol, real) for e in exprs]
        symbol = real
    functions = _sympy_functions(sympy, exprs, symbol, s_min, s_max)

    def orders(s, k):
        return [_columns(functions[order](s), s.shape[0]) for order in range(k + 1)]

    return _build(len(exprs), orders, s_min, s_max, layout, "from_sympy")


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

    return _build(q_expr.size1(), orders, s_min, s_max, layout, "from_casadi")


def _probe_dim(values, constructor, s_min):
    """The number of values `q_fn` gives at s_min: a scalar is one axis."""
    q0 = np.asarray(values)
    if q0.ndim > 1 or q0.size == 0:
        raise ValueError(
            f"`Path.{constructor}`: `q_fn(s)` must return a scalar or a non-empty one-dimensional array; "
            f"got shape {q0.shape}"
        )
    _real(q0.reshape(1, -1), constructor, 0, [s_min])
    return q0.size


def _from_autograd(q_fn, s_min, s_max, layout):
    autograd = _require("autograd", "from_autograd")
    dim = _probe_dim(q_fn(float(s_min)), "from_autograd", s_min)
    functions = [q_fn]
    for _ in range(3):
        functions.append(autograd.deriv(functions[-1]))

    def orders(s, k):
        n = s.shape[0]
        with warnings.catch_warnings():
            # A derivative that does not depend on s (a straight axis) is correct, only constant.
            warnings.filterwarnings("ignore", message="Output seems independent of input")
            values = [[functions[order](float(si)) for si in s] for order in range(k + 1)]
        # Stacked as computed, real or complex: _real refuses complex values, which float64
        # storage would cut to their real part.
        return [np.reshape(np.array(v) if n else np.empty(0), (n, dim)) for v in values]

    return _build(dim, orders, s_min, s_max, layout, "from_autograd")


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
        dim = _probe_dim(q_fn(np.float64(s_min)), "from_jax", s_min)
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
            r = np.asarray(r)
            # Complex values go on to _real, which refuses them by name.
            if r.dtype != np.float64 and not np.iscomplexobj(r):
                if require_x64:
                    raise TypeError(f"`Path.from_jax`: `q_fn` computed in {r.dtype}, not float64")
                warnings.warn(f"`Path.from_jax`: `q_fn` computed in {r.dtype}; widened to float64", stacklevel=2)
            arrays.append(r.reshape(padded, dim)[:n])
        return arrays

    return _build(dim, orders, s_min, s_max, layout, "from_jax")

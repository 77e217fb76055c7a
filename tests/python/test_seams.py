"""The seams between Python and the core refuse what they cannot honour: complex values from any
argument, evaluator or callback, raw constraint rows no solver can read, symbolic functions NumPy
cannot evaluate (when the path is built), runaway recursion through the module (RecursionError at
any recursion limit, never a crash), sizes that cannot be allocated (MemoryError) or are absurd
(ValueError), a torque model the rows cannot express, NaN settings and references at the start of a
solve, a stationary station off its shape in a conversion, a profile that never arrives where the
objective weighs the time; and honour what they can: the
derivatives of Abs, and an empty query on a path of 2**62 axes."""

import subprocess
import sys
import warnings

import numpy as np
import pytest
import sympy as sp

import qarn_py as q
from scale_cases import tour_robot

X = sp.Symbol("x", real=True)


class Plain:
    """A third-order evaluator of `dim` axes returning make(s) for every order, counting its calls."""

    def __init__(self, make, dim=2):
        self.dim, self.make, self.calls = dim, make, []

    def evaluate_up_to_3rd(self, s):
        self.calls.append(len(s))
        return (self.make(s),) * 4


def plain(make, layout="sample_major", dim=2):
    return lambda: q.Path.from_evaluator_3rd(Plain(make, dim), 0, 1, layout=layout).evaluate_up_to_3rd([0.25, 0.5])


def backend(module, build):
    """build(module), the backend imported first; skipped when it is not installed."""
    return lambda: build(pytest.importorskip(module))


def torque(callback):
    robot = q.Robot(2, inverse_dynamics=callback)
    robot.append_s([0.0, 1.0])
    robot.set_q(np.zeros((2, 2)), np.ones((2, 2)), np.zeros((2, 2)), 0)
    return lambda: robot.add_torque_limits([1.0, 1.0], [-1.0, -1.0], start_idx_s=0)


def topp3(reference=np.full(20, 0.5), **settings):
    c = q.Constraints(1)
    c.append_s(np.linspace(0.0, 1.0, 20))
    c.add_constraint_2nd(np.ones((20, 1)), np.ones((20, 1)), np.full((20, 1), 2.0), 0)
    options = q.ClarabelOptions(clarabel_settings=q.ClarabelSettings(**settings))
    return lambda: q.topp3_lp(q.Topp3Problem(c, reference), options)


def stopped(solver, amax, idx_s, objective=q.Time(1.0), n=20):
    """The solver (or its _expert variant) on the README tour's robot at n stations, after
    amax_substitute(amax, idx_s), or with amax None rows that hold every joint's acceleration
    ddq a + dq b at zero; the third-order reference is topp2_ra's before it, qarn2_socp's objective
    `objective`."""
    robot, s, path = tour_robot(n)
    reference = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
    if amax is None:
        d = path.evaluate_up_to_3rd(s)
        for negative in (False, True):
            robot.constraints.add_constraint_2nd(d.ddq, d.dq, np.zeros((n, 3)), 0, is_negative=negative)
    else:
        robot.constraints.amax_substitute(amax, idx_s)
    problem = {"topp2_ra": lambda: q.Topp2Problem(robot.constraints, (0, n - 1)),
               "qarn2_socp": lambda: q.Qarn2Problem(robot, [objective], (0, n - 1)),
               "qarn3_socp": lambda: q.Qarn3Problem(robot, [q.Time(1.0)], reference)}
    problem = problem.get(solver.removesuffix("_expert"), lambda: q.Topp3Problem(robot.constraints, reference))
    return lambda: getattr(q, solver)(problem())


def jax_complex(require_x64):
    return backend("jax.numpy", lambda jnp: q.Path.from_jax(lambda t: jnp.array([t, t + 1j * (t + 1)]), 0, 1,
                                                            require_x64=require_x64))


class Long:
    """A sequence that says it holds 2**62 items."""

    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        return 0


def raw_rows(order, name, entry, value, layout="sample_major"):
    """add_constraint_{order} over two stations of one row each, entry `entry` of `name` set to `value`."""
    names = {1: ["amax"], 2: ["acc_a", "acc_b", "acc_max"], 3: ["jerk_a", "jerk_b", "jerk_c", "jerk_d", "jerk_max"]}
    store = q.Constraints(1)
    store.append_s([0.0, 1.0])
    rows = {n: np.ones((2, 1) if layout == "sample_major" else (1, 2)) for n in names[order]}
    rows[name] = rows[name].astype(type(value))
    rows[name][entry] = value
    add = getattr(store, f"add_constraint_{order}{['st', 'nd', 'rd'][order - 1]}")
    return lambda: add(*rows.values(), 0, layout=layout)


SYMPY = "^`Path.from_sympy`: NumPy cannot evaluate "
NOT_REAL = r"^`{0}` must be real; {0}{1} is complex$"
ROWS = r"^`{0}` must be finite; {0}\[{1}\] = {2}$"
BOUND = r"^`{0}` must not be NaN \(an infinite bound leaves its row inactive\); {0}\[{1}\] = NaN$"
AXES = r"^`axes` has 4611686018427387904 items; no memory holds as many$"
CONFIG = r"^argument 'config': 'int' object is not an instance of 'SmoothingConfig'$"
DIM = (r"^one station of `dim` = 9223372036854775808 axes would need at least 18446744073709551615 bytes, more than "
       r"this process can hold \(\d+ bytes\)$")
S_T = ([0.0, 1.0], [1.0, 1.0], [0.0, 1.0])
NEVER = r"^{} reported an infeasibility: The profile stops at both stations of the interval {} <= idx_s <= {}, so it"
SOLVERS = ("topp2_ra", "qarn2_socp", "topp3_lp", "topp3_socp", "qarn3_socp")
# case: (call, exception, message); the reproducers, each refused with a message naming it.
REFUSED = {
    "evaluator": (plain(lambda s: np.stack([s + 1j, s], axis=1)), ValueError,
                  r"^`evaluate_up_to_3rd` returned complex values in `q`: axis 0 at s = 0.25; a path must be real$"),
    "evaluator, dim-major": (plain(lambda s: np.stack([s, s + 1j * (s - 0.25)]), "dim_major"), ValueError,
                             r"complex values in `q`: axis 1 at s = 0.5;"),
    "autograd": (backend("autograd.numpy", lambda anp: q.Path.from_autograd(lambda t: anp.sqrt(t - 2 + 0j), 0, 1)),
                 ValueError, r"^`Path.from_autograd`: entry 0 of the path evaluates to complex values \(q at s = 0.0\)$"),
    "jax": (jax_complex(True), ValueError, r"^`Path.from_jax`: entry 1 of the path evaluates to complex values"),
    "jax, widening": (jax_complex(False), ValueError, r"^`Path.from_jax`: entry 1 of the path evaluates to complex"),
    "sympy": (lambda: q.Path.from_sympy([X, X + sp.I * (X - 0.5)], symbol=X).evaluate_q([0.5, 1.0]), ValueError,
              r"^`Path.from_sympy`: entry 1 of the path evaluates to complex values \(q at s = 1.0\)$"),
    "inverse dynamics": (torque(lambda qq, dq, ddq: ddq + np.array([0.0, 1j])), ValueError,
                         r"^`inverse_dynamics` returned complex values: tau\[1\]; torques must be real$"),
    "viscous friction": (torque(lambda qq, dq, ddq: ddq + 20 * dq), q.QarnError,
                         r"not quadratic in the joint velocity at idx_s=0 on axis 0: .* such as viscous friction"),
    "Coulomb friction": (torque(lambda qq, dq, ddq: ddq + 0.5 * np.sign(dq)), q.QarnError,  # before: blamed viscous
                         r"not quadratic in the joint velocity at idx_s=0 on axis 0: .* or Coulomb friction"),
    "NaN tol_feas": (topp3(tol_feas=np.nan), q.QarnError,
                     r"^topp3_lp reported an invalid options: `clarabel_settings.tol_feas` = NaN must not be NaN$"),
    "NaN time_limit": (topp3(time_limit=np.nan), q.QarnError, "`clarabel_settings.time_limit` = NaN must not"),
    "inf tolerance": (topp3(reduced_tol_feas=np.inf), q.QarnError, "`clarabel_settings.reduced_tol_feas` = inf must"),
    "NaN reference": (topp3(np.r_[[0.5] * 5, np.nan, [0.5] * 14]), q.QarnError,
                      r"^Topp3ProblemBuilder reported an invalid input: `a_linearization\[5\]` = NaN must not be"),
    "stationary a off its shape": (lambda: q.s_to_t_topp3(np.linspace(0.0, 1.0, 7), q.Profile3rd(
        [0, .3, .5, .6, .5, .3, 0], [0, .5, .3, 0, -.3, -.5, 0], (2, 2))), q.QarnError,
        r"^s_to_t_topp3 .* `a\[1\]` = 0.3 must be the stationary value 0.1984251314960\d* that the junction.s a\[2\] and b\[2\] give it up"),
    "besselj": (lambda: q.Path.from_sympy(sp.besselj(0, X), symbol=X), ValueError,
                SYMPY + r"`besselj` \(in q of entry 0: besselj\(0, x\)\)$"),
    "LambertW": (lambda: q.Path.from_sympy([X, X + sp.LambertW(X)], symbol=X), ValueError,
                 SYMPY + r"`LambertW` \(in q of entry 1: LambertW\(x\)\)$"),
    "gamma": (lambda: q.Path.from_sympy(sp.gamma(X + 1), symbol=X), ValueError, SYMPY + "`gamma`"),
    "erf": (lambda: q.Path.from_sympy(sp.erf(X), symbol=X), ValueError, SYMPY + "`erf`"),
    "zoo": (lambda: q.Path.from_sympy(sp.zoo * X, symbol=X), ValueError, SYMPY + r"`ComplexInfinity` \(in q of"),
    "2**62 axes": (plain(None, dim=2**62), MemoryError,
                   r"^evaluate_path_samples reported an error: the sample matrix is too large to allocate$"),
    # Float arguments: complex values are refused whatever their type, never cut to their real parts.
    "append_s": (lambda: q.Constraints(1).append_s([2 + 1j, 3 + 1j]), ValueError, NOT_REAL.format("s", r"\[0\]")),
    "complex dtype": (lambda: q.Constraints(1).append_s(np.array([1, 2 + 0j])), ValueError,
                      NOT_REAL.format("s", r"\[0\]")),
    "t_sample": (lambda: q.t_to_s_topp2_samples(*S_T, [0.1, 0.2 + 1j]), ValueError,
                 NOT_REAL.format("t_sample", r"\[1\]")),
    "scalar": (lambda: q.s_to_t_topp2(*S_T[:2], t0=np.complex64(1j)), ValueError, NOT_REAL.format("t0", "")),
    "limit": (lambda: q.Robot(2).add_velocity_limits([1, 1j], [-1, -1], start_idx_s=0), ValueError,
              NOT_REAL.format("upper", r"\[1\]")),
    "tolerance": (lambda: q.SmoothingConfig(tolerance=np.complex128(1e-3)), ValueError,
                  NOT_REAL.format("tolerance", "")),
    "waypoints": (lambda: q.Path.from_waypoints(np.eye(3) * 1j), ValueError,
                  NOT_REAL.format("waypoints", r"\[0, 0\]")),
    "objective weight": (lambda: q.Qarn2Problem(q.Robot(1), {"kind": "time", "weight": 1j}, (0, 1)), ValueError,
                         NOT_REAL.format("weight", "")),
    # Raw constraint rows: coefficients finite, bounds not NaN (+-inf leaves a row inactive).
    "acc_a NaN": (raw_rows(2, "acc_a", (1, 0), np.nan), ValueError, ROWS.format("acc_a", "1, 0", "NaN")),
    "acc_b -inf": (raw_rows(2, "acc_b", (0, 0), -np.inf), ValueError, ROWS.format("acc_b", "0, 0", "-inf")),
    "acc_b complex": (raw_rows(2, "acc_b", (1, 0), 1j), ValueError, NOT_REAL.format("acc_b", r"\[1, 0\]")),
    "acc_max NaN": (raw_rows(2, "acc_max", (1, 0), np.nan), ValueError, BOUND.format("acc_max", "1, 0")),
    "acc_max -inf": (raw_rows(2, "acc_max", (0, 0), -np.inf), ValueError,  # no a holds it; before: read as no bound
                     r"^`acc_max` must not be -inf, which no value holds \(\+inf leaves its row inactive\); "),
    "jerk_c inf, dim-major": (raw_rows(3, "jerk_c", (0, 1), np.inf, "dim_major"), ValueError,
                              ROWS.format("jerk_c", "0, 1", "inf")),
    "jerk_max NaN": (raw_rows(3, "jerk_max", (0, 0), np.nan), ValueError, BOUND.format("jerk_max", "0, 0")),
    "amax NaN": (raw_rows(1, "amax", (1, 0), np.nan), ValueError, BOUND.format("amax", "1, 0")),
    "amax_substitute -inf": (lambda: q.Constraints(1, capacity=2).amax_substitute([-np.inf], 0), ValueError,
                             r"^`amax` must not be -inf, which no value holds \(\+inf leaves its row inactive\); "),
    # Arguments are converted in signature order: `config` is named before the keywords after it.
    "fitting config, tolerance": (lambda: q.Path.from_waypoints_fitting(np.eye(3), config=5, tolerance=[[1.0]]),
                                  TypeError, CONFIG),
    "fitting config, max_refinements": (lambda: q.Path.from_waypoints_fitting(np.eye(3), config=5, max_refinements=-1),
                                        TypeError, CONFIG),
    # Sizes: no memory holds 2**62 axes, nor one station of 2**63; no path has them.
    "Constraints(2**63)": (lambda: q.Constraints(2**63), MemoryError, DIM),
    "Constraints(2**63, capacity=2)": (lambda: q.Constraints(2**63, capacity=2), MemoryError, DIM),
    "SmoothingConfig axes": (lambda: q.SmoothingConfig(axes=Long()), MemoryError, AXES),
    "fitting axes": (lambda: q.Path.from_waypoints_fitting(np.eye(3), axes=Long()), MemoryError, AXES),
    "axes setter": (lambda: setattr(q.SmoothingConfig(), "axes", Long()), MemoryError, AXES),
    "sympy 2**62": (lambda: q.Path.from_sympy(Long(), symbol=X), ValueError,
                    r"^`q_exprs` holds 4611686018427387904 entries; a path has at most 10000 axes$"),
    "sympy 2**27": (lambda: q.Path.from_sympy(np.zeros(2**27), symbol=X), ValueError, "^`q_exprs` holds 134217728 "),
    "sympy rows": (lambda: q.Path.from_sympy([X, np.zeros(2**27)], symbol=X), ValueError, "^`q_exprs` holds 134217729"),
    "sympy empty": (lambda: q.Path.from_sympy(np.empty((10**6, 0)), symbol=X), ValueError,
                    r"^`q_exprs` must hold at least one expression$"),
    # Before: qarn2_socp and topp3_lp returned a[7] = a[8] = 0, the others failed their audit.
    **{f"{solver} stopped at 7 and 8": (stopped(solver, [0.0, 0.0], 7), q.QarnError, NEVER.format(solver, 7, 8))
       for solver in SOLVERS},
    # Next to the rest end: topp2_ra's walk leaves the stop, its check finds it.
    "topp2_ra stopped at 18 and 19": (stopped("topp2_ra", [0.0], 18), q.QarnError, NEVER.format("topp2_ra", 18, 19)),
    # The limits let the motion pass, the objective rests at 36 and 37, and the solver leaves both a
    # hair below zero: only the check after the solve finds the stop.
    "qarn2_socp rested at 36 and 37 by its objective": (
        stopped("qarn2_socp", [], 0, q.Linear(1.0, np.r_[-np.ones(36), 100.0, 100.0, -1.0, -1.0], np.zeros(39)), 40),
        q.QarnError, NEVER.format("qarn2_socp", 36, 37)),
    # Rows that hold the motion at rest, which reachability proves. Before: topp3_lp planned
    # 759,458 s, breaking them by 135% of their largest term.
    **{f"{solver} held at rest by its rows": (stopped(solver, None, 0), q.QarnError, NEVER.format(solver, 0, 1))
       for solver in SOLVERS},
    # Before: all-zero profiles.
    **{f"{solver} stopped everywhere": (stopped(solver, np.zeros(20), 0), q.QarnError, NEVER.format(solver, 0, 1))
       for solver in ("qarn2_socp", "topp3_lp")},
}


@pytest.mark.parametrize("case", REFUSED)
def test_refused(case):
    call, kind, message = REFUSED[case]
    with warnings.catch_warnings():
        warnings.filterwarnings("error", message="Casting complex values")  # nothing is cast on the way
        with pytest.raises(kind, match=message):
            call()


@pytest.mark.parametrize("solver", SOLVERS[1:])
def test_a_window_refused_before_the_solve_is_an_expert_result(solver):
    # Before: the _expert variants raised the plain function's QarnError.
    result = stopped(solver + "_expert", [0.0, 0.0], 7)()
    assert (result.solver_status, len(result.x), getattr(result, "a", getattr(result, "profile", 0))) == (
        q.ClarabelSolverStatus.UNSOLVED, 0, None)
    assert result.audit_failure == "The profile stops at both stations of the interval 7 <= idx_s <= 8, so it never arrives"


@pytest.mark.parametrize("symbol", [X, sp.Symbol("x")], ids=["real symbol", "plain symbol"])
def test_derivatives_of_abs_are_those_of_its_pieces_and_nan_at_the_corner(symbol):
    path = q.Path.from_sympy([sp.Abs(symbol - 0.5), (symbol - 0.5) * sp.Abs(symbol - 0.5)], symbol=symbol)
    s = np.array([0.1, 0.3, 0.5, 0.8])
    u, corner = s - 0.5, (s == 0.5)[:, None]
    d = path.evaluate_up_to_3rd(s)
    np.testing.assert_array_equal(d.q, np.stack([np.abs(u), u * np.abs(u)], axis=1))
    np.testing.assert_array_equal(d.dq, np.stack([np.sign(u), 2 * np.abs(u)], axis=1))
    np.testing.assert_array_equal(d.ddq, np.where(corner, np.nan, np.stack([0 * u, 2 * np.sign(u)], axis=1)))
    np.testing.assert_array_equal(d.dddq, np.where(corner, np.nan, np.zeros((4, 2))))
    robot = q.Robot(2)
    robot.append_s(s)
    with pytest.raises(q.ConstraintError, match="`ddq` at idx_s=2, axis 0 is NaN"):  # not planned through
        robot.set_q_from_path_3rd(path, 0, 4)


def test_an_empty_query_of_2_62_axes_calls_the_evaluator_once():
    evaluator = Plain(lambda s: {}["NumPy has no (0, 2**62) array"], dim=2**62)
    with pytest.raises(KeyError, match="NumPy has no"):  # the evaluator's own refusal
        q.Path.from_evaluator_3rd(evaluator, 0, 1).evaluate_up_to_3rd([])
    assert evaluator.calls == [0]


RECURSION = """
import sys, numpy as np, qarn_py as q
class Evaluator:
    dim = 1
    def evaluate_up_to_3rd(self, s):
        path.evaluate_q(s)
def inverse_dynamics(qq, dq, ddq):
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
        print(error)
"""


@pytest.mark.parametrize("limit", [1000, 2500, 5000, 100_000])
def test_runaway_recursion_raises_recursion_error_at_any_limit(limit):
    done = subprocess.run([sys.executable, "-c", RECURSION, str(limit)], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    lines = done.stdout.splitlines()
    assert len(lines) == 2 and all(line.startswith("maximum recursion depth exceeded") for line in lines), lines

"""Every public entry point of qarn_py with one valid call, for the API campaign: constructors,
functions, methods, attribute reads and writes, reprs and the protocol slots. A call is described
by recipes (plain picklable data) that `resolve` turns into arguments over a fresh environment of
valid objects (`Env`), so a subprocess can run it, and by the kind of each parameter, from
which the campaign draws malformed values."""

import dataclasses
import fractions
import functools
import inspect
from types import SimpleNamespace

import numpy as np

import qarn_py as q

S = np.linspace(0.0, 1.0, 6)
WAYPOINTS = np.array([[0.0, 0.0], [0.4, -0.2], [0.7, 0.6], [1.0, 0.5]])
LIMIT = np.array([1.0, 1.5])
A3 = np.array([0.0, 0.2, 0.3, 0.3, 0.2, 0.0])


class Planted(Exception):
    """Raised by the campaign's own callables and dunder methods; it must reach the caller."""


# The exceptions the public API documents: wrong forms raise TypeError or ValueError (OverflowError
# for integers out of range), failures of the core QarnError and its subclasses, a failed
# allocation MemoryError, and whatever the caller's own code raises (Planted).
DOCUMENTED = (TypeError, ValueError, OverflowError, MemoryError, q.QarnError, Planted)


# ---- recipes ----

@dataclasses.dataclass(frozen=True)
class R:
    """A value built in the process that makes the call: `kind` names a builder below, `arg` its
    (plain) argument."""

    kind: str
    arg: object = None


class _Evaluator:
    """An evaluator of q = [s, s^2] whose `mode` says how it behaves: "ok", "raises", "nan",
    "shape" (one axis too few), "type" (no arrays) or "dim" (a negative dimension)."""

    def __init__(self, mode):
        self.mode = mode
        self.dim = -3 if mode == "dim" else 2

    def orders(self, s, k):
        s = np.asarray(s, dtype=float)
        values = [np.stack([s, s * s], 1), np.stack([np.ones_like(s), 2 * s], 1),
                  np.stack([np.zeros_like(s), np.full_like(s, 2.0)], 1), np.zeros((len(s), 2))]
        if self.mode == "raises":
            raise Planted("evaluator")
        if self.mode == "nan":
            values[0] = values[0] * np.nan
        if self.mode == "shape":
            values = [v[:, :1] for v in values]
        if self.mode == "type":
            return "not arrays"
        return tuple(values[: k + 1])

    def evaluate_q(self, s):
        return self.orders(s, 0)[0]

    def evaluate_up_to_2nd(self, s):
        return self.orders(s, 2)


class _Evaluator3rd(_Evaluator):
    def evaluate_up_to_3rd(self, s):
        return self.orders(s, 3)


def _evaluator(order, mode):
    # Fixed classes: a class made per call would fill the interpreter's type cache, which the
    # balance tests would read as a leak.
    return (_Evaluator3rd if order == 3 else _Evaluator)(mode)


def _dynamics(mode):
    def dynamics(qq, dq, ddq):
        if mode == "raises":
            raise Planted("dynamics")
        if mode == "nan":
            return ddq * np.nan
        if mode == "shape":
            return np.zeros(7)
        if mode == "type":
            return "torques"
        return 2.0 * ddq + 1.0

    return dynamics


class _RaisingFloat:
    def __float__(self):
        raise Planted("__float__")


class _RaisingIndex:
    def __index__(self):
        raise Planted("__index__")


class _RaisingIter:
    def __iter__(self):
        raise Planted("__iter__")


class _RaisingArray:
    def __array__(self, dtype=None, copy=None):
        raise Planted("__array__")


class _BadFloat:
    def __float__(self):
        return "no float"


class _Profile3rdSubclass(q.Profile3rd):
    pass


def _sympy_exprs(env, _):
    import sympy

    s = sympy.Symbol("s")
    return [sympy.sin(s), s**2]


BUILDERS = {
    "env": lambda env, name: functools.reduce(getattr, name.split("."), env),
    "fortran": lambda env, a: np.asfortranarray(a),
    "strided": lambda env, a: np.repeat(np.asarray(a), 2, axis=0)[::2],
    "reversed": lambda env, a: np.ascontiguousarray(np.asarray(a)[::-1])[::-1],
    "readonly": lambda env, a: _readonly(a),
    "zeros": lambda env, shape: np.zeros(shape),
    "empty_shape": lambda env, shape: np.empty(shape),
    "full": lambda env, spec: np.full(spec[0], spec[1]),
    "generator": lambda env, items: (x for x in items),
    "evaluator": lambda env, spec: _evaluator(*spec),
    "dynamics": lambda env, mode: _dynamics(mode),
    "dynamics_object": lambda env, mode: SimpleNamespace(inverse_dynamics=_dynamics(mode)),
    "raising_float": lambda env, _: _RaisingFloat(),
    "raising_index": lambda env, _: _RaisingIndex(),
    "raising_iter": lambda env, _: _RaisingIter(),
    "raising_array": lambda env, _: _RaisingArray(),
    "bad_float": lambda env, _: _BadFloat(),
    "fraction": lambda env, pair: fractions.Fraction(*pair),
    "object": lambda env, _: object(),
    "member": lambda env, spec: getattr(getattr(q, spec[0]), spec[1]),
    "profile_subclass": lambda env, _: _Profile3rdSubclass(A3, np.zeros(6)),
    "sympy_exprs": _sympy_exprs,
    "sympy_symbol": lambda env, _: __import__("sympy").Symbol("s"),
    "casadi_expr": lambda env, _: _casadi(env)[1],
    "casadi_symbol": lambda env, _: _casadi(env)[0],
    "q_fn": lambda env, mode: (lambda s: [s, s * s]) if mode == "ok" else _dynamics(mode),
}


def _readonly(a):
    array = np.array(a, dtype=float)
    array.setflags(write=False)
    return array


def _casadi(env):
    """A CasADi symbol and an expression in it, one pair per environment."""
    if not hasattr(env, "casadi"):
        import casadi

        s = casadi.SX.sym("s")
        env.casadi = (s, casadi.vertcat(casadi.sin(s), s * s))
    return env.casadi


def resolve(value, env):
    """The argument a recipe (or a structure of recipes) stands for."""
    if isinstance(value, R):
        return BUILDERS[value.kind](env, value.arg)
    if isinstance(value, list):
        return [resolve(v, env) for v in value]
    if isinstance(value, tuple):
        return tuple(resolve(v, env) for v in value)
    if isinstance(value, dict):
        return {k: resolve(v, env) for k, v in value.items()}
    return value


# ---- the environment of valid objects ----

def _robot(env):
    robot = q.Robot(2, capacity=16)
    robot.append_s(S)
    robot.set_q_from_path_3rd(env.path, 0, len(S))
    robot.add_velocity_limits(LIMIT, -LIMIT, start_idx_s=0)
    robot.add_acceleration_limits(LIMIT, -LIMIT, start_idx_s=0)
    robot.add_jerk_limits(4 * LIMIT, -4 * LIMIT, start_idx_s=0)
    return robot


# Each object of the environment and how it is made from the others.
MAKERS = {
    "path": lambda env: q.Path.from_waypoints(WAYPOINTS),
    "robot": _robot,
    "constraints": lambda env: env.robot.constraints,
    "time": lambda env: q.Time(1.0),
    "thermal": lambda env: q.ThermalEnergy(0.1, [1.0, 1.0]),
    "linear": lambda env: q.Linear(1.0, np.ones(6), np.ones(5)),
    "tv": lambda env: q.TotalVariationTorque(0.5, [1.0, 2.0]),
    "topp2": lambda env: q.Topp2Problem(env.constraints, (0, 5)),
    "qarn2": lambda env: q.Qarn2Problem(env.robot, [env.time, env.thermal], (0, 5)),
    "topp3": lambda env: q.Topp3Problem(env.constraints, A3),
    "qarn3": lambda env: q.Qarn3Problem(env.robot, env.time, A3),
    "reach_options": lambda env: q.ReachSet2Options(),
    "settings": lambda env: q.ClarabelSettings(max_iter=60),
    "clarabel": lambda env: q.ClarabelOptions(clarabel_settings=env.settings),
    "spline_config": lambda env: q.SplineConfig(order=3),
    "smoothing_config": lambda env: q.SmoothingConfig(tolerance=0.01),
    "profile": lambda env: q.Profile3rd(A3, np.zeros(6), (1, 1)),
    "derivatives": lambda env: env.path.evaluate_up_to_3rd(S),
    "fitted": lambda env: q.Path.from_waypoints_fitting(np.stack([S, S * S], 1)),
    "report": lambda env: env.fitted.smoothing_report,
    "t_s": lambda env: q.s_to_t_topp2(S, A3)[1],
    "t_s3": lambda env: q.s_to_t_topp3(S, env.profile)[1],
    "reach_set": lambda env: q.reach_set2_backward(env.topp2),
    "qarn2_result": lambda env: q.qarn2_socp_expert(env.qarn2, env.clarabel),
    "qarn3_result": lambda env: q.topp3_lp_expert(env.topp3, env.clarabel),
    "linsolver": lambda env: env.qarn2_result.linsolver,
}


class Env:
    """Fresh valid objects, each made when first asked for: a path through WAYPOINTS, a robot
    sampled on S with velocity, acceleration and jerk limits, its store, problems of every kind,
    options, configurations and solver results."""

    def __getattr__(self, name):
        if name not in MAKERS:
            raise AttributeError(name)
        value = MAKERS[name](self)
        setattr(self, name, value)
        return value


# ---- parameter kinds and entry points ----

F64, U64, BOOL, VEC, MAT, PAIR_U64, PAIR_F64, ENUM, OBJ, ANY, CALLBACK, OBJECTIVES = (
    "f64", "u64", "bool", "vec", "mat", "pair_u64", "pair_f64", "enum", "obj", "any", "callback", "objectives")


@dataclasses.dataclass(frozen=True)
class P:
    name: str
    kind: str
    valid: object
    keyword: bool = False  # passed by keyword (keyword-only, or an optional one)


@dataclasses.dataclass(frozen=True)
class Entry:
    """One entry point: `target(env)` gives the callable, `params` its arguments."""

    name: str
    target: object
    params: tuple = ()


def call_entry(entry, env, args):
    """Calls the entry with `args` (parameter name -> resolved value; missing names are left out,
    "*extra" adds a positional argument and "**extra" a keyword one)."""
    positional = [args[p.name] for p in entry.params if not p.keyword and p.name in args]
    keywords = {p.name: args[p.name] for p in entry.params if p.keyword and p.name in args}
    if "*extra" in args:
        positional.append(args["*extra"])
    if "**extra" in args:
        keywords["unexpected_keyword"] = args["**extra"]
    return entry.target(env)(*positional, **keywords)


def _attr(path):
    return lambda env: functools.reduce(getattr, path.split("."), env)


def _getter(path, attribute):
    return lambda env: (lambda: getattr(_attr(path)(env), attribute))


def _setter(path, attribute):
    return lambda env: functools.partial(setattr, _attr(path)(env), attribute)


def _slot(path, function):
    return lambda env: functools.partial(function, _attr(path)(env))


def _env(name):
    return R("env", name)


def _problem_params(problem):
    return (P("problem", OBJ, _env(problem)), P("options", OBJ, None))


ENTRIES = [
    Entry("version", lambda env: q.version),
    # time conversions
    Entry("a_to_b_topp2", lambda env: q.a_to_b_topp2, (P("s", VEC, S), P("a", VEC, A3))),
    Entry("s_to_t_topp2", lambda env: q.s_to_t_topp2, (P("s", VEC, S), P("a", VEC, A3), P("t0", F64, 0.5, True))),
    Entry("t_to_s_topp2_uniform", lambda env: q.t_to_s_topp2_uniform,
          (P("s", VEC, S), P("a", VEC, A3), P("t_s", VEC, _env("t_s")), P("dt", F64, 0.1),
           P("t0", F64, 0.0, True), P("include_final", BOOL, False, True))),
    Entry("t_to_s_topp2_samples", lambda env: q.t_to_s_topp2_samples,
          (P("s", VEC, S), P("a", VEC, A3), P("t_s", VEC, _env("t_s")), P("t_sample", VEC, [0.1, 0.5]))),
    Entry("t_to_s_topp2", lambda env: q.t_to_s_topp2,
          (P("s", VEC, S), P("a", VEC, A3), P("t_s", VEC, _env("t_s")), P("dt", F64, 0.2, True),
           P("t_sample", VEC, None, True), P("include_final", BOOL, True, True))),
    Entry("s_to_t_topp3", lambda env: q.s_to_t_topp3, (P("s", VEC, S), P("profile", OBJ, _env("profile")))),
    Entry("t_to_s_topp3_uniform", lambda env: q.t_to_s_topp3_uniform,
          (P("s", VEC, S), P("profile", OBJ, _env("profile")), P("t_s", VEC, _env("t_s3")), P("dt", F64, 0.1))),
    Entry("t_to_s_topp3_samples", lambda env: q.t_to_s_topp3_samples,
          (P("s", VEC, S), P("profile", OBJ, _env("profile")), P("t_s", VEC, _env("t_s3")),
           P("t_sample", VEC, [0.2]))),
    Entry("t_to_s_topp3", lambda env: q.t_to_s_topp3,
          (P("s", VEC, S), P("profile", OBJ, _env("profile")), P("t_s", VEC, _env("t_s3")),
           P("t_sample", VEC, [0.2, 0.4], True))),
    # Profile3rd
    Entry("Profile3rd", lambda env: q.Profile3rd,
          (P("a", VEC, A3), P("b", VEC, np.zeros(6)), P("num_stationary", PAIR_U64, (1, 1)))),
    Entry("Profile3rd.force_positive_a", _attr("profile.force_positive_a"), (P("s", VEC, S), P("a_min", F64, 1e-9))),
    *[Entry(f"Profile3rd.{name}", _getter("profile", name))
      for name in ("a", "b", "len", "num_stationary", "num_stationary_start", "num_stationary_end")],
    Entry("repr(Profile3rd)", _slot("profile", repr)),
    # enums
    *[Entry(f"{cls}.{op}", lambda env, cls=cls, op=op, member=member: functools.partial(
        {"int": int, "repr": repr, "eq": lambda m, o: m == o}[op], getattr(q, cls).__dict__[member]),
        (P("other", ANY, 1),) if op == "eq" else ())
      for cls, member in (("MatrixLayout", "DIM_MAJOR"), ("OutOfRangeMode", "CLAMP"), ("Parametrization", "UNIFORM"),
                          ("Verbosity", "TRACE"), ("ClarabelDirectSolveMethod", "QDLDL"),
                          ("ClarabelSolverStatus", "SOLVED"))
      for op in ("int", "repr", "eq")],
    # SplineConfig, SmoothingConfig
    Entry("SplineConfig", lambda env: q.SplineConfig,
          (P("order", U64, 3, True), P("s_min", F64, 0.0, True), P("s_max", F64, 2.0, True),
           P("out_of_range", ENUM, "clamp", True), P("parametrization", ENUM, "uniform", True),
           P("start_state", MAT, np.zeros((2, 1)), True), P("end_state", MAT, None, True))),
    *[Entry(f"SplineConfig.{name} =", _setter("spline_config", name), (P("value", kind, value),))
      for name, kind, value in (("order", U64, 5), ("s_min", F64, -1.0), ("s_max", F64, 3.0),
                                ("out_of_range", ENUM, "error"), ("parametrization", ENUM, None),
                                ("start_state", MAT, [[0.5], [0.0]]), ("end_state", MAT, None))],
    Entry("repr(SplineConfig)", _slot("spline_config", repr)),
    Entry("SmoothingConfig", lambda env: q.SmoothingConfig,
          (P("tolerance", VEC, 0.01, True), P("axes", ANY, [0], True), P("parameters", VEC, None, True),
           P("max_refinements", U64, 5, True), P("max_segments", U64, 100, True),
           P("out_of_range", ENUM, "clamp", True))),
    *[Entry(f"SmoothingConfig.{name} =", _setter("smoothing_config", name), (P("value", kind, value),))
      for name, kind, value in (("tolerance", VEC, [0.01, 0.02]), ("axes", ANY, None), ("parameters", VEC, None),
                                ("max_refinements", U64, 3), ("max_segments", U64, 50),
                                ("out_of_range", ENUM, "error"))],
    *[Entry(f"SmoothingConfig.{name}", _getter("smoothing_config", name))
      for name in ("tolerance", "axes", "parameters", "max_refinements", "max_segments", "out_of_range")],
    Entry("repr(SmoothingConfig)", _slot("smoothing_config", repr)),
    # Path
    *[Entry(f"Path.{name}", lambda env, name=name: getattr(q.Path, name),
            (P("waypoints", MAT, WAYPOINTS), P("config", OBJ, None), P("order", U64, 3, True),
             P("s_min", F64, 0.0, True), P("s_max", F64, 2.0, True), P("out_of_range", ENUM, "error", True),
             P("start_state", MAT, None, True), P("layout", ENUM, "sample_major", True)))
      for name in ("from_waypoints", "from_waypoints_interpolating")],
    Entry("Path.from_waypoints_fitting", lambda env: q.Path.from_waypoints_fitting,
          (P("waypoints", MAT, np.stack([S, S * S], 1)), P("config", OBJ, None), P("tolerance", VEC, 0.01, True),
           P("axes", ANY, None, True), P("parameters", VEC, S, True), P("max_refinements", U64, 4, True),
           P("layout", ENUM, "sample_major", True))),
    *[Entry(f"Path.{name}", lambda env, name=name: getattr(q.Path, name),
            (P("evaluator", CALLBACK, R("evaluator", (3 if name != "from_evaluator_2nd" else 2, "ok"))),
             P("s_min", F64, 0.0), P("s_max", F64, 1.0), P("layout", ENUM, "sample_major", True)))
      for name in ("from_evaluator", "from_evaluator_2nd", "from_evaluator_3rd")],
    Entry("Path.from_sympy", lambda env: q.Path.from_sympy,
          (P("q_exprs", ANY, R("sympy_exprs")), P("symbol", ANY, R("sympy_symbol"), True),
           P("s_max", F64, 1.0, True))),
    Entry("Path.from_autograd", lambda env: q.Path.from_autograd,
          (P("q_fn", CALLBACK, R("q_fn", "ok")), P("s_min", F64, 0.0), P("s_max", F64, 1.0))),
    Entry("Path.from_casadi", lambda env: q.Path.from_casadi,
          (P("q_expr", ANY, R("casadi_expr")), P("symbol", ANY, R("casadi_symbol"), True))),
    Entry("Path.from_jax", lambda env: q.Path.from_jax,
          (P("q_fn", CALLBACK, R("q_fn", "ok")), P("s_min", F64, 0.0), P("s_max", F64, 1.0),
           P("jit", BOOL, False, True))),
    *[Entry(f"Path.{name}", _attr(f"path.{name}"), (P("s", VEC, [0.0, 0.3, 1.0]),))
      for name in ("evaluate_q", "evaluate_up_to_2nd", "evaluate_up_to_3rd")],
    *[Entry(f"Path.{name}", _getter("fitted", name)) for name in ("dim", "s_range", "smoothing_report")],
    *[Entry(f"PathDerivatives.{name}", _getter("derivatives", name)) for name in ("q", "dq", "ddq", "dddq")],
    Entry("repr(PathDerivatives)", _slot("derivatives", repr)),
    *[Entry(f"SmoothingReport.{name}", _getter("report", name))
      for name in ("axes", "segments", "interpolated_segments", "refinements", "fitting_rows", "checked_intervals",
                   "max_errors")],
    # objectives
    Entry("Time", lambda env: q.Time, (P("weight", F64, 2.0),)),
    Entry("Linear", lambda env: q.Linear, (P("weight", F64, 1.0), P("alpha", VEC, [1.0, 2.0]), P("beta", VEC, [3.0]))),
    Entry("ThermalEnergy", lambda env: q.ThermalEnergy, (P("weight", F64, 0.5), P("normalize", VEC, [1.0, 1.0]))),
    Entry("TotalVariationTorque", lambda env: q.TotalVariationTorque,
          (P("weight", F64, 0.5), P("normalize", VEC, [1.0, 1.0]))),
    *[Entry(f"{obj}.{name}", _getter(obj, name)) for obj, names in (
        ("time", ("weight",)), ("linear", ("weight", "alpha", "beta")), ("thermal", ("weight", "normalize")),
        ("tv", ("weight", "normalize"))) for name in names],
    *[Entry(f"repr({obj})", _slot(obj, repr)) for obj in ("time", "linear", "thermal", "tv")],
    # Robot
    Entry("Robot", lambda env: q.Robot,
          (P("dim", U64, 3), P("capacity", U64, 8, True), P("inverse_dynamics", CALLBACK, R("dynamics", "ok"), True))),
    Entry("Robot.point_mass", lambda env: q.Robot.point_mass, (P("dim", U64, 2), P("capacity", U64, None, True))),
    Entry("Robot.set_inverse_dynamics", _attr("robot.set_inverse_dynamics"),
          (P("inverse_dynamics", CALLBACK, R("dynamics_object", "ok")),)),
    Entry("Robot.clear_inverse_dynamics", _attr("robot.clear_inverse_dynamics")),
    Entry("Robot.append_s", _attr("robot.append_s"), (P("s", VEC, [2.0, 3.0]),)),
    Entry("Robot.set_q", _attr("robot.set_q"),
          (P("q", MAT, np.zeros((2, 2))), P("dq", MAT, np.ones((2, 2))), P("ddq", MAT, np.zeros((2, 2))),
           P("idx_s", U64, 3), P("dddq", MAT, None, True), P("layout", ENUM, "sample_major", True))),
    *[Entry(f"Robot.{name}", _attr(f"robot.{name}"),
            (P("path", OBJ, _env("path")), P("idx_s_from", U64, 1), P("idx_s_to", U64, 5)))
      for name in ("set_q_from_path_2nd", "set_q_from_path_3rd")],
    *[Entry(f"Robot.add_{kind}_limits", _attr(f"robot.add_{kind}_limits"),
            (P("upper", MAT, [2.0, 2.0]), P("lower", MAT, [-2.0, -2.0]), P("start_idx_s", U64, 1, True),
             P("length", U64, 3, True), P("layout", ENUM, "sample_major", True)))
      for kind in ("velocity", "acceleration", "jerk", "torque")],
    *[Entry(f"Robot.{name}", _getter("robot", name))
      for name in ("has_inverse_dynamics", "constraints", "dim", "len", "capacity", "is_empty", "idx_s_range")],
    Entry("len(Robot)", _slot("robot", len)),
    Entry("repr(Robot)", _slot("robot", repr)),
    # Constraints
    Entry("Constraints", lambda env: q.Constraints, (P("dim", U64, 2), P("capacity", U64, 4, True))),
    Entry("Constraints.append_s", _attr("constraints.append_s"), (P("s", VEC, [1.5]),)),
    *[Entry(f"Constraints.{name}", _attr(f"constraints.{name}"), (P("idx_s_from", U64, 1), P("idx_s_to", U64, 4)))
      for name in ("s_values", "amax_values")],
    Entry("Constraints.amax_substitute", _attr("constraints.amax_substitute"),
          (P("amax", VEC, [1.0, 2.0]), P("idx_s", U64, 2))),
    Entry("Constraints.clear", _attr("constraints.clear"), (P("keep_idx_s", BOOL, True, True),)),
    *[Entry(f"Constraints.{name}", _attr(f"constraints.{name}"), (P(arg, U64, value),))
      for name, arg, value in (("pop_front_n", "n_cols", 2), ("pop_back_n", "n_cols", 1),
                               ("pop_front_until", "idx_s_cut", 3), ("pop_back_until", "idx_s_cut", 4))],
    Entry("Constraints.add_constraint_1st", _attr("constraints.add_constraint_1st"),
          (P("amax", MAT, [[0.5, 0.7]]), P("idx_s", U64, 1), P("layout", ENUM, "dim_major", True))),
    Entry("Constraints.add_constraint_2nd", _attr("constraints.add_constraint_2nd"),
          (P("acc_a", MAT, np.ones((2, 1))), P("acc_b", MAT, np.zeros((2, 1))), P("acc_max", MAT, np.ones((2, 1))),
           P("idx_s", U64, 3), P("is_negative", BOOL, True, True))),
    Entry("Constraints.add_constraint_3rd", _attr("constraints.add_constraint_3rd"),
          (P("jerk_a", MAT, np.ones((1, 1))), P("jerk_b", MAT, np.ones((1, 1))), P("jerk_c", MAT, np.ones((1, 1))),
           P("jerk_d", MAT, np.zeros((1, 1))), P("jerk_max", MAT, np.ones((1, 1))), P("idx_s", U64, 2))),
    Entry("Constraints.exceed_topp2", _attr("constraints.exceed_topp2"),
          (P("a", VEC, A3), P("idx_s_start", U64, 0, True))),
    Entry("Constraints.exceed_topp3", _attr("constraints.exceed_topp3"),
          (P("a", VEC, A3), P("b", VEC, np.zeros(6)), P("num_stationary", PAIR_U64, (1, 1), True))),
    *[Entry(f"Constraints.{name}", _getter("constraints", name))
      for name in ("dim", "len", "capacity", "is_empty", "idx_s_range")],
    Entry("repr(Constraints)", _slot("constraints", repr)),
    # options and settings
    Entry("ReachSet2Options", lambda env: q.ReachSet2Options,
          (P("lp_feas_tol", F64, 1e-9, True), P("a_cmp_abs_tol", F64, 1e-9, True), P("a_cmp_rel_tol", F64, 0.0, True),
           P("verbosity", ENUM, "silent", True))),
    *[Entry(f"ReachSet2Options.{name} =", _setter("reach_options", name), (P("value", kind, value),))
      for name, kind, value in (("lp_feas_tol", F64, 1e-7), ("a_cmp_abs_tol", F64, 1e-7), ("a_cmp_rel_tol", F64, 1e-7),
                                ("verbosity", ENUM, "silent"))],
    Entry("repr(ReachSet2Options)", _slot("reach_options", repr)),
    Entry("ClarabelOptions", lambda env: q.ClarabelOptions,
          (P("verbosity", ENUM, "silent", True), P("allow_max_iterations", BOOL, True, True),
           P("clarabel_settings", OBJ, _env("settings"), True))),
    *[Entry(f"ClarabelOptions.{name} =", _setter("clarabel", name), (P("value", kind, value),))
      for name, kind, value in (("verbosity", ENUM, "silent"), ("allow_almost_solved", BOOL, False),
                                ("allow_max_iterations", BOOL, True), ("allow_max_time", BOOL, True),
                                ("allow_callback_terminated", BOOL, True), ("allow_insufficient_progress", BOOL, True),
                                ("clarabel_settings", OBJ, _env("settings")))],
    Entry("repr(ClarabelOptions)", _slot("clarabel", repr)),
    Entry("ClarabelSettings", lambda env: q.ClarabelSettings,
          (P("max_iter", U64, 100, True), P("time_limit", F64, 10.0, True), P("verbose", BOOL, False, True),
           P("tol_gap_abs", F64, 1e-7, True), P("direct_solve_method", ENUM, "qdldl", True),
           P("max_threads", U64, 1, True), P("static_regularization_constant", F64, 1e-7, True))),
    Entry("repr(ClarabelSettings)", _slot("settings", repr)),
    # problems
    Entry("Topp2Problem", lambda env: q.Topp2Problem,
          (P("constraints", OBJ, _env("constraints")), P("idx_s_interval", PAIR_U64, (1, 4)),
           P("a_boundary", PAIR_F64, (0.1, 0.0)))),
    Entry("Qarn2Problem", lambda env: q.Qarn2Problem,
          (P("robot", OBJ, _env("robot")), P("objectives", OBJECTIVES, [{"kind": "time", "weight": 1.0}]),
           P("idx_s_interval", PAIR_U64, (0, 5)), P("a_boundary", PAIR_F64, (0.0, 0.0)))),
    Entry("Topp3Problem", lambda env: q.Topp3Problem,
          (P("constraints", OBJ, _env("constraints")), P("a_linearization", VEC, A3[1:]),
           P("idx_s_start", U64, 1, True), P("num_stationary_max", ANY, (1, 2), True),
           P("b_boundary", PAIR_F64, (0.0, 0.0), True), P("b_linearization", VEC, None, True),
           P("a_linearization_floor", F64, 1e-9, True))),
    Entry("Qarn3Problem", lambda env: q.Qarn3Problem,
          (P("robot", OBJ, _env("robot")), P("objectives", OBJECTIVES, _env("time")), P("a_linearization", VEC, A3),
           P("a_boundary", PAIR_F64, (0.0, 0.0), True), P("num_stationary_max", ANY, 1, True))),
    *[Entry(f"{problem}.validate", _attr(f"{problem}.validate")) for problem in ("topp2", "qarn2", "topp3", "qarn3")],
    *[Entry(f"{problem}.{name}", _getter(problem, name)) for problem, names in (
        ("topp2", ("constraints", "idx_s_interval", "a_boundary", "s_len")),
        ("qarn2", ("robot", "objective_count", "idx_s_interval", "a_boundary", "s_len")),
        ("topp3", ("constraints", "a_linearization", "idx_s_start", "idx_s_final", "a_boundary", "b_boundary",
                   "num_stationary_max", "a_linearization_floor", "b_linearization", "s_len")),
        ("qarn3", ("robot", "objective_count", "a_linearization", "idx_s_start", "idx_s_final", "a_boundary",
                   "b_boundary", "num_stationary_max", "a_linearization_floor", "b_linearization", "s_len")))
      for name in names],
    *[Entry(f"repr({problem})", _slot(problem, repr)) for problem in ("topp2", "qarn2", "topp3", "qarn3")],
    # solvers
    *[Entry(name, lambda env, name=name: getattr(q, name),
            (P("problem", OBJ, _env(problem)), P("options", OBJ, _env(options))))
      for name, problem, options in (
          ("topp2_ra", "topp2", "reach_options"), ("reach_set2_backward", "topp2", "reach_options"),
          ("reach_set2_bidirectional", "topp2", "reach_options"), ("qarn2_socp", "qarn2", "clarabel"),
          ("qarn2_socp_expert", "qarn2", "clarabel"), ("topp3_lp", "topp3", "clarabel"),
          ("topp3_lp_expert", "topp3", "clarabel"), ("topp3_socp", "topp3", "clarabel"),
          ("topp3_socp_expert", "topp3", "clarabel"), ("qarn3_socp", "qarn3", "clarabel"),
          ("qarn3_socp_expert", "qarn3", "clarabel"))],
    # results
    *[Entry(f"{result}.{name}", _getter(result, name)) for result, names in (
        ("reach_set", ("a_max", "a_min", "len")),
        ("qarn2_result", ("a", "objective_value", "objective_terms", "x", "z", "s", "solver_status", "obj_val",
                          "obj_val_dual", "solve_time", "iterations", "r_prim", "r_dual", "linsolver", "audit_failure")),
        ("qarn3_result", ("profile", "x", "z", "s", "solver_status", "obj_val", "obj_val_dual", "solve_time",
                          "iterations", "r_prim", "r_dual", "linsolver", "audit_failure", "objective_value", "objective_terms")),
        ("linsolver", ("method", "threads", "direct", "nnz_a", "nnz_l"))) for name in names],
    *[Entry(f"repr({result})", _slot(result, repr))
      for result in ("reach_set", "qarn2_result", "qarn3_result", "linsolver", "report")],
    Entry("len(ReachSet2)", _slot("reach_set", len)),
    Entry("bool(ReachSet2)", _slot("reach_set", bool)),
]

# The reading side of the settable attributes.
ENTRIES += [
    Entry(f"{cls}.{name}", _getter(obj, name))
    for cls, obj, names in (
        ("SplineConfig", "spline_config", ("order", "s_min", "s_max", "out_of_range", "parametrization", "start_state",
                                           "end_state")),
        ("ReachSet2Options", "reach_options", ("lp_feas_tol", "a_cmp_abs_tol", "a_cmp_rel_tol", "verbosity")),
        ("ClarabelOptions", "clarabel", ("verbosity", "allow_almost_solved", "allow_max_iterations", "allow_max_time",
                                         "allow_callback_terminated", "allow_insufficient_progress",
                                         "clarabel_settings")),
        ("ClarabelSettings", "settings", tuple(inspect.signature(q.ClarabelSettings).parameters)))
    for name in names
]

# Every ClarabelSettings field through its setter, its default as the valid value.
ENTRIES += [
    Entry(f"ClarabelSettings.{p.name} =", _setter("settings", p.name),
          (P("value", {bool: BOOL, int: U64, float: F64, str: ENUM}[type(p.default)], p.default),))
    for p in inspect.signature(q.ClarabelSettings).parameters.values()
]

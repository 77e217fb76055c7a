"""The API campaign: every public entry point (api_catalogue.ENTRIES) called with malformed
arguments drawn by Hypothesis (wrong types, shapes, dtypes, memory orders, NaN and infinities,
huge and negative integers, objects whose conversions raise, callbacks that fail, missing and
extra arguments), each call in a subprocess (api_worker): no crash, no call over 10 s, and only the
documented exceptions. Then reference counts and the interpreter's allocated blocks stay flat over
thousands of calls on the success and the error path of every entry point. A few hundred malformed
calls and the shorter balance runs belong to the default run; `pytest -m campaign -s
tests/python/test_api_campaign.py` runs CAMPAIGN_CALLS malformed calls and the longer balance runs,
and prints the figures."""

import math
import os
import threading
import time

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import qarn_py as q
from api_catalogue import (A3, ANY, BOOL, CALLBACK, DOCUMENTED, ENTRIES, ENUM, F64, LIMIT, MAT, OBJ, OBJECTIVES,
                           PAIR_F64, PAIR_U64, S, U64, VEC, WAYPOINTS, Planted, R, call_entry, Env, resolve)
from api_worker import Worker
from conftest import assert_balanced
from second_order_cases import ACC_MAX, V_MAX
from second_order_cases import WAYPOINTS as CASE_WAYPOINTS

DEFAULT_CALLS = 400
CAMPAIGN_CALLS = int(os.environ.get("QARN_CAMPAIGN_CALLS", "12000"))

# ---- malformed values (plain data and recipes, built in the worker) ----

FLOATS = st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 0.0, 1e308, -1e308, 5e-324, -5e-324, 1e-300,
                          -1.0, 0.5, 2.0**53, 1e16]) | st.floats()
INTEGERS = st.sampled_from([-1, 0, 1, -2**63, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**27, 2**31, 2**40, 10**30,
                            -10**30, 10**400]) | st.integers()
GARBAGE = st.sampled_from([
    None, "", "x", " dim-major ", "\u3000trace", "nan", b"bytes", 1j, [], [[]], [[], []], {}, (), set(), True, False,
    R("object"), R("raising_float"), R("raising_index"), R("raising_iter"), R("raising_array"), R("bad_float"),
    R("fraction", (1, 3)), R("generator", [1.0, 2.0]), R("profile_subclass"), R("env", "robot"),
    R("env", "constraints"), R("env", "path"), R("env", "time"), R("env", "profile"), R("env", "topp2"),
    R("env", "settings"), R("env", "clarabel"), R("env", "reach_options"), R("env", "derivatives"),
    R("member", ("Verbosity", "DEBUG")), R("member", ("MatrixLayout", "DIM_MAJOR")), R("member", ("ClarabelSolverStatus", "SOLVED")),
    R("zeros", (0, 1_000_000)), R("empty_shape", (300_000,)), R("full", ((3, 2), math.nan)), R("full", (7, math.inf)),
])
DTYPES = st.sampled_from([np.float64, np.float32, np.float16, np.int64, np.uint8, np.bool_, np.complex128, "<U3"])
ARRAYS = hnp.arrays(DTYPES, hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=7))
ARRAY_VARIANTS = ARRAYS | ARRAYS.filter(lambda a: a.ndim > 0 and a.dtype.kind == "f").flatmap(
    lambda a: st.sampled_from([R("fortran", a), R("strided", a), R("reversed", a), R("readonly", a)]))
LISTS = st.recursive(FLOATS | INTEGERS | st.text(max_size=3) | st.none(), lambda inner: st.lists(inner, max_size=5),
                     max_leaves=12)
ANYTHING = GARBAGE | FLOATS | INTEGERS | ARRAY_VARIANTS | LISTS | st.text(max_size=12)

CALLBACKS = st.sampled_from([
    R("dynamics", "raises"), R("dynamics", "nan"), R("dynamics", "shape"), R("dynamics", "type"), R("dynamics", "ok"),
    R("dynamics_object", "raises"), R("dynamics_object", "shape"), R("evaluator", (3, "raises")),
    R("evaluator", (3, "nan")), R("evaluator", (3, "shape")), R("evaluator", (3, "type")), R("evaluator", (3, "dim")),
    R("evaluator", (2, "ok")), R("evaluator", (2, "raises")), R("q_fn", "raises"), R("q_fn", "shape"),
    R("q_fn", "type"), R("q_fn", "nan"), R("q_fn", "ok"),
])
OBJECTIVE_ITEMS = st.sampled_from([R("env", "time"), R("env", "linear"), R("env", "thermal"), R("env", "tv")]) | \
    st.dictionaries(st.sampled_from(["kind", "weight", "alpha", "beta", "normalize", "Kind"]),
                    st.sampled_from(["time", "linear", "thermal", "tv-torque", "jerk"]) | FLOATS | ARRAY_VARIANTS,
                    max_size=5) | GARBAGE


def shaped_like(valid):
    """Arrays near a valid one: other shapes, transposed, NaN or infinity inside, cut or grown."""
    base = np.atleast_1d(np.asarray(valid, dtype=float))
    return st.sampled_from([
        base.T, base[..., None], base.ravel(), base[:1], base[:0], np.concatenate([base, base]), base * np.nan,
        np.where(base == base, math.inf, base), -base, base * 1e300, np.zeros((2, 2, 2)),
    ])


BY_KIND = {
    F64: FLOATS | INTEGERS,
    U64: INTEGERS | FLOATS | st.sampled_from([np.int64(-5), np.uint64(2**64 - 1), np.float64(3.0)]),
    BOOL: st.sampled_from([0, 1, 2, "true", np.bool_(True), 1.0]),
    PAIR_U64: st.tuples(INTEGERS | FLOATS, INTEGERS) | st.lists(INTEGERS, max_size=4).map(tuple),
    PAIR_F64: st.tuples(FLOATS, FLOATS | INTEGERS) | st.lists(FLOATS, max_size=4).map(tuple),
    ENUM: st.text(max_size=14) | st.sampled_from([0, 1, "sample_major", "dim major", "SILENT", "qdldl"]),
    OBJ: st.sampled_from([R("env", "robot"), R("env", "constraints"), R("env", "topp3"), R("env", "qarn2"),
                          R("env", "settings"), R("env", "profile"), R("profile_subclass")]),
    CALLBACK: CALLBACKS,
    OBJECTIVES: OBJECTIVE_ITEMS | st.lists(OBJECTIVE_ITEMS, max_size=4),
    ANY: st.nothing(),
    VEC: st.nothing(),
    MAT: st.nothing(),
}


@st.composite
def calls(draw):
    """An entry point and its arguments, each valid or malformed; sometimes one missing or one extra."""
    entry = draw(st.sampled_from(ENTRIES))
    args = {}
    for p in entry.params:
        if draw(st.booleans()):
            args[p.name] = p.valid
            continue
        kind_specific = BY_KIND[p.kind]
        if p.kind in (VEC, MAT) and p.valid is not None and not isinstance(p.valid, R):
            kind_specific = shaped_like(p.valid)
        args[p.name] = draw(kind_specific | ANYTHING if draw(st.booleans()) else ANYTHING)
    structure = draw(st.integers(0, 9))
    if structure == 0 and entry.params:
        del args[draw(st.sampled_from([p.name for p in entry.params]))]
    elif structure == 1:
        args["*extra"] = draw(ANYTHING)
    elif structure == 2:
        args["**extra"] = draw(ANYTHING)
    return entry.name, args


# ---- the runs ----

@pytest.fixture(scope="module")
def worker():
    w = Worker()
    yield w
    w.close()


def make_call(worker, call):
    name, args = call
    outcome = worker.call(name, args)
    assert outcome[0] in ("ok", "documented"), f"{name}({args!r}) -> {outcome}"


@settings(max_examples=DEFAULT_CALLS, deadline=None, derandomize=True, database=None,
          suppress_health_check=list(HealthCheck))
@given(call=calls())
def test_malformed_arguments_raise_only_documented_exceptions(worker, call):
    make_call(worker, call)


def test_every_entry_point_accepts_its_valid_call(worker):
    for entry in ENTRIES:
        make_call(worker, (entry.name, {p.name: p.valid for p in entry.params}))


@pytest.mark.campaign
def test_campaign(worker):
    started, before = time.monotonic(), worker.calls

    @settings(max_examples=CAMPAIGN_CALLS, deadline=None, database=None, suppress_health_check=list(HealthCheck))
    @given(call=calls())
    def run(call):
        make_call(worker, call)

    run()
    calls_made = worker.calls - before
    print(f"\nAPI campaign: {calls_made} calls over {len(ENTRIES)} entry points in "
          f"{time.monotonic() - started:.1f} s")
    assert calls_made >= 10_000


# ---- reference and memory balance of every entry point ----

# A known malformed value per parameter kind, for the error path of each entry point: it goes in
# place of the first argument (an entry without arguments gets one too many).
BAD_BY_KIND = {F64: "x", U64: -1, BOOL: 2, VEC: [[1.0], [2.0, 3.0]], MAT: np.zeros((2, 2, 2)), PAIR_U64: (1,),
               PAIR_F64: ("a", 1.0), ENUM: "no such member", OBJ: R("object"), CALLBACK: R("object"),
               OBJECTIVES: [None], ANY: R("raising_iter")}
PARAMETRIC = {"Path.from_sympy", "Path.from_autograd", "Path.from_casadi", "Path.from_jax"}  # mostly Python code
SOLVERS = {"topp2_ra", "reach_set2_backward", "reach_set2_bidirectional", "qarn2_socp", "qarn2_socp_expert",
           "topp3_lp", "topp3_lp_expert", "topp3_socp", "topp3_socp_expert", "qarn3_socp", "qarn3_socp_expert"}


def error_args(entry):
    """The arguments of the entry's error call; None for an enum comparison, which never raises."""
    if entry.name.endswith(".eq"):
        return None
    if not entry.params:
        return {"*extra": 1}
    first = entry.params[0]
    return {**{p.name: p.valid for p in entry.params}, first.name: BAD_BY_KIND[first.kind]}


def failing_callbacks(env):
    """Calls that fail inside a Python callback: an inverse-dynamics model while torque limits are
    added and while QARN2 solves, and a path evaluator while it is sampled."""
    model_fails = {"on": False}

    def model(qq, dq, ddq):
        if model_fails["on"]:
            raise Planted("model")
        return ddq

    robot = q.Robot(2, inverse_dynamics=model)
    robot.append_s(S)
    robot.set_q_from_path_2nd(env.path, 0, len(S))
    robot.add_torque_limits(LIMIT, -LIMIT, start_idx_s=0)
    problem = q.Qarn2Problem(robot, q.ThermalEnergy(1.0, [1.0, 1.0]), (0, 5))  # the objective calls the model
    evaluator_path = q.Path.from_evaluator_3rd(resolve(R("evaluator", (3, "raises")), env), 0.0, 1.0)
    model_fails["on"] = True
    return [lambda: robot.add_torque_limits(LIMIT, -LIMIT, start_idx_s=0), lambda: q.qarn2_socp(problem),
            lambda: evaluator_path.evaluate_q(S), lambda: robot.set_q_from_path_3rd(evaluator_path, 0, 6)]


def entry_body(entries, with_failing_callbacks=False):
    """One pass over `entries`, each on a fresh environment: its valid call, then its error call."""
    def body():
        for entry in entries:
            env = Env()
            call_entry(entry, env, resolve({p.name: p.valid for p in entry.params}, env))
            bad = error_args(entry)
            if bad is not None:
                with pytest.raises(DOCUMENTED):
                    call_entry(entry, env, resolve(bad, env))
        for fail in failing_callbacks(Env()) if with_failing_callbacks else ():
            with pytest.raises(Planted):
                fail()

    return body


def persistent_arguments():
    """The argument objects that outlive the calls: arrays of the catalogue and the bad values."""
    values = [S, WAYPOINTS, LIMIT, A3, *BAD_BY_KIND.values()]
    values += [p.valid for e in ENTRIES for p in e.params if isinstance(p.valid, (np.ndarray, list, tuple))]
    return list({id(v): v for v in values}.values())


LEAK_GROUPS = {
    # group: (entries, iterations by default, iterations in the campaign)
    "model": ([e for e in ENTRIES if e.name not in SOLVERS | PARAMETRIC], 100, 3000),
    "solvers": ([e for e in ENTRIES if e.name in SOLVERS], 300, 3000),
}


@pytest.mark.parametrize("group", LEAK_GROUPS)
def test_entry_points_leave_reference_counts_and_memory_flat(group):
    entries, iterations, _ = LEAK_GROUPS[group]
    assert_balanced(persistent_arguments(), entry_body(entries, group == "model"), iterations, warmup=20)


@pytest.mark.campaign
@pytest.mark.parametrize("group", LEAK_GROUPS)
def test_campaign_balance(group):
    entries, _, iterations = LEAK_GROUPS[group]
    assert_balanced(persistent_arguments(), entry_body(entries, group == "model"), iterations, warmup=100)


def hooks_scenarios(hooks):
    """The binding layer's own paths through the test hooks: argument binding, array and enum
    conversions, the robot-state lock (poisoned, with an error raised inside it, released while an
    object is dropped) and the error slot."""
    array = np.arange(6.0)
    matrix = np.ones((2, 3))
    text = " Dim-Major "
    probe = hooks._RobotStateProbe(2)
    poisoned = hooks._RobotStateProbe(2)
    with pytest.raises(BaseException):
        poisoned.fault_while_locked("poison")
    args = (array, matrix, text, probe, poisoned)

    def success():
        hooks._echo_args(1.0, array[1], flag=True, count=3)
        hooks._to_f64_1d(array)
        hooks._to_f64_2d(matrix)
        hooks._parse_enum("layout", text)
        hooks._parse_enum("verbosity", hooks.Verbosity.DEBUG)
        hooks._parse_objectives([hooks.Linear(1.0, array, array), {"kind": "time", "weight": 1.0}, hooks.Time(1.0)])
        probe.len()
        probe.tag = 1.5
        probe.call_while_locked(probe.tag.__float__)
        probe.drop_released(array)

    def errors():
        for call, *call_args in ((hooks._echo_args,), (hooks._echo_args, "x"), (hooks._to_f64_1d, matrix),
                                 (hooks._to_f64_2d, array), (hooks._parse_enum, "layout", "rows"),
                                 (hooks._raise_core_error, 1), (hooks._fault, "fault"), (poisoned.len,),
                                 (probe.call_while_locked, array.__getitem__),
                                 (hooks._parse_objectives, {"kind": "linear", "weight": 1.0, "alpha": array})):
            with pytest.raises(BaseException):  # PanicException derives from BaseException
                call(*call_args)
        # A fresh exception each time: re-raising one object would grow its traceback chain.
        probe.park_error(KeyError(text))
        with pytest.raises(KeyError):
            probe.fail_with_slot()

    return args, success, errors


@pytest.mark.parametrize("path", ["success", "errors"])
def test_binding_layer_paths_leave_reference_counts_and_memory_flat(hooks, path):
    args, success, errors = hooks_scenarios(hooks)
    assert_balanced(args, success if path == "success" else errors, 5000, warmup=1000)


def test_the_worker_reports_crashes_and_hangs_and_goes_on():
    worker = Worker(timeout=1.0)
    try:
        outcome = worker.call("_abort", None)
        assert outcome[:2] == ("crash", -6)
        assert worker.call("_sleep", 5.0) == ("hang",)
        assert worker.call("version", {}) == ("ok",)
        assert worker.call("Time", {"weight": "x"}) == ("documented", "TypeError")
    finally:
        worker.close()


# ---- threads ----

def scaled_robot(k, n=60):
    """The quintic path through the WAYPOINTS of second_order_cases at n stations, with velocity
    and acceleration limits scaled by k and jerk limits."""
    robot = q.Robot(2)
    robot.append_s(np.linspace(0.0, 1.0, n))
    robot.set_q_from_path_3rd(q.Path.from_waypoints(CASE_WAYPOINTS), 0, n)
    robot.add_velocity_limits(k * V_MAX, -k * V_MAX, start_idx_s=0)
    robot.add_acceleration_limits(k * ACC_MAX, -k * ACC_MAX, start_idx_s=0)
    robot.add_jerk_limits([20.0, 20.0], [-20.0, -20.0], start_idx_s=0)
    return robot


def solves(robot):
    """The profiles of topp2_ra, qarn2_socp (Time and ThermalEnergy) and, on its result, topp3_lp."""
    n = robot.len
    a = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
    cool = q.qarn2_socp(q.Qarn2Problem(robot, [q.Time(1.0), q.ThermalEnergy(0.05, [1.0, 1.0])], (0, n - 1)))
    profile = q.topp3_lp(q.Topp3Problem(robot.constraints, a))
    return a, cool, profile.a, profile.b


def test_solves_on_separate_robots_equal_the_sequential_answers():
    robots = [scaled_robot(k) for k in (0.3, 0.5, 0.8, 1.0, 1.7, 2.5)]
    expected = [solves(robot) for robot in robots]
    results = [[] for _ in robots]

    def run(i):
        for _ in range(3):
            results[i].append(solves(robots[i]))

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(robots))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for got, want in zip(results, expected):
        assert len(got) == 3
        for arrays in got:
            for x, y in zip(arrays, want):
                np.testing.assert_array_equal(x, y)


def test_a_solve_beside_a_mutating_thread_gives_a_serial_answer():
    # One thread adds tighter limits to the robot step by step while another solves on it: every
    # answer is the answer of the store after some number of those steps.
    steps = [lambda r, k=k: r.add_velocity_limits(k * V_MAX, -k * V_MAX, start_idx_s=10, length=30)
             for k in (0.9, 0.8, 0.7, 0.6, 0.5, 0.4)]
    steps += [lambda r: r.add_acceleration_limits(0.5 * ACC_MAX, -0.5 * ACC_MAX, start_idx_s=0)]

    def answers(robot):
        n = robot.len
        topp2 = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, n - 1)))
        qarn2 = q.qarn2_socp(q.Qarn2Problem(robot, q.Time(1.0), (0, n - 1)))
        return topp2, qarn2

    serial = []
    reference = scaled_robot(1.0)
    serial.append(answers(reference))
    for step in steps:
        step(reference)
        serial.append(answers(reference))

    robot = scaled_robot(1.0)
    seen, done = [], threading.Event()

    def mutate():
        for step in steps:
            time.sleep(0.002)
            step(robot)
        done.set()

    thread = threading.Thread(target=mutate)
    thread.start()
    while not done.is_set() or len(seen) < 5:
        seen.append(answers(robot))
    thread.join()
    for topp2, qarn2 in seen:
        assert any(np.array_equal(topp2, t) for t, _ in serial)
        assert any(np.array_equal(qarn2, c) for _, c in serial)
    assert all(np.array_equal(x, y) for x, y in zip(answers(robot), serial[-1]))


# Environment objects by class, for reading the catalogue's entry names.
CLASS_OF = {"topp2": "Topp2Problem", "qarn2": "Qarn2Problem", "topp3": "Topp3Problem", "qarn3": "Qarn3Problem",
            "time": "Time", "linear": "Linear", "thermal": "ThermalEnergy", "tv": "TotalVariationTorque",
            "reach_set": "ReachSet2", "qarn2_result": "Qarn2SocpResult", "qarn3_result": "Qarn3ClarabelResult",
            "linsolver": "ClarabelLinearSolverInfo", "report": "SmoothingReport", "derivatives": "PathDerivatives",
            "settings": "ClarabelSettings", "clarabel": "ClarabelOptions", "reach_options": "ReachSet2Options",
            "spline_config": "SplineConfig", "smoothing_config": "SmoothingConfig", "profile": "Profile3rd",
            "robot": "Robot", "constraints": "Constraints", "path": "Path", "fitted": "Path"}


def test_the_catalogue_covers_every_public_name():
    """Every function, constructor, method and attribute of the module has an entry, and every
    settable attribute an entry that sets it."""
    covered = set()
    for name in (e.name for e in ENTRIES):
        slot, _, inner = name.rstrip(")").rpartition("(")  # "repr(robot)" is a slot of the robot's class
        if slot:
            covered.add((CLASS_OF.get(inner, inner), f"__{slot}__"))
            continue
        setter = name.endswith(" =")
        owner, _, attr = name.removesuffix(" =").partition(".")
        covered.add((CLASS_OF.get(owner, owner), attr + " =" * setter))
    missing = []
    env = Env()
    for name in (n for n in q._native.__all__ if not n.startswith("__")):
        obj = getattr(q, name)
        if not isinstance(obj, type):
            missing += [name] if (name, "") not in covered else []
            continue
        if issubclass(obj, BaseException):
            continue
        if "__new__" in vars(obj) and (name, "") not in covered:
            missing.append(f"{name}()")
        for attr, value in vars(obj).items():
            if attr.startswith("_") or isinstance(value, obj):  # enum members are values, not entry points
                continue
            if (name, attr) not in covered:
                missing.append(f"{name}.{attr}")
            instance = next((getattr(env, o) for o, c in CLASS_OF.items() if c == name), None)
            if type(value).__name__ == "getset_descriptor" and instance is not None:
                try:
                    value.__set__(instance, object())
                except AttributeError as error:
                    if "not writable" in str(error):
                        continue
                except (TypeError, ValueError):
                    pass
                if (name, attr + " =") not in covered:
                    missing.append(f"{name}.{attr} =")
    assert not missing

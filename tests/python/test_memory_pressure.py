"""Memory pressure: under an address-space limit (RLIMIT_AS) a Clarabel solve or a fit answers
MemoryError instead of ending the interpreter, an allocation failure inside a call that holds the
robot raises MemoryError and leaves the robot usable (not poisoned) with its store as it was or
fully written, and a limit window past the store is refused before anything is built for it. Each
case runs in a fresh interpreter that sweeps the headroom above what it has mapped, from nothing to
plenty."""

import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="AddressSanitizer's shadow memory needs terabytes of address space")

PRELUDE = """
import ctypes, json, resource, sys
sys.path[:0] = {path}
import numpy as np
import qarn_py as q

MIB = 2 ** 20
# Every large block gets address space of its own (no reuse of freed heap, which the limit cannot
# see), so that a small headroom really is small.
ctypes.CDLL(None).mallopt(-3, 128 * 1024)  # M_MMAP_THRESHOLD

def mapped():
    for line in open("/proc/self/status"):
        if line.startswith("VmSize:"):
            return int(line.split()[1]) * 1024

def with_headroom(headroom, call):
    '''call() with the address space limited to what is mapped now plus `headroom` bytes; its result,
    or the name and text of the exception it raised.'''
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (mapped() + headroom, hard))
    try:
        return call()
    except Exception as error:
        return (type(error).__name__, str(error))
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

def robot_on_path(n, dim=6):
    rng = np.random.default_rng(3)
    robot = q.Robot(dim, capacity=n)
    robot.append_s(np.linspace(0.0, 1.0, n))
    robot.set_q_from_path_3rd(q.Path.from_waypoints(rng.uniform(-1.0, 1.0, (6, dim))), 0, n)
    return robot
"""


def run_isolated(*parts, timeout=300):
    script = PRELUDE.format(path=json.dumps(sys.path)) + "".join(textwrap.dedent(part) for part in parts)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stderr[-3000:]}"
    return json.loads(done.stdout.splitlines()[-1])


HEADROOMS_MIB = [0, 2, 4, 8, 24, 64, 512]


@pytest.mark.parametrize("solver", ["qarn2_socp", "topp3_lp"])
def test_a_solve_without_memory_raises_memory_error_and_the_robot_stays_usable(solver):
    outcomes = run_isolated(f"""
        n, dim = 1000, 6
        robot = robot_on_path(n, dim)
        robot.add_velocity_limits([2.0] * dim, [-2.0] * dim, start_idx_s=0)
        robot.add_acceleration_limits([5.0] * dim, [-5.0] * dim, start_idx_s=0)
        robot.add_jerk_limits([50.0] * dim, [-50.0] * dim, start_idx_s=0)
        if "{solver}" == "qarn2_socp":
            solve = lambda: q.qarn2_socp(q.Qarn2Problem(robot, [q.Time(1.0)], (0, n - 1)))
        else:
            solve = lambda: q.topp3_lp(q.Topp3Problem(robot.constraints, np.full(n, 0.5))).a
        reference = solve()
        out = []
        for headroom in {HEADROOMS_MIB}:
            result = with_headroom(headroom * MIB, solve)
            out.append(list(result) if isinstance(result, tuple) else bool(np.array_equal(result, reference)))
            out.append(len(robot))
        print(json.dumps(out))
    """)
    results, lengths = outcomes[0::2], outcomes[1::2]
    assert lengths == [1000] * len(HEADROOMS_MIB)  # never poisoned
    refused = [r for r in results if r is not True]
    assert refused and results[-1] is True, results  # refused without headroom, solved with plenty
    for kind, text in refused:
        assert kind == "MemoryError", (kind, text)
    # Each says what the solve was doing and what that needed, also where memory ran out before the
    # Clarabel check (before: MemoryError('') from the reservation, the assembly or the copies).
    need = rf"^{solver}: not enough memory (.+?): about \d+ (?:MiB|KiB) are needed for \w"
    doing = [re.match(need, text) for _, text in refused]
    assert all(doing), refused
    assert {m[1] for m in doing} > {"for the Clarabel solve"}, refused
    # Once the headroom suffices it keeps sufficing, and each profile equals the unlimited one.
    first = results.index(True)
    assert results[first:] == [True] * (len(results) - first)


def test_a_failed_write_leaves_the_store_as_it_was_or_fully_written():
    outcomes = run_isolated("""
        n, dim = 20_000, 6
        source = robot_on_path(n, dim)
        s = source.constraints.s_values()
        # A profile that slows down fast: the lower acceleration rows bind, the upper ones do not, so a
        # store with only the upper side of the limit would give a third answer.
        probe = np.linspace(1.0, 0.0, n) ** 2

        b = np.gradient(probe, s) / 2.0  # d(ds/dt)/dt = (da/ds) / 2

        def fresh():
            robot = q.Robot(dim, capacity=n)
            robot.append_s(s)
            robot.set_q_from_path_3rd(q.Path.from_waypoints(np.random.default_rng(3).uniform(-1.0, 1.0, (6, dim))), 0, n)
            return robot

        writes = {
            "acceleration": lambda r: r.add_acceleration_limits([5.0] * dim, [-4.0] * dim, start_idx_s=0),
            "jerk": lambda r: r.add_jerk_limits([50.0] * dim, [-40.0] * dim, start_idx_s=0),
            "torque": lambda r: r.add_torque_limits([5.0] * dim, [-4.0] * dim, start_idx_s=0),
            "append": lambda r: r.append_s(np.linspace(2.0, 3.0, 3 * n)),
        }
        out = {}
        for name, write in writes.items():
            before, after = fresh(), fresh()
            write(after)
            observe = lambda r: [len(r), r.capacity, *r.constraints.exceed_topp3(probe, b)]
            states = [observe(before), observe(after)]
            seen = []
            for headroom in [0, 1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024]:
                robot = fresh()
                result = with_headroom(headroom * MIB, lambda: write(robot))
                seen.append([result[0] if isinstance(result, tuple) else "ok", states.index(observe(robot))])
            out[name] = seen
        print(json.dumps(out))
    """)
    for name, seen in outcomes.items():
        kinds = [kind for kind, _ in seen]
        assert set(kinds) <= {"ok", "MemoryError"}, (name, seen)
        assert kinds[0] != "ok" and kinds[-1] == "ok", (name, seen)
        # A refused write changed nothing; a write that went through is complete.
        assert [state for kind, state in seen] == [0 if kind != "ok" else 1 for kind in kinds], (name, seen)


def test_a_fit_without_memory_raises_memory_error():
    outcomes = run_isolated("""
        t = np.linspace(0.0, 1.0, 200_000)
        waypoints = np.stack([np.sin(6 * t), np.cos(5 * t), t ** 2], axis=1)
        fit = lambda: q.Path.from_waypoints_fitting(waypoints, tolerance=1e-4).dim
        print(json.dumps([with_headroom(headroom * MIB, fit) for headroom in [0, 4, 16, 64, 256, 1024]]))
    """)
    assert outcomes[-1] == 3, outcomes
    assert outcomes[0] != 3 and all(o == 3 or o[0] == "MemoryError" for o in outcomes), outcomes


def test_a_limit_window_past_the_store_is_refused_before_its_matrix_is_built():
    # Repeating two values over 2**27 stations would take 2 GiB.
    result = run_isolated("""
        robot = q.Robot(2, capacity=10)
        robot.append_s(np.linspace(0.0, 1.0, 10))
        robot.set_q(np.zeros((10, 2)), np.ones((10, 2)), np.zeros((10, 2)), 0)
        call = lambda: robot.add_velocity_limits([1.0, 1.0], [-1.0, -1.0], start_idx_s=0, length=2 ** 27)
        print(json.dumps([with_headroom(256 * MIB, call), len(robot), robot.constraints.amax_values().tolist()]))
    """)
    assert result == [["ConstraintError", "Some error occurred in the Constraint struct: Requested station interval "
                       f"is out of bounds: idx_s=0, len={2 ** 27}."], 10, [float("inf")] * 10]


def test_a_capacity_is_a_reservation_and_one_no_machine_holds_is_refused():
    out = run_isolated("""
        import time
        rss, start = int(open("/proc/self/statm").read().split()[1]), time.perf_counter()
        q.Robot(3, capacity=10 ** 7).append_s(np.linspace(0.0, 1.0, 1000))  # 5.9 GB once full
        out = [time.perf_counter() - start, (int(open("/proc/self/statm").read().split()[1]) - rss) * 4096 / MIB]
        for make in (q.Robot, q.Robot.point_mass, q.Constraints):
            out += [with_headroom(1024 * MIB, lambda: make(3, capacity=c).capacity) for c in (2 ** 31, 2 ** 40)]
        print(json.dumps(out))
    """)
    assert out[0] < 1.0 and out[1] < 200, out[:2]
    for capacity, made in zip([2 ** 31, 2 ** 40] * 3, out[2:]):  # refused or untouched, the process alive
        assert made == capacity or (made[0] == "MemoryError" and f"`capacity` = {capacity} stations" in made[1]), made

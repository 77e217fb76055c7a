"""The interpreter lock around solves: reachability solves and QARN2 solves without a Python model
give it up (another Python thread runs meanwhile, and two solves on two robots run at once), while a
QARN2 solve whose torque terms call Python keeps it. Each case runs in a fresh interpreter with a
timeout, so that a hang fails the test instead of blocking the suite."""

import json
import subprocess
import sys
import textwrap

PRELUDE = """
import sys
sys.path[:0] = {path}
import threading, time
import numpy as np
from qarn_py import _native as q
from second_order_cases import line_optimum, line_robot
"""


def run_isolated(*parts, timeout=120):
    script = PRELUDE.format(path=json.dumps(sys.path)) + "".join(textwrap.dedent(part) for part in parts)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_another_thread_runs_during_a_long_reachability_solve():
    run_isolated("""
        n = 100_000
        robot = line_robot(n, capacity=n)
        problem = q.Topp2Problem(robot.constraints, (0, n - 1))
        stamps, started, stop = [], threading.Event(), threading.Event()

        def ticker():
            started.set()
            while not stop.is_set():
                stamps.append(time.perf_counter())

        worker = threading.Thread(target=ticker)
        worker.start()
        started.wait()
        windows = []
        for _ in range(5):  # several solves, so that a busy machine cannot hide the other thread
            begin = time.perf_counter()
            a = q.topp2_ra(problem)
            windows.append((begin, time.perf_counter()))
        stop.set()
        worker.join()
        inside = [t for t in stamps if any(begin < t < end for begin, end in windows)]
        assert len(inside) > 10, (len(inside), windows)
        s = np.linspace(0.0, 2.0, n)
        np.testing.assert_allclose(a, line_optimum(s), rtol=1e-7, atol=1e-9)
    """)


def test_two_threads_solve_on_two_robots_at_once():
    run_isolated("""
        n = 100_000
        robots = [line_robot(n, capacity=n, v=v, acc=acc) for v, acc in ((1.0, 0.75), (0.8, 1.5))]
        problems = [q.Topp2Problem(r.constraints, (0, n - 1)) for r in robots]
        expected = [q.topp2_ra(p) for p in problems]
        results, windows = [None, None], [None, None]
        barrier = threading.Barrier(2)

        def solve(i):
            barrier.wait()
            begin = time.perf_counter()
            for _ in range(3):  # long enough for the other thread to be woken meanwhile
                results[i] = q.topp2_ra(problems[i])
            windows[i] = (begin, time.perf_counter())

        threads = [threading.Thread(target=solve, args=(i,)) for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for got, want in zip(results, expected):
            np.testing.assert_array_equal(got, want)
        (b0, e0), (b1, e1) = windows
        assert max(b0, b1) < min(e0, e1), windows  # the two solves overlapped
        s = np.linspace(0.0, 2.0, n)
        np.testing.assert_allclose(results[1], line_optimum(s, v=0.8, acc=1.5), rtol=1e-7, atol=1e-9)
    """)


# A waiting thread asks for the interpreter lock only after the switch interval; with a long interval
# it gets the lock during a solve only if the solve gives it up.
WAITER = """
    sys.setswitchinterval(30.0)
    gate = threading.Lock()
    gate.acquire()
    woke = []

    def waiter():
        with gate:
            woke.append(time.perf_counter())

    worker = threading.Thread(target=waiter)
    worker.start()
    time.sleep(0.2)  # the waiter now blocks on the gate
    gate.release()
    begin = time.perf_counter()
    result = q.qarn2_socp(problem)
    end = time.perf_counter()
    worker.join()
"""


def test_qarn2_with_a_python_model_keeps_the_interpreter_lock():
    run_isolated("""
        calls = []

        def model(qq, dq, ddq):
            calls.append(threading.get_ident())
            return 2.0 * ddq + 1.0

        robot = line_robot(400, inverse_dynamics=model)
        problem = q.Qarn2Problem(robot, [q.Time(1.0), q.ThermalEnergy(0.1, [1.0])], (0, 399))
    """, WAITER, """
        assert calls and set(calls) == {threading.main_thread().ident}
        assert woke[0] > end, (begin, end, woke)
        assert result.shape == (400,)
    """)


def test_qarn2_without_a_python_model_gives_the_lock_up():
    run_isolated("""
        robot = line_robot(4000, capacity=4000)
        problem = q.Qarn2Problem(robot, q.Time(1.0), (0, 3999))
    """, WAITER, """
        assert begin < woke[0] < end, (begin, end, woke)
        np.testing.assert_allclose(result, line_optimum(np.linspace(0.0, 2.0, 4000)), rtol=1e-5, atol=1e-8)
    """)


def test_another_thread_runs_during_a_long_topp3_solve_and_two_robots_solve_at_once():
    run_isolated("""
        from third_order_cases import jerk_line_robot
        n = 3000
        robots = [jerk_line_robot(n, jerk=j)[0] for j in (2.0, 3.0)]
        problems = [q.Topp3Problem(r.constraints, np.full(n, 0.5)) for r in robots]
        expected = [q.topp3_lp(p).a for p in problems]
        stamps, results, windows = [], [None, None], [None, None]
        barrier, stop = threading.Barrier(3), threading.Event()

        def ticker():
            barrier.wait()
            while not stop.is_set():
                stamps.append(time.perf_counter())

        def solve(i):
            barrier.wait()
            begin = time.perf_counter()
            results[i] = q.topp3_lp(problems[i]).a
            windows[i] = (begin, time.perf_counter())

        threads = [threading.Thread(target=ticker)] + [threading.Thread(target=solve, args=(i,)) for i in range(2)]
        for t in threads:
            t.start()
        for t in threads[1:]:
            t.join()
        stop.set()
        threads[0].join()
        for got, want in zip(results, expected):
            np.testing.assert_array_equal(got, want)
        (b0, e0), (b1, e1) = windows
        assert max(b0, b1) < min(e0, e1), windows  # the two solves overlapped
        inside = [t for t in stamps if max(b0, b1) < t < min(e0, e1)]
        assert len(inside) > 10, (len(inside), windows)
    """)


def test_a_callback_installed_while_a_qarn3_solve_waits_for_the_robot_keeps_the_lock_for_the_solve():
    """The choice to give the interpreter lock up is made under the robot lock that runs the solve:
    a callback installed by another thread while the solve waits for the robot is then called by a
    solve that holds the interpreter lock, so no other Python thread runs from its first call on."""
    run_isolated("""
        from third_order_cases import jerk_line_robot
        sys.setswitchinterval(30.0)
        n = 600
        robot, s = jerk_line_robot(n)
        blocker = q.Topp3Problem(robot.constraints, np.full(n, 0.5))
        problem = q.Qarn3Problem(robot, [q.Time(1.0), q.ThermalEnergy(0.01, [1.0])], np.full(n, 0.5))
        exercised = 0
        for trial in range(10):
            robot.clear_inverse_dynamics()
            calls, stamps, stop = [], [], threading.Event()

            def model(qq, dq, ddq):
                calls.append(time.perf_counter())
                return ddq

            def ticker():
                while not stop.is_set():
                    stamps.append(time.perf_counter())
                    time.sleep(0.0002)

            # Holds the robot, solve after solve, until well after the solve below has begun to wait:
            # a count of solves would end before it on a fast machine.
            release_at = time.perf_counter() + 0.15

            def hold():
                while time.perf_counter() < release_at:
                    q.topp3_lp(blocker)

            holder = threading.Thread(target=hold)
            installer = threading.Thread(target=lambda: robot.set_inverse_dynamics(model))
            tick = threading.Thread(target=ticker)
            tick.start()
            holder.start()
            time.sleep(0.02)
            installer.start()  # waits for the robot
            time.sleep(0.02)
            begin = time.perf_counter()
            q.qarn3_socp(problem)  # waits for the robot too
            end = time.perf_counter()
            for t in (holder, installer):
                t.join()
            stop.set()
            tick.join()
            if calls:  # the callback came first: the whole solve keeps the interpreter lock
                assert not [t for t in stamps if calls[0] < t < end], trial
                # A trial counts where the solve waited for the robot (the ticker ran meanwhile); the
                # robot is free for a moment between the holder's solves, and a solve that finds it
                # free does not wait.
                exercised += any(begin < t < calls[0] for t in stamps)
            if exercised:
                break
        assert exercised > 0
    """)


def test_qarn3_with_a_python_model_keeps_the_interpreter_lock_and_without_one_gives_it_up():
    run_isolated("""
        from third_order_cases import jerk_line_robot
        calls = []

        def model(qq, dq, ddq):
            calls.append(threading.get_ident())
            return 2.0 * ddq + 1.0

        robot, s = jerk_line_robot(300, inverse_dynamics=model)
        problem = q.Qarn3Problem(robot, [q.Time(1.0), q.ThermalEnergy(0.1, [1.0])], np.full(300, 0.5))
    """, WAITER.replace("q.qarn2_socp(problem)", "q.qarn3_socp(problem)"), """
        assert calls and set(calls) == {threading.main_thread().ident}
        assert woke[0] > end, (begin, end, woke)
        assert len(result) == 300
    """)
    run_isolated("""
        from third_order_cases import jerk_line_robot
        robot, s = jerk_line_robot(2000)
        problem = q.Qarn3Problem(robot, q.Time(1.0), np.full(2000, 0.5))
    """, WAITER.replace("q.qarn2_socp(problem)", "q.qarn3_socp(problem)"), """
        assert begin < woke[0] < end, (begin, end, woke)
    """)

"""The shared robot state: construction checks, poisoning by a fault, re-entry from a callback,
waiting for a busy state without blocking other threads, and Python objects dropped while the
interpreter lock is released."""

import gc
import sys
import threading
import time
import weakref

import pytest


def test_construction_checks(hooks):
    assert hooks._RobotStateProbe(3).dim == 3
    with pytest.raises(ValueError, match="^`dim` must be a positive integer$"):
        hooks._RobotStateProbe(0)
    with pytest.raises(ValueError, match="^`capacity` must be a positive integer or None$"):
        hooks._RobotStateProbe(2, capacity=0)
    with pytest.raises(ValueError, match="`dim`"):
        hooks._RobotStateProbe(0, capacity=0)
    with pytest.raises(OverflowError):
        hooks._RobotStateProbe(-1)
    assert hooks._RobotStateProbe(2, capacity=None).len() == 0


class TestPoisoning:
    def test_fault_inside_the_lock_poisons_the_state(self, hooks):
        probe = hooks._RobotStateProbe(2)
        with pytest.raises(BaseException) as info:
            probe.fault_while_locked("broken inside the lock")
        assert type(info.value).__name__ == "PanicException"
        assert str(info.value) == "broken inside the lock"
        for _ in range(2):  # for good
            with pytest.raises(RuntimeError, match="^internal robot state lock was poisoned$"):
                probe.len()
        # Other states are unaffected.
        assert hooks._RobotStateProbe(2).len() == 0

    def test_python_errors_inside_the_lock_do_not_poison(self, hooks):
        probe = hooks._RobotStateProbe(2)

        def raises():
            raise KeyError("callback failed")

        with pytest.raises(KeyError):
            probe.call_while_locked(raises)
        assert probe.len() == 0


class TestReentry:
    def test_callback_touching_its_own_robot_raises(self, hooks):
        probe = hooks._RobotStateProbe(2)
        seen = []

        def callback():
            try:
                probe.len()
            except RuntimeError as error:
                seen.append(str(error))
            return "finished"

        assert probe.call_while_locked(callback) == "finished"
        assert seen == ["the robot state is already locked by this thread: a callback must not use the robot it serves"]
        assert probe.len() == 0  # the lock was released and is not poisoned

    def test_callback_may_use_other_robots(self, hooks):
        probe, other = hooks._RobotStateProbe(2), hooks._RobotStateProbe(3)
        assert probe.call_while_locked(lambda: other.len() + other.dim) == 3


class TestWaiting:
    def test_busy_state_is_awaited_without_the_interpreter_lock(self, hooks):
        # Thread A holds the state and, inside a callback, gives the interpreter lock up (sleep).
        # The main thread then asks for the same state; it must wait without holding the
        # interpreter lock, or A could never resume its callback.
        probe = hooks._RobotStateProbe(2)
        inside = threading.Event()

        def callback():
            inside.set()
            time.sleep(0.2)
            return "a"

        results = []
        worker = threading.Thread(target=lambda: results.append(probe.call_while_locked(callback)))
        worker.start()
        assert inside.wait(5)
        assert probe.len() == 0  # waits for A
        worker.join(5)
        assert not worker.is_alive() and results == ["a"]

    def test_released_solve_lets_python_threads_run(self, hooks):
        probe = hooks._RobotStateProbe(2)
        ticks = []
        stop = threading.Event()

        def ticker():
            while not stop.is_set():
                ticks.append(1)
                time.sleep(0.005)

        thread = threading.Thread(target=ticker)
        holder = threading.Thread(target=probe.hold_released, args=(0.3,))
        holder.start()
        time.sleep(0.05)
        thread.start()
        start = time.monotonic()
        assert probe.len() == 0  # blocks until the holder is done
        waited = time.monotonic() - start
        stop.set()
        thread.join()
        holder.join()
        assert waited > 0.1
        assert len(ticks) >= 5  # the ticker ran while both the holder and the waiter were blocked


class TestReleasesWithoutTheInterpreterLock:
    class Payload:
        pass

    def test_object_dropped_in_a_released_region_is_freed_afterwards(self, hooks):
        probe, payload = hooks._RobotStateProbe(1), self.Payload()
        ref = weakref.ref(payload)
        before = sys.getrefcount(payload)
        probe.drop_released(payload)
        assert sys.getrefcount(payload) == before
        del payload
        gc.collect()
        assert ref() is None

    def test_last_reference_dropped_in_a_released_region(self, hooks):
        probe, payload = hooks._RobotStateProbe(1), self.Payload()
        ref = weakref.ref(payload)
        probe.park_error(ValueError(payload))  # the parked exception keeps the payload alive
        del payload
        assert ref() is not None
        probe.clear_slot_released()  # dropped inside a released solve body
        gc.collect()
        assert ref() is None

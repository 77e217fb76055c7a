"""Shared fixtures: a second instance of the native module with its private test hooks."""

import gc
import importlib.util
import os
import sys

import pytest

from qarn_py import _native


def load_native(test_hooks, before_exec=None):
    """Executes the extension module again as a fresh module object; `before_exec(module)` may
    prepare the empty module first."""
    previous = os.environ.get("QARN_PY_TEST_HOOKS")
    os.environ["QARN_PY_TEST_HOOKS"] = "1" if test_hooks else "0"
    try:
        spec = importlib.util.spec_from_file_location("qarn_py._native", _native.__file__)
        module = importlib.util.module_from_spec(spec)
        if before_exec is not None:
            before_exec(module)
        spec.loader.exec_module(module)
    finally:
        if previous is None:
            del os.environ["QARN_PY_TEST_HOOKS"]
        else:
            os.environ["QARN_PY_TEST_HOOKS"] = previous
    return module


@pytest.fixture(scope="session")
def hooks():
    """The native module with the private names `_fault`, `_echo_args`, `_RobotStateProbe`, ..."""
    return load_native(test_hooks=True)


def assert_balanced(args, body, calls, warmup):
    """Runs `body` `calls` times after `warmup` runs and checks that the reference counts of `args`
    and the interpreter's allocated block count do not grow."""
    for _ in range(warmup):  # warm caches and free lists
        body()
    gc.collect()
    counts = [sys.getrefcount(a) for a in args]
    blocks = sys.getallocatedblocks()
    for _ in range(calls):
        body()
    gc.collect()
    assert [sys.getrefcount(a) for a in args] == counts
    # A leak of one block per call would show thousands; caches of the interpreter and NumPy move
    # by a few dozen blocks now and then.
    assert sys.getallocatedblocks() - blocks < calls // 25

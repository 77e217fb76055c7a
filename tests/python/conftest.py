"""Shared fixtures: the test-only extension with the private test hooks, and the balance check of
reference counts."""

import gc
import importlib.machinery
import importlib.util
import pathlib
import sys

import pytest

from qarn_py import _native

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]


def load_native(before_exec=None):
    """Executes the shipped extension module again as a fresh module object; `before_exec(module)`
    may prepare the empty module first."""
    return _execute("qarn_py._native", _native.__file__, before_exec)


def hooks_module_path():
    """Where the test-only extension `qarn_py._native_test_hooks` is: beside the imported native
    module (a build tree's staged package), else in the build tree of `make test`, which stages it
    there and installs only the shipped module."""
    for directory in (pathlib.Path(_native.__file__).parent, REPOSITORY / "build" / "py" / "python" / "qarn_py"):
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            candidate = directory / f"_native_test_hooks{suffix}"
            if candidate.exists():
                return candidate
    pytest.fail("the test-only extension qarn_py._native_test_hooks is missing: build with -DQARN_BUILD_TESTS=ON")


def _execute(name, path, before_exec=None):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    if before_exec is not None:
        before_exec(module)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="session")
def hooks():
    """The test-only extension: the module body of the native module, built from the same objects
    into a separate extension (its classes and exceptions are its own), followed by the private names
    `_fault`, `_echo_args`, `_RobotStateProbe`, ... Objects passed to a hook come from this module."""
    return _execute("qarn_py._native_test_hooks", hooks_module_path())


def settle():
    """Collects garbage and empties the interpreter's type-attribute cache, which keeps the names of
    recent attribute lookups alive (up to 4096 strings), so that the allocated block count reads
    only what the calls left behind."""
    gc.collect()
    sys._clear_type_cache()
    gc.collect()


def assert_balanced(args, body, calls, warmup):
    """Runs `body` `calls` times after `warmup` runs and checks that the reference counts of `args`
    and the interpreter's allocated block count do not grow."""
    for _ in range(warmup):  # warm caches and free lists
        body()
    settle()
    counts = [sys.getrefcount(a) for a in args]
    blocks = sys.getallocatedblocks()
    for _ in range(calls):
        body()
    settle()
    assert [sys.getrefcount(a) for a in args] == counts
    # A leak of one block per call would show `calls` blocks; NumPy's caches move by a few now and then.
    assert sys.getallocatedblocks() - blocks < calls // 25

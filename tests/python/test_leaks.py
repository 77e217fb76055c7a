"""Reference and memory balance: thousands of calls, on success and error paths, leave the
arguments' reference counts and the interpreter's allocated block count unchanged."""

import numpy as np
import pytest

from conftest import assert_balanced
from qarn_py import _native as q

CALLS = 5000


def expect_error(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except BaseException:  # PanicException derives from BaseException
        return
    raise AssertionError("expected an error")


def scenarios(hooks):
    array = np.arange(6.0)
    matrix = np.ones((2, 3))
    text = " Dim-Major "
    probe = hooks._RobotStateProbe(2)
    poisoned = hooks._RobotStateProbe(2)
    expect_error(poisoned.fault_while_locked, "poison")
    args = (array, matrix, text, probe, poisoned)

    def success():
        hooks._echo_args(1.0, array[1], flag=True, count=3)
        hooks._to_f64_1d(array)
        hooks._to_f64_2d(matrix)
        hooks._parse_enum("layout", text)
        hooks._parse_enum("verbosity", hooks.Verbosity.DEBUG)
        assert q.Verbosity.DEBUG == 2 and repr(q.MatrixLayout.DIM_MAJOR) and int(q.Verbosity.TRACE) == 3
        probe.len()
        probe.tag = 1.5
        probe.call_while_locked(probe.tag.__float__)
        probe.drop_released(array)
        q.version()

    def errors():
        expect_error(hooks._echo_args)
        expect_error(hooks._echo_args, "x")
        expect_error(hooks._echo_args, 1, bad=array)
        expect_error(hooks._to_f64_1d, matrix)
        expect_error(hooks._to_f64_2d, array)
        expect_error(hooks._parse_enum, "layout", "rows")
        expect_error(hooks._raise_core_error, 1)
        expect_error(hooks._fault, "fault")
        expect_error(poisoned.len)
        expect_error(probe.call_while_locked, array.__getitem__)  # TypeError raised inside the lock
        # A fresh exception each time: re-raising one object would grow its traceback chain.
        probe.park_error(KeyError(text))
        expect_error(probe.fail_with_slot)
        expect_error(q.version, array)

    return args, success, errors


@pytest.mark.parametrize("path", ["success", "errors"])
def test_no_reference_or_block_leaks(hooks, path):
    args, success, errors = scenarios(hooks)
    assert_balanced(args, success if path == "success" else errors, CALLS, warmup=1000)

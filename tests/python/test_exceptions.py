"""The module's exception types and the conversion of core errors into them."""

import pytest

from qarn_py import _native as q


def test_hierarchy():
    assert issubclass(q.QarnError, Exception)
    assert issubclass(q.ConstraintError, q.QarnError)
    assert issubclass(q.PathError, q.QarnError)
    assert not issubclass(q.PathError, q.ConstraintError)


def test_qualified_names():
    assert repr(q.QarnError) == "<class 'qarn_py.QarnError'>"
    for cls in (q.QarnError, q.ConstraintError, q.PathError):
        assert cls.__module__ == "qarn_py"
        assert f"qarn_py.{cls.__name__}" in repr(cls)


def test_docstrings():
    assert q.QarnError.__doc__.endswith(
        "Python wrapper argument errors, such as invalid dtype or mutually exclusive keyword arguments, "
        "use standard Python exceptions like ValueError. This exception is reserved for errors returned "
        "by the underlying QARN library."
    )
    for cls in (q.ConstraintError, q.PathError):
        assert cls.__doc__.endswith("\n\nThis is a subclass of QarnError.")
    assert "constraint" in q.ConstraintError.__doc__ and "path" in q.PathError.__doc__


@pytest.mark.parametrize(
    "kind, expected_type, text",
    [
        (0, "QarnError", "I/O error: disk on fire"),
        (1, "ConstraintError",
         "Some error occurred in the Constraint struct: Input dimensions do not match the expected shape."),
        (2, "PathError", "Some error occurred in the Path struct: dimension mismatch"),
        (3, "QarnError", "Robot dynamics error: tau went missing"),
        (4, "QarnError", "probe reported an infeasibility: no room"),
        (5, "QarnError", "probe reported an unboundedness: no floor"),
        (6, "QarnError", "probe reported an invalid input: bad input"),
        (7, "QarnError", "probe reported an invalid options: bad options"),
        (8, "QarnError", "probe reported an error in Clarabel solver: solver said no"),
        (9, "QarnError", "probe reported a failure in Clarabel solver with status MaxIterations"),
        (10, "QarnError", "probe reported an error: something else"),
    ],
)
def test_core_error_kinds_map_to_types(hooks, kind, expected_type, text):
    with pytest.raises(hooks.QarnError) as info:
        hooks._raise_core_error(kind)
    assert type(info.value) is getattr(hooks, expected_type)
    assert str(info.value) == text
    assert info.value.args == (text,)


def test_parked_callback_exception_wins_over_the_core_error(hooks):
    probe = hooks._RobotStateProbe(1)
    with pytest.raises(hooks.QarnError, match="probe reported an infeasibility: core failure"):
        probe.fail_with_slot()
    original = KeyError("from the callback")
    probe.park_error(original)
    probe.park_error(LookupError("a later one wins"))
    with pytest.raises(LookupError, match="a later one wins"):
        probe.fail_with_slot()
    probe.park_error(original)
    with pytest.raises(KeyError) as info:
        probe.fail_with_slot()
    assert info.value is original
    # Taking it empties the slot.
    with pytest.raises(hooks.QarnError):
        probe.fail_with_slot()

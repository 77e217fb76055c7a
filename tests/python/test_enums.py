"""The enum classes: members, int(), repr(), comparison, hashing, and argument parsing."""

import pytest

from qarn_py import _native as q

ENUMS = {
    "MatrixLayout": ["SAMPLE_MAJOR", "DIM_MAJOR"],
    "OutOfRangeMode": ["ERROR", "CLAMP"],
    "Parametrization": ["UNIFORM"],
    "Verbosity": ["SILENT", "SUMMARY", "DEBUG", "TRACE"],
    "ClarabelDirectSolveMethod": ["AUTO", "QDLDL", "FAER", "MKL", "PANUA"],
    "ClarabelSolverStatus": [
        "UNSOLVED", "SOLVED", "PRIMAL_INFEASIBLE", "DUAL_INFEASIBLE", "ALMOST_SOLVED",
        "ALMOST_PRIMAL_INFEASIBLE", "ALMOST_DUAL_INFEASIBLE", "MAX_ITERATIONS", "MAX_TIME",
        "NUMERICAL_ERROR", "INSUFFICIENT_PROGRESS", "CALLBACK_TERMINATED",
    ],
}


@pytest.mark.parametrize("class_name", ENUMS)
def test_members_values_and_reprs(class_name):
    cls = getattr(q, class_name)
    for value, member_name in enumerate(ENUMS[class_name]):
        member = getattr(cls, member_name)
        assert type(member) is cls
        assert member is getattr(cls, member_name)
        assert int(member) == value
        assert repr(member) == f"{class_name}.{member_name}"
        assert member == value and value == member and not member != value


def test_docstrings():
    assert q.MatrixLayout.__doc__ == "Matrix layout contract used by Python path inputs and outputs."
    assert q.ClarabelDirectSolveMethod.__doc__ == "Direct linear-solver method forwarded to Clarabel."
    assert q.ClarabelSolverStatus.__doc__ == "Clarabel solver status returned by SOCP expert APIs."
    assert "verbosity" in q.Verbosity.__doc__.lower()
    assert "out-of-range" in q.OutOfRangeMode.__doc__ and "parametrization" in q.Parametrization.__doc__


class TestComparison:
    def test_members_of_one_class(self):
        assert q.MatrixLayout.DIM_MAJOR == q.MatrixLayout.DIM_MAJOR
        assert q.MatrixLayout.DIM_MAJOR != q.MatrixLayout.SAMPLE_MAJOR

    def test_integers_and_bools(self):
        assert q.MatrixLayout.DIM_MAJOR == 1 and 1 == q.MatrixLayout.DIM_MAJOR
        assert q.MatrixLayout.DIM_MAJOR == True  # noqa: E712
        assert q.Verbosity.SUMMARY == True and q.Verbosity.DEBUG != 3  # noqa: E712
        assert q.Parametrization.UNIFORM == 0

    def test_other_objects_are_never_equal(self):
        assert not q.MatrixLayout.DIM_MAJOR == 1.0
        assert q.Verbosity.DEBUG != 2.0
        assert q.MatrixLayout.DIM_MAJOR != "dim_major"
        assert not q.MatrixLayout.DIM_MAJOR == q.OutOfRangeMode.CLAMP
        assert not q.Verbosity.SILENT == q.ClarabelDirectSolveMethod.AUTO
        assert q.Verbosity.SILENT != None  # noqa: E711

    def test_ordering_is_refused(self):
        with pytest.raises(TypeError):
            q.MatrixLayout.SAMPLE_MAJOR < q.MatrixLayout.DIM_MAJOR
        with pytest.raises(TypeError):
            q.Verbosity.DEBUG < q.Verbosity.TRACE
        with pytest.raises(TypeError):
            q.Verbosity.DEBUG >= 1

    def test_members_are_unhashable(self):
        for class_name, members in ENUMS.items():
            with pytest.raises(TypeError):
                hash(getattr(getattr(q, class_name), members[0]))

    def test_classes_are_immutable(self):
        with pytest.raises(TypeError):
            q.Verbosity.SILENT = 5
        assert int(q.Verbosity.SILENT) == 0


class TestParsing:
    """The argument parsers, reached through the test hook `_parse_enum(kind, value)`; the members it
    returns are those of the test extension."""

    @pytest.fixture
    def parse(self, hooks):
        return hooks._parse_enum

    @pytest.mark.parametrize(
        "text, expected",
        [
            ("dim_major", "DIM_MAJOR"), (" Dim_Major\n", "DIM_MAJOR"), ("DIM-MAJOR", "DIM_MAJOR"),
            ("dimmajor", "DIM_MAJOR"), ("samplemajor", "SAMPLE_MAJOR"), ("\u3000SAMPLE_major\u2029", "SAMPLE_MAJOR"),
            ("\u00a0\u0085dim-major\u200a", "DIM_MAJOR"),
        ],
    )
    def test_layout_strings(self, hooks, parse, text, expected):
        assert parse("layout", text) is getattr(hooks.MatrixLayout, expected)

    def test_none_and_members(self, hooks, parse):
        assert parse("layout", None) is hooks.MatrixLayout.SAMPLE_MAJOR
        assert parse("layout", hooks.MatrixLayout.DIM_MAJOR) is hooks.MatrixLayout.DIM_MAJOR
        assert parse("out_of_range", None) is hooks.OutOfRangeMode.ERROR
        assert parse("parametrization", None) is hooks.Parametrization.UNIFORM
        assert parse("verbosity", None) is hooks.Verbosity.SILENT
        assert parse("direct_solve_method", None) is hooks.ClarabelDirectSolveMethod.AUTO

    def test_solver_strings(self, hooks, parse):
        assert parse("verbosity", "  Debug  ") is hooks.Verbosity.DEBUG
        assert parse("verbosity", "TRACE") is hooks.Verbosity.TRACE
        assert parse("direct_solve_method", "QDLDL") is hooks.ClarabelDirectSolveMethod.QDLDL
        assert parse("direct_solve_method", "\tfaer ") is hooks.ClarabelDirectSolveMethod.FAER
        assert parse("out_of_range", " Clamp") is hooks.OutOfRangeMode.CLAMP

    def test_only_unicode_white_space_is_trimmed(self, parse):
        # str.strip() also strips U+001C..U+001F, which are not White_Space.
        with pytest.raises(ValueError):
            parse("verbosity", "\x1cdebug")
        with pytest.raises(ValueError):
            parse("verbosity", "debug\u200b")  # zero-width space is not White_Space either

    @pytest.mark.parametrize(
        "kind, value, message",
        [
            ("layout", "sample major",
             '`layout` must be MatrixLayout.SAMPLE_MAJOR, MatrixLayout.DIM_MAJOR, "sample_major", or "dim_major"'),
            ("layout", "columns",
             '`layout` must be MatrixLayout.SAMPLE_MAJOR, MatrixLayout.DIM_MAJOR, "sample_major", or "dim_major"'),
            ("layout", 1, "`layout` must be a MatrixLayout value or a string"),
            ("layout", q.OutOfRangeMode.CLAMP, "`layout` must be a MatrixLayout value or a string"),
            ("out_of_range", "wrap", '`out_of_range` must be OutOfRangeMode.ERROR, OutOfRangeMode.CLAMP, "error", or "clamp"'),
            ("out_of_range", 0, "`out_of_range` must be an OutOfRangeMode value or a string"),
            ("parametrization", "chordal", '`parametrization` must be Parametrization.UNIFORM or "uniform"'),
            ("parametrization", b"uniform", "`parametrization` must be a Parametrization value or a string"),
            ("verbosity", "",
             '`verbosity` must be Verbosity.SILENT, Verbosity.SUMMARY, Verbosity.DEBUG, Verbosity.TRACE, '
             'or one of "silent", "summary", "debug", "trace"'),
            ("verbosity", "loud",
             '`verbosity` must be Verbosity.SILENT, Verbosity.SUMMARY, Verbosity.DEBUG, Verbosity.TRACE, '
             'or one of "silent", "summary", "debug", "trace"'),
            ("verbosity", 2, "`verbosity` must be a Verbosity value or a string"),
            ("direct_solve_method", "cholmod",
             "`direct_solve_method` must be ClarabelDirectSolveMethod.AUTO, ClarabelDirectSolveMethod.QDLDL, "
             "ClarabelDirectSolveMethod.FAER, ClarabelDirectSolveMethod.MKL, ClarabelDirectSolveMethod.PANUA, "
             'or one of "auto", "qdldl", "faer", "mkl", "panua"'),
            ("direct_solve_method", 2, "`direct_solve_method` must be a ClarabelDirectSolveMethod value or a string"),
        ],
    )
    def test_refusals(self, parse, kind, value, message):
        with pytest.raises(ValueError) as info:
            parse(kind, value)
        assert str(info.value) == message

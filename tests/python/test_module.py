"""Module start-up: version, docstring, the order of `__all__`, star imports and re-imports."""

import subprocess
import sys

import pytest

import qarn_py
from qarn_py import _native

from conftest import load_native

# Every public name of the module, in the order the module registers them.
REGISTRATION_ORDER = [
    "__doc__", "__version__", "QarnError", "ConstraintError", "PathError", "version",
    "Profile3rd", "a_to_b_topp2", "s_to_t_topp2", "t_to_s_topp2_uniform", "t_to_s_topp2_samples",
    "t_to_s_topp2", "s_to_t_topp3", "t_to_s_topp3_uniform", "t_to_s_topp3_samples", "t_to_s_topp3",
    "OutOfRangeMode", "Parametrization", "MatrixLayout", "SplineConfig", "SmoothingConfig",
    "SmoothingReport", "PathDerivatives", "Path", "Time", "Linear", "ThermalEnergy",
    "TotalVariationTorque", "Robot", "Constraints", "Verbosity", "ClarabelDirectSolveMethod",
    "ClarabelSolverStatus", "ClarabelLinearSolverInfo", "ClarabelSettings", "ClarabelOptions",
    "Qarn3ClarabelResult", "ReachSet2Options", "ReachSet2", "Topp2Problem", "reach_set2_backward",
    "reach_set2_bidirectional", "topp2_ra", "Topp3Problem", "topp3_lp", "topp3_lp_expert",
    "topp3_socp", "topp3_socp_expert", "Qarn2Problem", "Qarn2SocpResult", "qarn2_socp",
    "qarn2_socp_expert", "Qarn3Problem", "qarn3_socp", "qarn3_socp_expert",
]
FRAME_NAMES = [
    "__doc__", "__version__", "QarnError", "ConstraintError", "PathError", "version",
    "OutOfRangeMode", "Parametrization", "MatrixLayout", "Verbosity", "ClarabelDirectSolveMethod",
    "ClarabelSolverStatus",
]


def test_version_and_dunder_version_agree():
    assert _native.version() == "0.2.3"
    assert _native.__version__ == "0.2.3"
    assert qarn_py.__version__ == "0.2.3"


def test_version_takes_no_arguments():
    with pytest.raises(TypeError):
        _native.version(1)
    with pytest.raises(TypeError):
        _native.version(x=1)
    assert _native.version.__text_signature__ == "()"
    assert "version" in _native.version.__doc__


def test_all_follows_the_registration_order():
    names = _native.__all__
    assert names[:2] == ["__doc__", "__version__"]
    assert len(names) == len(set(names))
    assert set(FRAME_NAMES) <= set(names)
    assert names == REGISTRATION_ORDER and len(names) == 55
    for name in names:
        assert hasattr(_native, name)


def test_docstring_replaces_the_placeholder():
    doc = _native.__doc__
    assert doc.startswith("Python bindings for qarn-py.\n")
    assert doc.count("\n\n") == 3  # four paragraphs
    assert "import qarn_py as qarn" in doc
    assert "qarn.solver.*" in doc and "ValueError" in doc and "qarn.QarnError" in doc


def test_star_import_binds_the_dunder_names():
    namespace = {}
    exec("from qarn_py._native import *", namespace)
    assert namespace["__version__"] == "0.2.3"
    assert namespace["__doc__"] == _native.__doc__
    assert namespace["Verbosity"] is _native.Verbosity
    assert not any(name.startswith("_") and not name.startswith("__") for name in namespace)


def test_package_exports_the_public_names():
    assert qarn_py.Verbosity is _native.Verbosity
    assert "Verbosity" in qarn_py.__all__ and "__doc__" not in qarn_py.__all__
    assert qarn_py.__doc__.startswith("qarn_py:")


def test_reimport_reuses_the_process_wide_types():
    again = load_native()
    assert again is not _native
    assert again.__all__ == _native.__all__
    for name in ("QarnError", "ConstraintError", "PathError", "Verbosity", "MatrixLayout"):
        assert getattr(again, name) is getattr(_native, name)
    assert again.Verbosity.SILENT is _native.Verbosity.SILENT
    assert not hasattr(again, "_fault")


def test_all_bound_to_a_non_list_fails_the_import():
    def bind_tuple(module):
        module.__all__ = ("x",)

    with pytest.raises(TypeError, match=r"^'tuple' object cannot be converted to 'PyList'$"):
        load_native(before_exec=bind_tuple)


def test_test_hooks_live_only_in_the_test_extension(hooks, monkeypatch):
    assert hooks.__all__ == _native.__all__
    for name in ("_fault", "_echo_args", "_RobotStateProbe", "_to_f64_1d"):
        assert hasattr(hooks, name) and name not in hooks.__all__
    # The shipped module has no way to turn them on, not even the variable that once did.
    monkeypatch.setenv("QARN_PY_TEST_HOOKS", "1")
    for module in (_native, load_native()):
        assert not [name for name in dir(module) if name.startswith("_") and not name.startswith("__")]


def test_classes_belong_to_the_native_module():
    for name in ("Verbosity", "MatrixLayout", "OutOfRangeMode", "Parametrization",
                 "ClarabelDirectSolveMethod", "ClarabelSolverStatus"):
        cls = getattr(_native, name)
        assert cls.__module__ == "qarn_py._native"
        assert cls.__name__ == name


def test_every_type_exists_once_the_module_is_executed():
    # Nothing is created by a later first use, where two threads of a free-threaded interpreter
    # could race: the unlisted types exist before any object is made.
    code = (
        "import qarn_py._native\n"
        "types = {t.__module__ + '.' + t.__name__ for t in object.__subclasses__() + BaseException.__subclasses__()}\n"
        "print(sorted(t for t in types if t.startswith('qarn_py')))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    for name in ("qarn_py._native._OwnedBuffer", "qarn_py._native._RobotState", "qarn_py.PanicException",
                 "qarn_py._native.Robot"):
        assert repr(name) in out

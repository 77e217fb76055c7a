"""The native module imports and reports its version."""

import pytest

import qarn_py
from qarn_py import _native


def test_version_and_dunder_version_agree():
    assert _native.version() == "0.2.3"
    assert _native.__version__ == "0.2.3"
    assert qarn_py.__version__ == "0.2.3"


def test_version_takes_no_arguments():
    with pytest.raises(TypeError):
        _native.version(1)


def test_all_starts_with_doc_and_version():
    assert _native.__all__[:3] == ["__doc__", "__version__", "version"]

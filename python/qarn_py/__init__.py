"""qarn_py: time-optimal and convex-objective speed profiles of robots along geometric paths."""

_PACKAGE_DOC = __doc__

from . import _native  # noqa: E402
from ._native import *  # noqa: E402,F401,F403

# The star import also binds the native module's docstring; the package keeps its own.
__doc__ = _PACKAGE_DOC
del _PACKAGE_DOC

__all__ = [name for name in _native.__all__ if not name.startswith("__")]
__version__ = _native.__version__

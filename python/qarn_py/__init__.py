"""qarn_py: time-optimal and convex-objective speed profiles of robots along geometric paths.

Every class and function is available here (``import qarn_py as qarn``) and, grouped by topic, in
the namespaces ``qarn.path``, ``qarn.robot``, ``qarn.constraints``, ``qarn.objective``,
``qarn.interpolation``, ``qarn.clarabel`` and ``qarn.solver.topp2``, ``qarn.solver.topp3``,
``qarn.solver.qarn2``, ``qarn.solver.qarn3``."""

_PACKAGE_DOC = __doc__

from . import _native  # noqa: E402
from ._native import *  # noqa: E402,F401,F403

# The star import also binds the native module's docstring; the package keeps its own.
__doc__ = _PACKAGE_DOC
del _PACKAGE_DOC

__all__ = [name for name in _native.__all__ if not name.startswith("__")]
__version__ = _native.__version__

# The namespaces the native module's docstring names; they are not in __all__, so a star import
# does not bind names as common as `path` in the importing module.
from . import clarabel, constraints, interpolation, objective, path, robot, solver  # noqa: E402,F401

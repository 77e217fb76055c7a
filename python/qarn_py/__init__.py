"""qarn_py: time-optimal and convex-objective speed profiles of robots along geometric paths."""

from . import _native
from ._native import *  # noqa: F401,F403

__all__ = [name for name in _native.__all__ if not name.startswith("__")]
__version__ = _native.__version__

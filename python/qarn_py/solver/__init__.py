"""The solver families, one module each: ``qarn.solver.topp2`` (time-optimal, second order, by
reachability), ``qarn.solver.topp3`` (time-optimal with jerk limits), ``qarn.solver.qarn2`` and
``qarn.solver.qarn3`` (convex objectives, second and third order); and ``Verbosity``, the
progress printing of their options."""

from .._native import Verbosity  # noqa: F401
from . import qarn2, qarn3, topp2, topp3  # noqa: F401

__all__ = ["topp2", "topp3", "qarn2", "qarn3", "Verbosity"]

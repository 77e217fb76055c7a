"""The Clarabel conic solver behind the QARN and third-order solvers: its settings
``ClarabelSettings``, the options ``ClarabelOptions`` (settings, verbosity, which statuses to
accept), the enums ``ClarabelDirectSolveMethod`` and ``ClarabelSolverStatus``, and the raw results
``ClarabelLinearSolverInfo``, ``Qarn2SocpResult`` and ``Qarn3ClarabelResult``."""

from ._native import (  # noqa: F401
    ClarabelDirectSolveMethod,
    ClarabelLinearSolverInfo,
    ClarabelOptions,
    ClarabelSettings,
    ClarabelSolverStatus,
    Qarn2SocpResult,
    Qarn3ClarabelResult,
)

__all__ = [
    "ClarabelSettings", "ClarabelOptions", "ClarabelDirectSolveMethod", "ClarabelSolverStatus",
    "ClarabelLinearSolverInfo", "Qarn2SocpResult", "Qarn3ClarabelResult",
]

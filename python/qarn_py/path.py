"""Geometric paths q(s): ``Path`` and its constructors, the evaluation result ``PathDerivatives``,
the construction settings ``SplineConfig`` and ``SmoothingConfig`` with the fit's
``SmoothingReport``, the enums ``MatrixLayout``, ``OutOfRangeMode`` and ``Parametrization``, and
``PathError``."""

from ._native import (  # noqa: F401
    MatrixLayout,
    OutOfRangeMode,
    Parametrization,
    Path,
    PathDerivatives,
    PathError,
    SmoothingConfig,
    SmoothingReport,
    SplineConfig,
)

__all__ = [
    "Path", "PathDerivatives", "SplineConfig", "SmoothingConfig", "SmoothingReport",
    "MatrixLayout", "OutOfRangeMode", "Parametrization", "PathError",
]

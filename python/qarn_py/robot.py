"""The robot model: ``Robot`` (dimension, station store, inverse-dynamics callback and the axial
velocity, acceleration, jerk and torque limits), the view of its store ``Constraints``, and the
``MatrixLayout`` of its matrix arguments."""

from ._native import Constraints, MatrixLayout, Robot  # noqa: F401

__all__ = ["Robot", "Constraints", "MatrixLayout"]

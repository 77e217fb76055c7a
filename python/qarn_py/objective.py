"""Objective terms of the QARN solvers: ``Time``, ``Linear``, ``ThermalEnergy`` and
``TotalVariationTorque``."""

from ._native import Linear, ThermalEnergy, Time, TotalVariationTorque  # noqa: F401

__all__ = ["Time", "Linear", "ThermalEnergy", "TotalVariationTorque"]

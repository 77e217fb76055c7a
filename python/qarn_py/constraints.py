"""The station store: ``Constraints`` (stations, path derivatives, raw constraint rows, windowing
and the violation checks ``exceed_topp2`` / ``exceed_topp3``) and ``ConstraintError``."""

from ._native import ConstraintError, Constraints  # noqa: F401

__all__ = ["Constraints", "ConstraintError"]

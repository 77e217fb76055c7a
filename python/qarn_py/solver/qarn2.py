"""Second-order profiles that minimise a weighted sum of convex objectives: the problem
``Qarn2Problem``, the solver ``qarn2_socp`` and its variant ``qarn2_socp_expert`` with the result
``Qarn2SocpResult``."""

from .._native import Qarn2Problem, Qarn2SocpResult, qarn2_socp, qarn2_socp_expert  # noqa: F401

__all__ = ["Qarn2Problem", "qarn2_socp", "qarn2_socp_expert", "Qarn2SocpResult"]

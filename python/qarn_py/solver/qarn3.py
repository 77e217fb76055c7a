"""Third-order (jerk-limited) profiles that minimise a weighted sum of convex objectives: the
problem ``Qarn3Problem``, the solver ``qarn3_socp`` and its variant ``qarn3_socp_expert`` with the
result ``Qarn3ClarabelResult``, and the profile ``Profile3rd``."""

from .._native import Profile3rd, Qarn3ClarabelResult, Qarn3Problem, qarn3_socp, qarn3_socp_expert  # noqa: F401

__all__ = ["Qarn3Problem", "qarn3_socp", "qarn3_socp_expert", "Qarn3ClarabelResult", "Profile3rd"]

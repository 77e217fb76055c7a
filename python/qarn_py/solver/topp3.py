"""Time-optimal profiles with jerk limits: the problem ``Topp3Problem``, the solvers ``topp3_lp``
and ``topp3_socp``, which return a ``Profile3rd``, and their variants ``topp3_lp_expert`` and
``topp3_socp_expert``, which return a ``Qarn3ClarabelResult``."""

from .._native import (  # noqa: F401
    Profile3rd,
    Qarn3ClarabelResult,
    Topp3Problem,
    topp3_lp,
    topp3_lp_expert,
    topp3_socp,
    topp3_socp_expert,
)

__all__ = ["Topp3Problem", "topp3_lp", "topp3_lp_expert", "topp3_socp", "topp3_socp_expert", "Profile3rd",
           "Qarn3ClarabelResult"]

"""Time-optimal second-order profiles by reachability analysis: the problem ``Topp2Problem``, the
options ``ReachSet2Options``, the solver ``topp2_ra``, and the reachable sets ``ReachSet2`` of
``reach_set2_backward`` and ``reach_set2_bidirectional``."""

from .._native import (  # noqa: F401
    ReachSet2,
    ReachSet2Options,
    Topp2Problem,
    reach_set2_backward,
    reach_set2_bidirectional,
    topp2_ra,
)

__all__ = ["Topp2Problem", "ReachSet2Options", "ReachSet2", "topp2_ra", "reach_set2_backward",
           "reach_set2_bidirectional"]

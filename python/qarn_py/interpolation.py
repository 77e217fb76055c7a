"""Conversions between the path parameter s and time: ``a_to_b_topp2``, ``s_to_t_topp2``,
``t_to_s_topp2``, ``t_to_s_topp2_uniform`` and ``t_to_s_topp2_samples`` for second-order
profiles, ``s_to_t_topp3``, ``t_to_s_topp3``, ``t_to_s_topp3_uniform`` and
``t_to_s_topp3_samples`` for third-order ones, and the third-order profile ``Profile3rd``."""

from ._native import (  # noqa: F401
    Profile3rd,
    a_to_b_topp2,
    s_to_t_topp2,
    s_to_t_topp3,
    t_to_s_topp2,
    t_to_s_topp2_samples,
    t_to_s_topp2_uniform,
    t_to_s_topp3,
    t_to_s_topp3_samples,
    t_to_s_topp3_uniform,
)

__all__ = [
    "a_to_b_topp2", "s_to_t_topp2", "t_to_s_topp2_uniform", "t_to_s_topp2_samples", "t_to_s_topp2",
    "s_to_t_topp3", "t_to_s_topp3_uniform", "t_to_s_topp3_samples", "t_to_s_topp3", "Profile3rd",
]

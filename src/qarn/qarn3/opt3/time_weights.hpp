// Per-station weights W of the traversal time of a third-order profile, T ~ sum_i W_i / sqrt(a_i):
// half the neighbouring intervals at a free station, and at a junction also the stationary
// segment, whose crossing under the stationary shape takes f (s_k - s_edge) / sqrt(a_k), f = 3 for
// a window wholly at constant jerk (RestWindowShape::time_factor of the window's share).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "qarn/rest_window.hpp"

namespace qarn::qarn3 {

// The stations that carry a time term, the inner stations max(k0, 1) ..= n - 1 - max(k1, 1): m of
// them (0 when the window is too short). Stations 0 and n - 1, where a may be zero, never do.
std::size_t time_term_count(std::size_t n, std::uint64_t k0, std::uint64_t k1);
inline std::size_t first_time_station(std::uint64_t k0) { return k0 > 0 ? static_cast<std::size_t>(k0) : 1; }

// Merged form: the stationary segment's weight is added to its junction station; stations inside
// the stationary blocks, and station 0 / n-1 when it is not a junction, weigh 0.
std::vector<double> time_objective_weights(std::span<const double> s, std::size_t n, std::uint64_t k0,
                                           std::uint64_t k1, RestWindowShapes shapes = {});

// The TOPP3 LP's weights: the slope of the traversal time sum_j W_j / sqrt(a_j) at the reference,
// W_j / (2 a_ref_j^(3/2)) (a_ref floored at `floor`, a NaN reference taking the floor), so that the
// linear program maximises the first-order gain in time. Weighting a alone (W_j) let a pass trade
// a near-zero a at one station, which costs time without bound, for more room elsewhere, and the
// next linearization around that near-zero a held it there.
std::vector<double> linearized_time_weights(std::span<const double> s, std::size_t n, std::uint64_t k0,
                                            std::uint64_t k1, RestWindowShapes shapes, std::span<const double> a_ref,
                                            double floor);

// Split form: the junction keeps only its free half interval and the stationary segment's weight
// sits on the rest station (index 0 or n-1).
std::vector<double> time_objective_weights_split(std::span<const double> s, std::size_t n, std::uint64_t k0,
                                                 std::uint64_t k1, RestWindowShapes shapes = {});

}  // namespace qarn::qarn3

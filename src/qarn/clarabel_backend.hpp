// From a conic solution to profile values: the a of an accepted solution made non-negative, and the
// stations whose first-order bound is zero put at rest. The second-order split is these two; the
// third-order one (qarn3/opt3/third_order_policy) adds the stationary ends and the b column.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "qarn/constraints.hpp"

namespace qarn {

// v where it is positive, +0.0 otherwise (an interior point a hair below zero, -0.0, NaN).
inline double nonnegative(double v) { return v > 0.0 ? v : 0.0; }

// The profile values a of an accepted solution: x[0 .. count), each made nonnegative as above.
std::vector<double> nonnegative_profile(std::span<const double> x, std::size_t count);

// Stations whose first-order bound is zero rest there: a = 0 exactly. The solver stops within its
// tolerance of that bound, on either side, and any a above a zero bound breaks it entirely.
void rest_where_bound_is_zero(const Constraints& store, std::uint64_t idx_s_start, std::span<double> a);

}  // namespace qarn

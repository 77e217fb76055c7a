// Row encodings that several conic stages share: each appends the rows of one small convex
// relation (with their right-hand sides) and leaves the cone to the caller, which lists its cones
// in its own order.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

#include "qarn/conic/program.hpp"

namespace qarn {

// u^2 <= a as the slacks (a + c, a - c, 2 sqrt(c) u) of one SecondOrderCone(3), c > 0 fixing where
// the cone is balanced (c = 1/4 gives (a + 1/4, a - 1/4, u)): three rows.
void push_sqrt_bound_rows(std::size_t a_col, std::size_t u_col, double c, ClarabelTriplets& triplets);

// u w >= 1 (u, w >= 0) as the slacks (u + w, u - w, 2) of one SecondOrderCone(3): three rows.
void push_reciprocal_rows(std::size_t u_col, std::size_t w_col, ClarabelTriplets& triplets);

// v >= |c . x - rhs| as two nonnegative rows, c . x - v <= rhs and -c . x - v <= -rhs, the
// entries of c in the given order, then v.
void push_absolute_value_rows(std::span<const std::pair<std::size_t, double>> c, double rhs, std::size_t v_col,
                              ClarabelTriplets& triplets);

}  // namespace qarn

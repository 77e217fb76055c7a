// The feasible set every third-order conic program shares, as conic rows over the variables
// a_i (column i) and b_i (column n + i) of the n stations of a problem window: boundary values,
// stationary junctions and the trapezoid dynamics as equalities; first-order, interval,
// second-order and linearized jerk rows as inequalities.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "diag/log.hpp"
#include "diag/result.hpp"
#include "qarn/conic/program.hpp"
#include "qarn/constraints.hpp"
#include "qarn/qarn3/formulation.hpp"

namespace qarn::qarn3 {

// Appends the blocks below in order, then one ZeroCone over the equality rows and one
// NonnegativeCone over the inequality rows; s holds the window's n path parameters. The problem
// must be built (its jerk rows linearized). The only failure: an inverted junction bound gives
// Infeasible from "clarabel_standard_constraint_topp3", the rows appended so far left in place.
// At DEBUG and TRACE one line follows each block.
template <Verbosity V>
Status clarabel_standard_constraint_topp3(const Topp3Problem& problem, std::span<const double> s,
                                          ClarabelTriplets& triplets, std::uint64_t k0, std::uint64_t k1);

// ---- the blocks, each appending rows without a cone ----

// a_k = ratio (s[k] - s_edge) b_k at the junction k of a stationary end (the start's k0, or the
// end's j = n - 1 - k1 with the edge s[n-1]); ratio 1.5 for a window wholly at constant jerk
// (RestWindowShape::ratio).
void add_stationary_boundary_row(std::span<const double> s, std::size_t n, std::uint64_t k, bool at_end,
                                 ClarabelTriplets& triplets, double ratio = 1.5);
// The junction rows (with the ratios of the problem's windows), then
// a_i - a_(i+1) + h_i (b_i + b_(i+1)) = 0 for i = k0 .. n-2-k1 (da/ds = 2b by the trapezoid rule),
// then the ZeroCone over every row appended since the record was empty.
void add_dynamic_zero_cone_constraints(std::span<const double> s, std::size_t n, std::uint64_t k0, std::uint64_t k1,
                                       ClarabelTriplets& triplets, RestWindowShapes shapes = {});
// The junction bounds of a from the stationary window, a_i >= 0 between the junctions and
// a_i <= amax_i where amax is finite, there and at the two end stations (whose a the boundary rows
// fix, at rest or moving). False when a junction's bounds are inverted.
bool add_first_order_constraints(const Topp3Problem& problem, std::size_t n, std::uint64_t k0, std::uint64_t k1,
                                 ClarabelTriplets& triplets);
// On every free interval, 2 a_i + h_i b_i >= 0 and 2 a_i + 2 h_i b_i + h_i b_(i+1) >= 0, which keep
// the interval's quadratic a(s) >= 0 but let it touch zero inside (where the time to cross it
// diverges), then a_i + h_i b_i >= 0: the middle Bezier ordinate of that quadratic, so that a(s)
// stays positive inside wherever one of its stations' a is.
void add_interval_first_order_constraints(std::span<const double> s, std::size_t n, std::uint64_t k0,
                                          std::uint64_t k1, ClarabelTriplets& triplets);

// On every free interval whose stations both have a finite first-order bound, a_i + h_i b_i <=
// max(amax_i, amax_(i+1)): the middle Bezier ordinate again, so that a(s) cannot bulge above the
// velocity bound between stations that both sit at it. Without it, b could alternate in sign from
// station to station at a cruise (a trapezoid rule's free mode), the speed exceeding its limit by
// 1.6% between stations on a straight line.
void add_interval_velocity_constraints(const Constraints& store, std::uint64_t idx_s_start, std::span<const double> s,
                                       std::size_t n, std::uint64_t k0, std::uint64_t k1, ClarabelTriplets& triplets);
// acc_a a_i + acc_b b_i <= acc_max at the first station, the stations strictly between the
// junctions and the last station: every end station's rows hold with its fixed boundary values.
void add_second_order_constraints(const Constraints& store, std::uint64_t idx_s_start, std::size_t n,
                                  std::uint64_t k0, std::uint64_t k1, ClarabelTriplets& triplets);
// The linearized jerk rows at the stations i = k0 ..= j (j = n-1-k1), c = db/ds taken on each
// free interval the station bounds: first the interval before it (i > k0, backward difference),
// then the interval after it (i < j, forward difference).
void add_third_order_constraints(const Constraints& store, std::uint64_t idx_s_start, std::span<const double> s,
                                 std::size_t n, std::uint64_t k0, std::uint64_t k1, ClarabelTriplets& triplets);

}  // namespace qarn::qarn3

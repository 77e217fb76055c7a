// Reachable sets of a second-order problem: per station the interval [a_min, a_max] of
// a = (ds/dt)^2 from which a_final can still be reached (backward), and which is also reachable
// from a_start (bidirectional). Each step bounds a two-variable LP over one station interval.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "diag/log.hpp"
#include "diag/result.hpp"
#include "math/numerical/lp_row.hpp"
#include "qarn/problem2.hpp"
#include "qarn/qarn2/dp2/a_units.hpp"
#include "qarn/qarn2/dp2/reach_set2_options.hpp"

namespace qarn::qarn2 {

// Entry k belongs to station idx_s_start + k; n + 1 entries for the window of n intervals.
struct ReachSet2 {
  std::vector<double> a_max;
  std::vector<double> a_min;
};

// Both run on a problem that passes Topp2ProblemBuilder and options that pass the option rule
// (both are checked again first); failures are Infeasible from "reach_set2". Lines are printed
// at the options' verbosity.
Result<ReachSet2> reach_set2_backward(const Topp2Problem& problem, const ReachSet2Options& options);
Result<ReachSet2> reach_set2_bidirectional(const Topp2Problem& problem, const ReachSet2Options& options);

// The backward pass in the copy of level V, for a caller that is itself specialised per level
// and has checked the problem and options (topp2_ra): above SILENT, `clock` is the start time of
// the elapsed line. The bounds are in the working `units` (the public passes return the caller's).
template <Verbosity V>
Result<ReachSet2> reach_set2_backward_at(const Topp2Problem& problem, const ReachSet2Options& options,
                                         const AUnits& units, const Stopwatch<V>& clock);

// ---- shared with the time-optimal forward walk and the conic solvers ----

// The test of one end's boundary value against its station's first-order bound amax: the message
// "The initial state a_start = .. cannot be greater than the maximum feasible state a_max[0] = ..
// at idx_s_start = .." (or its final form) when the value exceeds the bound by more than
// a_tolerance in working `units`; nothing when it does not.
std::optional<std::string> end_state_excess(const Topp2Problem& problem, bool initial, const ReachSet2Options& options,
                                            const AUnits& units);
// The same test of both ends with the default options, as every solver of the window applies it
// before solving: Infeasible from `component`.
Status check_end_states(std::string_view component, const Topp2Problem& problem);

// max(abs_tol, rel_tol * max(|u|, |v|)), NaN-ignoring.
double a_tolerance(const ReachSet2Options& options, double u, double v);
// The same widened by rel_tol * |scale|: the bounds of a station are compared at the scale of
// the neighbouring station's value as well.
double a_tolerance(const ReachSet2Options& options, double u, double v, double scale);
// u - v > tol: above; < -tol: below; otherwise (also NaN) approximately equal.
enum class ACompare { Below, ApproxEqual, Above };
ACompare compare_a(double difference, double tol);
// The bounds [lo, hi] of one set: Below when inverted by more than `tol`, ApproxEqual (one point)
// when their difference also lies within rel_tol of their own size, else Above. The absolute
// tolerance decides an inversion but never makes a set a point: a slow zone's [0, 1e-10] of the
// problem's scale is as wide as it is high, and its midpoint would halve the zone's speed limit.
ACompare compare_set(const ReachSet2Options& options, double hi, double lo, double tol);

// Scales every row to a unit normal; a row without a usable normal becomes (0, 0, 0).
void normalize_rows(std::span<Lp2dRow> rows);

}  // namespace qarn::qarn2

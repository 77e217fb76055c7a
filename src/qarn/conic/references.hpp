// The magnitudes a conic solve expects of its profile, station by station: the unit in which the
// scale stage (scaling.hpp) hands each variable to the solver. They must come from what binds: a
// unit far above the profile (a velocity limit far looser than the acceleration and jerk limits
// allow the motion to reach) leaves a to the solver's tolerance at that unit, and its equalities
// between a and b hold only to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "diag/solver_status.hpp"
#include "qarn/problem2.hpp"

namespace qarn {

// Per station of a window: the expected magnitude of a = (ds/dt)^2 and, for third-order solves,
// of b = dds/dt (empty for second-order ones). Every entry is positive and finite. `a_cap` holds
// the largest a each station can take where reachability tells it (empty where it cannot): no unit
// of a lies above it.
struct ProfileReference {
  std::vector<double> a;
  std::vector<double> b;
  std::vector<double> a_cap;
};

// The largest a the first- and second-order limits allow at every station of the window: the
// time-optimal profile of reachability analysis, which is the pointwise largest feasible one, also
// where it stops at two neighbouring stations. Empty when reachability fails.
std::vector<double> reachable_a(const Topp2Problem& window);

// Raises every entry to at least its neighbours' values shrunk by 16 per station of distance (NaN
// entries count as 0), so that a value far below both of its neighbours is lifted towards them.
void hold_within_neighbours(std::span<double> values);

// Makes every entry positive and finite: a zero (a rest station, a forced stop) or a value that is
// no number takes the largest of its neighbours' values shrunk by 16 per station of distance;
// `fallback` everywhere when no entry is positive.
void fill_from_neighbours(std::span<double> values, double fallback);

// Lowers each unit of a to its station's cap where the cap is positive. A station far below its
// neighbours (a slow zone: a velocity limit 1e-4 of the others) is lifted towards them when filled
// or held, but no profile can exceed its cap there, and at a unit far above its bound the solver
// meets the station's limit only to its tolerance at that unit.
void cap_units(ProfileReference& reference);

// The b reference of a profile a over stations s: half its slope (b = da/ds / 2) held within 16
// times the neighbours' values, at least the magnitude |b_hint| where a hint is given, and at least
// a over the window's length (the b that changes a by its own size along the window). At an
// interior station with a positive cap of a it is at most that cap over the shorter of its two
// intervals: the rows that keep a >= 0 inside each interval hold |b| there below a / h, and a slow
// zone's b, near a over h, would otherwise take the unit of its neighbours' slopes.
std::vector<double> b_reference(std::span<const double> s, std::span<const double> a,
                                std::span<const double> b_hint = {}, std::span<const double> a_cap = {});

// The reference of a second-order solve: the window's `reachable` a (reachable_a), else the stored
// limits' station scales, filled, and capped by `reachable`.
ProfileReference second_order_reference(const Topp2Problem& window, std::span<const double> reachable);

// The reference taken from a solution's profile (a, and b for third order), where the first one
// proved far from the solution: its positive finite values, the others filled from their
// neighbours (the earlier reference's largest a everywhere when the profile is at rest), and no a
// below 1e-3 of the largest, but none above the earlier reference's cap.
ProfileReference reference_of_profile(std::span<const double> s, std::span<const double> a,
                                      std::span<const double> b, const ProfileReference& earlier);

// Whether a solve should be repeated in the units of its own solution: its status is an inexact
// one the solver may reach because of poor units (AlmostSolved, InsufficientProgress,
// NumericalError, the almost-infeasible ones), or its profile a lies more than a factor 30 from the
// reference as a whole (the reference's largest value against the profile's), or rises more than
// 30 times above it at a station whose a is at least 1% of the profile's largest. A station far
// below its reference alone is no reason: the solver leaves its a to the tolerance at a unit within
// 30 times the profile's largest value, and the audit holds each of its rows in the row's own
// scale. Such stations are common where the jerk limits bind and the reference does not know them:
// next to a rest end, where the path barely moves and reachability lets a grow far beyond what the
// jerk allows, and in the dips of the profile.
bool needs_rescaled_solve(SolverStatus status, std::span<const double> a, const ProfileReference& reference);

// Floors a block of column scales at `fraction` of its largest value (an auxiliary variable
// expected near zero at the reference still needs a unit of the block's size).
void floor_relative(std::span<double> scales, double fraction = 1e-3);

}  // namespace qarn

// The default stationary window at a rest end (num_stationary_max=None): the planning policy that
// reads the constant-jerk phase of a motion from rest off the store's rows and a reference profile.
#pragma once

#include <cstdint>
#include <span>

#include "qarn/constraints.hpp"
#include "qarn/rest_window.hpp"

namespace qarn::qarn3 {

// How many intervals from the rest station `rest` towards `far` (both stored, either order) a
// motion from rest spends in its constant-jerk phase, at least 1 and at most `cap`: station j
// belongs while the motion at the largest jerk the rest station allows (a_j = the cube-root
// bound at d_j = s_j - s_rest, b_j = a_j / (1.5 d_j), db/ds = a_j / (4.5 d_j^2)) holds every
// row of j, with room for the speed to double (a_j <= amax_j / 4), and while |d_j| stays
// within a twelfth of the span to `far`: past half its speed, its acceleration limit or that
// twelfth (where a jerk-limited move between two rests turns), the jerk of an optimal motion
// changes.
std::uint64_t constant_jerk_intervals(const Constraints& store, std::uint64_t rest, std::uint64_t far,
                                      std::uint64_t cap);

// The window a default problem gives a rest end of the reference a_ref (a_ref[0] at station
// idx; the rest station is idx at the start, the last station at the end): the phase of an
// optimal motion that leaves rest at the largest jerk the rest station allows and stops rising
// at the reference's peak acceleration near that end, which reaches that acceleration at the
// distance peak^3 / (6 jerk^2). The whole intervals inside that distance (at least one, at most
// constant_jerk_intervals) at constant jerk; where an acceleration limit ends the phase inside
// the first interval, or inside the one after the limits' count, the window ends with that
// interval and the phase inside it (share < 1). A longer window than the motion's phase would
// hold the motion at constant jerk past its peak, which costs percent of the traversal time; a
// shorter one costs next to nothing. Without a jerk limit at the rest station or a rising
// reference: the limits' count, all at constant jerk.
RestPhase constant_jerk_phase(const Constraints& store, std::span<const double> a_ref, std::uint64_t idx, bool at_end,
                              std::uint64_t cap);

}  // namespace qarn::qarn3

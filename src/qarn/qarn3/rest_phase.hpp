// The default stationary window at a rest end (num_stationary_max=None): the planning policy that
// reads the constant-jerk phase of a motion from rest off the store's rows and the speed a
// reference profile reaches.
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
// idx; the rest station is idx at the start, the last station at the end): the constant-jerk
// phase of the time-optimal motion from rest at the largest jerk the rest station allows, which
// lasts while the stations' acceleration rows hold and the speed stays within half its cruise
// (the speed limit, or less where the reference's largest a, the speed the move reaches, is
// lower): the walk of constant_jerk_intervals with that cruise. The whole intervals inside it at
// constant jerk, at least one; where an acceleration limit ends it inside the next interval, or
// the acceleration or the speed inside the first, the window ends with that interval and the phase
// inside it (share < 1, see phase_share in the source: not the phase of the exact motion, whose b
// may fall before the junction, but the one that serves the window best). Where the speed ends it
// within a quarter of an interval past the last whole one, the window stops one interval short:
// a junction at the peak of b holds the intervals after it back, a shorter window costs next to
// nothing. A rest station whose jerk bound the next station cuts by more than half (a derivative
// zero up to rounding there) bounds no real jerk: one interval at constant jerk. Without a jerk
// limit at the rest station: the limits' count, all at constant jerk.
RestPhase constant_jerk_phase(const Constraints& store, std::span<const double> a_ref, std::uint64_t idx, bool at_end,
                              std::uint64_t cap);

}  // namespace qarn::qarn3

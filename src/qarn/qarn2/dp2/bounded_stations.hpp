// Whether the stored limits bound a = (ds/dt)^2 from above at every station of a window. A conic
// solver handed an unbounded a does not report unboundedness: it drifts towards ever larger values
// and stops with a huge profile. The conic solvers therefore ask here first.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "diag/result.hpp"
#include "qarn/problem2.hpp"

namespace qarn::qarn2 {

// The first station of the window at which the first- and second-order limits (the latter with b
// constant over each interval, as the second-order solvers read them) leave a without a finite
// upper bound, or nothing. One sweep proves the common cases bounded without solving anything: a
// station is bounded by a finite amax, by the fixed boundary values, or by a row that bounds it
// once its neighbour is bounded. Only when a station remains unproven does the bidirectional
// reachable set decide (a failing pass proves nothing here and gives nothing).
std::optional<std::uint64_t> first_unbounded_station(const Topp2Problem& problem);

// The conic solvers' check before assembly: Unbounded from `component`, "The reachable set is
// unbounded at index <i> where a_max = inf", when first_unbounded_station finds a station.
Status check_bounded_window(std::string_view component, const Topp2Problem& problem);

}  // namespace qarn::qarn2

// Why a conic solve of a window found no profile, where reachability analysis can tell: the first-
// and second-order limits leave no profile from a_start to a_final. The solver's own status says
// only that it stopped (an infeasibility certificate, or a false one of unboundedness on an
// objective that cannot be unbounded); the reachable sets name the station and the limit.
#pragma once

#include <optional>
#include <string_view>

#include "diag/result.hpp"
#include "diag/solver_status.hpp"
#include "qarn/problem2.hpp"

namespace qarn::qarn2 {

// Infeasible from `component` when the bidirectional reachable set of the window is empty
// somewhere: "No profile from a_start = .. to a_final = .. holds the first- and second-order limits
// (solver status <status>): <the reachable set's reason>". Nothing otherwise.
std::optional<CoreError> unreachable_ends(std::string_view component, const Topp2Problem& window, SolverStatus status);

}  // namespace qarn::qarn2

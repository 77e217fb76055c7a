// The QARN3 objectives evaluated on a finished third-order profile: the weighted value and every
// term unweighted, computed from a and b as the conic encoding reads them at its optimum, for the
// expert result.
#pragma once

#include "qarn/qarn2/opt2/objective_terms.hpp"
#include "qarn/qarn3/formulation.hpp"

namespace qarn::qarn3 {

// Never fails: when the profile does not hold one finite a and b per station of the window, the
// stations cannot be read or the torques cannot be evaluated (a failing inverse dynamics keeps its
// own report, for example the Python exception in the robot's error slot), the value is +inf and
// every term 0.0.
qarn2::ObjectiveTerms qarn3_objective_terms(const Qarn3Problem& problem, const Topp3Profile& profile);

}  // namespace qarn::qarn3

// TOPP3 LP: a jerk-limited time-optimal profile as a linear program. Over the a and b of every
// station it maximises the first-order gain in traversal time at the reference (a weighted sum of
// a) under the third-order standard constraints, whose jerk rows are linearized around the
// problem's reference.
#pragma once

#include "diag/result.hpp"
#include "qarn/conic/options.hpp"
#include "qarn/qarn3/formulation.hpp"
#include "qarn/qarn3/opt3/third_order_policy.hpp"

namespace qarn::qarn3 {

// Solves a built problem, with the robot state locked by the caller. An unaccepted status is no
// error: the result has no profile. Errors: the boundary and span checks (InvalidInput from
// "qarn3", "qarn3_socp" or "topp3_lp"), the store's error for an unreadable window, the inverted
// junction bound (Infeasible), a non-finite value bound for the solver (InvalidInput) and
// Clarabel's refusal (Clarabel), the last two from "topp3_lp". Prints by `options.verbosity`.
Result<Qarn3SocpResult> topp3_lp(const Topp3Problem& problem, const ClarabelOptions& options);

// The program topp3_lp solves, assembled silently (the benchmark times assembly and solve apart).
Result<PreparedProgram> topp3_lp_program(const Topp3Problem& problem);

// The accepted profile; Clarabel("topp3_lp", ...) when its audit fails, ClarabelStatus("topp3_lp", status)
// when the status is not accepted.
Result<Topp3Profile> topp3_lp_entry(const Topp3Problem& problem, const ClarabelOptions& options);

}  // namespace qarn::qarn3

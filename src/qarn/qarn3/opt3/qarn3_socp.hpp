// QARN3: the third-order profile (a and b at every station of a window) that meets the store's
// first- and second-order limits and the linearized jerk limits and minimises the weighted
// objective list, found as one second-order-cone program solved by Clarabel.
#pragma once

#include "diag/result.hpp"
#include "qarn/conic/options.hpp"
#include "qarn/qarn3/formulation.hpp"
#include "qarn/qarn3/opt3/third_order_policy.hpp"

namespace qarn::qarn3 {

// Solves a built problem, with the robot state locked by the caller (and the interpreter lock held
// when the robot's inverse dynamics calls Python). An unaccepted status is no error: the result
// has no profile. Errors: the boundary, span and objective checks (InvalidInput from "qarn3",
// "qarn3_socp"), the store's error for an unreadable window, the standard constraints' and the
// objective stage's errors, a non-finite value bound for the solver and Clarabel's refusal
// ("qarn3_socp"). Prints by `options.verbosity`.
Result<Qarn3SocpResult> qarn3_socp(const Qarn3Problem& problem, const ClarabelOptions& options);

// The program qarn3_socp solves, assembled silently (the benchmark times assembly and solve apart).
Result<PreparedProgram> qarn3_socp_program(const Qarn3Problem& problem);

// The accepted profile; Clarabel("qarn3_socp", ...) when its audit fails, ClarabelStatus("qarn3_socp", status)
// when the status is not accepted.
Result<Topp3Profile> qarn3_socp_entry(const Qarn3Problem& problem, const ClarabelOptions& options);

}  // namespace qarn::qarn3

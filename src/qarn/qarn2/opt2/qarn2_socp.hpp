// QARN2: the node profile a_k = (ds/dt)^2 over a problem window that meets the store's first- and
// second-order limits and the boundary values and minimises the weighted objective list, found as
// one second-order-cone program solved by Clarabel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "diag/result.hpp"
#include "diag/solver_status.hpp"
#include "qarn/conic/flow.hpp"
#include "qarn/conic/options.hpp"
#include "qarn/conic/program.hpp"
#include "qarn/problem2.hpp"

namespace qarn::qarn2 {

// One solve's raw outcome: the solver's vectors and statistics, present whatever the status, and
// the profile (N = n + 1 entries, the first N entries of x clamped at 0) only when the options
// accept the status and the profile passes its audit.
using Qarn2SocpOutcome = ConicOutcome<std::vector<double>>;

// Upper bounds of what the stages append, used to reserve the assembly arrays once.
struct Qarn2CapacityEstimate {
  std::size_t standard_values = 0;
  std::size_t standard_rhs = 0;
  std::size_t standard_cones = 0;
  std::size_t objective_values = 0;  // square-root stage included
  std::size_t objective_rhs = 0;
  std::size_t objective_cones = 0;
  std::size_t variables = 0;
};

// m2 is the number of second-order rows stored over the window, dim the robot's joint count.
Qarn2CapacityEstimate qarn2_capacity_estimate(std::size_t n, std::size_t m2, std::size_t dim,
                                              std::span<const ObjectiveView> objectives);

// The conic program of a problem exactly as qarn2_socp hands it to the solver, assembled silently
// (the benchmark times assembly and solve apart), and the magnitudes the scale stage gives its
// columns.
Result<PreparedProgram> qarn2_program(const Qarn2Problem& problem);

// Solves a problem that has passed Qarn2ProblemBuilder, with the robot state locked by the caller.
// An unusable status is no error: the outcome has no profile. Errors: Unbounded when the objective
// is the time alone and no limit bounds a, the objective stage's, a non-finite value that would
// reach the solver (InvalidInput), Clarabel's refusal (Clarabel), all from "qarn2_socp". Prints
// progress lines by `options.verbosity`.
Result<Qarn2SocpOutcome> qarn2_socp(const Qarn2Problem& problem, const ClarabelOptions& options);

// The accepted profile; CoreError::Clarabel("qarn2_socp", ...) when its audit fails, or
// CoreError::ClarabelStatus("qarn2_socp", status) when the options do not accept the final status.
Result<std::vector<double>> qarn2_socp_entry(const Qarn2Problem& problem, const ClarabelOptions& options);

}  // namespace qarn::qarn2

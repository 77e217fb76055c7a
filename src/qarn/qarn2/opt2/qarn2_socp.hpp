// QARN2: the node profile a_k = (ds/dt)^2 over a problem window that meets the store's first- and
// second-order limits and the boundary values and minimises the weighted objective list, found as
// one second-order-cone program solved by Clarabel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "diag/log.hpp"
#include "diag/result.hpp"
#include "diag/solver_status.hpp"
#include "qarn/clarabel_backend.hpp"
#include "qarn/conic_program.hpp"
#include "qarn/conic_scaling.hpp"
#include "qarn/problem2.hpp"

namespace qarn::qarn2 {

// One solve's raw outcome: the solver's vectors and statistics, present whatever the status, and
// the profile (N = n + 1 entries, the first N entries of x clamped at 0) only when the options
// accept the status.
struct Qarn2SocpOutcome : clarabel::SolveOutput {
  std::optional<std::vector<double>> profile;
};

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

// The conic program of a problem exactly as qarn2_socp hands it to the solver: the arrays reserved
// from the estimate, the standard, square-root and objective stages, then the compressed-column
// build, printing the assembly lines of level V. Errors are those of qarn2_socp before the solve.
template <Verbosity V>
Result<ConicProgram> qarn2_conic_program(const Qarn2Problem& problem);

// How the scale stage sees the program's columns: references from the window's stored limits and
// the column classes of qarn2_column_classes.
ColumnScaling qarn2_column_scaling(const Qarn2Problem& problem);

// Solves a problem that has passed Qarn2ProblemBuilder, with the robot state locked by the caller.
// An unusable status is no error: the outcome has no profile. Errors: the objective stage's, a
// non-finite value that would reach the solver (InvalidInput), Clarabel's refusal (Clarabel), all
// from "qarn2_socp". Prints progress lines by `options.verbosity`.
Result<Qarn2SocpOutcome> qarn2_socp(const Qarn2Problem& problem, const ClarabelOptions& options);

// The accepted profile, or CoreError::ClarabelStatus("qarn2_socp", status) when the options do not
// accept the final status.
Result<std::vector<double>> qarn2_socp_entry(const Qarn2Problem& problem, const ClarabelOptions& options);

}  // namespace qarn::qarn2

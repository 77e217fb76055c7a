// The one solver call of every conic solve, guarded so that vacuous rows and non-finite data never
// reach the interior-point method, and seen by the solver through the scale stage.
#pragma once

#include <string_view>

#include "diag/log.hpp"
#include "diag/result.hpp"
#include "qarn/clarabel_bridge.hpp"
#include "qarn/conic/log.hpp"
#include "qarn/conic/options.hpp"
#include "qarn/conic/program.hpp"
#include "qarn/conic/scaling.hpp"

namespace qarn {

// Clarabel's bound beyond which a value counts as infinite (its `INFINITY_DEFAULT`); its presolve
// reports removed rows with this slack and a zero dual.
inline constexpr double kClarabelInfinity = 1e20;

// The one solver call of every conic solve: a fresh Clarabel solver with
// `options.solver_settings()` on `program`, which it sees through the scale stage
// (scaling.hpp, `column_scale` giving the magnitude of each variable, `cost` how the cost is sized),
// so that the tolerances of the settings act relative to the problem's own scale. x, z, s, obj_val
// and obj_val_dual come back in the units of `program`; the residuals, iteration count and times
// are the solver's.
// Vacuous rows never reach the interior-point method: a nonnegative row whose bound is NaN ("no
// bound") or beyond Clarabel's infinity (+inf included), or that the one-entry equality rows
// decide and that holds at their values (a limit of an end station), is removed here, whether
// presolve is on or off, and reported as Clarabel's presolve reports the rows it removes (s at
// kClarabelInfinity, z zero), so z and s keep one entry per row of `program`. Any other
// non-finite entry of A, b or q is refused as CoreError::invalid_input(component, ...) before the
// call. Clarabel's refusal of the data is CoreError::clarabel(component, its text). A solve is
// never an error, whatever its status.
Result<clarabel::SolveOutput> solve_conic(std::string_view component, const ConicProgram& program,
                                          std::span<const double> column_scale, const ClarabelOptions& options,
                                          CostScale cost = CostScale::Entries);

// The solve stage of every conic flow: `solve_conic`, then "<name>: solve done, status = ..,
// elapsed = .." (SUMMARY and above, timed by the flow's clock) and "<name>: solution x_len=..,
// head=.." (TRACE). Nothing is printed when the call fails.
template <Verbosity V>
Result<clarabel::SolveOutput> solve_conic_stage(std::string_view name, const ConicProgram& program,
                                                std::span<const double> column_scale, const ClarabelOptions& options,
                                                const Stopwatch<V>& clock, CostScale cost = CostScale::Entries) {
  Result<clarabel::SolveOutput> solved = solve_conic(name, program, column_scale, options, cost);
  if (!solved) return solved;
  if constexpr (V >= Verbosity::Summary) log_line(solve_done_line(name, solved->status, clock.elapsed()));
  if constexpr (V >= Verbosity::Trace) log_line(solution_line(name, solved->x));
  return solved;
}

}  // namespace qarn

// Diagnostic lines shared by the conic solve flows. Every conic solver prints these lines with its
// own name in front; each helper formats one line for all of them, and the flows call the helpers
// only inside the verbosity branches that print them.
#pragma once

#include <chrono>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "diag/solver_status.hpp"
#include "qarn/conic/options.hpp"
#include "qarn/conic/program.hpp"

namespace qarn {

// [min, max] of the finite-or-infinite entries, NaN ignored; [+inf, -inf] when none.
std::pair<double, double> value_range(std::span<const double> v);

// "<name>: options snapshot -> allow(...), tol_gap_rel=.., tol_feas=.., max_iter=.., verbose=.."
std::string options_snapshot_line(std::string_view name, const ClarabelOptions& options);

// The first min(3, len) entries of x, for the "solution x_len=.., head=.." line.
inline std::span<const double> solution_head(std::span<const double> x) {
  return x.first(x.size() < 3 ? x.size() : 3);
}

// "+rows/+cols/+vals/+b/+cones": the growth of the five triplet arrays over one stage.
std::string triplet_delta(const TripletLengths& d);

// "<name>[<label>]: row=.., col=.., val=.., b=.., cones=..": the five array lengths after one block
// of a standard-constraint stage.
std::string block_lengths_line(std::string_view name, std::string_view label, const ClarabelTriplets& triplets);

// "<name>: allocated capacities row/col/val/b/cones <= r/c/v/b/k" (the reserved sizes).
std::string capacities_line(std::string_view name, const ClarabelTriplets& triplets);

// The lines of the QARN square-root and objective stages:
// "<name>: sqrt-a stage delta row/col/val/b/cones = +../+../+../+../+.., n_var_old=<n_var>",
// "<name>: objective stage delta row/col/val/b/cones/q = +../+../+../+../+../+<q_added>, q_range=[min, max]",
// "<name>: after objective assembly row=.., col=.., val=.., b=.., cones=.., q=<q length>".
std::string sqrt_stage_line(std::string_view name, const TripletLengths& delta, std::size_t n_var);
std::string objective_stage_line(std::string_view name, const TripletLengths& delta, std::size_t q_added,
                                 std::span<const double> q);
std::string after_objective_line(std::string_view name, const TripletLengths& lengths, std::size_t q_len);

// "<name>: ready to solve with row/col/val/b/cones = r/c/v/b/k and n_var = N."
std::string ready_to_solve_line(std::string_view name, const TripletLengths& assembled, std::size_t n_var);

// "<name>: matrix built with m=.., n=.., A.nnz=.., P.nnz=.." (the caller may append more fields).
std::string matrix_built_line(std::string_view name, const ConicProgram& program);

// "<name>: solve done, status = <status>, elapsed = <elapsed>."
std::string solve_done_line(std::string_view name, SolverStatus status, std::string_view elapsed);

// "<name>: solution x_len=.., head=[..]"
std::string solution_line(std::string_view name, std::span<const double> x);

// "<name>: allow(status)=<bool>, extracted_profile=<profile>" (profile: e.g. "Some(a)" or "None").
std::string acceptance_line(std::string_view name, bool usable, std::string_view profile);

}  // namespace qarn

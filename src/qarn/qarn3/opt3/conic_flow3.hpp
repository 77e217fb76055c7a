// The one solve flow of the third-order conic solvers (TOPP3 LP, TOPP3 SOCP, QARN3): checks,
// reserve, standard constraints, the solver's own stages, build, solve, accept and split. Each
// solver is a small policy type that supplies its name, its start line, its extra capacity and
// its stages; the flow is instantiated once per solver and verbosity level, so the SILENT
// instance formats nothing and reads no clock.
//
// A policy `Solver` provides:
//   using Problem = ...;                       // Topp3Problem or a record derived from it
//   static constexpr const char* kName;        // component and log prefix
//   static constexpr bool kSpanCheckFirst;     // index-span check before (true) or after the start line
//   static constexpr bool kQRangeInMatrixLine; // "matrix built" line ends with q_range
//   static std::string started_line(const Problem&);
//   static Status validate(const Problem&);    // checks after the index span
//   static Reserve3 extra_capacity(const Problem&);
//   static std::string capacity_line(const Reserve3& standard, const Reserve3& extra);
//   template <Verbosity V> static Status assemble(const Problem&, std::span<const double> s, Assembly3&);
//     (appends its rows after the standard constraints and leaves q with one entry per variable)
//   static std::vector<ColumnClass> extra_columns(const Problem&);
//     (how its variables beyond a and b scale with the profile references)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "diag/format.hpp"
#include "diag/log.hpp"
#include "diag/result.hpp"
#include "math/numerical/saturating.hpp"
#include "qarn/clarabel_backend.hpp"
#include "qarn/conic_log.hpp"
#include "qarn/conic_program.hpp"
#include "qarn/conic_scaling.hpp"
#include "qarn/conic_solve.hpp"
#include "qarn/profile_audit.hpp"
#include "qarn/profile_scale.hpp"
#include "qarn/qarn3/formulation.hpp"
#include "qarn/qarn3/opt3/clarabel_constraints.hpp"

namespace qarn::qarn3 {

// The result of every third-order conic solve: the solver's vectors and statistics whatever the
// status, and the profile only when the options accept the status.
struct Qarn3SocpResult : clarabel::SolveOutput {
  std::optional<Topp3Profile> profile;
};

// Reservation sizes of an assembly: entries (each of the row, column and value arrays),
// right-hand sides, cones and variables. Upper bounds, saturating instead of wrapping.
struct Reserve3 {
  std::uint64_t values = 0;
  std::uint64_t rhs = 0;
  std::uint64_t cones = 0;
  std::uint64_t variables = 0;

  Reserve3 operator+(const Reserve3& o) const {
    return {saturating_add(values, o.values), saturating_add(rhs, o.rhs), saturating_add(cones, o.cones),
            saturating_add(variables, o.variables)};
  }
};

// The standard constraints' share over a window of n stations holding r2 second-order and r3
// third-order rows: 11 (n-1) + 2 r2 + 6 r3 + 2 entries, 5 (n-1) + r2 + 2 r3 + 2 right-hand
// sides, 2 cones, and the 2n variables a and b.
Reserve3 standard_capacity3(std::size_t n, std::uint64_t r2, std::uint64_t r3);
// The standard share of a problem's window, its row counts read from the store's run maps.
Reserve3 standard_capacity3(const Topp3Problem& problem);

// "\n<name> started: <first> <= idx_s <= <last>, s_len = <n>, num_stationary=(<k0>, <k1>)." of the
// two time-optimal solvers.
inline std::string topp3_started_line(std::string_view name, const Topp3Problem& problem) {
  return fmt::format("\n{} started: {} <= idx_s <= {}, s_len = {}, num_stationary={}.", name, problem.idx_s_start,
                     problem.idx_s_final(), problem.s_len(), problem.num_stationary);
}

// An assembled third-order program with what its solve needs: the scale stage's description of
// the columns and the window's path parameters.
struct ThirdOrderProgram {
  ConicProgram program;
  ColumnScaling columns;
  std::vector<double> s;
};

// The program under assembly: constraint triplets and linear cost.
struct Assembly3 {
  ClarabelTriplets triplets;
  std::vector<double> q;
};

// Whether the window's jerk rows bound anything: without a finite one, nothing but the first- and
// second-order rows bounds a from above.
bool has_finite_jerk_row(const Topp3Problem& problem);

// A window whose a no stored limit bounds has no optimum (the solver would drift upwards):
// Unbounded from `component` before anything is assembled.
Status check_bounded3(std::string_view component, const Topp3Problem& problem);

// The solver's variables as the scale stage reads them: a and b by the window's profile
// references, then the solver's own classes.
ColumnScaling column_scaling3(const Topp3Problem& problem, std::vector<ColumnClass> extra);

// The profile of an accepted solution (split_ab_solution), audited against the stored limits to
// the options' profile tolerance; a profile that breaks them is the solver's Clarabel error.
Result<Topp3Profile> accepted_profile3(std::string_view component, const Topp3Problem& problem,
                                       const clarabel::SolveOutput& out, std::span<const double> s,
                                       const ClarabelOptions& options);

namespace detail {

template <class Solver, Verbosity V>
Assembly3 reserved_assembly3(const typename Solver::Problem& problem) {
  const Reserve3 standard = standard_capacity3(problem);
  const Reserve3 extra = Solver::extra_capacity(problem);
  const Reserve3 total = standard + extra;
  if constexpr (V >= Verbosity::Debug) log_line(Solver::capacity_line(standard, extra));
  Assembly3 assembly;
  assembly.triplets.reserve(total.values, total.rhs, total.cones);
  assembly.q.reserve(total.variables);
  if constexpr (V >= Verbosity::Trace) log_line(capacities_line(Solver::kName, assembly.triplets));
  return assembly;
}

template <class Solver, Verbosity V>
Result<ConicProgram> build_stage3(Assembly3&& assembly) {
  const TripletLengths assembled = assembly.triplets.lengths();
  const std::size_t n_var = assembly.q.size();
  Result<ConicProgram> program = make_conic_program(Solver::kName, std::move(assembly.triplets), std::move(assembly.q));
  if (!program) return program;
  if constexpr (V >= Verbosity::Trace) {
    std::string line = matrix_built_line(Solver::kName, *program);
    if constexpr (Solver::kQRangeInMatrixLine) {
      const auto [q_min, q_max] = value_range(program->q);
      line += fmt::format(", q_range=[{}, {}]", q_min, q_max);
    }
    log_line(line);
  }
  if constexpr (V >= Verbosity::Summary) log_line(ready_to_solve_line(Solver::kName, assembled, n_var));
  return program;
}

}  // namespace detail

// The program of a problem exactly as the solver `Solver` hands it to the scale stage: the arrays
// reserved from the capacity estimate, the standard constraints, the solver's own stages and the
// compressed-column build, printing the assembly lines of level V; with the column classes of its
// variables and the window's s. Errors are those of the flow's assembly.
template <class Solver, Verbosity V>
Result<ThirdOrderProgram> third_order_program(const typename Solver::Problem& problem) {
  const std::size_t n = problem.s_len();
  Assembly3 assembly = detail::reserved_assembly3<Solver, V>(problem);
  Result<std::vector<double>> s =
      problem.constraints.s_values(problem.idx_s_start, saturating_add(problem.idx_s_start, n));
  if (!s) return std::move(s).error();

  const TripletLengths before = assembly.triplets.lengths();
  QARN_TRY(clarabel_standard_constraint_topp3<V>(problem, *s, assembly.triplets, problem.num_stationary.first,
                                                 problem.num_stationary.second));
  if constexpr (V >= Verbosity::Trace) {
    log_line(fmt::format("{}: standard-constraints delta row/col/val/b/cones = {}", Solver::kName,
                         triplet_delta(assembly.triplets.lengths() - before)));
  }
  QARN_TRY(Solver::template assemble<V>(problem, *s, assembly));

  Result<ConicProgram> program = detail::build_stage3<Solver, V>(std::move(assembly));
  if (!program) return std::move(program).error();
  return ThirdOrderProgram{std::move(*program), column_scaling3(problem, Solver::extra_columns(problem)),
                           std::move(*s)};
}

namespace detail {

template <class Solver, Verbosity V>
Result<Qarn3SocpResult> third_order_flow(const typename Solver::Problem& problem, const ClarabelOptions& options) {
  constexpr const char* kName = Solver::kName;
  const Stopwatch<V> clock;
  if constexpr (V >= Verbosity::Trace) log_line(options_snapshot_line(kName, options));
  QARN_TRY(check_boundary_values(problem.a_start, problem.a_final, problem.b_start, problem.b_final));
  const std::size_t n = problem.s_len();
  if constexpr (Solver::kSpanCheckFirst) QARN_TRY(check_index_span(kName, problem.idx_s_start, n));
  if constexpr (V >= Verbosity::Summary) log_line(Solver::started_line(problem));
  if constexpr (!Solver::kSpanCheckFirst) QARN_TRY(check_index_span(kName, problem.idx_s_start, n));
  // Built records always pass; a record made by hand must not send the stages past the window.
  QARN_TRY(check_station_intervals(kName, n, problem.num_stationary.first, problem.num_stationary.second));
  QARN_TRY(Solver::validate(problem));
  QARN_TRY(check_bounded3(kName, problem));

  Result<ThirdOrderProgram> assembled = third_order_program<Solver, V>(problem);
  if (!assembled) return std::move(assembled).error();
  Result<clarabel::SolveOutput> solved =
      solve_conic_stage<V>(kName, assembled->program, assembled->columns, options, clock);
  if (!solved) return std::move(solved).error();

  Qarn3SocpResult result;
  const bool usable = options.allow(solved->status);
  if (usable) {
    Result<Topp3Profile> profile = accepted_profile3(kName, problem, *solved, assembled->s, options);
    if (!profile) return std::move(profile).error();
    result.profile = std::move(*profile);
  }
  if constexpr (V >= Verbosity::Trace) {
    log_line(acceptance_line(kName, usable, result.profile ? "Some(Topp3Profile)" : "None"));
  }
  static_cast<clarabel::SolveOutput&>(result) = std::move(*solved);
  return result;
}

}  // namespace detail

// Runs the flow of `Solver` at the options' verbosity. An unaccepted status is no error: the
// result has no profile.
template <class Solver>
Result<Qarn3SocpResult> solve_third_order(const typename Solver::Problem& problem, const ClarabelOptions& options) {
  return with_verbosity(options.verbosity, [&](auto level) {
    return detail::third_order_flow<Solver, decltype(level)::value>(problem, options);
  });
}

// The accepted profile alone, or ClarabelStatus from the solver when the status is not accepted.
template <class Solver>
Result<Topp3Profile> third_order_entry(const typename Solver::Problem& problem, const ClarabelOptions& options) {
  Result<Qarn3SocpResult> result = solve_third_order<Solver>(problem, options);
  if (!result) return std::move(result).error();
  if (!result->profile) return CoreError::clarabel_status(Solver::kName, result->status);
  return std::move(*result->profile);
}

}  // namespace qarn::qarn3

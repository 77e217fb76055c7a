// The one solve flow of every conic solver (QARN2, TOPP3 LP, TOPP3 SOCP, QARN3): the solver's
// checks, the window's reachability (a window whose largest profile never arrives is refused
// there, before anything is assembled), the reservation, its assembly stages, the
// compressed-column build, the profile references, the solve through the scale stage, acceptance,
// the split into a profile and its audit. Each solver is a small policy type; the flow is instantiated once per solver and
// verbosity level, so the SILENT instance formats nothing and reads no clock.
//
// Where the first solve ends inexactly, its profile fails the audit, or its profile lies far from
// the references (the references are estimates: a velocity limit the motion never reaches, a
// reference profile far from the result), the same program is solved once more in the units of the
// first solution, and the better of the two outcomes is kept.
//
// Memory that runs out inside a stage raises OutOfMemory naming the stage and about how much it
// needed (memory_needs.hpp).
//
// A policy `Solver` provides:
//   using Problem, Profile, Context;           // Context: what assembly computes for the later stages
//   static constexpr const char* kName;        // component and log prefix
//   static constexpr const char* kSomeProfile; // "Some(a)" / "Some(Topp3Profile)" in the trace line
//   static constexpr bool kReadyBeforeMatrix;  // order of the "ready to solve" and "matrix built" lines
//   static constexpr bool kQRangeInMatrixLine; // "matrix built" line ends with q_range
//   template <Verbosity V> static Status begin(const Problem&, const ClarabelOptions&);
//     (its lines and checks before anything is assembled)
//   template <Verbosity V> static void reserve(const Problem&, Assembly&);  (with its capacity line)
//   template <Verbosity V> static Status assemble(const Problem&, Context&, Assembly&);
//     (every stage; sets assembly.constraint_rows after its constraint stage)
//   static Topp2Problem window(const Problem&);  // the window as the second-order checks read it
//   static ProfileReference reference(const Problem&, const Context&, std::span<const double> reachable);
//   static ProfileReference reference_from(const Problem&, const Context&, const Profile&, const ProfileReference&);
//   static std::vector<double> column_scales(const Problem&, const Context&, const ProfileReference&);
//   static Profile split(const Problem&, const Context&, const clarabel::SolveOutput&);
//   static std::span<const double> profile_a(const Profile&);
//   static std::vector<double> audit_values(const Profile&);  // the profile's columns, in order
//   static std::optional<std::string> where_it_stops(const Problem&, const Context&, const Profile&);
//     (why an audited profile never arrives, or none: an objective that weighs the time has no
//     optimum there, so such a profile is refused as the audit's failures are)
//   static std::size_t stations(const Problem&);
//   static std::optional<CoreError> explain_unsolved(const Problem&, SolverStatus);
//     (why no status was usable, where the solver can tell more than the status)
// and may provide
//   static CostScale estimated_units_cost(const Problem&);  // the first solve's cost (default: BoundedEntries)
#pragma once

#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "diag/format.hpp"
#include "diag/log.hpp"
#include "diag/result.hpp"
#include "qarn/conic/audit.hpp"
#include "qarn/conic/log.hpp"
#include "qarn/conic/memory_needs.hpp"
#include "qarn/conic/options.hpp"
#include "qarn/conic/program.hpp"
#include "qarn/conic/references.hpp"
#include "qarn/conic/solve.hpp"
#include "qarn/arrival.hpp"

namespace qarn {

// The outcome of every conic solve: the solver's vectors and statistics whatever the status; the
// profile only when the options accept the status, the profile passes its audit and it arrives;
// the audit's finding when an accepted status gave a profile that failed it, or where the profile
// stops (`never_arrives`) when it passed the audit but never arrives. A window refused before the
// solve, where no profile arrives, has status Unsolved, no vectors and the reason.
template <class Profile>
struct ConicOutcome : clarabel::SolveOutput {
  std::optional<Profile> profile;
  std::optional<std::string> audit_failure;
  bool never_arrives = false;
};

namespace detail {

// How the first solve, in the units the references estimate, sizes the cost; the second one, in a
// solution's units, sizes it by its entries alone: another sizing, under which most solves that the
// first one ends inexactly are finished.
template <class Solver>
CostScale estimated_units_cost(const typename Solver::Problem& problem) {
  if constexpr (requires { Solver::estimated_units_cost(problem); }) {
    return Solver::estimated_units_cost(problem);
  } else {
    return CostScale::BoundedEntries;
  }
}

template <class Solver, Verbosity V>
Result<ConicProgram> build_stage(Assembly&& assembly) {
  const TripletLengths assembled = assembly.triplets.lengths();
  const std::size_t n_var = assembly.q.size();
  Result<ConicProgram> program = make_conic_program(Solver::kName, std::move(assembly));
  if (!program) return program;
  const auto ready = [&] {
    if constexpr (V >= Verbosity::Summary) log_line(ready_to_solve_line(Solver::kName, assembled, n_var));
  };
  if constexpr (Solver::kReadyBeforeMatrix) ready();
  if constexpr (V >= Verbosity::Trace) {
    std::string line = matrix_built_line(Solver::kName, *program);
    if constexpr (Solver::kQRangeInMatrixLine) {
      const auto [q_min, q_max] = value_range(program->q);
      line += fmt::format(", q_range=[{}, {}]", q_min, q_max);
    }
    log_line(line);
  }
  if constexpr (!Solver::kReadyBeforeMatrix) ready();
  return program;
}

// One solve judged: the outcome, and how good it is (an audited profile that arrives beats an
// accepted one that failed its audit or never arrives, which beats none; then Solved beats the
// inexact statuses).
template <class Profile>
struct Judged {
  ConicOutcome<Profile> outcome;
  int rank = 0;
};

template <class Solver>
Judged<typename Solver::Profile> judge(const typename Solver::Problem& problem, const typename Solver::Context& context,
                                      const ConicProgram& program, std::span<const double> units,
                                      clarabel::SolveOutput&& out, const ClarabelOptions& options) {
  Judged<typename Solver::Profile> judged;
  if (options.allow(out.status)) {
    typename Solver::Profile profile = Solver::split(problem, context, out);
    const RowAudit audit = audit_constraint_rows(program, Solver::audit_values(profile), Solver::stations(problem),
                                                 problem.idx_s_start, options.profile_tolerance(), units);
    const bool holds = audit.holds();
    std::optional<std::string> stop = holds ? Solver::where_it_stops(problem, context, profile) : std::nullopt;
    if (holds && !stop) {
      judged.outcome.profile = std::move(profile);
      judged.rank = 2;
    } else {
      judged.outcome.never_arrives = stop.has_value();
      judged.outcome.audit_failure = stop ? std::move(*stop) : audit.describe();
      judged.rank = 1;
    }
  }
  judged.rank = 2 * judged.rank + (out.status == SolverStatus::Solved ? 1 : 0);
  static_cast<clarabel::SolveOutput&>(judged.outcome) = std::move(out);
  return judged;
}

template <class Solver, Verbosity V>
Result<ConicOutcome<typename Solver::Profile>> conic_flow(const typename Solver::Problem& problem,
                                                          const ClarabelOptions& options) {
  constexpr const char* kName = Solver::kName;
  const Stopwatch<V> clock;
  Assembly assembly;
  // Each stage names itself and its need when memory runs out inside it.
  const auto stage = [&](ConicStage at, auto&& body) -> decltype(auto) {
    const auto size = [&] { return ProgramSize{Solver::stations(problem), assembly.reserved}; };
    return in_stage(kName, at, size, body);
  };
  QARN_TRY(stage(ConicStage::Check, [&] { return Solver::template begin<V>(problem, options); }));
  // The window's largest profile: the references' first estimate, and where it stops at two
  // neighbouring stations, so does every profile.
  const Topp2Problem window = Solver::window(problem);
  const std::vector<double> reachable = stage(ConicStage::Check, [&] { return reachable_a(window); });
  if (std::optional<std::string> stop = where_window_stops(window, reachable)) {
    ConicOutcome<typename Solver::Profile> refused;
    refused.audit_failure = std::move(stop);
    refused.never_arrives = true;
    return refused;
  }

  stage(ConicStage::Reserve, [&] { Solver::template reserve<V>(problem, assembly); });
  if constexpr (V >= Verbosity::Trace) log_line(capacities_line(kName, assembly.triplets));
  typename Solver::Context context;
  QARN_TRY(stage(ConicStage::Assemble, [&] { return Solver::template assemble<V>(problem, context, assembly); }));
  Result<ConicProgram> program =
      stage(ConicStage::Build, [&] { return build_stage<Solver, V>(std::move(assembly)); });
  if (!program) return std::move(program).error();

  ProfileReference reference = stage(ConicStage::Units, [&] { return Solver::reference(problem, context, reachable); });
  std::vector<double> units =
      stage(ConicStage::Units, [&] { return Solver::column_scales(problem, context, reference); });
  Result<clarabel::SolveOutput> solved = stage(ConicStage::Solve, [&] {
    return solve_conic_stage<V>(kName, *program, units, options, clock, estimated_units_cost<Solver>(problem));
  });
  if (!solved) return std::move(solved).error();
  Judged<typename Solver::Profile> best = stage(ConicStage::Profile, [&] {
    return judge<Solver>(problem, context, *program, units, std::move(*solved), options);
  });

  // The second look, in the units of the first solution.
  const ConicOutcome<typename Solver::Profile>& first = best.outcome;
  if (!first.x.empty()) {
    const typename Solver::Profile seen = stage(ConicStage::Profile, [&] {
      return first.profile ? *first.profile : Solver::split(problem, context, first);
    });
    if (first.audit_failure || needs_rescaled_solve(first.status, Solver::profile_a(seen), reference)) {
      stage(ConicStage::Units, [&] {
        reference = Solver::reference_from(problem, context, seen, reference);
        units = Solver::column_scales(problem, context, reference);
      });
      Result<clarabel::SolveOutput> again =
          stage(ConicStage::Solve, [&] { return solve_conic_stage<V>(kName, *program, units, options, clock); });
      if (!again) return std::move(again).error();
      Judged<typename Solver::Profile> second = stage(ConicStage::Profile, [&] {
        return judge<Solver>(problem, context, *program, units, std::move(*again), options);
      });
      if (second.rank >= best.rank) best = std::move(second);
    }
  }
  if constexpr (V >= Verbosity::Trace) {
    log_line(acceptance_line(kName, options.allow(best.outcome.status),
                             best.outcome.profile ? Solver::kSomeProfile : "None"));
  }
  return std::move(best.outcome);
}

}  // namespace detail

// A program exactly as the solver `Solver` hands it to the scale stage, assembled silently (the
// benchmarks time assembly and solve apart), with the magnitudes and the cost sizing the scale
// stage gives it in the first solve.
struct PreparedProgram {
  ConicProgram program;
  std::vector<double> column_scales;
  CostScale cost_scale = CostScale::BoundedEntries;
};

template <class Solver>
Result<PreparedProgram> prepare_program(const typename Solver::Problem& problem) {
  Assembly assembly;
  Solver::template reserve<Verbosity::Silent>(problem, assembly);
  typename Solver::Context context;
  QARN_TRY(Solver::template assemble<Verbosity::Silent>(problem, context, assembly));
  Result<ConicProgram> program = make_conic_program(Solver::kName, std::move(assembly));
  if (!program) return std::move(program).error();
  const std::vector<double> reachable = reachable_a(Solver::window(problem));
  std::vector<double> scales = Solver::column_scales(problem, context, Solver::reference(problem, context, reachable));
  return PreparedProgram{std::move(*program), std::move(scales), detail::estimated_units_cost<Solver>(problem)};
}

// Runs the flow of `Solver` at the options' verbosity. An unaccepted status is no error: the
// outcome has no profile.
template <class Solver>
Result<ConicOutcome<typename Solver::Profile>> solve_conic_problem(const typename Solver::Problem& problem,
                                                                   const ClarabelOptions& options) {
  return with_verbosity(options.verbosity, [&](auto level) {
    return detail::conic_flow<Solver, decltype(level)::value>(problem, options);
  });
}

// The accepted profile alone: the audit's failure as a Clarabel error, a profile that never
// arrives as Infeasible (as topp2_ra reports one), an unaccepted status as the solver's
// explanation of it or else as ClarabelStatus, all from the solver.
template <class Solver>
Result<typename Solver::Profile> conic_entry(const typename Solver::Problem& problem, const ClarabelOptions& options) {
  Result<ConicOutcome<typename Solver::Profile>> outcome = solve_conic_problem<Solver>(problem, options);
  if (!outcome) return std::move(outcome).error();
  if (outcome->never_arrives) return CoreError::infeasible(Solver::kName, *outcome->audit_failure);
  if (outcome->audit_failure) return failed_audit_error(Solver::kName, outcome->status, *outcome->audit_failure);
  if (!outcome->profile) {
    if (std::optional<CoreError> why = Solver::explain_unsolved(problem, outcome->status)) return std::move(*why);
    return CoreError::clarabel_status(Solver::kName, outcome->status);
  }
  return std::move(*outcome->profile);
}

}  // namespace qarn

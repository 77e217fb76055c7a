// The QARN2 solve flow as a sequence of stages: reserve from the estimate, standard constraints,
// square-root stage, objective stage, build, the shared solve stage, acceptance. One instance per
// verbosity level, so the SILENT flow formats nothing and reads no clock.
#include "qarn/qarn2/opt2/qarn2_socp.hpp"

#include <string>
#include <utility>

#include "diag/format.hpp"
#include "diag/log.hpp"
#include "qarn/conic_log.hpp"
#include "qarn/conic_solve.hpp"
#include "qarn/profile_audit.hpp"
#include "qarn/profile_scale.hpp"
#include "qarn/qarn2/dp2/bounded_stations.hpp"
#include "qarn/qarn2/opt2/objective_assembly.hpp"
#include "qarn/qarn2/opt2/standard_constraints.hpp"

namespace qarn::qarn2 {
namespace {

constexpr const char* kName = "qarn2_socp";

}  // namespace

Qarn2CapacityEstimate qarn2_capacity_estimate(std::size_t n, std::size_t m2, std::size_t dim,
                                              std::span<const ObjectiveView> objectives) {
  // Every factor counts data that the store already holds in memory (stations, rows, axes), so
  // these small multiples cannot overflow a 64-bit size.
  Qarn2CapacityEstimate e;
  const std::size_t big_n = n + 1;
  e.standard_values = 2 * n + 4 * m2 + 2;
  e.standard_rhs = 2 * (m2 + n) + 2;
  e.standard_cones = 3;
  if (needs_sqrt_a(objectives)) {
    e.objective_values = 4 * big_n;
    e.objective_rhs = 4 * big_n;
    e.objective_cones = n + 2;
    e.variables = 2 * big_n;
  } else {
    e.variables = big_n;
  }
  for (const ObjectiveView& o : objectives) {
    switch (o.kind) {
      case ObjectiveKind::Time:
        e.objective_values += 6 * n;
        e.objective_rhs += 3 * n;
        e.objective_cones += n;
        e.variables += n;
        break;
      case ObjectiveKind::ThermalEnergy:
        e.objective_values += (2 * dim + 6) * n;
        e.objective_rhs += (dim + 2) * n;
        e.objective_cones += n;
        e.variables += n;
        break;
      case ObjectiveKind::TotalVariationTorque:
        e.objective_values += 8 * dim * n;
        e.objective_rhs += 2 * dim * n;
        e.objective_cones += 1;
        e.variables += dim * n;
        break;
      default:  // Linear: cost only
        break;
    }
  }
  return e;
}

namespace {

// The program under assembly: the constraint triplets and the linear cost.
struct Assembly {
  ClarabelTriplets triplets;
  std::vector<double> q;
};

// Reserves the arrays once from the capacity estimate, so that no stage reallocates.
template <Verbosity V>
Assembly reserved_assembly(const Qarn2Problem& problem) {
  const Robot& robot = problem.robot;
  const std::size_t n = problem.idx_s_final - problem.idx_s_start;
  const std::size_t m2 = robot.constraints().acc_runs().rows_in_range(problem.idx_s_start, problem.idx_s_final + 1);
  const Qarn2CapacityEstimate est = qarn2_capacity_estimate(n, m2, robot.dim(), problem.objectives);
  Assembly assembly;
  assembly.triplets.reserve(est.standard_values + est.objective_values, est.standard_rhs + est.objective_rhs,
                            est.objective_cones + est.standard_cones);
  assembly.q.reserve(est.variables);
  if constexpr (V >= Verbosity::Debug) {
    log_line(fmt::format("qarn2_socp: capacity estimate std(val={}, b={}, cone={}), obj(val={}, b={}, cone={}), "
                         "n_vars={}.",
                         est.standard_values, est.standard_rhs, est.standard_cones, est.objective_values,
                         est.objective_rhs, est.objective_cones, est.variables));
  }
  if constexpr (V >= Verbosity::Trace) log_line(capacities_line(kName, assembly.triplets));
  return assembly;
}

template <Verbosity V>
void standard_stage(const Qarn2Problem& problem, Assembly& assembly) {
  const TripletLengths before = assembly.triplets.lengths();
  clarabel_standard_constraint_topp2<V>(problem, assembly.triplets);
  if constexpr (V >= Verbosity::Trace) {
    log_line(fmt::format("qarn2_socp: standard-constraints delta row/col/val/b/cones = {}",
                         triplet_delta(assembly.triplets.lengths() - before)));
  }
}

// After the stage q holds one 0.0 per variable.
template <Verbosity V>
void sqrt_a_stage(const Qarn2Problem& problem, Assembly& assembly) {
  const std::size_t n = problem.idx_s_final - problem.idx_s_start;
  const TripletLengths before = assembly.triplets.lengths();
  const std::size_t n_var =
      add_sqrt_a_stage(n, problem.objectives, assembly.triplets, problem.a_start, problem.a_final);
  assembly.q.assign(n_var, 0.0);
  if constexpr (V >= Verbosity::Trace) {
    log_line(sqrt_stage_line(kName, assembly.triplets.lengths() - before, n_var));
  }
}

template <Verbosity V>
Status objective_stage(const Qarn2Problem& problem, Assembly& assembly) {
  const TripletLengths before = assembly.triplets.lengths();
  const std::size_t vars_before = assembly.q.size();
  QARN_TRY(clarabel_objective_qarn2(problem, assembly.triplets, assembly.q));
  const TripletLengths after = assembly.triplets.lengths();
  if constexpr (V >= Verbosity::Trace) {
    log_line(objective_stage_line(kName, after - before, assembly.q.size() - vars_before, assembly.q));
  }
  if constexpr (V >= Verbosity::Debug) log_line(after_objective_line(kName, after, assembly.q.size()));
  return {};
}

template <Verbosity V>
Result<ConicProgram> build_stage(Assembly&& assembly) {
  const TripletLengths assembled = assembly.triplets.lengths();
  const std::size_t n_var = assembly.q.size();
  Result<ConicProgram> program = make_conic_program(kName, std::move(assembly.triplets), std::move(assembly.q));
  if (!program) return program;
  if constexpr (V >= Verbosity::Summary) log_line(ready_to_solve_line(kName, assembled, n_var));
  if constexpr (V >= Verbosity::Trace) log_line(matrix_built_line(kName, *program));
  return program;
}

}  // namespace

template <Verbosity V>
Result<ConicProgram> qarn2_conic_program(const Qarn2Problem& problem) {
  Assembly assembly = reserved_assembly<V>(problem);
  standard_stage<V>(problem, assembly);
  sqrt_a_stage<V>(problem, assembly);
  QARN_TRY(objective_stage<V>(problem, assembly));
  return build_stage<V>(std::move(assembly));
}

template Result<ConicProgram> qarn2_conic_program<Verbosity::Silent>(const Qarn2Problem&);
template Result<ConicProgram> qarn2_conic_program<Verbosity::Summary>(const Qarn2Problem&);
template Result<ConicProgram> qarn2_conic_program<Verbosity::Debug>(const Qarn2Problem&);
template Result<ConicProgram> qarn2_conic_program<Verbosity::Trace>(const Qarn2Problem&);

namespace {

// A window whose a no stored limit bounds has no optimum: the solver would only drift upwards.
Status bounded_stage(const Qarn2Problem& problem) {
  const Topp2Problem window{problem.robot.constraints(), problem.idx_s_start, problem.idx_s_final, problem.a_start,
                            problem.a_final};
  return check_bounded_window(kName, window);
}

// The profile of an accepted solution: the first N entries of x, clamped at zero, with the fixed
// boundary values written exactly; it must hold every stored limit to the options' profile tolerance.
template <Verbosity V>
Result<Qarn2SocpOutcome> accept_stage(const Qarn2Problem& problem, clarabel::SolveOutput&& out,
                                      const ClarabelOptions& options) {
  const std::size_t big_n = problem.idx_s_final - problem.idx_s_start + 1;
  Qarn2SocpOutcome outcome;
  const bool usable = options.allow(out.status);
  if (usable) {
    std::vector<double> a = nonnegative_profile(out.x, big_n);
    rest_where_bound_is_zero(problem.robot.constraints(), problem.idx_s_start, a);
    // The equality rows hold only to the solver's tolerance; the ends are the given values.
    a.front() = problem.a_start;
    a.back() = problem.a_final;
    const ProfileAudit audit = audit_second_order_profile(problem.robot.constraints(), problem.idx_s_start, a, options.profile_tolerance());
    if (!audit.holds()) return broken_profile_error(kName, out.status, audit);
    outcome.profile = std::move(a);
  }
  if constexpr (V >= Verbosity::Trace) log_line(acceptance_line(kName, usable, outcome.profile ? "Some(a)" : "None"));
  static_cast<clarabel::SolveOutput&>(outcome) = std::move(out);
  return outcome;
}

template <Verbosity V>
Result<Qarn2SocpOutcome> qarn2_socp_flow(const Qarn2Problem& problem, const ClarabelOptions& options) {
  const Stopwatch<V> clock;
  const std::size_t big_n = problem.idx_s_final - problem.idx_s_start + 1;
  if constexpr (V >= Verbosity::Summary) {
    log_line(fmt::format("\nqarn2_socp started: {} <= idx_s <= {}, objectives = {}, s_len = {}.", problem.idx_s_start,
                         problem.idx_s_final, problem.objectives.size(), big_n));
  }
  if constexpr (V >= Verbosity::Trace) log_line(options_snapshot_line(kName, options));

  QARN_TRY(bounded_stage(problem));
  Result<ConicProgram> program = qarn2_conic_program<V>(problem);
  if (!program) return std::move(program).error();
  Result<clarabel::SolveOutput> solved =
      solve_conic_stage<V>(kName, *program, qarn2_column_scaling(problem), options, clock);
  if (!solved) return std::move(solved).error();
  return accept_stage<V>(problem, std::move(*solved), options);
}

}  // namespace

ColumnScaling qarn2_column_scaling(const Qarn2Problem& problem) {
  const std::size_t n = problem.idx_s_final - problem.idx_s_start;
  const ProfileScale reference = profile_scale(problem.robot.constraints(), problem.idx_s_start, n + 1);
  return {reference, qarn2_column_classes(n, problem.robot.dim(), problem.objectives),
          station_a_scales(problem.robot.constraints(), problem.idx_s_start, n + 1, reference.a)};
}

Result<Qarn2SocpOutcome> qarn2_socp(const Qarn2Problem& problem, const ClarabelOptions& options) {
  return with_verbosity(options.verbosity,
                        [&](auto level) { return qarn2_socp_flow<decltype(level)::value>(problem, options); });
}

Result<std::vector<double>> qarn2_socp_entry(const Qarn2Problem& problem, const ClarabelOptions& options) {
  Result<Qarn2SocpOutcome> outcome = qarn2_socp(problem, options);
  if (!outcome) return std::move(outcome).error();
  if (!outcome->profile) return CoreError::clarabel_status(kName, outcome->status);
  return std::move(*outcome->profile);
}

}  // namespace qarn::qarn2

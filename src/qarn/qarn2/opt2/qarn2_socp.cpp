// The QARN2 solve flow: estimate and reserve, assemble in three stages, one solver call, accept.
// One instance per verbosity level, so the SILENT flow formats nothing and reads no clock.
#include "qarn/qarn2/opt2/qarn2_socp.hpp"

#include <string>
#include <utility>

#include "diag/format.hpp"
#include "diag/log.hpp"
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

template <Verbosity V>
Result<ConicProgram> qarn2_conic_program(const Qarn2Problem& problem) {
  constexpr bool kSummary = V >= Verbosity::Summary;
  constexpr bool kDebug = V >= Verbosity::Debug;
  constexpr bool kTrace = V >= Verbosity::Trace;
  const std::size_t n = problem.idx_s_final - problem.idx_s_start;
  const Robot& robot = problem.robot;

  const std::size_t m2 = robot.constraints().acc_runs().rows_in_range(problem.idx_s_start, problem.idx_s_final + 1);
  const Qarn2CapacityEstimate est = qarn2_capacity_estimate(n, m2, robot.dim(), problem.objectives);
  ClarabelTriplets triplets;
  triplets.reserve(est.standard_values + est.objective_values, est.standard_rhs + est.objective_rhs,
                   est.objective_cones + est.standard_cones);
  std::vector<double> q;
  q.reserve(est.variables);
  if constexpr (kDebug) {
    log_line(fmt::format("qarn2_socp: capacity estimate std(val={}, b={}, cone={}), obj(val={}, b={}, cone={}), "
                         "n_vars={}.",
                         est.standard_values, est.standard_rhs, est.standard_cones, est.objective_values,
                         est.objective_rhs, est.objective_cones, est.variables));
  }
  if constexpr (kTrace) {
    const TripletLengths c = triplets.capacities();
    log_line(fmt::format("qarn2_socp: allocated capacities row/col/val/b/cones <= {}/{}/{}/{}/{}", c.rows, c.cols,
                         c.vals, c.b, c.cones));
  }

  TripletLengths before = triplets.lengths();
  clarabel_standard_constraint_topp2<V>(problem, triplets);
  if constexpr (kTrace) {
    const TripletLengths d = triplets.lengths() - before;
    log_line(fmt::format("qarn2_socp: standard-constraints delta row/col/val/b/cones = +{}/+{}/+{}/+{}/+{}", d.rows,
                         d.cols, d.vals, d.b, d.cones));
  }

  before = triplets.lengths();
  const std::size_t n_var = add_sqrt_a_stage(n, problem.objectives, triplets, problem.a_start, problem.a_final);
  if constexpr (kTrace) {
    const TripletLengths d = triplets.lengths() - before;
    log_line(fmt::format("qarn2_socp: sqrt-a stage delta row/col/val/b/cones = +{}/+{}/+{}/+{}/+{}, n_var_old={}",
                         d.rows, d.cols, d.vals, d.b, d.cones, n_var));
  }

  q.assign(n_var, 0.0);
  before = triplets.lengths();
  QARN_TRY(clarabel_objective_qarn2(problem, triplets, q));
  if constexpr (kTrace) {
    const TripletLengths d = triplets.lengths() - before;
    const auto [q_min, q_max] = value_range(q);
    log_line(fmt::format("qarn2_socp: objective stage delta row/col/val/b/cones/q = +{}/+{}/+{}/+{}/+{}/+{}, "
                         "q_range=[{}, {}]",
                         d.rows, d.cols, d.vals, d.b, d.cones, q.size() - n_var, q_min, q_max));
  }
  const TripletLengths assembled = triplets.lengths();
  const std::size_t vars = q.size();
  if constexpr (kDebug) {
    log_line(fmt::format("qarn2_socp: after objective assembly row={}, col={}, val={}, b={}, cones={}, q={}",
                         assembled.rows, assembled.cols, assembled.vals, assembled.b, assembled.cones, vars));
  }

  Result<ConicProgram> program = make_conic_program(kName, std::move(triplets), std::move(q));
  if (!program) return std::move(program).error();
  if constexpr (kSummary) {
    log_line(fmt::format("qarn2_socp: ready to solve with row/col/val/b/cones = {}/{}/{}/{}/{} and n_var = {}.",
                         assembled.rows, assembled.cols, assembled.vals, assembled.b, assembled.cones, vars));
  }
  if constexpr (kTrace) {
    log_line(fmt::format("qarn2_socp: matrix built with m={}, n={}, A.nnz={}, P.nnz={}", program->A.m, program->A.n,
                         program->A.nzval.size(), program->P.nzval.size()));
  }
  return program;
}

template Result<ConicProgram> qarn2_conic_program<Verbosity::Silent>(const Qarn2Problem&);
template Result<ConicProgram> qarn2_conic_program<Verbosity::Summary>(const Qarn2Problem&);
template Result<ConicProgram> qarn2_conic_program<Verbosity::Debug>(const Qarn2Problem&);
template Result<ConicProgram> qarn2_conic_program<Verbosity::Trace>(const Qarn2Problem&);

namespace {

template <Verbosity V>
Result<Qarn2SocpOutcome> qarn2_socp_flow(const Qarn2Problem& problem, const ClarabelOptions& options) {
  constexpr bool kSummary = V >= Verbosity::Summary;
  constexpr bool kTrace = V >= Verbosity::Trace;
  const Stopwatch<V> clock;
  const std::size_t big_n = problem.idx_s_final - problem.idx_s_start + 1;

  if constexpr (kSummary) {
    log_line(fmt::format("\nqarn2_socp started: {} <= idx_s <= {}, objectives = {}, s_len = {}.", problem.idx_s_start,
                         problem.idx_s_final, problem.objectives.size(), big_n));
  }
  if constexpr (kTrace) log_line(options_snapshot_line(kName, options));

  Result<ConicProgram> program = qarn2_conic_program<V>(problem);
  if (!program) return std::move(program).error();

  Result<clarabel::SolveOutput> solved = solve_conic(kName, *program, options);
  if (!solved) return std::move(solved).error();
  clarabel::SolveOutput& out = *solved;
  if constexpr (kSummary) {
    log_line(fmt::format("qarn2_socp: solve done, status = {}, elapsed = {}.", status_name(out.status),
                         clock.elapsed()));
  }
  if constexpr (kTrace) {
    log_line(fmt::format("qarn2_socp: solution x_len={}, head={:?}", out.x.size(),
                         solution_head(std::span<const double>(out.x))));
  }

  Qarn2SocpOutcome outcome;
  const bool usable = options.allow(out.status);
  if (usable) {
    // The interior point may sit a hair below zero; -0.0 and NaN become +0.0 as well.
    std::vector<double> a(big_n);
    for (std::size_t k = 0; k < big_n; ++k) a[k] = out.x[k] > 0.0 ? out.x[k] : 0.0;
    outcome.profile = std::move(a);
  }
  if constexpr (kTrace) {
    log_line(fmt::format("qarn2_socp: allow(status)={}, extracted_profile={}", usable,
                         outcome.profile ? "Some(a)" : "None"));
  }
  static_cast<clarabel::SolveOutput&>(outcome) = std::move(out);
  return outcome;
}

}  // namespace

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

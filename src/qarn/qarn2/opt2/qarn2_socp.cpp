// QARN2 as a policy of the conic flow: reserve from the estimate, standard constraints, square-root
// stage, objective stage; references from reachability.
#include "qarn/qarn2/opt2/qarn2_socp.hpp"

#include <string>
#include <utility>

#include "diag/format.hpp"
#include "diag/log.hpp"
#include "qarn/arrival.hpp"
#include "qarn/clarabel_backend.hpp"
#include "qarn/conic/log.hpp"
#include "qarn/qarn2/dp2/bounded_stations.hpp"
#include "qarn/qarn2/dp2/reach_set2.hpp"
#include "qarn/qarn2/dp2/unreachable_ends.hpp"
#include "qarn/qarn2/opt2/objective_assembly.hpp"
#include "qarn/qarn2/opt2/standard_constraints.hpp"

namespace qarn::qarn2 {

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

// QARN2 on the conic flow: standard constraints, square-root stage, objective stage.
struct Qarn2Socp {
  using Problem = Qarn2Problem;
  using Profile = std::vector<double>;
  using Context = Qarn2Context;
  static constexpr const char* kName = "qarn2_socp";
  static constexpr const char* kSomeProfile = "Some(a)";
  static constexpr bool kReadyBeforeMatrix = true;
  static constexpr bool kQRangeInMatrixLine = false;  // printed with the objective stage

  static std::size_t stations(const Problem& problem) { return problem.idx_s_final - problem.idx_s_start + 1; }
  static Topp2Problem window(const Problem& problem) {
    return {problem.robot.constraints(), problem.idx_s_start, problem.idx_s_final, problem.a_start, problem.a_final};
  }

  template <Verbosity V>
  static Status begin(const Problem& problem, const ClarabelOptions& options) {
    if constexpr (V >= Verbosity::Summary) {
      log_line(fmt::format("\nqarn2_socp started: {} <= idx_s <= {}, objectives = {}, s_len = {}.",
                           problem.idx_s_start, problem.idx_s_final, problem.objectives.size(), stations(problem)));
    }
    if constexpr (V >= Verbosity::Trace) log_line(options_snapshot_line(kName, options));
    QARN_TRY(check_end_states(kName, window(problem)));
    // Only the time alone has no optimum over an unbounded a that the solver could report.
    if (time_alone(problem.objectives)) return check_bounded_window(kName, window(problem));
    return {};
  }

  template <Verbosity V>
  static void reserve(const Problem& problem, Assembly& assembly) {
    const Robot& robot = problem.robot;
    const std::size_t n = problem.idx_s_final - problem.idx_s_start;
    const std::size_t m2 = robot.constraints().acc_runs().rows_in_range(problem.idx_s_start, problem.idx_s_final + 1);
    const Qarn2CapacityEstimate e = qarn2_capacity_estimate(n, m2, robot.dim(), problem.objectives);
    assembly.reserve({e.standard_values + e.objective_values, e.standard_rhs + e.objective_rhs,
                      e.objective_cones + e.standard_cones, e.variables});
    if constexpr (V >= Verbosity::Debug) {
      log_line(fmt::format("qarn2_socp: capacity estimate std(val={}, b={}, cone={}), obj(val={}, b={}, cone={}), "
                           "n_vars={}.",
                           e.standard_values, e.standard_rhs, e.standard_cones, e.objective_values, e.objective_rhs,
                           e.objective_cones, e.variables));
    }
  }

  template <Verbosity V>
  static Status assemble(const Problem& problem, Context& context, Assembly& assembly) {
    ClarabelTriplets& t = assembly.triplets;
    TripletLengths before = t.lengths();
    clarabel_standard_constraint_topp2<V>(problem, t);
    assembly.constraint_rows = t.row_count();
    if constexpr (V >= Verbosity::Trace) {
      log_line(fmt::format("qarn2_socp: standard-constraints delta row/col/val/b/cones = {}",
                           triplet_delta(t.lengths() - before)));
    }
    before = t.lengths();
    const std::size_t n = problem.idx_s_final - problem.idx_s_start;
    const std::size_t n_var = add_sqrt_a_stage(n, problem.objectives, t, problem.a_start, problem.a_final);
    assembly.q.assign(n_var, 0.0);
    if constexpr (V >= Verbosity::Trace) log_line(sqrt_stage_line(kName, t.lengths() - before, n_var));
    before = t.lengths();
    QARN_TRY(clarabel_objective_qarn2(problem, context, t, assembly.q));
    const TripletLengths after = t.lengths();
    if constexpr (V >= Verbosity::Trace) {
      log_line(objective_stage_line(kName, after - before, assembly.q.size() - n_var, assembly.q));
    }
    if constexpr (V >= Verbosity::Debug) log_line(after_objective_line(kName, after, assembly.q.size()));
    return {};
  }

  // The bound of BoundedEntries keeps the time and linear costs from creeping on fine grids. A
  // torque objective keeps its entries alone: beside the time's entry it has one more per interval
  // (ThermalEnergy) or one per joint and interval (TotalVariationTorque), so its objective at units
  // by the entries is larger and the bound shrinks it the more, and its terms may be tiny next to
  // the time's; shrunk, they come down to the absolute floors of Clarabel's regularization, and
  // the first solves end inexactly or creep more often, up to the iteration limit on fine grids.
  static CostScale estimated_units_cost(const Problem& problem) {
    return needs_torque(problem.objectives) ? CostScale::Entries : CostScale::BoundedEntries;
  }

  static ProfileReference reference(const Problem& problem, const Context&, std::span<const double> reachable) {
    return second_order_reference(window(problem), reachable);
  }
  static ProfileReference reference_from(const Problem&, const Context& context, const Profile& a,
                                         const ProfileReference& earlier) {
    return reference_of_profile(context.s, a, {}, earlier);
  }
  static std::vector<double> column_scales(const Problem& problem, const Context& context,
                                           const ProfileReference& reference) {
    return qarn2_column_scales(problem, context, reference);
  }

  // The first N entries of x clamped at zero, stations whose bound is zero at rest, and the fixed
  // boundary values exactly (the equality rows hold only to the solver's tolerance).
  static Profile split(const Problem& problem, const Context&, const clarabel::SolveOutput& out) {
    std::vector<double> a = nonnegative_profile(out.x, stations(problem));
    rest_where_bound_is_zero(problem.robot.constraints(), problem.idx_s_start, a);
    a.front() = problem.a_start;
    a.back() = problem.a_final;
    return a;
  }
  static std::optional<CoreError> explain_unsolved(const Problem& problem, SolverStatus status) {
    return unreachable_ends(kName, window(problem), status);
  }
  static std::span<const double> profile_a(const Profile& a) { return a; }
  static std::vector<double> audit_values(const Profile& a) { return a; }
  static std::optional<std::string> where_it_stops(const Problem& problem, const Context&, const Profile& a) {
    return where_second_order_stops(a, problem.idx_s_start);
  }
};

}  // namespace

Result<PreparedProgram> qarn2_program(const Qarn2Problem& problem) { return prepare_program<Qarn2Socp>(problem); }

Result<Qarn2SocpOutcome> qarn2_socp(const Qarn2Problem& problem, const ClarabelOptions& options) {
  return solve_conic_problem<Qarn2Socp>(problem, options);
}

Result<std::vector<double>> qarn2_socp_entry(const Qarn2Problem& problem, const ClarabelOptions& options) {
  return conic_entry<Qarn2Socp>(problem, options);
}

}  // namespace qarn::qarn2

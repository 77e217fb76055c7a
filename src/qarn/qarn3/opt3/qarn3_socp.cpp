// QARN3 on the third-order policy: after the standard constraints the sqrt-a stage and the
// objective stage, each with its trace line.
#include "qarn/qarn3/opt3/qarn3_socp.hpp"

#include "qarn/qarn2/opt2/objective_assembly.hpp"
#include "qarn/qarn3/opt3/qarn3_objectives.hpp"

namespace qarn::qarn3 {
namespace {

struct Qarn3Socp : ThirdOrderPolicy<Qarn3Socp> {
  using Problem = Qarn3Problem;
  static constexpr const char* kName = "qarn3_socp";
  static constexpr bool kSpanCheckFirst = false;
  static constexpr bool kQRangeInMatrixLine = false;  // printed with the objective stage

  static std::string started_line(const Problem& problem) {
    return fmt::format("\nqarn3_socp started: {} <= idx_s <= {}, objectives = {}, s_len = {}.", problem.idx_s_start,
                       problem.idx_s_final(), problem.objectives.size(), problem.s_len());
  }
  static Status validate(const Problem& problem) {
    return validate_qarn3_objectives(problem.objectives, problem.robot.dim(), problem.s_len(), kName);
  }
  static bool time_alone(const Problem& problem) { return qarn2::time_alone(problem.objectives); }
  static CostScale estimated_units_cost(const Problem&) { return kThirdOrderConicCost; }

  // The objective share; its variable estimate counts a and b (2n) as the standard share does.
  template <Verbosity V>
  static void reserve(const Problem& problem, Assembly& assembly) {
    const Reserve standard = standard_capacity3(problem);
    const Qarn3ObjectiveCapacity e = qarn3_objective_capacity(problem.s_len(), problem.robot.dim(), problem.objectives);
    const std::uint64_t ab = 2 * static_cast<std::uint64_t>(problem.s_len());
    const Reserve objective{e.values, e.rhs, e.cones, e.variables > ab ? e.variables - ab : 0};
    if constexpr (V >= Verbosity::Debug) {
      log_line(fmt::format("qarn3_socp: capacity estimate std(val={}, b={}, cone={}), obj(val={}, b={}, cone={}), "
                           "n_vars={}.",
                           standard.values, standard.rhs, standard.cones, objective.values, objective.rhs,
                           objective.cones, saturating_add(standard.variables, objective.variables)));
    }
    assembly.reserve(standard + objective);
  }

  template <Verbosity V>
  static Status assemble_own(const Problem& problem, Context& context, Assembly& assembly) {
    const auto [k0, k1] = problem.num_stationary;
    ClarabelTriplets& t = assembly.triplets;
    TripletLengths before = t.lengths();
    const std::size_t n_var = add_sqrt_a_stage_qarn3(problem.s_len() - 1, problem.objectives, t, k0, k1);
    if constexpr (V >= Verbosity::Trace) log_line(sqrt_stage_line(kName, t.lengths() - before, n_var));
    assembly.q.assign(n_var, 0.0);
    before = t.lengths();
    QARN_TRY(clarabel_objective_qarn3(problem, context.s, context.torque, t, assembly.q));
    const TripletLengths after = t.lengths();
    if constexpr (V >= Verbosity::Trace) {
      log_line(objective_stage_line(kName, after - before, assembly.q.size() - n_var, assembly.q));
    }
    if constexpr (V >= Verbosity::Debug) log_line(after_objective_line(kName, after, assembly.q.size()));
    return {};
  }

  static void append_column_scales(const Problem& problem, const Context& context, const ProfileReference& reference,
                                   std::vector<double>& scales) {
    qarn3_column_scales(problem, context.torque, reference, scales);
  }
};

}  // namespace

Result<Qarn3SocpResult> qarn3_socp(const Qarn3Problem& problem, const ClarabelOptions& options) {
  return solve_conic_problem<Qarn3Socp>(problem, options);
}

Result<PreparedProgram> qarn3_socp_program(const Qarn3Problem& problem) { return prepare_program<Qarn3Socp>(problem); }

Result<Topp3Profile> qarn3_socp_entry(const Qarn3Problem& problem, const ClarabelOptions& options) {
  return conic_entry<Qarn3Socp>(problem, options);
}

}  // namespace qarn::qarn3

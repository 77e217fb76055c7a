// QARN3 on the shared third-order flow: after the standard constraints the sqrt-a stage and the
// objective stage, each with its trace line.
#include "qarn/qarn3/opt3/qarn3_socp.hpp"

#include "qarn/qarn3/opt3/qarn3_objectives.hpp"

namespace qarn::qarn3 {
namespace {

struct Qarn3Socp {
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
  // The objective share; its variable estimate counts a and b (2n) as the standard share does.
  static Reserve3 extra_capacity(const Problem& problem) {
    const Qarn3ObjectiveCapacity e = qarn3_objective_capacity(problem.s_len(), problem.robot.dim(), problem.objectives);
    const std::uint64_t ab = 2 * static_cast<std::uint64_t>(problem.s_len());
    return {e.values, e.rhs, e.cones, e.variables > ab ? e.variables - ab : 0};
  }
  static std::string capacity_line(const Reserve3& standard, const Reserve3& objective) {
    return fmt::format("qarn3_socp: capacity estimate std(val={}, b={}, cone={}), obj(val={}, b={}, cone={}), "
                       "n_vars={}.",
                       standard.values, standard.rhs, standard.cones, objective.values, objective.rhs,
                       objective.cones, saturating_add(standard.variables, objective.variables));
  }
  static std::vector<ColumnClass> extra_columns(const Problem& problem) {
    return qarn3_column_classes(problem.s_len(), problem.num_stationary.first, problem.num_stationary.second,
                                problem.robot.dim(), problem.objectives);
  }

  template <Verbosity V>
  static Status assemble(const Problem& problem, std::span<const double>, Assembly3& assembly) {
    const auto [k0, k1] = problem.num_stationary;
    ClarabelTriplets& t = assembly.triplets;
    TripletLengths before = t.lengths();
    const std::size_t n_var = add_sqrt_a_stage_qarn3(problem.s_len() - 1, problem.objectives, t, k0, k1);
    if constexpr (V >= Verbosity::Trace) log_line(sqrt_stage_line(kName, t.lengths() - before, n_var));
    assembly.q.assign(n_var, 0.0);
    before = t.lengths();
    QARN_TRY(clarabel_objective_qarn3(problem, k0, k1, t, assembly.q));
    const TripletLengths after = t.lengths();
    if constexpr (V >= Verbosity::Trace) {
      log_line(objective_stage_line(kName, after - before, assembly.q.size() - n_var, assembly.q));
    }
    if constexpr (V >= Verbosity::Debug) log_line(after_objective_line(kName, after, assembly.q.size()));
    return {};
  }
};

}  // namespace

Result<Qarn3SocpResult> qarn3_socp(const Qarn3Problem& problem, const ClarabelOptions& options) {
  return solve_third_order<Qarn3Socp>(problem, options);
}

Result<ThirdOrderProgram> qarn3_socp_program(const Qarn3Problem& problem) {
  return third_order_program<Qarn3Socp, Verbosity::Silent>(problem);
}

Result<Topp3Profile> qarn3_socp_entry(const Qarn3Problem& problem, const ClarabelOptions& options) {
  return third_order_entry<Qarn3Socp>(problem, options);
}

}  // namespace qarn::qarn3

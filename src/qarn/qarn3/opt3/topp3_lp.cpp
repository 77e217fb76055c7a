// TOPP3 LP on the third-order policy: no variables, rows or cones beyond the standard constraints,
// only the linear cost q = (-w, 0), w the slope of the traversal time at the reference.
#include "qarn/qarn3/opt3/topp3_lp.hpp"

#include "qarn/qarn3/opt3/time_weights.hpp"

namespace qarn::qarn3 {
namespace {

struct Topp3Lp : ThirdOrderPolicy<Topp3Lp> {
  using Problem = Topp3Problem;
  static constexpr const char* kName = "topp3_lp";
  static constexpr bool kSpanCheckFirst = true;
  static constexpr bool kQRangeInMatrixLine = true;

  static std::string started_line(const Problem& problem) { return topp3_started_line(kName, problem); }
  static Status validate(const Problem&) { return {}; }
  static bool time_alone(const Problem&) { return true; }

  template <Verbosity V>
  static void reserve(const Problem& problem, Assembly& assembly) {
    const Reserve standard = standard_capacity3(problem);
    if constexpr (V >= Verbosity::Debug) {
      log_line(fmt::format("topp3_lp: capacity estimate standard(val={}, b={}, cone={}), n_var={}", standard.values,
                           standard.rhs, standard.cones, standard.variables));
    }
    assembly.reserve(standard);
  }

  template <Verbosity V>
  static Status assemble_own(const Problem& problem, const Context& context, Assembly& assembly) {
    const std::size_t n = problem.s_len();
    const auto [k0, k1] = problem.num_stationary;
    const std::vector<double> w = linearized_time_weights(context.s, n, k0, k1, problem.window_shapes,
                                                         linearization_reference(problem.a_linearization),
                                                         problem.constraints.a_linearization_floor());
    assembly.q.assign(2 * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) assembly.q[i] = -w[i];
    return {};
  }

  static void append_column_scales(const Problem&, const Context&, const ProfileReference&, std::vector<double>&) {}
};

}  // namespace

Result<Qarn3SocpResult> topp3_lp(const Topp3Problem& problem, const ClarabelOptions& options) {
  return solve_conic_problem<Topp3Lp>(problem, options);
}

Result<PreparedProgram> topp3_lp_program(const Topp3Problem& problem) { return prepare_program<Topp3Lp>(problem); }

Result<Topp3Profile> topp3_lp_entry(const Topp3Problem& problem, const ClarabelOptions& options) {
  return conic_entry<Topp3Lp>(problem, options);
}

}  // namespace qarn::qarn3

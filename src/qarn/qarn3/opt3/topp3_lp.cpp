// TOPP3 LP on the shared third-order flow: no variables, rows or cones beyond the standard
// constraints, only the linear cost q = (-W, 0) with W the merged time weights.
#include "qarn/qarn3/opt3/topp3_lp.hpp"

#include "qarn/qarn3/opt3/time_weights.hpp"

namespace qarn::qarn3 {
namespace {

struct Topp3Lp {
  using Problem = Topp3Problem;
  static constexpr const char* kName = "topp3_lp";
  static constexpr bool kSpanCheckFirst = true;
  static constexpr bool kQRangeInMatrixLine = true;

  static std::string started_line(const Problem& problem) { return topp3_started_line(kName, problem); }
  static Status validate(const Problem&) { return {}; }
  static Reserve3 extra_capacity(const Problem&) { return {}; }
  static std::vector<ColumnClass> extra_columns(const Problem&) { return {}; }
  static std::string capacity_line(const Reserve3& standard, const Reserve3&) {
    return fmt::format("topp3_lp: capacity estimate standard(val={}, b={}, cone={}), n_var={}", standard.values,
                       standard.rhs, standard.cones, standard.variables);
  }

  template <Verbosity V>
  static Status assemble(const Problem& problem, std::span<const double> s, Assembly3& assembly) {
    const std::size_t n = problem.s_len();
    const auto [k0, k1] = problem.num_stationary;
    const std::vector<double> w = time_objective_weights(s, n, k0, k1);
    assembly.q.assign(2 * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) assembly.q[i] = -w[i];
    return {};
  }
};

}  // namespace

Result<Qarn3SocpResult> topp3_lp(const Topp3Problem& problem, const ClarabelOptions& options) {
  return solve_third_order<Topp3Lp>(problem, options);
}

Result<ThirdOrderProgram> topp3_lp_program(const Topp3Problem& problem) {
  return third_order_program<Topp3Lp, Verbosity::Silent>(problem);
}

Result<Topp3Profile> topp3_lp_entry(const Topp3Problem& problem, const ClarabelOptions& options) {
  return third_order_entry<Topp3Lp>(problem, options);
}

}  // namespace qarn::qarn3

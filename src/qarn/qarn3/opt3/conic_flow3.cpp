// The pieces of the third-order flow that do not depend on the solver: the standard share of the
// capacity estimate, the boundedness check, the column scaling of a and b, the accepted profile.
#include "qarn/qarn3/opt3/conic_flow3.hpp"

#include <cmath>

#include "qarn/qarn2/dp2/bounded_stations.hpp"

namespace qarn::qarn3 {

Reserve3 standard_capacity3(std::size_t n, std::uint64_t r2, std::uint64_t r3) {
  const std::uint64_t intervals = n == 0 ? 0 : n - 1;
  const auto add = [](std::initializer_list<std::uint64_t> terms) {
    std::uint64_t sum = 0;
    for (const std::uint64_t t : terms) sum = saturating_add(sum, t);
    return sum;
  };
  return {add({saturating_mul(11, intervals), saturating_mul(2, r2), saturating_mul(6, r3), 2}),
          add({saturating_mul(5, intervals), r2, saturating_mul(2, r3), 2}), 2, saturating_mul(2, n)};
}

Reserve3 standard_capacity3(const Topp3Problem& problem) {
  const Constraints& store = problem.constraints;
  const std::uint64_t end = saturating_add(problem.idx_s_start, problem.s_len());
  return standard_capacity3(problem.s_len(), store.acc_runs().rows_in_range(problem.idx_s_start, end),
                            store.jerk_runs().rows_in_range(problem.idx_s_start, end));
}

bool has_finite_jerk_row(const Topp3Problem& problem) {
  for (std::size_t i = 0; i < problem.s_len(); ++i) {
    const ThirdOrderRows rows = problem.constraints.third_order_rows_at(problem.idx_s_start + i);
    for (const double jerk_max : rows.jerk_max) {
      if (std::isfinite(jerk_max)) return true;
    }
  }
  return false;
}

Status check_bounded3(std::string_view component, const Topp3Problem& problem) {
  // A finite jerk row comes with its mirror (the lower limit), and the pair bounds a by itself:
  // their a coefficients add up to r^3 jerk_max > 0.
  if (has_finite_jerk_row(problem)) return {};
  return qarn2::check_bounded_window(
      component, {problem.constraints, problem.idx_s_start, problem.idx_s_final(), problem.a_start, problem.a_final});
}

ColumnScaling column_scaling3(const Topp3Problem& problem, std::vector<ColumnClass> extra) {
  const std::size_t n = problem.s_len();
  ColumnScaling columns{profile_scale(problem.constraints, problem.idx_s_start, n),
                        {{0, n, ScaleBase::A, 1.0}, {n, n, ScaleBase::B, 1.0}}, {}};
  columns.classes.insert(columns.classes.end(), extra.begin(), extra.end());
  return columns;
}

Result<Topp3Profile> accepted_profile3(std::string_view component, const Topp3Problem& problem,
                                       const clarabel::SolveOutput& out, std::span<const double> s,
                                       const ClarabelOptions& options) {
  Topp3Profile profile = split_ab_solution(problem, out.x, s);
  rest_where_bound_is_zero(problem.constraints, problem.idx_s_start, profile.a);
  const ProfileAudit audit =
      audit_third_order_profile(problem.constraints, problem.idx_s_start, profile.a, profile.b,
                                profile.num_stationary.first, profile.num_stationary.second, options.profile_tolerance());
  if (!audit.holds()) return broken_profile_error(component, out.status, audit);
  return profile;
}

}  // namespace qarn::qarn3

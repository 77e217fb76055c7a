// TOPP3 SOCP on the shared third-order flow: the qp-aux stage after the standard constraints, cost
// W_j on each w.
#include "qarn/qarn3/opt3/topp3_socp.hpp"

#include <algorithm>

#include "qarn/conic_encodings.hpp"
#include "qarn/qarn3/opt3/time_weights.hpp"

namespace qarn::qarn3 {
namespace {

struct Topp3Socp {
  using Problem = Topp3Problem;
  static constexpr const char* kName = "topp3_socp";
  static constexpr bool kSpanCheckFirst = false;
  static constexpr bool kQRangeInMatrixLine = true;

  static std::string started_line(const Problem& problem) { return topp3_started_line(kName, problem); }
  static Status validate(const Problem&) { return {}; }
  // Bounds with n standing for m: 9n entries, 8n right-hand sides, 2n + 1 cones; 2m variables.
  static Reserve3 extra_capacity(const Problem& problem) {
    const std::uint64_t n = problem.s_len();
    const auto [k0, k1] = problem.num_stationary;
    return {saturating_mul(9, n), saturating_mul(8, n), saturating_add(saturating_mul(2, n), 1),
            saturating_mul(2, time_term_count(problem.s_len(), k0, k1))};
  }
  // u ~ sqrt(a) and w ~ 1 / sqrt(a).
  static std::vector<ColumnClass> extra_columns(const Problem& problem) {
    const std::size_t n = problem.s_len();
    const std::size_t m = time_term_count(n, problem.num_stationary.first, problem.num_stationary.second);
    return {{2 * n, m, ScaleBase::A, 0.5}, {2 * n + m, m, ScaleBase::A, -0.5}};
  }
  static std::string capacity_line(const Reserve3& lp, const Reserve3& qp) {
    return fmt::format("topp3_socp: capacity estimate lp(val={}, b={}, cone={}), qp(val={}, b={}, cone={}), n_var={}",
                       lp.values, lp.rhs, lp.cones, qp.values, qp.rhs, qp.cones,
                       saturating_add(lp.variables, qp.variables));
  }

  template <Verbosity V>
  static Status assemble(const Problem& problem, std::span<const double> s, Assembly3& assembly) {
    const std::size_t n = problem.s_len();
    const auto [k0, k1] = problem.num_stationary;
    const std::size_t m = time_term_count(n, k0, k1);
    const TripletLengths before = assembly.triplets.lengths();
    add_qp_aux_constraints(assembly.triplets, problem.idx_s_start, problem.idx_s_final(), k0, k1, 2 * n, 2 * n + m);
    if constexpr (V >= Verbosity::Trace) {
      log_line(fmt::format("topp3_socp: qp-aux delta row/col/val/b/cones = {}",
                           triplet_delta(assembly.triplets.lengths() - before)));
    }
    // Cost W_j on w_i, j = max(k0, 1) + i; a, b and u cost nothing.
    const std::vector<double> w = time_objective_weights(s, n, k0, k1);
    const std::size_t j0 = first_time_station(k0);
    assembly.q.assign(2 * n + m, 0.0);
    assembly.q.insert(assembly.q.end(), w.begin() + static_cast<std::ptrdiff_t>(j0),
                      w.begin() + static_cast<std::ptrdiff_t>(j0 + m));
    return {};
  }
};

}  // namespace

void add_qp_aux_constraints(ClarabelTriplets& triplets, std::uint64_t idx_s_start, std::uint64_t idx_s_final,
                            std::uint64_t k0, std::uint64_t k1, std::size_t u_offset, std::size_t w_offset) {
  const std::size_t n = static_cast<std::size_t>(idx_s_final - idx_s_start) + 1;
  const std::size_t m = time_term_count(n, k0, k1);
  const std::size_t j0 = first_time_station(k0);
  std::size_t r = triplets.row_count();
  for (std::size_t i = 0; i < m; ++i) triplets.push_entry(r++, u_offset + i, -1.0);
  for (std::size_t i = 0; i < m; ++i) triplets.push_entry(r++, w_offset + i, -1.0);
  triplets.b.insert(triplets.b.end(), 2 * m, 0.0);
  triplets.cones.push_back(NonnegativeCone(2 * m));
  for (std::size_t i = 0; i < m; ++i) push_reciprocal_rows(u_offset + i, w_offset + i, triplets);
  // (1 + a, a - 1, 2u) in the cone: 1 + a >= sqrt((a - 1)^2 + 4 u^2), that is u^2 <= a.
  r = triplets.row_count();
  for (std::size_t i = 0; i < m; ++i, r += 3) {
    triplets.push_entry(r, j0 + i, -1.0);
    triplets.push_entry(r + 1, j0 + i, -1.0);
    triplets.push_entry(r + 2, u_offset + i, -2.0);
    triplets.b.insert(triplets.b.end(), {1.0, -1.0, 0.0});
  }
  triplets.cones.insert(triplets.cones.end(), 2 * m, SecondOrderCone(3));
}

Result<Qarn3SocpResult> topp3_socp(const Topp3Problem& problem, const ClarabelOptions& options) {
  return solve_third_order<Topp3Socp>(problem, options);
}

Result<ThirdOrderProgram> topp3_socp_program(const Topp3Problem& problem) {
  return third_order_program<Topp3Socp, Verbosity::Silent>(problem);
}

Result<Topp3Profile> topp3_socp_entry(const Topp3Problem& problem, const ClarabelOptions& options) {
  return third_order_entry<Topp3Socp>(problem, options);
}

}  // namespace qarn::qarn3

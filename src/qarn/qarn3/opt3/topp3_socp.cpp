// TOPP3 SOCP on the third-order policy: the qp-aux stage after the standard constraints, cost
// W_j on each w.
#include "qarn/qarn3/opt3/topp3_socp.hpp"

#include <algorithm>
#include <cmath>

#include "qarn/conic/encodings.hpp"
#include "qarn/qarn3/opt3/time_weights.hpp"

namespace qarn::qarn3 {
namespace {

struct Topp3Socp : ThirdOrderPolicy<Topp3Socp> {
  using Problem = Topp3Problem;
  static constexpr const char* kName = "topp3_socp";
  static constexpr bool kSpanCheckFirst = false;
  static constexpr bool kQRangeInMatrixLine = true;

  static std::string started_line(const Problem& problem) { return topp3_started_line(kName, problem); }
  static Status validate(const Problem&) { return {}; }
  static bool time_alone(const Problem&) { return true; }
  static CostScale estimated_units_cost(const Problem&) { return kThirdOrderConicCost; }

  // The qp-aux share, bounds with n standing for m: 9n entries, 8n right-hand sides, 2n + 1 cones;
  // 2m variables.
  template <Verbosity V>
  static void reserve(const Problem& problem, Assembly& assembly) {
    const std::uint64_t n = problem.s_len();
    const auto [k0, k1] = problem.num_stationary;
    const Reserve lp = standard_capacity3(problem);
    const Reserve qp{saturating_mul(9, n), saturating_mul(8, n), saturating_add(saturating_mul(2, n), 1),
                     saturating_mul(2, time_term_count(problem.s_len(), k0, k1))};
    if constexpr (V >= Verbosity::Debug) {
      log_line(fmt::format("topp3_socp: capacity estimate lp(val={}, b={}, cone={}), qp(val={}, b={}, cone={}), n_var={}",
                           lp.values, lp.rhs, lp.cones, qp.values, qp.rhs, qp.cones,
                           saturating_add(lp.variables, qp.variables)));
    }
    assembly.reserve(lp + qp);
  }

  template <Verbosity V>
  static Status assemble_own(const Problem& problem, const Context& context, Assembly& assembly) {
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
    const std::vector<double> w = time_objective_weights(context.s, n, k0, k1, problem.window_shapes);
    const std::size_t j0 = first_time_station(k0);
    assembly.q.assign(2 * n + m, 0.0);
    assembly.q.insert(assembly.q.end(), w.begin() + static_cast<std::ptrdiff_t>(j0),
                      w.begin() + static_cast<std::ptrdiff_t>(j0 + m));
    return {};
  }

  // u ~ sqrt(a) and w ~ 1 / sqrt(a) at the stations that carry a time term.
  static void append_column_scales(const Problem& problem, const Context&, const ProfileReference& reference,
                                   std::vector<double>& scales) {
    const std::size_t m = time_term_count(problem.s_len(), problem.num_stationary.first, problem.num_stationary.second);
    const std::size_t j0 = first_time_station(problem.num_stationary.first);
    for (std::size_t i = 0; i < m; ++i) scales.push_back(std::sqrt(reference.a[j0 + i]));
    for (std::size_t i = 0; i < m; ++i) scales.push_back(1.0 / std::sqrt(reference.a[j0 + i]));
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
  for (std::size_t i = 0; i < m; ++i) push_sqrt_bound_rows(j0 + i, u_offset + i, 1.0, triplets);
  triplets.cones.insert(triplets.cones.end(), 2 * m, SecondOrderCone(3));
}

Result<Qarn3SocpResult> topp3_socp(const Topp3Problem& problem, const ClarabelOptions& options) {
  return solve_conic_problem<Topp3Socp>(problem, options);
}

Result<PreparedProgram> topp3_socp_program(const Topp3Problem& problem) { return prepare_program<Topp3Socp>(problem); }

Result<Topp3Profile> topp3_socp_entry(const Topp3Problem& problem, const ClarabelOptions& options) {
  return conic_entry<Topp3Socp>(problem, options);
}

}  // namespace qarn::qarn3

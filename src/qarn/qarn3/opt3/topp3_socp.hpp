// TOPP3 SOCP: the jerk-limited time-optimal profile with the traversal time itself as objective,
// sum_j W_j / sqrt(a_j) over the stations that carry a time term, made conic with two auxiliary
// variables per station: u_j^2 <= a_j and u_j w_j >= 1, cost W_j w_j.
#pragma once

#include <cstddef>
#include <cstdint>

#include "diag/result.hpp"
#include "qarn/conic/options.hpp"
#include "qarn/conic/program.hpp"
#include "qarn/qarn3/formulation.hpp"
#include "qarn/qarn3/opt3/third_order_policy.hpp"
#include "qarn/qarn3/opt3/time_weights.hpp"

namespace qarn::qarn3 {

// The qp-aux rows for the m stations j = max(k0, 1) + i of the window idx_s_start ..= idx_s_final:
// u_i >= 0 and w_i >= 0 (one NonnegativeCone(2m)), then u_i w_i >= 1 for every i, then
// u_i^2 <= a_j for every i, each as one SecondOrderCone(3). u_i is column u_offset + i, w_i
// column w_offset + i. With m = 0 it adds only NonnegativeCone(0).
void add_qp_aux_constraints(ClarabelTriplets& triplets, std::uint64_t idx_s_start, std::uint64_t idx_s_final,
                            std::uint64_t k0, std::uint64_t k1, std::size_t u_offset, std::size_t w_offset);

// Solves a built problem as topp3_lp does, under the component "topp3_socp"; x holds a, b, u, w.
Result<Qarn3SocpResult> topp3_socp(const Topp3Problem& problem, const ClarabelOptions& options);

// The program topp3_socp solves, assembled silently (the benchmark times assembly and solve apart).
Result<PreparedProgram> topp3_socp_program(const Topp3Problem& problem);

// The accepted profile; Clarabel("topp3_socp", ...) when its audit fails, ClarabelStatus("topp3_socp", status)
// when the status is not accepted.
Result<Topp3Profile> topp3_socp_entry(const Topp3Problem& problem, const ClarabelOptions& options);

}  // namespace qarn::qarn3

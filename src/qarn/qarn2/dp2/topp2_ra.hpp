// The time-optimal second-order profile by reachability analysis: the backward reachable set,
// then a forward walk from a_start that takes at every station the largest value the interval's
// rows allow from the previous one, with a bounded bisection when rounding leaves none.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "diag/result.hpp"
#include "math/numerical/lp_row.hpp"
#include "qarn/problem2.hpp"
#include "qarn/qarn2/dp2/reach_set2_options.hpp"

namespace qarn::qarn2 {

// The profile a at stations idx_s_start ..= idx_s_final (a[0] = a_start), or the backward pass's
// error (component "reach_set2") or Infeasible / Unbounded from "topp2_ra".
Result<std::vector<double>> topp2_ra(const Topp2Problem& problem, const ReachSet2Options& options);

// topp2_ra's profile with the default options, printing nothing, also where it stops at two
// neighbouring stations: the pointwise largest profile the first- and second-order limits allow.
// Where it stops, every profile of the window does.
Result<std::vector<double>> largest_profile(const Topp2Problem& problem);

// A recovered forward value with the largest normalised and raw row violations found at it.
struct ForwardStepCandidate {
  double a;
  double max_normalized_violation;
  double max_raw_violation;
};

// The previous station's value, its backward bounds and both stations' first-order bounds.
struct ForwardStepContext {
  double a_prev;
  double b_min_prev, b_max_prev;
  double b_min, b_max;
  double amax_prev, amax;
};

// Largest value of a[k] in [max(b_min, 0), min(b_max, amax)] that satisfies the rows
// (p, q, c): p*a[k] + q*a_prev <= c within lp_feas_tol; at most 71 evaluations of the oracle.
std::optional<ForwardStepCandidate> max_feasible_bisect(std::span<const Lp2dRow> rows,
                                                        const ReachSet2Options& options,
                                                        const ForwardStepContext& step);
// The oracle: v in [lo, hi] and every row holds within tol, raw and normalised.
std::optional<ForwardStepCandidate> forward_step_violation(double v, double lo, double hi,
                                                           std::span<const Lp2dRow> rows, double tol, double a_prev);

}  // namespace qarn::qarn2

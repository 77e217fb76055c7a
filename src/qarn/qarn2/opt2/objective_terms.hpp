// The QARN2 objectives evaluated on a finished profile: the weighted value and every term
// unweighted, computed directly from a (not through the conic encoding), for the expert result.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "qarn/problem2.hpp"

namespace qarn::qarn2 {

struct ObjectiveTerms {
  double objective_value = 0.0;        // sum of weight_i * term_i
  std::vector<double> objective_terms;  // term_i unweighted, in list order
};

// a[k] belongs to station idx_s_start + k. Never fails: when the stations cannot be read, the grid
// check (as for "a_to_b_topp2") rejects s or a, or the torques cannot be evaluated, the value is
// +inf and every term 0.0.
ObjectiveTerms qarn2_objective_terms(const Robot& robot, std::uint64_t idx_s_start,
                                     std::span<const ObjectiveView> objectives, std::span<const double> a);

}  // namespace qarn::qarn2

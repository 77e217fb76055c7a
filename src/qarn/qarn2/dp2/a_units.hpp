// The unit of a in which the reachability solvers work: the problem's own reference
// (profile_scale), so that their tolerances and internal constants act relative to the problem's
// scale, the same in any units. The unit follows the limits exactly (it is not rounded), so a
// problem scaled in time or space is solved in exactly the same working numbers.
#pragma once

#include <span>

#include "math/numerical/lp_row.hpp"
#include "qarn/problem2.hpp"
#include "qarn/profile_scale.hpp"

namespace qarn::qarn2 {

struct AUnits {
  double unit = 1.0;  // a in the caller's units = unit * a in working units
  double inv = 1.0;

  static AUnits of(const Topp2Problem& problem) {
    const double a = profile_scale(problem.store, problem.idx_s_start, problem.idx_s_final - problem.idx_s_start + 1).a;
    return {a, 1.0 / a};
  }
  double in(double a) const { return a * inv; }
  double out(double a) const { return a * unit; }
  // Rows a*x + b*y <= c over values of a: only c carries the unit.
  void rows_in(std::span<Lp2dRow> rows) const {
    for (Lp2dRow& row : rows) row.c *= inv;
  }
};

}  // namespace qarn::qarn2

// Tolerances and verbosity of the second-order reachability solvers, with the builder whose rule
// every option record satisfies before a pass reads it.
#pragma once

#include "diag/log.hpp"
#include "diag/result.hpp"

namespace qarn::qarn2 {

// The tolerances act relative to the problem's scale: the passes work in a unit of a taken from
// the stored limits (a_units.hpp), so the same options mean the same in any units.
struct ReachSet2Options {
  double lp_feas_tol = 1e-8;    // feasibility tolerance of the LP and slack of the interval tests
  double a_cmp_abs_tol = 1e-8;  // absolute tolerance when comparing two values of a (working unit)
  double a_cmp_rel_tol = 1e-8;  // relative tolerance when comparing two values of a
  Verbosity verbosity = Verbosity::Silent;
};

// The validity rule: finite tolerances, lp_feas_tol at least the machine epsilon, comparison
// tolerances non-negative with at least one above epsilon. Failures are InvalidOptions from
// "ReachSet2OptionsBuilder"; the verbosity is never refused.
Status validate_reach_set2_options(const ReachSet2Options& options);

class ReachSet2OptionsBuilder {
 public:
  ReachSet2OptionsBuilder() = default;  // the defaults: 1e-8, 1e-8, 1e-8, SILENT

  ReachSet2OptionsBuilder& lp_feas_tol(double v) { options_.lp_feas_tol = v; return *this; }
  ReachSet2OptionsBuilder& a_cmp_abs_tol(double v) { options_.a_cmp_abs_tol = v; return *this; }
  ReachSet2OptionsBuilder& a_cmp_rel_tol(double v) { options_.a_cmp_rel_tol = v; return *this; }
  ReachSet2OptionsBuilder& verbosity(Verbosity v) { options_.verbosity = v; return *this; }

  Result<ReachSet2Options> build() const {
    QARN_TRY(validate_reach_set2_options(options_));
    return options_;
  }

 private:
  ReachSet2Options options_;
};

}  // namespace qarn::qarn2

// The validity rule of ReachSet2Options, checked in a fixed order; the first failure is reported.
#include "qarn/qarn2/dp2/reach_set2_options.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <string_view>

#include "diag/format.hpp"

namespace qarn::qarn2 {
namespace {

constexpr std::string_view kComponent = "ReachSet2OptionsBuilder";
constexpr double kEps = std::numeric_limits<double>::epsilon();

CoreError invalid(std::string message) { return CoreError::invalid_options(std::string(kComponent), std::move(message)); }

Status check_finite(std::string_view label, double v) {
  if (std::isnan(v)) return invalid(fmt::format("{} = {} must not be NaN", label, v));
  if (std::isinf(v)) return invalid(fmt::format("{} = {} must not be infinite", label, v));
  return {};
}

}  // namespace

Status validate_reach_set2_options(const ReachSet2Options& o) {
  QARN_TRY(check_finite("lp_feas_tol", o.lp_feas_tol));
  // Below epsilon the LP's relative tests could never be met.
  if (o.lp_feas_tol < kEps) return invalid(fmt::format("{} = {} must be strictly positive", "lp_feas_tol", o.lp_feas_tol));
  QARN_TRY(check_finite("a_cmp_abs_tol", o.a_cmp_abs_tol));
  QARN_TRY(check_finite("a_cmp_rel_tol", o.a_cmp_rel_tol));
  if (!(o.a_cmp_abs_tol >= 0 && o.a_cmp_rel_tol >= 0 && (o.a_cmp_abs_tol > kEps || o.a_cmp_rel_tol > kEps))) {
    return invalid(fmt::format("At least one of {} = {} and {} = {} must be strictly positive.", "a_cmp_abs_tol",
                               o.a_cmp_abs_tol, "a_cmp_rel_tol", o.a_cmp_rel_tol));
  }
  return {};
}

}  // namespace qarn::qarn2

// The relative audit that every solver runs on a profile before it reports it as accepted: each
// stored row must hold to 1e-6 relative to the size of its own terms (or to the looser feasibility
// tolerance a caller chose). Unlike the exceed_topp2 / exceed_topp3 measures (absolute units), the
// audit means the same thing in any units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "diag/result.hpp"
#include "diag/solver_status.hpp"
#include "qarn/constraints.hpp"

namespace qarn {

// Largest relative excess a row may show by default: sum(terms) - bound <= 1e-6 * (sum|terms| + |bound|).
inline constexpr double kProfileRelativeTolerance = 1e-6;

// The worst row seen so far. Rows with a bound that is not finite are skipped (no bound); a row
// whose value is not a number counts as broken.
class ProfileAudit {
 public:
  explicit ProfileAudit(double tolerance = kProfileRelativeTolerance) : tolerance_(tolerance) {}

  // One row: sum of `terms` <= bound, found at station idx_s (`what` names the row's kind, e.g.
  // "second-order row", `row` its index among the station's rows of that kind).
  void row(std::uint64_t idx_s, const char* what, std::size_t row, std::span<const double> terms, double bound);
  // 0 <= a <= amax of station idx_s.
  void first_order(const Constraints& store, std::uint64_t idx_s, double a);
  // The station's second-order rows acc_a*a + acc_b*b <= acc_max.
  void second_order(const Constraints& store, std::uint64_t idx_s, double a, double b);

  bool holds() const { return !(worst_ > tolerance_); }
  double worst() const { return worst_; }
  // "the second-order row 2 at idx_s = 17 exceeds its bound by 3.1e-5 relative"
  std::string describe() const;

 private:
  double tolerance_;
  double worst_ = 0.0;
  std::uint64_t idx_s_ = 0;
  const char* what_ = "";
  std::size_t row_ = 0;
};

// The audit of a second-order node profile a over stations idx_s_start ..: first-order bounds at
// every station and the second-order rows of both stations of each interval with that interval's
// b = (a[k+1] - a[k]) / (2 (s[k+1] - s[k])).
ProfileAudit audit_second_order_profile(const Constraints& store, std::uint64_t idx_s_start, std::span<const double> a,
                                        double tolerance = kProfileRelativeTolerance);

// The audit of a third-order node profile (a, b) over stations idx_s_start .. with k0 / k1
// stationary intervals at the ends: first-order bounds and second-order rows (node b) at every
// station, and the jerk rows in their own form, sqrt(a) (jerk_a a + jerk_b b + jerk_c c + jerk_d)
// <= jerk_max, at both stations of every free interval with that interval's c = db/ds. The
// stationary intervals, whose shape is fixed in closed form, are not measured.
ProfileAudit audit_third_order_profile(const Constraints& store, std::uint64_t idx_s_start, std::span<const double> a,
                                       std::span<const double> b, std::size_t k0, std::size_t k1,
                                       double tolerance = kProfileRelativeTolerance);

// The error of a profile that a conic solver would otherwise accept with `status`:
// CoreError::Clarabel(component, "the solution accepted with status <status> breaks the stored
// limits: <describe>"). An inaccurate solve is a failure of the solver call, not of the problem.
CoreError broken_profile_error(std::string_view component, SolverStatus status, const ProfileAudit& audit);

}  // namespace qarn

// The relative audit of accepted profiles.
#include "qarn/profile_audit.hpp"

#include <cmath>
#include <limits>

#include "diag/format.hpp"

namespace qarn {

void ProfileAudit::row(std::uint64_t idx_s, const char* what, std::size_t row, std::span<const double> terms,
                       double bound) {
  if (!std::isfinite(bound)) return;
  double sum = 0.0;
  double size = std::fabs(bound);
  for (const double t : terms) {
    sum += t;
    size += std::fabs(t);
  }
  const double excess = (sum - bound) / size;  // NaN when terms are not numbers, or 0/0
  const bool broken = std::isnan(excess) ? !(sum <= bound) : excess > worst_;
  if (!broken) return;
  worst_ = std::isnan(excess) ? std::numeric_limits<double>::infinity() : excess;
  idx_s_ = idx_s;
  what_ = what;
  row_ = row;
}

void ProfileAudit::first_order(const Constraints& store, std::uint64_t idx_s, double a) {
  const double lower[] = {-a};
  row(idx_s, "lower bound a >= 0", 0, lower, 0.0);
  const double upper[] = {a};
  row(idx_s, "first-order bound", 0, upper, store.amax_at(idx_s));
}

void ProfileAudit::second_order(const Constraints& store, std::uint64_t idx_s, double a, double b) {
  const SecondOrderRows rows = store.second_order_rows_at(idx_s);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const double terms[] = {rows.acc_a[r] * a, rows.acc_b[r] * b};
    row(idx_s, "second-order row", r, terms, rows.acc_max[r]);
  }
}

std::string ProfileAudit::describe() const {
  return fmt::format("the {} {} at idx_s = {} exceeds its bound by {:.3e} relative", what_, row_, idx_s_, worst_);
}

ProfileAudit audit_second_order_profile(const Constraints& store, std::uint64_t idx_s_start, std::span<const double> a,
                                        double tolerance) {
  ProfileAudit audit(tolerance);
  for (std::size_t k = 0; k < a.size(); ++k) audit.first_order(store, idx_s_start + k, a[k]);
  for (std::size_t k = 0; k + 1 < a.size(); ++k) {
    const std::uint64_t idx_s = idx_s_start + k;
    const double b = (a[k + 1] - a[k]) * 0.5 / (store.s_at(idx_s + 1) - store.s_at(idx_s));
    audit.second_order(store, idx_s, a[k], b);
    audit.second_order(store, idx_s + 1, a[k + 1], b);
  }
  return audit;
}

ProfileAudit audit_third_order_profile(const Constraints& store, std::uint64_t idx_s_start, std::span<const double> a,
                                       std::span<const double> b, std::size_t k0, std::size_t k1, double tolerance) {
  ProfileAudit audit(tolerance);
  const std::size_t n = a.size();
  for (std::size_t k = 0; k < n; ++k) {
    audit.first_order(store, idx_s_start + k, a[k]);
    audit.second_order(store, idx_s_start + k, a[k], b[k]);
  }
  const std::size_t end = k1 + 1 >= n ? 0 : n - 1 - k1;
  for (std::size_t j = k0; j < end; ++j) {
    const double c = (b[j + 1] - b[j]) / (store.s_at(idx_s_start + j + 1) - store.s_at(idx_s_start + j));
    for (const std::size_t p : {j, j + 1}) {
      const double root = std::sqrt(a[p]);
      const ThirdOrderRows rows = store.third_order_rows_at(idx_s_start + p);
      for (std::size_t r = 0; r < rows.size(); ++r) {
        const double terms[] = {root * (rows.jerk_a[r] * a[p]), root * (rows.jerk_b[r] * b[p]),
                                root * (rows.jerk_c[r] * c), root * rows.jerk_d[r]};
        audit.row(idx_s_start + p, "jerk row", r, terms, rows.jerk_max[r]);
      }
    }
  }
  return audit;
}

CoreError broken_profile_error(std::string_view component, SolverStatus status, const ProfileAudit& audit) {
  return CoreError::clarabel(std::string(component),
                             fmt::format("the solution accepted with status {} breaks the stored limits: {}",
                                         status_name(status), audit.describe()));
}

}  // namespace qarn

// Profile audits: every row of the store is evaluated at the profile as delivered, in the units
// of the row (no normalisation), and the largest excess per order is kept.
#include "qarn/profile_violation.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "math/numerical/maxnum.hpp"
#include "qarn/profile_grid.hpp"
#include "qarn/qarn2/interpolation.hpp"

namespace qarn {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// s of stations [idx_s_start, idx_s_start + n), or nothing when they are not all stored.
std::optional<std::vector<double>> stored_s(const Constraints& store, std::uint64_t idx_s_start, std::size_t n) {
  if (n > std::numeric_limits<std::uint64_t>::max() - idx_s_start) return std::nullopt;
  auto s = store.s_values(idx_s_start, idx_s_start + n);
  if (!s) return std::nullopt;
  return std::move(s).value();
}

// Largest acc_a*a + acc_b*b - acc_max over the rows of one station with a finite bound.
double second_order_excess(const Constraints& store, std::uint64_t idx_s, double a, double b, double worst) {
  const SecondOrderRows rows = store.second_order_rows_at(idx_s);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    if (!std::isfinite(rows.acc_max[r])) continue;
    worst = nan_max(worst, rows.acc_a[r] * a + rows.acc_b[r] * b - rows.acc_max[r]);
  }
  return worst;
}

}  // namespace

Exceed2 exceed_topp2(const Constraints& store, std::uint64_t idx_s_start, std::span<const double> a) {
  const Exceed2 unmeasurable{kNaN, kNaN};
  const auto s = stored_s(store, idx_s_start, a.size());
  if (!s || !validate_s_profile("a_to_b_topp2", *s, a).ok()) return unmeasurable;
  const std::vector<double> b = qarn2::collect_b_from_a(*s, a, 0, a.size() - 1);

  // 0 <= a[k] <= amax[k]; -0.0 when no a[k] is negative.
  double lowest = 0.0;
  for (const double v : a) lowest = nan_min(v, lowest);
  double exceed_1st = -lowest;
  for (std::size_t k = 0; k < a.size(); ++k) {
    const double amax = store.amax_at(idx_s_start + k);
    if (std::isfinite(amax)) exceed_1st = nan_max(exceed_1st, a[k] - amax);
  }

  double exceed_2nd = 0.0;
  for (std::size_t k = 0; k + 1 < a.size(); ++k) {
    exceed_2nd = second_order_excess(store, idx_s_start + k, a[k], b[k], exceed_2nd);
    exceed_2nd = second_order_excess(store, idx_s_start + k + 1, a[k + 1], b[k], exceed_2nd);
  }
  return {exceed_1st, exceed_2nd};
}

Exceed3 exceed_topp3(const Constraints& store, std::uint64_t idx_s_start, std::span<const double> a,
                     std::span<const double> b, std::size_t k0, std::size_t k1) {
  const Exceed3 unmeasurable{kNaN, kNaN, kNaN};
  const std::size_t n = a.size();
  if (n < 2 || b.size() != n) return unmeasurable;
  // The conversions' element check; its message is not needed here.
  if (!check_finite_values("exceed_topp3", "a", a) || !check_finite_values("exceed_topp3", "b", b)) {
    return unmeasurable;
  }
  const auto s = stored_s(store, idx_s_start, n);
  if (!s) return unmeasurable;

  double exceed_1st = 0.0;
  double exceed_2nd = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    exceed_1st = nan_max(exceed_1st, -a[k]);
    const double amax = store.amax_at(idx_s_start + k);
    if (std::isfinite(amax)) exceed_1st = nan_max(exceed_1st, a[k] - amax);
    exceed_2nd = second_order_excess(store, idx_s_start + k, a[k], b[k], exceed_2nd);
  }

  // The stationary blocks at either end are modelled apart; only the intervals between them are
  // measured, each endpoint with that interval's c = db/ds.
  double exceed_3rd = 0.0;
  const std::size_t end = k1 >= n - 1 ? 0 : n - 1 - k1;
  for (std::size_t j = k0; j < end; ++j) {
    const double h = (*s)[j + 1] - (*s)[j];
    if (!(h > 0)) return unmeasurable;
    const double c = (b[j + 1] - b[j]) / h;
    for (const std::size_t p : {j, j + 1}) {
      if (!(a[p] >= 0)) continue;
      const double root = std::sqrt(a[p]);
      const ThirdOrderRows rows = store.third_order_rows_at(idx_s_start + p);
      for (std::size_t r = 0; r < rows.size(); ++r) {
        if (!std::isfinite(rows.jerk_max[r])) continue;
        const double load = rows.jerk_a[r] * a[p] + rows.jerk_b[r] * b[p] + rows.jerk_c[r] * c + rows.jerk_d[r];
        exceed_3rd = nan_max(exceed_3rd, root * load - rows.jerk_max[r]);
      }
    }
  }
  return {exceed_1st, exceed_2nd, exceed_3rd};
}

}  // namespace qarn

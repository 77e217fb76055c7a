// Profile references from the stored limits.
#include "qarn/profile_scale.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace qarn {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Median of the collected values (the upper one of an even count); nothing when empty.
double median_or(std::vector<double>& v, double fallback) {
  if (v.empty()) return fallback;
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

// |num / den| when it is a positive finite number, else +inf.
double ratio(double num, double den) {
  const double r = std::fabs(num / den);
  return r > 0 && std::isfinite(r) ? r : kInf;
}

// The a scale of one station: its finite first-order bound and |acc_max / acc_a| of its
// second-order rows, the smallest; +inf when none is finite.
double station_a_scale(const Constraints& store, std::uint64_t idx_s) {
  const double amax = store.amax_at(idx_s);
  double a_scale = amax > 0 && std::isfinite(amax) ? amax : kInf;
  const SecondOrderRows rows = store.second_order_rows_at(idx_s);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    if (std::isfinite(rows.acc_max[r])) a_scale = std::min(a_scale, ratio(rows.acc_max[r], rows.acc_a[r]));
  }
  return a_scale;
}

// The largest path acceleration b the second-order rows allow at one station: the smallest
// |acc_max / acc_b| over its rows; +inf when none bounds b.
double station_b_bound(const Constraints& store, std::uint64_t idx_s) {
  double b_bound = kInf;
  const SecondOrderRows rows = store.second_order_rows_at(idx_s);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    if (std::isfinite(rows.acc_max[r])) b_bound = std::min(b_bound, ratio(rows.acc_max[r], rows.acc_b[r]));
  }
  return b_bound;
}

// What the acceleration limits let a reach from rest over the window, 2 B L with B the largest
// path acceleration any sampled station allows and L the window's length: on a straight line no
// row bounds a itself (ddq = 0), and a first-order bound far above the motion (a loose velocity
// limit) would make the reference orders of magnitude too large.
double reachable_a_bound(const Constraints& store, std::uint64_t idx_s_start, std::size_t count, std::size_t stride) {
  if (count < 2) return kInf;
  double b_bound = 0.0;
  for (std::size_t k = 0; k < count; k += stride) {
    const double b = station_b_bound(store, idx_s_start + k);
    if (!(b < kInf)) return kInf;  // a station that leaves b free bounds nothing
    b_bound = std::max(b_bound, b);
  }
  const double length = store.s_at(idx_s_start + count - 1) - store.s_at(idx_s_start);
  const double bound = 2.0 * b_bound * length;
  return bound > 0 && std::isfinite(bound) ? bound : kInf;
}

}  // namespace

std::vector<double> station_a_scales(const Constraints& store, std::uint64_t idx_s_start, std::size_t count,
                                     double fallback) {
  constexpr double kGrowth = 16.0;
  std::vector<double> out(count);
  const double reachable = reachable_a_bound(store, idx_s_start, count, 1);
  for (std::size_t k = 0; k < count; ++k) out[k] = std::min(station_a_scale(store, idx_s_start + k), reachable);
  for (std::size_t k = 1; k < count; ++k) out[k] = std::min(out[k], kGrowth * out[k - 1]);
  for (std::size_t k = count; k-- > 1;) out[k - 1] = std::min(out[k - 1], kGrowth * out[k]);
  for (double& a : out) {
    if (!(a < kInf)) a = fallback;
  }
  return out;
}

ProfileScale profile_scale(const Constraints& store, std::uint64_t idx_s_start, std::size_t count) {
  // A typical magnitude needs no more than a sample: at most kSamples stations, evenly spread (the
  // same stations for every scaling of the same problem).
  constexpr std::size_t kSamples = 64;
  const std::size_t stride = count > kSamples ? (count + kSamples - 1) / kSamples : 1;
  std::vector<double> a_scales;
  a_scales.reserve(kSamples + 1);
  const double reachable = reachable_a_bound(store, idx_s_start, count, stride);
  for (std::size_t k = 0; k < count; k += stride) {
    const double a_scale = std::min(station_a_scale(store, idx_s_start + k), reachable);
    if (a_scale < kInf) a_scales.push_back(a_scale);
  }
  if (a_scales.empty()) return {};
  const double a = median_or(a_scales, 1.0);
  // b = (da/ds) / 2 changes a by its own size over the window's length. The acceleration rows' own
  // b bounds (|acc_max / acc_b|) would be the magnitude of b at the optimum, but they are a poor
  // unit: the trapezoid and jerk rows then mix b with a at the ratio of the station spacing, and
  // third-order solves took two to three times the iterations.
  const double length = count >= 2 ? store.s_at(idx_s_start + count - 1) - store.s_at(idx_s_start) : 1.0;
  return {a, a / length};
}

}  // namespace qarn

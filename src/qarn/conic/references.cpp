// Profile references of the conic solves.
#include "qarn/conic/references.hpp"

#include <algorithm>
#include <cmath>

#include "qarn/profile_scale.hpp"
#include "qarn/qarn2/dp2/topp2_ra.hpp"

namespace qarn {
namespace {

// How fast a reference may fall off from one station to the next where it is filled or held.
constexpr double kNeighbourRatio = 16.0;

bool usable(double v) { return v > 0 && std::isfinite(v); }

}  // namespace

void hold_within_neighbours(std::span<double> v) {
  for (std::size_t k = 1; k < v.size(); ++k) v[k] = std::fmax(v[k], v[k - 1] / kNeighbourRatio);
  for (std::size_t k = v.size(); k-- > 1;) v[k - 1] = std::fmax(v[k - 1], v[k] / kNeighbourRatio);
}

std::vector<double> reachable_a(const Topp2Problem& window) {
  Result<std::vector<double>> a = qarn2::largest_profile(window);
  if (!a) return {};
  return std::move(*a);
}

void fill_from_neighbours(std::span<double> values, double fallback) {
  bool any = false;
  for (double& v : values) {
    if (!usable(v)) v = 0.0;
    any = any || v > 0;
  }
  if (!any) {
    std::fill(values.begin(), values.end(), usable(fallback) ? fallback : 1.0);
    return;
  }
  hold_within_neighbours(values);
}

void cap_units(ProfileReference& reference) {
  const std::size_t n = std::min(reference.a.size(), reference.a_cap.size());
  for (std::size_t k = 0; k < n; ++k) {
    if (usable(reference.a_cap[k])) reference.a[k] = std::fmin(reference.a[k], reference.a_cap[k]);
  }
}

std::vector<double> b_reference(std::span<const double> s, std::span<const double> a,
                                std::span<const double> b_hint, std::span<const double> a_cap) {
  const std::size_t n = a.size();
  std::vector<double> b(n, 0.0);
  if (n < 2) return std::vector<double>(n, 1.0);
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t lo = k == 0 ? 0 : k - 1, hi = k + 1 == n ? k : k + 1;
    const double slope = 0.5 * std::fabs(a[hi] - a[lo]) / (s[hi] - s[lo]);
    b[k] = std::isfinite(slope) ? slope : 0.0;
    if (k < b_hint.size() && std::isfinite(b_hint[k])) b[k] = std::fmax(b[k], std::fabs(b_hint[k]));
  }
  hold_within_neighbours(b);
  const double length = s[n - 1] - s[0];
  for (std::size_t k = 0; k < n; ++k) {
    const double floor = a[k] / length;
    if (usable(floor)) b[k] = std::fmax(b[k], floor);
  }
  fill_from_neighbours(b, 1.0);
  for (std::size_t k = 1; k + 1 < std::min(n, a_cap.size()); ++k) {
    const double cap = a_cap[k] / std::fmin(s[k] - s[k - 1], s[k + 1] - s[k]);
    if (usable(cap)) b[k] = std::fmin(b[k], cap);
  }
  return b;
}

ProfileReference second_order_reference(const Topp2Problem& window, std::span<const double> reachable) {
  const std::size_t count = window.idx_s_final - window.idx_s_start + 1;
  ProfileReference reference{std::vector<double>(reachable.begin(), reachable.end()), {}, {}};
  std::vector<double>& a = reference.a;
  const double fallback = profile_scale(window.store, window.idx_s_start, count).a;
  if (a.size() == count) {
    reference.a_cap = a;
  } else {
    a = station_a_scales(window.store, window.idx_s_start, count, fallback);
  }
  fill_from_neighbours(a, fallback);
  cap_units(reference);
  return reference;
}

ProfileReference reference_of_profile(std::span<const double> s, std::span<const double> a,
                                      std::span<const double> b, const ProfileReference& earlier) {
  ProfileReference out{std::vector<double>(a.begin(), a.end()), {}, earlier.a_cap};
  const double largest = *std::max_element(earlier.a.begin(), earlier.a.end());
  fill_from_neighbours(out.a, largest);
  // A solve that stopped short (InsufficientProgress, say) may leave a near zero over a stretch
  // (1e-253 of its peak, measured); a unit that small takes that stretch out of the cost, and the
  // solver, in those units, reports as solved a point whose cost is many times the optimum's.
  floor_relative(out.a);
  cap_units(out);
  if (!earlier.b.empty()) out.b = b_reference(s, out.a, b, out.a_cap);
  return out;
}

bool needs_rescaled_solve(SolverStatus status, std::span<const double> a, const ProfileReference& reference) {
  switch (status) {
    case SolverStatus::AlmostSolved:
    case SolverStatus::InsufficientProgress:
    case SolverStatus::NumericalError:
    case SolverStatus::AlmostPrimalInfeasible:
    case SolverStatus::AlmostDualInfeasible:
      return true;
    case SolverStatus::Solved:
      break;
    default:
      return false;  // a certificate, or a budget the caller set
  }
  constexpr double kFactor = 30.0;
  double a_max = 0.0, ref_max = 0.0;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (!std::isfinite(a[k])) return true;
    a_max = std::fmax(a_max, a[k]);
    ref_max = std::fmax(ref_max, reference.a[k]);
  }
  if (!(a_max > 0)) return false;  // a profile at rest: nothing to measure it by
  if (ref_max > kFactor * a_max || a_max > kFactor * ref_max) return true;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (a[k] >= 1e-2 * a_max && a[k] > kFactor * reference.a[k]) return true;
  }
  return false;
}

void floor_relative(std::span<double> scales, double fraction) {
  double largest = 0.0;
  for (const double v : scales) {
    if (std::isfinite(v)) largest = std::fmax(largest, std::fabs(v));
  }
  const double floor = fraction * largest;
  for (double& v : scales) v = usable(floor) ? std::fmax(std::isfinite(v) ? std::fabs(v) : 0.0, floor) : 1.0;
}

}  // namespace qarn

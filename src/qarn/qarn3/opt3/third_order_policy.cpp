// The pieces of the third-order policies that do not depend on the solver: the standard share of
// the capacity estimate, the boundedness check, the references, the split of a solution into a
// profile.
#include "qarn/qarn3/opt3/third_order_policy.hpp"

#include <algorithm>
#include <cmath>

#include "qarn/arrival.hpp"
#include "qarn/clarabel_backend.hpp"
#include "qarn/qarn2/dp2/bounded_stations.hpp"
#include "qarn/qarn3/interpolation.hpp"

namespace qarn::qarn3 {

Reserve standard_capacity3(std::size_t n, std::uint64_t r2, std::uint64_t r3) {
  const std::uint64_t intervals = n == 0 ? 0 : n - 1;
  const auto add = [](std::initializer_list<std::uint64_t> terms) {
    std::uint64_t sum = 0;
    for (const std::uint64_t t : terms) sum = saturating_add(sum, t);
    return sum;
  };
  return {add({saturating_mul(15, intervals), saturating_mul(2, r2), saturating_mul(6, r3), 4}),
          add({saturating_mul(7, intervals), r2, saturating_mul(2, r3), 4}), 2, saturating_mul(2, n)};
}

Reserve standard_capacity3(const Topp3Problem& problem) {
  const Constraints& store = problem.constraints;
  const std::uint64_t end = saturating_add(problem.idx_s_start, problem.s_len());
  return standard_capacity3(problem.s_len(), store.acc_runs().rows_in_range(problem.idx_s_start, end),
                            store.jerk_runs().rows_in_range(problem.idx_s_start, end));
}

bool has_finite_jerk_row(const Topp3Problem& problem) {
  for (std::size_t i = 0; i < problem.s_len(); ++i) {
    const ThirdOrderRows rows = problem.constraints.third_order_rows_at(problem.idx_s_start + i);
    for (const double jerk_max : rows.jerk_max) {
      if (std::isfinite(jerk_max)) return true;
    }
  }
  return false;
}

Status check_bounded3(std::string_view component, const Topp3Problem& problem) {
  // A finite jerk row comes with its mirror (the lower limit), and the pair bounds a by itself:
  // their a coefficients add up to r^3 jerk_max > 0.
  if (has_finite_jerk_row(problem)) return {};
  return qarn2::check_bounded_window(
      component, {problem.constraints, problem.idx_s_start, problem.idx_s_final(), problem.a_start, problem.a_final});
}

ProfileReference third_order_reference(const Topp3Problem& problem, std::span<const double> s,
                                       std::span<const double> reachable) {
  const Constraints& store = problem.constraints;
  const std::size_t n = problem.s_len();
  const double floor = store.a_linearization_floor();
  const std::vector<double> a_ref = linearization_reference(problem.a_linearization);
  std::vector<double> a(n);
  for (std::size_t i = 0; i < n; ++i) {
    // fmax: a NaN reference falls back to the floor, as in the linearization.
    const double linearized = 3.0 * std::fmax(a_ref[i], floor);
    a[i] = reachable.size() == n ? std::fmin(reachable[i], linearized) : linearized;
  }
  fill_from_neighbours(a, *std::max_element(a.begin(), a.end()));
  ProfileReference reference{std::move(a), {}, {}};
  if (reachable.size() == n) reference.a_cap.assign(reachable.begin(), reachable.end());
  cap_units(reference);
  reference.b = b_reference(s, reference.a, {}, reference.a_cap);
  return reference;
}

std::vector<double> profile_column_scales(const ProfileReference& reference) {
  std::vector<double> scales(reference.a.begin(), reference.a.end());
  scales.insert(scales.end(), reference.b.begin(), reference.b.end());
  return scales;
}

Topp3Profile split_ab_solution(const Topp3Problem& problem, std::span<const double> x, std::span<const double> s) {
  const std::size_t n = problem.s_len();
  const auto [k0, k1] = problem.num_stationary;
  const std::size_t first = static_cast<std::size_t>(k0);
  const std::size_t last = n - 1 - static_cast<std::size_t>(k1);
  Topp3Profile profile{std::vector<double>(n, 0.0), std::vector<double>(n, 0.0), problem.num_stationary};
  std::vector<double>& a = profile.a;
  std::vector<double>& b = profile.b;
  stationary_start_profile(s, a, b, first, nonnegative(x[first]), problem.start_window());
  stationary_end_profile(s, a, b, static_cast<std::size_t>(k1), nonnegative(x[last]), problem.end_window());
  for (std::size_t i = first; i <= last; ++i) {
    a[i] = nonnegative(x[i]);
    b[i] = x[n + i];
  }
  if (k0 == 0) {
    a[0] = nonnegative(problem.a_start);
    b[0] = problem.b_start;
  }
  if (k1 == 0) {
    a[n - 1] = nonnegative(problem.a_final);
    b[n - 1] = problem.b_final;
  }
  return profile;
}

Topp3Profile third_order_profile(const Topp3Problem& problem, std::span<const double> s,
                                 const clarabel::SolveOutput& out) {
  Topp3Profile profile = split_ab_solution(problem, out.x, s);
  rest_where_bound_is_zero(problem.constraints, problem.idx_s_start, profile.a);
  pass_single_rests(problem, s, profile);
  return profile;
}

void pass_single_rests(const Topp3Problem& problem, std::span<const double> s, Topp3Profile& profile) {
  constexpr double kPassingShare = 1e-9;
  std::vector<double>& a = profile.a;
  std::vector<double>& b = profile.b;
  const std::size_t first = static_cast<std::size_t>(problem.num_stationary.first);
  const std::size_t last = a.size() - 1 - static_cast<std::size_t>(problem.num_stationary.second);
  // A station whose neighbour rests too stops the motion on their interval; it stays as it is.
  for (std::size_t i = first + 1; i < last; ++i) {
    if (a[i] != 0.0 || !(a[i - 1] > 0.0 && a[i + 1] > 0.0)) continue;
    const double bound = problem.constraints.amax_at(problem.idx_s_start + i);
    if (bound == 0.0) continue;
    a[i] = std::fmin(kPassingShare * std::fmax(a[i - 1], a[i + 1]), bound);  // fmin: a NaN bound is none
    const double h_before = s[i] - s[i - 1];
    if (i + 1 == last && i - 1 > first) {
      // The last interval's time runs back from the end junction: b keeps its relation with that,
      // and the b before, at a station far above the lift, takes up the interval before.
      b[i] = (a[i + 1] - a[i]) / (s[i + 1] - s[i]) - b[i + 1];
      b[i - 1] = (a[i] - a[i - 1]) / h_before - b[i];
    } else {
      b[i] = (a[i] - a[i - 1]) / h_before - b[i - 1];
    }
  }
}

std::optional<std::string> where_third_order_stops(const Topp3Problem& problem, std::span<const double> s,
                                                   const Topp3Profile& profile) {
  const std::optional<std::size_t> unreached = first_unreached_station(s, profile);
  if (!unreached) return std::nullopt;
  const std::size_t k = *unreached - 1;  // the first station is reached at once
  return never_arrives_message(problem.idx_s_start + k, profile.a[k] == 0.0 && profile.a[k + 1] == 0.0);
}

}  // namespace qarn::qarn3

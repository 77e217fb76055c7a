// Third-order standard constraints. Inside a block the entries are appended grouped by coefficient
// (all entries of one column kind, then the next), the right-hand sides after them; the row
// indices are fixed by the length of b when the block starts.
#include "qarn/qarn3/opt3/clarabel_constraints.hpp"

#include <cmath>
#include <string_view>

#include "qarn/conic/log.hpp"

namespace qarn::qarn3 {
namespace {

template <Verbosity V>
void log_block(std::string_view label, const ClarabelTriplets& t) {
  if constexpr (V >= Verbosity::Debug) log_line(block_lengths_line("clarabel_standard_constraint_topp3", label, t));
}

// One inequality row with a single entry.
void push_bound_row(std::size_t column, double value, double rhs, ClarabelTriplets& t) {
  t.push_entry(t.row_count(), column, value);
  t.b.push_back(rhs);
}

// The junction rows of one stationary end: a <= upper when upper is finite, always -a <= -lower.
bool push_junction_bounds(std::size_t column, BoundPair bound, ClarabelTriplets& t) {
  if (bound.upper < bound.lower) return false;
  if (std::isfinite(bound.upper)) push_bound_row(column, 1.0, bound.upper, t);
  push_bound_row(column, -1.0, -bound.lower, t);
  return true;
}

}  // namespace

void add_stationary_boundary_row(std::span<const double> s, std::size_t n, std::uint64_t k, bool at_end,
                                 ClarabelTriplets& triplets, double ratio) {
  const std::size_t junction = at_end ? n - 1 - static_cast<std::size_t>(k) : static_cast<std::size_t>(k);
  const double edge = at_end ? s[n - 1] : s[0];
  const std::size_t r = triplets.row_count();
  triplets.push_entry(r, junction, 1.0);
  triplets.push_entry(r, n + junction, (s[junction] - edge) * -ratio);
  triplets.b.push_back(0.0);
}

void add_dynamic_zero_cone_constraints(std::span<const double> s, std::size_t n, std::uint64_t k0, std::uint64_t k1,
                                       ClarabelTriplets& triplets, RestWindowShapes shapes) {
  triplets.label_rows("stationary junction row");
  if (k0 > 0) add_stationary_boundary_row(s, n, k0, false, triplets, shapes.first.ratio());
  if (k1 > 0) add_stationary_boundary_row(s, n, k1, true, triplets, shapes.second.ratio());
  triplets.label_rows("trapezoid row");
  const std::size_t first = static_cast<std::size_t>(k0);
  const std::size_t last = n - 2 - static_cast<std::size_t>(k1);  // last free interval
  const std::size_t r0 = triplets.row_count();
  for (std::size_t i = first; i <= last; ++i) triplets.push_entry(r0 + i - first, i, 1.0);
  for (std::size_t i = first; i <= last; ++i) triplets.push_entry(r0 + i - first, i + 1, -1.0);
  for (std::size_t i = first; i <= last; ++i) triplets.push_entry(r0 + i - first, n + i, s[i + 1] - s[i]);
  for (std::size_t i = first; i <= last; ++i) triplets.push_entry(r0 + i - first, n + i + 1, s[i + 1] - s[i]);
  triplets.b.insert(triplets.b.end(), last - first + 1, 0.0);
  // The caller starts from an empty record: every row so far is an equality.
  triplets.cones.push_back(ZeroCone(triplets.row_count()));
}

bool add_first_order_constraints(const Topp3Problem& problem, std::size_t n, std::uint64_t k0, std::uint64_t k1,
                                 ClarabelTriplets& triplets) {
  const Constraints& store = problem.constraints;
  const std::size_t j = n - 1 - static_cast<std::size_t>(k1);
  if (k0 > 0) {
    const BoundPair bound = store.first_order_bounds_forward(problem.a_linearization, problem.idx_s_start, k0,
                                                             problem.start_window());
    if (!push_junction_bounds(static_cast<std::size_t>(k0), bound, triplets)) return false;
  }
  if (k1 > 0) {
    const BoundPair bound = store.first_order_bounds_backward(problem.a_linearization, problem.idx_s_start, k1,
                                                              problem.end_window());
    if (!push_junction_bounds(j, bound, triplets)) return false;
  }
  for (std::size_t i = static_cast<std::size_t>(k0) + 1; i < j; ++i) push_bound_row(i, -1.0, 0.0, triplets);
  // The bounds between the junctions, and those of the two end stations, whose a the boundary rows fix.
  const auto push_bounds = [&](std::uint64_t from, std::uint64_t to) {
    for (const FiniteAmax& bound : store.collect_finite_amax(problem.idx_s_start, from, to)) {
      push_bound_row(static_cast<std::size_t>(bound.j), 1.0, bound.amax, triplets);
    }
  };
  push_bounds(0, 1);
  push_bounds(k0 + 1, j);
  push_bounds(n - 1, n);
  return true;
}

void add_interval_first_order_constraints(std::span<const double> s, std::size_t n, std::uint64_t k0,
                                          std::uint64_t k1, ClarabelTriplets& triplets) {
  for (std::size_t i = static_cast<std::size_t>(k0); i + 1 + k1 < n; ++i) {
    const double h = s[i + 1] - s[i];
    const std::size_t r = triplets.row_count();
    triplets.push_entry(r, i, -2.0);
    triplets.push_entry(r, n + i, -h);
    triplets.push_entry(r + 1, i, -2.0);
    triplets.push_entry(r + 1, n + i, h * -2.0);
    triplets.push_entry(r + 1, n + i + 1, -h);
    triplets.push_entry(r + 2, i, -1.0);
    triplets.push_entry(r + 2, n + i, -h);
    triplets.b.insert(triplets.b.end(), 3, 0.0);
  }
}

void add_interval_velocity_constraints(const Constraints& store, std::uint64_t idx_s_start, std::span<const double> s,
                                       std::size_t n, std::uint64_t k0, std::uint64_t k1, ClarabelTriplets& triplets) {
  for (std::size_t i = static_cast<std::size_t>(k0); i + 1 + k1 < n; ++i) {
    const double at_i = store.amax_at(idx_s_start + i), at_next = store.amax_at(idx_s_start + i + 1);
    if (!std::isfinite(at_i) || !std::isfinite(at_next)) continue;
    const std::size_t r = triplets.row_count();
    triplets.push_entry(r, i, 1.0);
    triplets.push_entry(r, n + i, s[i + 1] - s[i]);
    triplets.b.push_back(std::fmax(at_i, at_next));
  }
}

void add_second_order_constraints(const Constraints& store, std::uint64_t idx_s_start, std::size_t n,
                                  std::uint64_t k0, std::uint64_t k1, ClarabelTriplets& triplets) {
  const auto push_station = [&](std::size_t i) {
    const SecondOrderRows rows = store.second_order_rows_at(idx_s_start + i);
    const std::size_t r0 = triplets.row_count();
    for (std::size_t r = 0; r < rows.size(); ++r) triplets.push_entry(r0 + r, i, rows.acc_a[r]);
    for (std::size_t r = 0; r < rows.size(); ++r) triplets.push_entry(r0 + r, n + i, rows.acc_b[r]);
    triplets.b.insert(triplets.b.end(), rows.acc_max.begin(), rows.acc_max.end());
  };
  push_station(0);
  for (std::size_t i = static_cast<std::size_t>(k0) + 1; i + 1 + k1 < n; ++i) push_station(i);
  push_station(n - 1);
}

void add_third_order_constraints(const Constraints& store, std::uint64_t idx_s_start, std::span<const double> s,
                                 std::size_t n, std::uint64_t k0, std::uint64_t k1, ClarabelTriplets& triplets) {
  const std::size_t first = static_cast<std::size_t>(k0);
  const std::size_t j = n - 1 - static_cast<std::size_t>(k1);
  for (std::size_t i = first; i <= j; ++i) {
    const LinearizedJerkRows rows = store.linearized_jerk_rows_at(idx_s_start + i);
    const std::size_t m = rows.size();
    if (m == 0) continue;
    // One block per interval at the station: on interval (lo, lo + 1) b is linear, c constant,
    // and the jerk c sqrt(a) + ... is largest at the end where a is larger, which may be either
    // end, so each free interval is bounded at both of its stations.
    const auto push_block = [&](std::size_t lo) {
      const double g = 1.0 / (s[lo + 1] - s[lo]);
      const std::size_t r0 = triplets.row_count();
      const bool backward = lo + 1 == i;  // c = (b_i - b_(i-1)) g, else (b_(i+1) - b_i) g
      for (std::size_t r = 0; r < m; ++r) triplets.push_entry(r0 + r, i, rows.jerk_lin_a[r]);
      for (std::size_t r = 0; r < m; ++r) {
        triplets.push_entry(r0 + r, n + lo, backward ? -(rows.jerk_c[r] * g) : rows.jerk_b[r] - g * rows.jerk_c[r]);
      }
      for (std::size_t r = 0; r < m; ++r) {
        triplets.push_entry(r0 + r, n + lo + 1, backward ? rows.jerk_b[r] + g * rows.jerk_c[r] : g * rows.jerk_c[r]);
      }
      triplets.b.insert(triplets.b.end(), rows.jerk_lin_max.begin(), rows.jerk_lin_max.end());
    };
    if (i > first) push_block(i - 1);
    if (i < j) push_block(i);
  }
}

template <Verbosity V>
Status clarabel_standard_constraint_topp3(const Topp3Problem& problem, std::span<const double> s,
                                          ClarabelTriplets& triplets, std::uint64_t k0, std::uint64_t k1) {
  const std::size_t n = problem.s_len();
  const Constraints& store = problem.constraints;

  triplets.label_rows("boundary row");
  const std::size_t r = triplets.row_count();
  triplets.push_entry(r, 0, 1.0);
  triplets.push_entry(r + 1, n - 1, 1.0);
  triplets.push_entry(r + 2, n, 1.0);
  triplets.push_entry(r + 3, 2 * n - 1, 1.0);
  triplets.b.insert(triplets.b.end(), {problem.a_start, problem.a_final, problem.b_start, problem.b_final});
  log_block<V>("boundary", triplets);

  add_dynamic_zero_cone_constraints(s, n, k0, k1, triplets, problem.window_shapes);
  log_block<V>("dynamic+zero_cone", triplets);

  const std::size_t first_inequality = triplets.row_count();
  triplets.label_rows("first-order row", RowKind::Limit);
  if (!add_first_order_constraints(problem, n, k0, k1, triplets)) {
    return CoreError::infeasible("clarabel_standard_constraint_topp3", "Failed to add first-order constraints.");
  }
  log_block<V>("first_order", triplets);
  triplets.label_rows("interval row");
  add_interval_first_order_constraints(s, n, k0, k1, triplets);
  triplets.label_rows("interval velocity row", RowKind::Limit);
  add_interval_velocity_constraints(store, problem.idx_s_start, s, n, k0, k1, triplets);
  log_block<V>("interval_first_order", triplets);
  triplets.label_rows("second-order row", RowKind::Limit);
  add_second_order_constraints(store, problem.idx_s_start, n, k0, k1, triplets);
  log_block<V>("second_order", triplets);
  triplets.label_rows("jerk row", RowKind::Limit);
  add_third_order_constraints(store, problem.idx_s_start, s, n, k0, k1, triplets);
  triplets.cones.push_back(NonnegativeCone(triplets.row_count() - first_inequality));
  log_block<V>("third_order+final_nonnegative", triplets);
  return {};
}

template Status clarabel_standard_constraint_topp3<Verbosity::Silent>(const Topp3Problem&, std::span<const double>,
                                                                      ClarabelTriplets&, std::uint64_t, std::uint64_t);
template Status clarabel_standard_constraint_topp3<Verbosity::Summary>(const Topp3Problem&, std::span<const double>,
                                                                       ClarabelTriplets&, std::uint64_t,
                                                                       std::uint64_t);
template Status clarabel_standard_constraint_topp3<Verbosity::Debug>(const Topp3Problem&, std::span<const double>,
                                                                     ClarabelTriplets&, std::uint64_t, std::uint64_t);
template Status clarabel_standard_constraint_topp3<Verbosity::Trace>(const Topp3Problem&, std::span<const double>,
                                                                     ClarabelTriplets&, std::uint64_t, std::uint64_t);

}  // namespace qarn::qarn3

// Second-order standard constraints of the QARN2 conic program.
#include "qarn/qarn2/opt2/standard_constraints.hpp"

#include <string_view>

#include "qarn/conic/log.hpp"

namespace qarn::qarn2 {
namespace {

template <Verbosity V>
void log_step(std::string_view label, const ClarabelTriplets& t) {
  if constexpr (V >= Verbosity::Debug) log_line(block_lengths_line("clarabel_standard_constraint_topp2", label, t));
}

// The m rows of one station with b taken on one interval: a_lo enters with `lo`, a_hi with `hi`.
// Entries go column by column (lower column first), then the bounds.
template <class Lo, class Hi>
void push_station_block(const SecondOrderRows& rows, std::size_t col_lo, Lo lo, Hi hi, ClarabelTriplets& t) {
  const std::size_t r0 = t.row_count();
  const std::size_t m = rows.size();
  for (std::size_t i = 0; i < m; ++i) t.push_entry(r0 + i, col_lo, lo(i));
  for (std::size_t i = 0; i < m; ++i) t.push_entry(r0 + i, col_lo + 1, hi(i));
  t.b.insert(t.b.end(), rows.acc_max.begin(), rows.acc_max.end());
}

}  // namespace

void push_first_order_rows(const Constraints& store, std::size_t n, std::uint64_t idx_s_start,
                           ClarabelTriplets& triplets) {
  for (std::size_t k = 1; k < n; ++k) {
    triplets.push_entry(triplets.row_count(), k, -1.0);
    triplets.b.push_back(0.0);
  }
  // The bounds of the end stations too: their equality rows fix a, and a value above the bound
  // must make the program infeasible (the solvers refuse one before they get here).
  for (const FiniteAmax& bound : store.collect_finite_amax(idx_s_start, 0, n + 1)) {
    triplets.push_entry(triplets.row_count(), static_cast<std::size_t>(bound.j), 1.0);
    triplets.b.push_back(bound.amax);
  }
}

void push_second_order_rows(const Constraints& store, std::uint64_t idx_s_start, std::size_t n,
                            ClarabelTriplets& triplets) {
  for (std::size_t k = 0; k <= n; ++k) {
    const SecondOrderRows rows = store.second_order_rows_at(idx_s_start + k);
    if (rows.size() == 0) continue;
    const double s_k = store.s_at(idx_s_start + k);
    if (k >= 1) {  // b of the interval (k-1, k)
      const double c = 0.5 / (s_k - store.s_at(idx_s_start + k - 1));
      push_station_block(
          rows, k - 1, [&](std::size_t i) { return -rows.acc_b[i] * c; },
          [&](std::size_t i) { return rows.acc_a[i] + rows.acc_b[i] * c; }, triplets);
    }
    if (k < n) {  // b of the interval (k, k+1)
      const double c = 0.5 / (store.s_at(idx_s_start + k + 1) - s_k);
      push_station_block(
          rows, k, [&](std::size_t i) { return rows.acc_a[i] - rows.acc_b[i] * c; },
          [&](std::size_t i) { return rows.acc_b[i] * c; }, triplets);
    }
  }
}

template <Verbosity V>
void clarabel_standard_constraint_topp2(const Qarn2Problem& problem, ClarabelTriplets& triplets) {
  const Constraints& store = problem.robot.constraints();
  const std::size_t n = problem.idx_s_final - problem.idx_s_start;

  triplets.label_rows("boundary row");
  push_equality_row(0, triplets, problem.a_start);
  log_step<V>("a_start", triplets);
  push_equality_row(n, triplets, problem.a_final);
  log_step<V>("a_final", triplets);

  const std::size_t first_inequality = triplets.row_count();
  triplets.label_rows("first-order row", RowKind::Limit);
  push_first_order_rows(store, n, problem.idx_s_start, triplets);
  log_step<V>("first_order", triplets);
  triplets.label_rows("second-order row", RowKind::Limit);
  push_second_order_rows(store, problem.idx_s_start, n, triplets);
  log_step<V>("second_order", triplets);

  triplets.cones.push_back(NonnegativeCone(triplets.row_count() - first_inequality));
  log_step<V>("final_nonnegative_cone", triplets);
}

template void clarabel_standard_constraint_topp2<Verbosity::Silent>(const Qarn2Problem&, ClarabelTriplets&);
template void clarabel_standard_constraint_topp2<Verbosity::Summary>(const Qarn2Problem&, ClarabelTriplets&);
template void clarabel_standard_constraint_topp2<Verbosity::Debug>(const Qarn2Problem&, ClarabelTriplets&);
template void clarabel_standard_constraint_topp2<Verbosity::Trace>(const Qarn2Problem&, ClarabelTriplets&);

}  // namespace qarn::qarn2

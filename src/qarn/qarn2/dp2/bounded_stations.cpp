// Upper-boundedness of a over a window: a cheap proof by propagation, the reachable set otherwise.
#include "qarn/qarn2/dp2/bounded_stations.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "diag/format.hpp"
#include "qarn/qarn2/dp2/reach_set2.hpp"

namespace qarn::qarn2 {
namespace {

// Whether a row c_self*a_self + c_other*a_other <= bound bounds a_self from above, given whether
// a_other is bounded (a >= 0 always).
bool row_bounds(double c_self, double c_other, double bound, bool other_bounded) {
  if (!std::isfinite(c_self) || !std::isfinite(c_other) || !std::isfinite(bound)) return false;
  return c_self > 0 && (c_other >= 0 || other_bounded);
}

// Whether the rows of interval (k, k+1) bound a at station `self` (k or k + 1) given the other.
bool interval_bounds(const Constraints& store, std::uint64_t idx_k, bool self_is_left, bool other_bounded) {
  const double c = 0.5 / (store.s_at(idx_k + 1) - store.s_at(idx_k));
  for (const std::uint64_t station : {idx_k, idx_k + 1}) {
    const SecondOrderRows rows = store.second_order_rows_at(station);
    const bool at_left = station == idx_k;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      // b = (a_(k+1) - a_k) c, so the row is (acc_a [at this station] - acc_b c) a_k + (acc_b c [+ acc_a]) a_(k+1).
      const double left = (at_left ? rows.acc_a[i] : 0.0) - rows.acc_b[i] * c;
      const double right = (at_left ? 0.0 : rows.acc_a[i]) + rows.acc_b[i] * c;
      const bool bounds = self_is_left ? row_bounds(left, right, rows.acc_max[i], other_bounded)
                                       : row_bounds(right, left, rows.acc_max[i], other_bounded);
      if (bounds) return true;
    }
  }
  return false;
}

}  // namespace

std::optional<std::uint64_t> first_unbounded_station(const Topp2Problem& problem) {
  const Constraints& store = problem.store;
  const std::size_t n = problem.idx_s_final - problem.idx_s_start;
  std::vector<char> bounded(n + 1, 0);
  bounded[0] = bounded[n] = 1;
  std::size_t open = 0;
  for (std::size_t k = 1; k < n; ++k) {
    bounded[k] = std::isfinite(store.amax_at(problem.idx_s_start + k));
    open += bounded[k] ? 0 : 1;
  }
  // Sweeps in both directions until nothing changes; each sweep proves whole runs at once.
  for (bool changed = open > 0; changed;) {
    changed = false;
    for (std::size_t k = n - 1; k >= 1; --k) {  // from the final station back
      if (!bounded[k] && interval_bounds(store, problem.idx_s_start + k, true, bounded[k + 1])) {
        bounded[k] = 1;
        changed = true;
        --open;
      }
    }
    for (std::size_t k = 1; k < n; ++k) {  // from the first station on
      if (!bounded[k] && interval_bounds(store, problem.idx_s_start + k - 1, false, bounded[k - 1])) {
        bounded[k] = 1;
        changed = true;
        --open;
      }
    }
  }
  if (open == 0) return std::nullopt;

  const Result<ReachSet2> set = reach_set2_bidirectional(problem, ReachSet2Options{});
  if (!set) return std::nullopt;
  for (std::size_t k = 0; k <= n; ++k) {
    if (std::isinf(set->a_max[k])) return problem.idx_s_start + k;
  }
  return std::nullopt;
}

Status check_bounded_window(std::string_view component, const Topp2Problem& problem) {
  if (const auto idx_s = first_unbounded_station(problem)) {
    return CoreError::unbounded(std::string(component),
                                fmt::format("The reachable set is unbounded at index {} where a_max = inf", *idx_s));
  }
  return {};
}

}  // namespace qarn::qarn2

// Writers of the first-, second- and third-order constraint rows and the per-station and
// per-interval readers the solvers loop over. Readers return views into the store's columns
// and append LP rows into caller-owned vectors, so a solver loop allocates nothing here.
#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "qarn/constraints.hpp"
#include "qarn/station_store_detail.hpp"

namespace qarn {

using detail::out_of_memory;

namespace {

bool same_shape(const MatrixView& a, const MatrixView& b) { return a.rows() == b.rows() && a.cols() == b.cols(); }

// Minimum of one column by the rule m = x unless m <= x, except that a NaN entry makes the
// minimum NaN (the plain rule would drop a NaN met after a smaller value and keep one met first).
double column_minimum(const MatrixView& block, Eigen::Index c) {
  if (block.rows() == 0) return std::numeric_limits<double>::infinity();
  double m = block(0, c);
  for (Eigen::Index r = 1; r < block.rows() && !std::isnan(m); ++r) {
    const double x = block(r, c);
    if (std::isnan(x) || x < m) m = x;
  }
  return m;
}

}  // namespace

// ---- first order ----

std::vector<double> column_minimums(const MatrixView& block) {
  std::vector<double> minima(static_cast<std::size_t>(block.cols()));
  for (Eigen::Index c = 0; c < block.cols(); ++c) minima[static_cast<std::size_t>(c)] = column_minimum(block, c);
  return minima;
}

Status Constraints::add_constraint_1st(const MatrixView& amax, std::uint64_t idx_s) {
  const std::uint64_t n = static_cast<std::uint64_t>(amax.cols());
  if (!contains(idx_s, n)) return ConstraintError::OutOfSBounds{idx_s, n};
  if (amax.rows() == 0 || n == 0) return {};
  // A NaN bound is not a positive bound: refusing it keeps a missing limit from passing silently.
  // The minima are computed twice (check, then write) rather than stored, so that a bound per
  // station costs no allocation.
  for (Eigen::Index c = 0; c < amax.cols(); ++c) {
    if (!(column_minimum(amax, c) > 0.0)) return ConstraintError::NonPositiveA{};
  }
  for (Eigen::Index c = 0; c < amax.cols(); ++c) {
    double& stored = amax_(0, slot_of(idx_s + static_cast<std::uint64_t>(c)));
    stored = std::fmin(stored, column_minimum(amax, c));
  }
  return {};
}

Status Constraints::amax_substitute(std::span<const double> amax, std::uint64_t idx_s) {
  const std::uint64_t n = amax.size();
  if (!contains(idx_s, n)) return ConstraintError::OutOfSBounds{idx_s, n};
  for (std::uint64_t j = 0; j < n; ++j) amax_(0, slot_of(idx_s + j)) = amax[static_cast<std::size_t>(j)];
  return {};
}

// ---- second and third order ----

// Makes every allocation a row update needs before anything changes: room for the run splits
// and matrices tall enough for the raised counts. A count that would overflow is reported as
// the window error of the call.
Status Constraints::prepare_row_update(StationRunMap& map, std::uint64_t idx_s, std::uint64_t n, std::uint64_t r,
                                       std::span<StationMatrix* const> matrices) {
  const std::uint64_t most = map.max_rows_in_range(idx_s, idx_s + n);
  constexpr std::uint64_t kMaxRows = static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());
  if (r > kMaxRows || most > kMaxRows - r) return ConstraintError::OutOfSBounds{idx_s, n};
  const std::size_t rows = static_cast<std::size_t>(most + r);
  if (!map.reserve_extra(2)) return out_of_memory("Constraints::add_constraint_rows");
  try {
    for (StationMatrix* m : matrices) m->grow_rows(rows);
  } catch (const std::bad_alloc&) {
    return out_of_memory("Constraints::add_constraint_rows");
  }
  return {};
}

// The block's rows go into the rows each station has just gained (the map counts are already
// raised), above the last `rows_below` of them, negated with is_negative; each station's column
// is its own ring slot.
void Constraints::write_constraint_rows(StationMatrix& matrix, const StationRunMap& map, const MatrixView& block,
                                        std::uint64_t idx_s, bool is_negative, std::size_t rows_below) {
  const std::uint64_t hi = idx_s + static_cast<std::uint64_t>(block.cols());
  const std::size_t r = static_cast<std::size_t>(block.rows());
  const double sign = is_negative ? -1.0 : 1.0;
  for (const StationRun& run : map.runs_overlapping(idx_s, hi)) {
    const std::size_t first_row = static_cast<std::size_t>(run.rows) - r - rows_below;
    for (std::uint64_t i = std::max(idx_s, run.start); i < std::min(hi, run.end); ++i) {
      const double* src = block.data() + static_cast<std::ptrdiff_t>(i - idx_s) * block.outerStride();
      double* dst = matrix.col(slot_of(i)) + first_row;
      for (std::size_t k = 0; k < r; ++k) dst[k] = sign * src[k];
    }
  }
}

// Every bound block is checked and the room for all of them made before the first row is
// written, so a limit's two sides are stored together or not at all.
Status Constraints::add_rows_2nd(const MatrixView& acc_a, const MatrixView& acc_b,
                                 std::span<const SignedBound> bounds, std::uint64_t idx_s) {
  for (const SignedBound& b : bounds) {
    if (!same_shape(acc_a, acc_b) || !same_shape(acc_a, *b.bound)) return ConstraintError::NoMatchDimensions{};
  }
  const std::uint64_t n = static_cast<std::uint64_t>(acc_a.cols());
  const std::uint64_t r = static_cast<std::uint64_t>(acc_a.rows());
  if (!contains(idx_s, n)) return ConstraintError::OutOfSBounds{idx_s, n};
  if (r == 0 || n == 0) return {};
  const std::uint64_t added = r * bounds.size();
  StationMatrix* const matrices[] = {&acc_a_, &acc_b_, &acc_max_};
  QARN_TRY(prepare_row_update(acc_runs_, idx_s, n, added, matrices));

  acc_runs_.update_range(idx_s, idx_s + n, added, true);
  std::size_t below = static_cast<std::size_t>(added);
  for (const SignedBound& b : bounds) {
    below -= static_cast<std::size_t>(r);
    write_constraint_rows(acc_a_, acc_runs_, acc_a, idx_s, b.is_negative, below);
    write_constraint_rows(acc_b_, acc_runs_, acc_b, idx_s, b.is_negative, below);
    write_constraint_rows(acc_max_, acc_runs_, *b.bound, idx_s, b.is_negative, below);
  }
  acc_runs_.merge_equal_runs(idx_s, idx_s + n);
  return {};
}

// `coefficients` are jerk_a, jerk_b, jerk_c, jerk_d.
Status Constraints::add_rows_3rd(std::span<const MatrixView* const> coefficients,
                                 std::span<const SignedBound> bounds, std::uint64_t idx_s) {
  const MatrixView& first = *coefficients[0];
  for (const MatrixView* c : coefficients) {
    if (!same_shape(first, *c)) return ConstraintError::NoMatchDimensions{};
  }
  for (const SignedBound& b : bounds) {
    if (!same_shape(first, *b.bound)) return ConstraintError::NoMatchDimensions{};
  }
  const std::uint64_t n = static_cast<std::uint64_t>(first.cols());
  const std::uint64_t r = static_cast<std::uint64_t>(first.rows());
  if (!contains(idx_s, n)) return ConstraintError::OutOfSBounds{idx_s, n};
  if (r == 0 || n == 0) return {};
  const std::uint64_t added = r * bounds.size();
  // The linearized rows grow with the raw ones so that every valid raw row has a linearized slot.
  StationMatrix* const matrices[] = {&jerk_a_, &jerk_b_, &jerk_c_, &jerk_d_, &jerk_max_, &jerk_lin_a_, &jerk_lin_max_};
  QARN_TRY(prepare_row_update(jerk_runs_, idx_s, n, added, matrices));

  if (lin_range_.end > idx_s && lin_range_.start < idx_s + n) lin_range_ = {0, 0};
  jerk_runs_.update_range(idx_s, idx_s + n, added, true);
  StationMatrix* const targets[] = {&jerk_a_, &jerk_b_, &jerk_c_, &jerk_d_};
  std::size_t below = static_cast<std::size_t>(added);
  for (const SignedBound& b : bounds) {
    below -= static_cast<std::size_t>(r);
    for (std::size_t k = 0; k < 4; ++k) {
      write_constraint_rows(*targets[k], jerk_runs_, *coefficients[k], idx_s, b.is_negative, below);
    }
    write_constraint_rows(jerk_max_, jerk_runs_, *b.bound, idx_s, b.is_negative, below);
  }
  jerk_runs_.merge_equal_runs(idx_s, idx_s + n);
  return {};
}

Status Constraints::add_constraint_2nd(const MatrixView& acc_a, const MatrixView& acc_b, const MatrixView& acc_max,
                                       std::uint64_t idx_s, bool is_negative) {
  const SignedBound bounds[] = {{&acc_max, is_negative}};
  return add_rows_2nd(acc_a, acc_b, bounds, idx_s);
}

Status Constraints::add_constraint_2nd_pair(const MatrixView& acc_a, const MatrixView& acc_b,
                                            const MatrixView& upper, const MatrixView& lower, std::uint64_t idx_s) {
  const SignedBound bounds[] = {{&upper, false}, {&lower, true}};
  return add_rows_2nd(acc_a, acc_b, bounds, idx_s);
}

Status Constraints::add_constraint_3rd(const MatrixView& jerk_a, const MatrixView& jerk_b, const MatrixView& jerk_c,
                                       const MatrixView& jerk_d, const MatrixView& jerk_max, std::uint64_t idx_s,
                                       bool is_negative) {
  const MatrixView* const coefficients[] = {&jerk_a, &jerk_b, &jerk_c, &jerk_d};
  const SignedBound bounds[] = {{&jerk_max, is_negative}};
  return add_rows_3rd(coefficients, bounds, idx_s);
}

Status Constraints::add_constraint_3rd_pair(const MatrixView& jerk_a, const MatrixView& jerk_b,
                                            const MatrixView& jerk_c, const MatrixView& jerk_d,
                                            const MatrixView& upper, const MatrixView& lower, std::uint64_t idx_s) {
  const MatrixView* const coefficients[] = {&jerk_a, &jerk_b, &jerk_c, &jerk_d};
  const SignedBound bounds[] = {{&upper, false}, {&lower, true}};
  return add_rows_3rd(coefficients, bounds, idx_s);
}

// ---- per-station readers ----

SecondOrderRows Constraints::second_order_rows_at(std::uint64_t idx_s) const {
  if (!contains(idx_s, 1)) return {};
  const std::size_t slot = slot_of(idx_s);
  const std::size_t count = static_cast<std::size_t>(acc_runs_.rows_at(idx_s));
  return {acc_a_.head(slot, count), acc_b_.head(slot, count), acc_max_.head(slot, count)};
}

ThirdOrderRows Constraints::third_order_rows_at(std::uint64_t idx_s) const {
  if (!contains(idx_s, 1)) return {};
  const std::size_t slot = slot_of(idx_s);
  const std::size_t count = static_cast<std::size_t>(jerk_runs_.rows_at(idx_s));
  return {jerk_a_.head(slot, count), jerk_b_.head(slot, count), jerk_c_.head(slot, count), jerk_d_.head(slot, count),
          jerk_max_.head(slot, count)};
}

LinearizedJerkRows Constraints::linearized_jerk_rows_at(std::uint64_t idx_s) const {
  if (!contains(idx_s, 1)) return {};
  const std::size_t slot = slot_of(idx_s);
  const std::size_t count = static_cast<std::size_t>(jerk_runs_.rows_at(idx_s));
  return {jerk_lin_a_.head(slot, count), jerk_b_.head(slot, count), jerk_c_.head(slot, count),
          jerk_lin_max_.head(slot, count)};
}

// ---- interval rows of the two-variable LP ----

// Over the interval (k, k+1) with f = 0.5 / h, b = f * (a[k+1] - a[k]); each second-order row is
// evaluated with a at its own station. `forward` puts a[k] in x (bidirectional pass), else
// a[k+1] (backward pass and time-optimal forward walk).
namespace {

template <bool kForward>
void append_interval_rows(const Constraints& store, std::vector<Lp2dRow>& out, std::uint64_t k) {
  if (!store.contains(k, 2)) return;
  const double f = 0.5 / (store.s_at(k + 1) - store.s_at(k));
  const SecondOrderRows left = store.second_order_rows_at(k);
  const SecondOrderRows right = store.second_order_rows_at(k + 1);
  // Sized once and written by index: this runs once per station in the reachability passes,
  // where per-row push_back bookkeeping is a measurable share of the time.
  std::size_t n = out.size();
  out.resize(n + left.size() + right.size());
  Lp2dRow* rows = out.data();
  for (std::size_t r = 0; r < left.size(); ++r) {
    if (!std::isfinite(left.acc_max[r])) continue;
    const double fb = f * left.acc_b[r];
    const double own = left.acc_a[r] - fb;  // coefficient of a[k]
    if constexpr (kForward) {
      rows[n++] = {own, fb, left.acc_max[r]};
    } else {
      rows[n++] = {fb, own, left.acc_max[r]};
    }
  }
  for (std::size_t r = 0; r < right.size(); ++r) {
    if (!std::isfinite(right.acc_max[r])) continue;
    const double fb = f * right.acc_b[r];
    const double own = right.acc_a[r] + fb;  // coefficient of a[k+1]
    if constexpr (kForward) {
      rows[n++] = {-fb, own, right.acc_max[r]};
    } else {
      rows[n++] = {own, -fb, right.acc_max[r]};
    }
  }
  out.resize(n);
}

}  // namespace

void Constraints::interval_rows(std::vector<Lp2dRow>& out, std::uint64_t idx_s) const {
  append_interval_rows<false>(*this, out, idx_s);
}

void Constraints::interval_rows_bidirectional(std::vector<Lp2dRow>& out, std::uint64_t idx_s) const {
  append_interval_rows<true>(*this, out, idx_s);
}

std::vector<FiniteAmax> Constraints::collect_finite_amax(std::uint64_t base, std::uint64_t from,
                                                         std::uint64_t to) const {
  std::vector<FiniteAmax> out;
  // Only the j whose station base + j is stored can contribute.
  const std::uint64_t start = idx_s_start_, end = idx_s_end();
  if (base > end) return out;
  const std::uint64_t lo = std::max(from, base >= start ? 0 : start - base);
  const std::uint64_t hi = std::min(to, end - base);
  for (std::uint64_t j = lo; j < hi; ++j) {
    const double amax = amax_(0, slot_of(base + j));
    if (std::isfinite(amax)) out.push_back({j, amax});
  }
  return out;
}

std::vector<double> collect_torque2_terms(std::span<const double> s) {
  std::vector<double> factors;
  if (s.size() < 2) return factors;
  factors.reserve(s.size() - 1);
  for (std::size_t m = 0; m + 1 < s.size(); ++m) factors.push_back(0.5 / (s[m + 1] - s[m]));
  return factors;
}

}  // namespace qarn

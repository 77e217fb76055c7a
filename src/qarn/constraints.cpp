// The station store's ring: creation, appending with growth, path derivatives, windowing from
// either end and the block reads of s and amax.
#include "qarn/constraints.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "diag/format.hpp"
#include "diag/memory_limit.hpp"
#include "diag/out_of_memory.hpp"
#include "math/numerical/saturating.hpp"
#include "qarn/station_store_detail.hpp"

namespace qarn {

using detail::out_of_memory;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Rows of the matrices that hold two rows per axis; an absurd dim saturates, and the constructor
// then refuses it by its size.
std::size_t doubled(std::size_t n) { return saturating_mul(n, 2); }

// `what` would need `needed` bytes, beyond `limit`; a saturated `needed` is a lower bound.
[[noreturn]] void refuse_beyond_memory(const std::string& what, std::uint64_t needed, std::uint64_t limit) {
  const bool saturated = needed == std::numeric_limits<std::uint64_t>::max();
  throw OutOfMemory(fmt::format("{} would need {}{} bytes, more than this process can hold ({} bytes)", what,
                                saturated ? "at least " : "", needed, limit));
}

}  // namespace

Constraints::Constraints(std::size_t dim, std::size_t capacity)
    : dim_(dim),
      capacity_(capacity),
      s_(1, 0.0),
      q_(dim, 0.0),
      dq_(dim, 0.0),
      ddq_(dim, 0.0),
      dddq_(dim, 0.0),
      amax_(1, kInf),
      acc_a_(doubled(dim), 0.0),
      acc_b_(doubled(dim), 0.0),
      acc_max_(doubled(dim), kInf),
      jerk_a_(doubled(dim), 0.0),
      jerk_b_(doubled(dim), 0.0),
      jerk_c_(doubled(dim), 0.0),
      jerk_d_(doubled(dim), 0.0),
      jerk_max_(doubled(dim), kInf),
      jerk_lin_a_(doubled(dim), 0.0),
      jerk_lin_max_(doubled(dim), kInf) {
  // Nothing is allocated for the slots yet, but a ring that could never be filled is refused now:
  // filling it would not fail cleanly, the system would end the process. A station that alone
  // exceeds the memory is the fault of `dim`, a ring of storable stations that of `capacity`.
  std::uint64_t per_station = 0;
  for (const StationMatrix* m : matrices()) {
    per_station = saturating_add(per_station, saturating_mul(m->rows(), sizeof(double)));
  }
  const std::uint64_t needed = saturating_mul(per_station, capacity);
  const std::uint64_t limit = memory_the_process_can_hold();
  if (needed <= limit) return;
  if (per_station > limit) {
    refuse_beyond_memory(fmt::format("one station of `dim` = {} axes", dim), per_station, limit);
  }
  refuse_beyond_memory(fmt::format("`capacity` = {} stations of {} axes", capacity, dim), needed, limit);
}

Constraints Constraints::with_capacity(std::size_t dim, std::size_t capacity) { return Constraints(dim, capacity); }

bool Constraints::contains(std::uint64_t idx_s, std::uint64_t n) const {
  const std::uint64_t end = idx_s_end();
  return idx_s >= idx_s_start_ && idx_s <= end && n <= end - idx_s;
}

// ---- appending ----

namespace {

// The first offending local index of values to append after `last` (none when the store is
// empty): a NaN, a first value not above `last`, or a non-increasing pair. A NaN station would
// break the ordering invariant silently (later comparisons against it never fail) and turn the
// rows of its intervals into empty LP rows, so it is refused like any other ordering fault.
std::optional<std::size_t> first_bad_append_index(std::span<const double> s, std::optional<double> last) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (std::isnan(s[i])) return i;
    if (i == 0 && last && s[0] <= *last) return 0;
    if (i + 1 < s.size() && s[i] >= s[i + 1]) return i;
  }
  return std::nullopt;
}

}  // namespace

Status Constraints::append_s(std::span<const double> s) {
  const std::size_t n = s.size();
  if (n == 0) return {};
  const std::optional<double> last = len_ > 0 ? std::optional<double>(s_(0, slot_of(idx_s_end() - 1))) : std::nullopt;
  if (const auto bad = first_bad_append_index(s, last)) return ConstraintError::NonIncreasingS{*bad};
  if (n > std::numeric_limits<std::uint64_t>::max() - idx_s_end()) {
    return ConstraintError::OutOfSBounds{idx_s_end(), n};
  }
  // The run lists first: a growth that succeeds is not undone when a later allocation fails.
  for (StationRunMap* map : run_maps()) {
    if (!map->reserve_extra(1)) return out_of_memory("Constraints::append_s");
  }
  const std::size_t room = capacity_ - len_;
  if (n > room / 2) QARN_TRY(grow_for(n));
  const std::uint64_t first = idx_s_end();
  const std::size_t p = slot_of(first);
  QARN_TRY(allocate_slots(n <= capacity_ - p ? p + n : capacity_));

  for_each_slot_block(first, n, [&](std::size_t slot, std::size_t offset, std::size_t count) {
    std::copy_n(s.data() + offset, count, s_.col(slot));
  });
  for (StationRunMap* map : run_maps()) map->extend_back(first, n);
  len_ += n;
  return {};
}

std::array<StationMatrix*, 16> Constraints::matrices() {
  return {&s_,     &q_,      &dq_,     &ddq_,       &dddq_,       &amax_,        &acc_a_, &acc_b_, &acc_max_,
          &jerk_a_, &jerk_b_, &jerk_c_, &jerk_d_, &jerk_max_, &jerk_lin_a_, &jerk_lin_max_};
}

// Sets the capacity to max(2 * capacity + 1, len + 2 * extra) and rebuilds every column matrix
// with the stations in order from slot 0 and columns for the `extra` slots after them. All new
// matrices are built before any is swapped in, so a failed allocation leaves the store as it was.
Status Constraints::grow_for(std::size_t extra) {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  if (extra > (kMax - len_) / 2 || capacity_ > (kMax - 1) / 2) return out_of_memory("Constraints::append_s");
  const std::size_t new_capacity = std::max(2 * capacity_ + 1, len_ + 2 * extra);

  const std::array<StationMatrix*, 16> old = matrices();
  std::array<StationMatrix, 16> grown;
  try {
    for (std::size_t m = 0; m < old.size(); ++m) {
      grown[m] = StationMatrix(old[m]->rows(), old[m]->fill());
      grown[m].reserve_cols(len_ + extra);
      for_each_slot_block(idx_s_start_, len_, [&](std::size_t slot, std::size_t offset, std::size_t count) {
        std::copy_n(old[m]->col(slot), count * old[m]->rows(), grown[m].col(offset));
      });
    }
  } catch (const std::bad_alloc&) {
    return out_of_memory("Constraints::append_s");
  }
  for (std::size_t m = 0; m < old.size(); ++m) std::swap(*old[m], grown[m]);
  capacity_ = new_capacity;
  allocated_slots_ = len_ + extra;
  head_ = 0;
  return {};
}

Status Constraints::allocate_slots(std::size_t end) {
  if (end <= allocated_slots_) return {};
  const std::uint64_t doubled_slots = saturating_mul(allocated_slots_, 2);
  const std::size_t target = std::min<std::size_t>(capacity_, std::max<std::uint64_t>(end, doubled_slots));
  try {
    // A matrix that grew before another failed keeps its columns: they hold the fill value and
    // lie beyond every station, so nothing a reader sees changes.
    for (StationMatrix* m : matrices()) m->reserve_cols(target);
  } catch (const std::bad_alloc&) {
    return out_of_memory("Constraints::append_s");
  }
  allocated_slots_ = target;
  return {};
}

// ---- path derivatives ----

namespace {

// The first entry of a block of path derivatives (column j = station idx_s + j, row = axis) that
// is not a finite number, as NonFiniteDerivative.
Status check_finite_derivative(const char* name, const MatrixView& block, std::uint64_t idx_s) {
  for (Eigen::Index j = 0; j < block.cols(); ++j) {
    for (Eigen::Index i = 0; i < block.rows(); ++i) {
      if (!std::isfinite(block(i, j))) {
        return ConstraintError::NonFiniteDerivative{name, static_cast<std::size_t>(idx_s + static_cast<std::uint64_t>(j)),
                                                    static_cast<std::size_t>(i), block(i, j)};
      }
    }
  }
  return {};
}

}  // namespace

Status Constraints::set_q(const MatrixView& q, const MatrixView& dq, const MatrixView& ddq,
                          const std::optional<MatrixView>& dddq, std::uint64_t idx_s) {
  const auto same_shape = [&q](const MatrixView& m) { return m.rows() == q.rows() && m.cols() == q.cols(); };
  if (static_cast<std::size_t>(q.rows()) != dim_ || !same_shape(dq) || !same_shape(ddq) ||
      (dddq && !same_shape(*dddq))) {
    return ConstraintError::NoMatchDimensions{};
  }
  const std::uint64_t n = static_cast<std::uint64_t>(q.cols());
  if (!contains(idx_s, n)) return ConstraintError::OutOfSBounds{idx_s, n};
  if (n == 0) return {};
  // Every solver builds its rows from these values; a NaN would silently drop the axis's limits.
  const std::pair<const char*, const MatrixView*> blocks[] = {{"q", &q}, {"dq", &dq}, {"ddq", &ddq}};
  for (const auto& [name, block] : blocks) QARN_TRY(check_finite_derivative(name, *block, idx_s));
  if (dddq) QARN_TRY(check_finite_derivative("dddq", *dddq, idx_s));
  if (!q_runs_.reserve_extra(2) || !dddq_runs_.reserve_extra(2)) return out_of_memory("Constraints::set_q");

  write_station_block(q_, q, idx_s);
  write_station_block(dq_, dq, idx_s);
  write_station_block(ddq_, ddq, idx_s);
  q_runs_.update_range(idx_s, idx_s + n, dim_, false);
  q_runs_.merge_equal_runs(idx_s, idx_s + n);
  if (dddq) {
    write_station_block(dddq_, *dddq, idx_s);
    dddq_runs_.update_range(idx_s, idx_s + n, dim_, false);
    dddq_runs_.merge_equal_runs(idx_s, idx_s + n);
  } else {
    clear_dddq_block(idx_s, n);
  }
  return {};
}

// Block column j goes to rows 0 .. r-1 of the slot of station idx_s + j (r <= matrix rows:
// every caller writes a full-height block of q-like data).
void Constraints::write_station_block(StationMatrix& matrix, const MatrixView& block, std::uint64_t idx_s) {
  const std::size_t r = static_cast<std::size_t>(block.rows());
  const std::size_t n = static_cast<std::size_t>(block.cols());
  for (std::size_t j = 0; j < n; ++j) {
    std::copy_n(block.data() + static_cast<std::ptrdiff_t>(j) * block.outerStride(), r, matrix.col(slot_of(idx_s + j)));
  }
}

void Constraints::reset_station_columns(StationMatrix& matrix, std::uint64_t idx_s, std::uint64_t n) {
  for_each_slot_block(idx_s, n, [&](std::size_t slot, std::size_t, std::size_t count) {
    matrix.reset_cols(slot, count);
  });
}

void Constraints::clear_dddq_block(std::uint64_t idx_s, std::uint64_t n) {
  reset_station_columns(dddq_, idx_s, n);
  dddq_runs_.update_range(idx_s, idx_s + n, 0, false);
  dddq_runs_.merge_equal_runs(idx_s, idx_s + n);
}

double Constraints::s_at(std::uint64_t idx_s) const { return contains(idx_s, 1) ? s_(0, slot_of(idx_s)) : kNaN; }

double Constraints::amax_at(std::uint64_t idx_s) const {
  return contains(idx_s, 1) ? amax_(0, slot_of(idx_s)) : kNaN;
}

std::span<const double> Constraints::q_at(std::uint64_t idx_s) const {
  return contains(idx_s, 1) ? q_.head(slot_of(idx_s), dim_) : std::span<const double>{};
}
std::span<const double> Constraints::dq_at(std::uint64_t idx_s) const {
  return contains(idx_s, 1) ? dq_.head(slot_of(idx_s), dim_) : std::span<const double>{};
}
std::span<const double> Constraints::ddq_at(std::uint64_t idx_s) const {
  return contains(idx_s, 1) ? ddq_.head(slot_of(idx_s), dim_) : std::span<const double>{};
}
std::span<const double> Constraints::dddq_at(std::uint64_t idx_s) const {
  return contains(idx_s, 1) ? dddq_.head(slot_of(idx_s), dim_) : std::span<const double>{};
}

// ---- windowing ----

void Constraints::empty_window() {
  for (StationRunMap* map : run_maps()) map->clear();
  head_ = 0;
  len_ = 0;
  amax_.reset();
}

void Constraints::clear(bool keep_idx_s) {
  empty_window();
  if (!keep_idx_s) idx_s_start_ = 0;
}

void Constraints::pop_front(PopMode mode, std::uint64_t value) {
  const std::uint64_t cut =
      mode == PopMode::Count ? idx_s_start_ + std::min<std::uint64_t>(value, len_) : std::min(idx_s_end(), value);
  if (cut <= idx_s_start_) return;
  const std::uint64_t k = cut - idx_s_start_;
  if (k >= len_) {
    empty_window();
    return;
  }
  // Freed slots go back to amax = +inf so that a later tightening starts from "no bound".
  reset_station_columns(amax_, idx_s_start_, k);
  for (StationRunMap* map : run_maps()) map->trim_front(cut);
  head_ += static_cast<std::size_t>(k);
  if (head_ >= capacity_) head_ -= capacity_;
  idx_s_start_ = cut;
  len_ -= static_cast<std::size_t>(k);
}

void Constraints::pop_back(PopMode mode, std::uint64_t value) {
  const std::uint64_t cut = mode == PopMode::Count ? idx_s_start_ + (len_ - std::min<std::uint64_t>(value, len_))
                                                   : std::max(idx_s_start_, value);
  if (cut >= idx_s_end()) return;
  const std::uint64_t k = idx_s_end() - cut;
  if (k >= len_) {
    empty_window();
    return;
  }
  reset_station_columns(amax_, cut, k);
  for (StationRunMap* map : run_maps()) map->trim_back(cut);
  len_ -= static_cast<std::size_t>(k);
}

// ---- block reads ----

Result<std::vector<double>> Constraints::read_first_row(const StationMatrix& matrix, std::uint64_t from,
                                                        std::uint64_t to) const {
  if (to <= from) return ConstraintError::EmptyInterval{from, to};
  if (!contains(from, to - from)) return ConstraintError::OutOfSBounds{from, to - from};
  std::vector<double> out(static_cast<std::size_t>(to - from));
  for_each_slot_block(from, to - from, [&](std::size_t slot, std::size_t offset, std::size_t count) {
    std::copy_n(matrix.col(slot), count, out.data() + offset);
  });
  return out;
}

Result<std::vector<double>> Constraints::s_values(std::uint64_t from, std::uint64_t to) const {
  return read_first_row(s_, from, to);
}

Result<std::vector<double>> Constraints::amax_values(std::uint64_t from, std::uint64_t to) const {
  return read_first_row(amax_, from, to);
}

}  // namespace qarn

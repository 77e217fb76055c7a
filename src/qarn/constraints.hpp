// The station store `Constraints`: a ring buffer over a window of path stations holding s, the
// path derivatives, the first-order bound amax, the raw second- and third-order constraint rows
// and the linearized jerk rows. Every solver reads its problem data from here.
//
// Stations carry global ids idx_s; the window is [idx_s_start, idx_s_start + len). The slot of a
// station is (head + idx_s - idx_s_start) mod capacity; appends write at the back, pops move the
// window at either end without moving data, growth reallocates only when room runs out. The
// capacity is a reservation: the columns of the slots are allocated as appends first reach them.
//
// Implementation is split by concern: constraints.cpp (store, windowing, derivatives),
// constraint_rows.cpp (row writers and per-station readers), stationary_window.cpp (bounds at a
// rest window), jerk_linearization.cpp, axial_limits.cpp.
#pragma once

#include <Eigen/Core>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "diag/result.hpp"
#include "math/numerical/lp_row.hpp"
#include "qarn/rest_window.hpp"
#include "qarn/station_matrix.hpp"
#include "qarn/station_run_map.hpp"

namespace qarn {

// A dense f64 matrix argument: one column per station, rows as the operation says.
using MatrixView = Eigen::Ref<const Eigen::MatrixXd>;

// How a pop's value is read: a number of stations, or the station id to cut at.
enum class PopMode : std::uint8_t { Count, Until };

// The valid second-order rows of one station, acc_a*a + acc_b*b <= acc_max; views into the store.
struct SecondOrderRows {
  std::span<const double> acc_a, acc_b, acc_max;
  std::size_t size() const { return acc_a.size(); }
};

// The valid third-order rows of one station, jerk_a*a + jerk_b*b + jerk_c*c + jerk_d <= jerk_max/sqrt(a).
struct ThirdOrderRows {
  std::span<const double> jerk_a, jerk_b, jerk_c, jerk_d, jerk_max;
  std::size_t size() const { return jerk_a.size(); }
};

// The linearized jerk rows of one station, jerk_lin_a*a + jerk_b*b + jerk_c*c <= jerk_lin_max.
struct LinearizedJerkRows {
  std::span<const double> jerk_lin_a, jerk_b, jerk_c, jerk_lin_max;
  std::size_t size() const { return jerk_lin_a.size(); }
};

// Bounds on a value; upper < lower means no value fits.
struct BoundPair {
  double upper;
  double lower;
};

// A finite first-order bound at local station j of a problem window.
struct FiniteAmax {
  std::uint64_t j;
  double amax;
};

// Half-open range of station ids.
struct StationRange {
  std::uint64_t start;
  std::uint64_t end;
};

// The four kinds of axial limits; `bound_name` names them in errors.
enum class AxialLimit : std::uint8_t { Velocity = 0, Acceleration = 1, Jerk = 2, Torque = 3 };
const char* bound_name(AxialLimit kind);

class Constraints {
 public:
  // An empty store for `dim` axes with `capacity` ring slots (both >= 1 in every caller); no slot
  // is allocated yet. Throws OutOfMemory when the full ring would need more memory than the
  // process can ever hold.
  static Constraints with_capacity(std::size_t dim, std::size_t capacity);

  // ---- scalar fields ----
  std::size_t dim() const { return dim_; }
  std::size_t capacity() const { return capacity_; }
  std::size_t len() const { return len_; }
  bool is_empty() const { return len_ == 0; }
  std::uint64_t idx_s_start() const { return idx_s_start_; }
  // One past the last stored id (idx_s_start + len never overflows: appends check it).
  std::uint64_t idx_s_end() const { return idx_s_start_ + len_; }
  std::size_t head() const { return head_; }
  StationRange lin_range() const { return lin_range_; }
  double a_linearization_floor() const { return a_linearization_floor_; }
  const StationRunMap& q_runs() const { return q_runs_; }
  const StationRunMap& dddq_runs() const { return dddq_runs_; }
  const StationRunMap& acc_runs() const { return acc_runs_; }
  const StationRunMap& jerk_runs() const { return jerk_runs_; }
  // Row heights of the second- / third-order matrices: no station holds more valid rows, so a
  // solver can size its scratch once (e.g. 2 * max_second_order_rows() + 3 LP rows).
  std::size_t max_second_order_rows() const { return acc_a_.rows(); }
  std::size_t max_third_order_rows() const { return jerk_a_.rows(); }

  // True when stations [idx_s, idx_s + n) are all stored (n = 0: idx_s inside or at the end of
  // the window); an overflowing idx_s + n is not contained.
  bool contains(std::uint64_t idx_s, std::uint64_t n) const;
  // Ring slot of a stored station.
  std::size_t slot_of(std::uint64_t idx_s) const {
    const std::size_t p = head_ + static_cast<std::size_t>(idx_s - idx_s_start_);
    return p >= capacity_ ? p - capacity_ : p;
  }

  // ---- stations and path derivatives ----

  // Appends stations with the given s at ids idx_s_end() onward. The values must be numbers,
  // strictly increasing and above the last stored s; else NonIncreasingS with the local index
  // of the first offending value (a NaN counts as offending). Grows the ring when len + 2n
  // exceeds capacity; a growth that cannot be allocated is CoreError::out_of_memory. Nothing changes on
  // any error.
  Status append_s(std::span<const double> s);
  // Writes q, dq, ddq (and dddq, or zeroes it when absent) of stations idx_s .. idx_s + n - 1,
  // n = q.cols(); each matrix must be dim x n. Then every value must be finite, else
  // NonFiniteDerivative naming the first one (q, dq, ddq, dddq in turn, station by station).
  Status set_q(const MatrixView& q, const MatrixView& dq, const MatrixView& ddq,
               const std::optional<MatrixView>& dddq, std::uint64_t idx_s);
  // Empties the window; idx_s_start becomes 0 unless keep_idx_s.
  void clear(bool keep_idx_s);
  // Removes stations from the front: `value` stations, or every station below id `value`.
  void pop_front(PopMode mode, std::uint64_t value);
  // Removes stations from the back: `value` stations, or every station at and above id `value`.
  void pop_back(PopMode mode, std::uint64_t value);
  // s / amax of stations [from, to): EmptyInterval when to <= from, OutOfSBounds outside the window.
  Result<std::vector<double>> s_values(std::uint64_t from, std::uint64_t to) const;
  Result<std::vector<double>> amax_values(std::uint64_t from, std::uint64_t to) const;

  // Per-station reads for solver loops. The caller passes a stored station; for any other id
  // s_at / amax_at give NaN and the spans are empty.
  double s_at(std::uint64_t idx_s) const;
  double amax_at(std::uint64_t idx_s) const;
  std::span<const double> q_at(std::uint64_t idx_s) const;
  std::span<const double> dq_at(std::uint64_t idx_s) const;
  std::span<const double> ddq_at(std::uint64_t idx_s) const;
  std::span<const double> dddq_at(std::uint64_t idx_s) const;

  // ---- constraint rows (writers check shapes, then the window, then values; nothing is
  // written on an error) ----

  // Tightens amax of station idx_s + j to the minimum of column j. Every entry must be a
  // positive number (a NaN or a value <= 0 is NonPositiveA).
  Status add_constraint_1st(const MatrixView& amax, std::uint64_t idx_s);
  // Overwrites amax of stations idx_s .. idx_s + n - 1, without a sign check.
  Status amax_substitute(std::span<const double> amax, std::uint64_t idx_s);
  // Appends the r rows of column j below the existing second-order rows of station idx_s + j;
  // with is_negative every entry is negated (a >= row stored as the equivalent <= row).
  Status add_constraint_2nd(const MatrixView& acc_a, const MatrixView& acc_b, const MatrixView& acc_max,
                            std::uint64_t idx_s, bool is_negative);
  // The same for third-order rows; also invalidates an overlapping linearization.
  Status add_constraint_3rd(const MatrixView& jerk_a, const MatrixView& jerk_b, const MatrixView& jerk_c,
                            const MatrixView& jerk_d, const MatrixView& jerk_max, std::uint64_t idx_s,
                            bool is_negative);
  // Both sides of a two-sided limit in one update: the rows with `upper`, then the negated rows
  // with `lower`, laid out as the two single calls would; written together or not at all.
  Status add_constraint_2nd_pair(const MatrixView& acc_a, const MatrixView& acc_b, const MatrixView& upper,
                                 const MatrixView& lower, std::uint64_t idx_s);
  Status add_constraint_3rd_pair(const MatrixView& jerk_a, const MatrixView& jerk_b, const MatrixView& jerk_c,
                                 const MatrixView& jerk_d, const MatrixView& upper, const MatrixView& lower,
                                 std::uint64_t idx_s);

  // ---- row readers (never fail; stations outside the window read as having no rows) ----

  SecondOrderRows second_order_rows_at(std::uint64_t idx_s) const;
  ThirdOrderRows third_order_rows_at(std::uint64_t idx_s) const;
  // Appends to `out` (not cleared, so a solver reuses one reserved vector) the LP rows of the
  // interval (idx_s, idx_s + 1) with x = a[idx_s + 1], y = a[idx_s]: first the finite rows of
  // station idx_s, then those of idx_s + 1. Appends nothing unless both stations are stored.
  void interval_rows(std::vector<Lp2dRow>& out, std::uint64_t idx_s) const;
  // The same rows with x = a[idx_s], y = a[idx_s + 1].
  void interval_rows_bidirectional(std::vector<Lp2dRow>& out, std::uint64_t idx_s) const;
  // Bounds on A, the value of a at the far end of a rest window of k intervals starting at
  // station idx (a = A * x^(4/3) over the window, or `shape`, see rest_window.hpp); a_ref[0]
  // belongs to station idx. (+inf, 0) when there is no window; upper < lower when no A fits.
  BoundPair first_order_bounds_forward(std::span<const double> a_ref, std::uint64_t idx, std::uint64_t k,
                                       RestWindowShape shape = {}) const;
  // The mirror at the end: the rest station is idx + a_ref.size() - 1, the window its last k intervals.
  BoundPair first_order_bounds_backward(std::span<const double> a_ref, std::uint64_t idx, std::uint64_t k,
                                        RestWindowShape shape = {}) const;
  // Bounds on A from the third-order rows of station idx_s for a rest window of signed span h;
  // (-inf, +inf) when a row makes the window impossible, (+inf, 0) without rows.
  BoundPair jerk_cube_root_bound(std::uint64_t idx_s, double h) const;
  // (j, amax) for j in [from, to) in order, wherever station base + j is stored and its amax finite.
  std::vector<FiniteAmax> collect_finite_amax(std::uint64_t base, std::uint64_t from, std::uint64_t to) const;

  // ---- jerk linearization ----

  // Linearizes the jerk rows of stations idx .. idx + n - 1 (n = a_ref.size()) around a_ref.
  Status linearize_jerk_constraints(std::span<const double> a_ref, std::uint64_t idx, double floor);
  // The same, lowering the reference per row where the reference motion (a_ref, b_ref) loads the
  // row; k0 / k1 stationary intervals at the start / end take no db/ds candidate.
  Status linearize_jerk_constraints_with_b(std::span<const double> a_ref, std::span<const double> b_ref,
                                           std::uint64_t idx, std::uint64_t k0, std::uint64_t k1, double floor);
  // The linearized rows of a station the caller has just linearized (lin_range is not consulted).
  LinearizedJerkRows linearized_jerk_rows_at(std::uint64_t idx_s) const;

  // ---- axial limits: upper and lower are dim x n, column k for station idx_s + k ----

  Status add_velocity_limits(const MatrixView& upper, const MatrixView& lower, std::uint64_t idx_s);
  Status add_acceleration_limits(const MatrixView& upper, const MatrixView& lower, std::uint64_t idx_s);
  Status add_jerk_limits(const MatrixView& upper, const MatrixView& lower, std::uint64_t idx_s);
  // The checks every axial builder runs first, in order: shapes, window, stored derivatives
  // (dddq too for jerk), signs (upper > 0, lower < 0).
  Status check_axial_limits(AxialLimit kind, const MatrixView& upper, const MatrixView& lower,
                            std::uint64_t idx_s) const;
  // True when every station of [idx_s, idx_s + n) holds q, dq, ddq (and dddq when asked).
  bool has_derivatives(std::uint64_t idx_s, std::uint64_t n, bool with_dddq) const;

 private:
  Constraints(std::size_t dim, std::size_t capacity);

  // Calls f(slot, offset, count) for the at most two contiguous slot ranges of stations
  // [idx_s, idx_s + n), offset counting stations from idx_s.
  template <class F>
  void for_each_slot_block(std::uint64_t idx_s, std::uint64_t n, F&& f) const;
  Status grow_for(std::size_t extra);
  // Allocates the columns of slots [0, end) in every matrix, at least doubling what is allocated
  // (up to the capacity), so that a ring filling up allocates O(log capacity) times.
  Status allocate_slots(std::size_t end);
  std::array<StationMatrix*, 16> matrices();
  Result<std::vector<double>> read_first_row(const StationMatrix& matrix, std::uint64_t from, std::uint64_t to) const;
  void write_station_block(StationMatrix& matrix, const MatrixView& block, std::uint64_t idx_s);
  // One bound block of a row update and the sign its rows are stored with.
  struct SignedBound {
    const MatrixView* bound;
    bool is_negative;
  };
  Status add_rows_2nd(const MatrixView& acc_a, const MatrixView& acc_b, std::span<const SignedBound> bounds,
                      std::uint64_t idx_s);
  Status add_rows_3rd(std::span<const MatrixView* const> coefficients, std::span<const SignedBound> bounds,
                      std::uint64_t idx_s);
  void write_constraint_rows(StationMatrix& matrix, const StationRunMap& map, const MatrixView& block,
                             std::uint64_t idx_s, bool is_negative, std::size_t rows_below);
  void clear_dddq_block(std::uint64_t idx_s, std::uint64_t n);
  // Sets the columns of stations [idx_s, idx_s + n) back to the matrix's fill value.
  void reset_station_columns(StationMatrix& matrix, std::uint64_t idx_s, std::uint64_t n);
  void empty_window();
  std::array<StationRunMap*, 4> run_maps() { return {&q_runs_, &dddq_runs_, &acc_runs_, &jerk_runs_}; }
  Status prepare_row_update(StationRunMap& map, std::uint64_t idx_s, std::uint64_t n, std::uint64_t r,
                            std::span<StationMatrix* const> matrices);
  Status prepare_linearization(std::span<const double> a_ref, std::uint64_t idx, double floor);
  template <class F>
  void for_each_jerk_station(std::uint64_t idx, std::uint64_t n, F&& f) const;
  void write_linearized_row(std::size_t slot, std::size_t row, double r, double r3);

  std::size_t dim_ = 0;
  std::size_t capacity_ = 0;
  std::size_t allocated_slots_ = 0;  // slots [0, allocated_slots_) have columns in every matrix
  std::size_t head_ = 0;
  std::size_t len_ = 0;
  std::uint64_t idx_s_start_ = 0;
  StationRange lin_range_{0, 0};
  double a_linearization_floor_ = 1e-10;

  StationMatrix s_, q_, dq_, ddq_, dddq_, amax_;
  StationMatrix acc_a_, acc_b_, acc_max_;
  StationMatrix jerk_a_, jerk_b_, jerk_c_, jerk_d_, jerk_max_;
  StationMatrix jerk_lin_a_, jerk_lin_max_;

  StationRunMap q_runs_, dddq_runs_, acc_runs_, jerk_runs_;
};

// Per-column minima of a block; a NaN anywhere in a column makes that column's minimum NaN, so
// that a positivity test on the minima rejects it.
std::vector<double> column_minimums(const MatrixView& block);

// The interval factors 0.5 / (s[m+1] - s[m]) of consecutive stations, in order.
std::vector<double> collect_torque2_terms(std::span<const double> s);

}  // namespace qarn

// How every conic program of the system reaches Clarabel: rows are appended to a `ClarabelTriplets`
// record, turned into compressed-column form, and solved in one step that also keeps vacuous rows
// and non-finite data away from the solver. Also the options record and its status-acceptance rule.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "diag/log.hpp"
#include "diag/result.hpp"
#include "diag/solver_status.hpp"
#include "qarn/clarabel_bridge.hpp"

namespace qarn {

// Cone entries, named as Clarabel names its cone kinds. Sign convention: A x + s = b with s in the
// cone, so a Zero row is c.x = b, a Nonnegative row c.x <= b, and SecondOrder(d) over rows
// r0 .. r0+d-1 asks s_r0 >= |(s_r0+1, .., s_r0+d-1)|.
inline clarabel::Cone ZeroCone(std::size_t dim) { return {clarabel::ConeKind::Zero, dim}; }
inline clarabel::Cone NonnegativeCone(std::size_t dim) { return {clarabel::ConeKind::Nonnegative, dim}; }
inline clarabel::Cone SecondOrderCone(std::size_t dim) { return {clarabel::ConeKind::SecondOrder, dim}; }

// Lengths of the five arrays of a `ClarabelTriplets`, for the assembly diagnostics.
struct TripletLengths {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::size_t vals = 0;
  std::size_t b = 0;
  std::size_t cones = 0;

  TripletLengths operator-(const TripletLengths& o) const {
    return {rows - o.rows, cols - o.cols, vals - o.vals, b - o.b, cones - o.cones};
  }
  bool operator==(const TripletLengths&) const = default;
};

// The constraint side of a conic program while it is being assembled. Entry i of A is
// (rows[i], cols[i], vals[i]); a row's index is the length of b when its right-hand side is pushed;
// the cone list covers the rows in order. No builder writes two entries at the same (row, column).
struct ClarabelTriplets {
  std::vector<std::size_t> rows;
  std::vector<std::size_t> cols;
  std::vector<double> vals;
  std::vector<double> b;
  std::vector<clarabel::Cone> cones;

  void reserve(std::size_t entries, std::size_t rhs, std::size_t cone_count);
  std::size_t row_count() const { return b.size(); }
  void push_entry(std::size_t row, std::size_t col, double value) {
    rows.push_back(row);
    cols.push_back(col);
    vals.push_back(value);
  }
  TripletLengths lengths() const { return {rows.size(), cols.size(), vals.size(), b.size(), cones.size()}; }
  TripletLengths capacities() const {
    return {rows.capacity(), cols.capacity(), vals.capacity(), b.capacity(), cones.capacity()};
  }
};

// Appends the equality row x[column] = value with its own ZeroCone(1).
void push_equality_row(std::size_t column, ClarabelTriplets& triplets, double value);

// The m x n compressed-column matrix of the entries: every entry kept (explicit zeros included),
// row indices increasing inside each column. Entries must lie inside the matrix.
clarabel::CscMatrix compressed_columns(std::size_t m, std::size_t n, std::span<const std::size_t> rows,
                                       std::span<const std::size_t> cols, std::span<const double> vals);

// Options of every conic solver: Clarabel's settings, the statuses accepted besides Solved, and the
// diagnostic level of the solver core.
struct ClarabelOptions {
  clarabel::Settings settings = default_settings();
  bool allow_almost_solved = true;
  bool allow_max_iterations = false;
  bool allow_max_time = false;
  bool allow_callback_terminated = false;
  bool allow_insufficient_progress = false;
  Verbosity verbosity = Verbosity::Silent;

  // Clarabel's own defaults (read from the linked crate), except 20 equilibration passes instead
  // of Clarabel's 10 and no solver log unless asked for.
  static clarabel::Settings default_settings();

  // Whether a solution with this status may be turned into a profile.
  bool allow(SolverStatus status) const;

  // The settings handed to Clarabel: Clarabel prints its own log only together with the core's
  // detailed diagnostics (DEBUG and TRACE), whatever `settings.verbose` says.
  clarabel::Settings solver_settings() const;
};

// Builds `ClarabelOptions` from the defaults above.
class ClarabelOptionsBuilder {
 public:
  ClarabelOptionsBuilder() = default;
  ClarabelOptionsBuilder& settings(clarabel::Settings v) { o_.settings = std::move(v); return *this; }
  ClarabelOptionsBuilder& allow_almost_solved(bool v) { o_.allow_almost_solved = v; return *this; }
  ClarabelOptionsBuilder& allow_max_iterations(bool v) { o_.allow_max_iterations = v; return *this; }
  ClarabelOptionsBuilder& allow_max_time(bool v) { o_.allow_max_time = v; return *this; }
  ClarabelOptionsBuilder& allow_callback_terminated(bool v) { o_.allow_callback_terminated = v; return *this; }
  ClarabelOptionsBuilder& allow_insufficient_progress(bool v) { o_.allow_insufficient_progress = v; return *this; }
  ClarabelOptionsBuilder& verbosity(Verbosity v) { o_.verbosity = v; return *this; }
  ClarabelOptions build() const { return o_; }

 private:
  ClarabelOptions o_;
};

// A conic program ready for the solver: minimise q'x subject to A x + s = b, s in the cones; P is
// the empty n x n matrix (every program of the system has a linear cost).
struct ConicProgram {
  clarabel::CscMatrix A;
  clarabel::CscMatrix P;
  std::vector<double> q;
  std::vector<double> b;
  std::vector<clarabel::Cone> cones;

  std::size_t rows() const { return b.size(); }
  std::size_t vars() const { return q.size(); }
};

// Consumes the assembled triplets and the cost (n = q.size() variables, m = b.size() rows). An entry
// outside the m x n matrix is a fault of the assembling code, reported as CoreError::other.
Result<ConicProgram> make_conic_program(std::string_view component, ClarabelTriplets&& triplets,
                                        std::vector<double>&& q);

// Clarabel's bound beyond which a value counts as infinite (its `INFINITY_DEFAULT`); its presolve
// reports removed rows with this slack and a zero dual.
inline constexpr double kClarabelInfinity = 1e20;

// The one solver call of every conic solve: a fresh Clarabel solver on `program` with
// `options.solver_settings()`. Vacuous rows never reach the interior-point method: a nonnegative
// row whose bound is beyond Clarabel's infinity (+inf included) is removed by Clarabel's presolve
// when that is on and here when it is off; one whose bound is NaN ("no bound") is removed here
// always. Rows removed here are reported as Clarabel's presolve reports the rows it removes (s at
// kClarabelInfinity, z zero), so z and s keep one entry per row of `program`. Any other non-finite
// entry of A, b or q is refused as CoreError::invalid_input(component, ...) before the call.
// Clarabel's refusal of the data is CoreError::clarabel(component, its text). A solve is never an
// error, whatever its status.
Result<clarabel::SolveOutput> solve_conic(std::string_view component, const ConicProgram& program,
                                          const ClarabelOptions& options);

// ---- diagnostics shared by the conic solvers ----

// [min, max] of the finite-or-infinite entries, NaN ignored; [+inf, -inf] when none.
std::pair<double, double> value_range(std::span<const double> v);

// "<name>: options snapshot -> allow(...), tol_gap_rel=.., tol_feas=.., max_iter=.., verbose=.."
std::string options_snapshot_line(std::string_view name, const ClarabelOptions& options);

// The first min(3, len) entries of x, for the "solution x_len=.., head=.." line.
inline std::span<const double> solution_head(std::span<const double> x) {
  return x.first(x.size() < 3 ? x.size() : 3);
}

}  // namespace qarn

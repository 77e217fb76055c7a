// C++ face of the Clarabel conic solver (reached through the Rust library native/clarabel_ffi):
// settings, sparse matrices, cones, and one `solve` call that builds a fresh solver every time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "diag/result.hpp"
#include "diag/solver_status.hpp"

namespace qarn::clarabel {

// Clarabel's settings as (type, name), in Clarabel's order. One list drives the struct below
// and both conversions to and from the C interface, so a field cannot be forgotten in one place.
#define QARN_CLARABEL_SETTINGS_FIELDS(X)      \
  X(std::uint32_t, max_iter)                  \
  X(double, time_limit)                       \
  X(bool, verbose)                            \
  X(double, max_step_fraction)                \
  X(double, tol_gap_abs)                      \
  X(double, tol_gap_rel)                      \
  X(double, tol_feas)                         \
  X(double, tol_infeas_abs)                   \
  X(double, tol_infeas_rel)                   \
  X(double, tol_ktratio)                      \
  X(double, reduced_tol_gap_abs)              \
  X(double, reduced_tol_gap_rel)              \
  X(double, reduced_tol_feas)                 \
  X(double, reduced_tol_infeas_abs)           \
  X(double, reduced_tol_infeas_rel)           \
  X(double, reduced_tol_ktratio)              \
  X(bool, equilibrate_enable)                 \
  X(std::uint32_t, equilibrate_max_iter)      \
  X(double, equilibrate_min_scaling)          \
  X(double, equilibrate_max_scaling)          \
  X(double, linesearch_backtrack_step)        \
  X(double, min_switch_step_length)           \
  X(double, min_terminate_step_length)        \
  X(std::uint32_t, max_threads)               \
  X(bool, direct_kkt_solver)                  \
  X(std::string, direct_solve_method)         \
  X(bool, static_regularization_enable)       \
  X(double, static_regularization_constant)   \
  X(double, static_regularization_proportional) \
  X(bool, dynamic_regularization_enable)      \
  X(double, dynamic_regularization_eps)       \
  X(double, dynamic_regularization_delta)     \
  X(bool, iterative_refinement_enable)        \
  X(double, iterative_refinement_reltol)      \
  X(double, iterative_refinement_abstol)      \
  X(std::uint32_t, iterative_refinement_max_iter) \
  X(double, iterative_refinement_stop_ratio)  \
  X(bool, presolve_enable)                    \
  X(bool, input_sparse_dropzeros)

struct Settings {
#define QARN_CLARABEL_DECLARE_FIELD(type, name) type name{};
  QARN_CLARABEL_SETTINGS_FIELDS(QARN_CLARABEL_DECLARE_FIELD)
#undef QARN_CLARABEL_DECLARE_FIELD

  // Clarabel's own defaults, read from the linked crate (note: verbose true,
  // equilibrate_max_iter 10, direct_solve_method "auto").
  static Settings defaults();

  bool operator==(const Settings&) const = default;
};

// Checks of the conversions against the Rust library, for the bridge's tests: the settings as
// Clarabel receives them (the library's debug text, fields named on its side), and the settings
// converted to Clarabel's and back.
std::string settings_as_received(const Settings& settings);
Settings settings_round_trip(const Settings& settings);

// m x n compressed-column matrix: column j holds rows rowval[colptr[j] .. colptr[j+1]) with values
// nzval[...], row indices strictly increasing inside a column. `solve` refuses anything else.
struct CscMatrix {
  std::size_t m = 0;
  std::size_t n = 0;
  std::vector<std::size_t> colptr{0};
  std::vector<std::size_t> rowval;
  std::vector<double> nzval;

  // The m x n matrix without stored entries.
  static CscMatrix zeros(std::size_t m, std::size_t n);
};

// Values are those of the C interface.
enum class ConeKind : std::uint8_t { Zero = 0, Nonnegative = 1, SecondOrder = 2 };

// A block of `dim` consecutive rows with s = b - Ax in the cone (Zero: equalities, Nonnegative:
// Ax <= b, SecondOrder: s_0 >= |s_1..|). Dimension 0 covers no row.
struct Cone {
  ConeKind kind;
  std::size_t dim;
};

struct LinearSolverInfo {
  std::string method;  // Clarabel's name of the factorisation used, e.g. "qdldl"
  std::size_t threads = 0;
  bool direct = false;
  std::size_t nnz_a = 0;  // nonzeros of the KKT matrix
  std::size_t nnz_l = 0;  // nonzeros of its factor
};

// Everything Clarabel reports after a solve, whatever the status.
struct SolveOutput {
  std::vector<double> x;  // n entries
  std::vector<double> z;  // m entries
  std::vector<double> s;  // m entries
  SolverStatus status = SolverStatus::Unsolved;
  std::uint32_t iterations = 0;
  double obj_val = 0.0;
  double obj_val_dual = 0.0;
  double r_prim = 0.0;
  double r_dual = 0.0;
  double solve_time = 0.0;  // seconds
  LinearSolverInfo linsolver;
};

// The linear system Clarabel factors at every iteration: the upper triangle of its KKT matrix
// (P and A with the cones' scaling blocks, and two extra rows and columns for each second-order
// cone of dimension above 4, which Clarabel expands sparsely).
struct KktSize {
  std::size_t nonzeros = 0;
  std::size_t order = 0;
};
KktSize kkt_size(const CscMatrix& P, const CscMatrix& A, std::span<const Cone> cones);

// The memory a solve of a KKT system of this size needs at its peak, in bytes, from the solver's
// copies of the data to the factor, with a margin (an estimate: the fill of the factor is only
// known once Clarabel has ordered the system).
std::size_t solve_footprint(KktSize kkt);

// Minimises 1/2 x'Px + q'x subject to Ax + s = b, s in `cones` (which cover the rows in order).
// Settings with a NaN, or an infinite tolerance, are CoreError::invalid_options naming the setting.
// A refusal by Clarabel (inconsistent dimensions, bad settings) and a caught panic inside it give
// CoreError::clarabel(component, Clarabel's text); a malformed matrix gives CoreError::other.
// Solving is not an error whatever the status: the caller judges the status.
// Memory that runs out inside Clarabel ends the process (Rust cannot unwind out of a failed
// allocation), so `solve_footprint` is allocated and released first; when it cannot be had, the
// call throws OutOfMemory (a std::bad_alloc) without reaching Clarabel.
Result<SolveOutput> solve(std::string_view component, const Settings& settings, const CscMatrix& P,
                          std::span<const double> q, const CscMatrix& A, std::span<const double> b,
                          std::span<const Cone> cones);

}  // namespace qarn::clarabel

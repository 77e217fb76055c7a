// Triplet assembly, compressed-column build, status acceptance and the guarded solver call shared
// by every conic solver.
#include "qarn/clarabel_backend.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "diag/format.hpp"

namespace qarn {

void ClarabelTriplets::reserve(std::size_t entries, std::size_t rhs, std::size_t cone_count) {
  rows.reserve(entries);
  cols.reserve(entries);
  vals.reserve(entries);
  b.reserve(rhs);
  cones.reserve(cone_count);
}

void push_equality_row(std::size_t column, ClarabelTriplets& triplets, double value) {
  triplets.push_entry(triplets.row_count(), column, 1.0);
  triplets.b.push_back(value);
  triplets.cones.push_back(ZeroCone(1));
}

clarabel::CscMatrix compressed_columns(std::size_t m, std::size_t n, std::span<const std::size_t> rows,
                                       std::span<const std::size_t> cols, std::span<const double> vals) {
  // Two stable counting sorts, by row and then by column, leave each column's rows ascending in
  // O(nnz + m + n), whatever order the stages appended their entries in.
  const std::size_t nnz = vals.size();
  std::vector<std::size_t> next(m + 1, 0);
  for (std::size_t i = 0; i < nnz; ++i) ++next[rows[i] + 1];
  for (std::size_t r = 0; r < m; ++r) next[r + 1] += next[r];
  std::vector<std::size_t> by_row(nnz);
  for (std::size_t i = 0; i < nnz; ++i) by_row[next[rows[i]]++] = i;

  clarabel::CscMatrix a;
  a.m = m;
  a.n = n;
  a.colptr.assign(n + 1, 0);
  for (std::size_t i = 0; i < nnz; ++i) ++a.colptr[cols[i] + 1];
  for (std::size_t c = 0; c < n; ++c) a.colptr[c + 1] += a.colptr[c];
  a.rowval.resize(nnz);
  a.nzval.resize(nnz);
  next.assign(a.colptr.begin(), a.colptr.end() - 1);
  for (const std::size_t i : by_row) {
    const std::size_t at = next[cols[i]]++;
    a.rowval[at] = rows[i];
    a.nzval[at] = vals[i];
  }
  return a;
}

clarabel::Settings ClarabelOptions::default_settings() {
  clarabel::Settings s = clarabel::Settings::defaults();
  s.equilibrate_max_iter = 20;
  s.verbose = false;
  return s;
}

bool ClarabelOptions::allow(SolverStatus status) const {
  switch (status) {
    case SolverStatus::Solved: return true;
    case SolverStatus::AlmostSolved: return allow_almost_solved;
    case SolverStatus::MaxIterations: return allow_max_iterations;
    case SolverStatus::MaxTime: return allow_max_time;
    case SolverStatus::InsufficientProgress: return allow_insufficient_progress;
    case SolverStatus::CallbackTerminated: return allow_callback_terminated;
    default: return false;
  }
}

clarabel::Settings ClarabelOptions::solver_settings() const {
  clarabel::Settings s = settings;
  s.verbose = settings.verbose && verbosity >= Verbosity::Debug;
  return s;
}

Result<ConicProgram> make_conic_program(std::string_view component, ClarabelTriplets&& triplets,
                                        std::vector<double>&& q) {
  const std::size_t m = triplets.b.size();
  const std::size_t n = q.size();
  const std::size_t nnz = triplets.vals.size();
  if (triplets.rows.size() != nnz || triplets.cols.size() != nnz) {
    return CoreError::other(std::string(component),
                            fmt::format("constraint triplets of unequal lengths {}/{}/{}", triplets.rows.size(),
                                        triplets.cols.size(), nnz));
  }
  for (std::size_t i = 0; i < nnz; ++i) {
    if (triplets.rows[i] >= m || triplets.cols[i] >= n) {
      return CoreError::other(std::string(component),
                              fmt::format("constraint entry ({}, {}) lies outside the {} x {} matrix",
                                          triplets.rows[i], triplets.cols[i], m, n));
    }
  }
  ConicProgram program;
  program.A = compressed_columns(m, n, triplets.rows, triplets.cols, triplets.vals);
  program.P = clarabel::CscMatrix::zeros(n, n);
  program.q = std::move(q);
  program.b = std::move(triplets.b);
  program.cones = std::move(triplets.cones);
  triplets = ClarabelTriplets{};  // the entry arrays are not needed past the build
  return program;
}

namespace {

// Clarabel's presolve removes a nonnegative row when its bound exceeds this slightly contracted
// infinity; the same test here removes exactly the same rows.
constexpr double kPresolveBound = (1.0 - 10.0 * std::numeric_limits<double>::epsilon()) * kClarabelInfinity;

// What becomes of each row of a program on its way into the solver.
enum class RowFate : std::uint8_t {
  Solved,     // reaches the interior-point method
  Dropped,    // vacuous: removed here before the call
  Presolved,  // vacuous: removed by Clarabel's own presolve
};

// A nonnegative row is vacuous when its bound is NaN (throughout the system a NaN bound means "no
// bound"; Clarabel would cap it at its infinity and keep the row) or beyond Clarabel's infinity.
// The latter rows are left to Clarabel's presolve when it is on, so its own report stays intact.
std::vector<RowFate> row_fates(const ConicProgram& program, bool presolve_enable) {
  std::vector<RowFate> fate(program.rows(), RowFate::Solved);
  std::size_t r = 0;
  for (const clarabel::Cone& cone : program.cones) {
    const std::size_t end = r + cone.dim;
    for (; r < end; ++r) {
      if (cone.kind != clarabel::ConeKind::Nonnegative) continue;
      const double b = program.b[r];
      if (std::isnan(b)) {
        fate[r] = RowFate::Dropped;
      } else if (b > kPresolveBound) {
        fate[r] = presolve_enable ? RowFate::Presolved : RowFate::Dropped;
      }
    }
  }
  return fate;
}

// Whether the cones cover the rows exactly. The sum is checked, so that dimensions whose total
// wraps around cannot pass for a cover and send the row walks below past the end of b.
bool cones_cover_rows(const ConicProgram& program) {
  std::size_t left = program.rows();
  for (const clarabel::Cone& cone : program.cones) {
    if (cone.dim > left) return false;
    left -= cone.dim;
  }
  return left == 0;
}

// Refuses a non-finite value that would reach the interior-point method.
Status check_finite(std::string_view component, const ConicProgram& program, const std::vector<RowFate>& fate) {
  for (std::size_t r = 0; r < program.rows(); ++r) {
    if (fate[r] == RowFate::Solved && !std::isfinite(program.b[r])) {
      return CoreError::invalid_input(std::string(component),
                                      fmt::format("constraint row {} has the non-finite bound {}", r, program.b[r]));
    }
  }
  const clarabel::CscMatrix& A = program.A;
  for (std::size_t c = 0; c < A.n; ++c) {
    for (std::size_t k = A.colptr[c]; k < A.colptr[c + 1]; ++k) {
      if (fate[A.rowval[k]] == RowFate::Solved && !std::isfinite(A.nzval[k])) {
        return CoreError::invalid_input(
            std::string(component),
            fmt::format("constraint row {} has the non-finite coefficient {} on variable {}", A.rowval[k],
                        A.nzval[k], c));
      }
    }
  }
  for (std::size_t j = 0; j < program.q.size(); ++j) {
    if (!std::isfinite(program.q[j])) {
      return CoreError::invalid_input(std::string(component),
                                      fmt::format("cost of variable {} is the non-finite value {}", j, program.q[j]));
    }
  }
  return {};
}

// The program without the dropped rows: A's rows renumbered, b and the nonnegative cones shrunk
// (a nonnegative cone left without rows disappears, as in Clarabel's presolve).
ConicProgram without_rows(const ConicProgram& program, const std::vector<RowFate>& fate) {
  const auto drop = [&](std::size_t r) { return fate[r] == RowFate::Dropped; };
  std::vector<std::size_t> new_index(program.rows(), 0);
  ConicProgram out;
  out.b.reserve(program.rows());
  for (std::size_t r = 0; r < program.rows(); ++r) {
    new_index[r] = out.b.size();
    if (!drop(r)) out.b.push_back(program.b[r]);
  }
  const clarabel::CscMatrix& A = program.A;
  out.A.m = out.b.size();
  out.A.n = A.n;
  out.A.colptr.assign(A.n + 1, 0);
  out.A.rowval.reserve(A.rowval.size());
  out.A.nzval.reserve(A.nzval.size());
  for (std::size_t c = 0; c < A.n; ++c) {
    for (std::size_t k = A.colptr[c]; k < A.colptr[c + 1]; ++k) {
      if (drop(A.rowval[k])) continue;
      out.A.rowval.push_back(new_index[A.rowval[k]]);
      out.A.nzval.push_back(A.nzval[k]);
    }
    out.A.colptr[c + 1] = out.A.rowval.size();
  }
  std::size_t r = 0;
  for (const clarabel::Cone& cone : program.cones) {
    std::size_t kept = 0;
    for (std::size_t k = 0; k < cone.dim; ++k, ++r) kept += drop(r) ? 0 : 1;
    if (cone.kind != clarabel::ConeKind::Nonnegative) {
      out.cones.push_back(cone);
    } else if (kept > 0) {
      out.cones.push_back(NonnegativeCone(kept));
    }
  }
  return out;
}

}  // namespace

Result<clarabel::SolveOutput> solve_conic(std::string_view component, const ConicProgram& program,
                                          const ClarabelOptions& options) {
  const clarabel::Settings settings = options.solver_settings();
  if (!cones_cover_rows(program)) {  // Clarabel refuses such data with its own message
    return clarabel::solve(component, settings, program.P, program.q, program.A, program.b, program.cones);
  }

  const std::vector<RowFate> fate = row_fates(program, settings.presolve_enable);
  QARN_TRY(check_finite(component, program, fate));
  if (std::find(fate.begin(), fate.end(), RowFate::Dropped) == fate.end()) {
    return clarabel::solve(component, settings, program.P, program.q, program.A, program.b, program.cones);
  }

  const ConicProgram reduced = without_rows(program, fate);
  Result<clarabel::SolveOutput> solved =
      clarabel::solve(component, settings, program.P, program.q, reduced.A, reduced.b, reduced.cones);
  if (!solved) return solved;
  // Back to one entry per row of the program, the dropped rows reported as Clarabel's presolve
  // reports the rows it removes.
  clarabel::SolveOutput& out = *solved;
  std::vector<double> z(program.rows(), 0.0);
  std::vector<double> s(program.rows(), kClarabelInfinity);
  for (std::size_t r = 0, kept = 0; r < program.rows(); ++r) {
    if (fate[r] == RowFate::Dropped) continue;
    z[r] = out.z[kept];
    s[r] = out.s[kept];
    ++kept;
  }
  out.z = std::move(z);
  out.s = std::move(s);
  return solved;
}

std::pair<double, double> value_range(std::span<const double> v) {
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  for (const double x : v) {
    lo = std::fmin(lo, x);
    hi = std::fmax(hi, x);
  }
  return {lo, hi};
}

std::string options_snapshot_line(std::string_view name, const ClarabelOptions& options) {
  return fmt::format(
      "{}: options snapshot -> allow(almost={}, max_iter={}, max_time={}, callback_term={}, "
      "insufficient_progress={}), tol_gap_rel={}, tol_feas={}, max_iter={}, verbose={}",
      name, options.allow_almost_solved, options.allow_max_iterations, options.allow_max_time,
      options.allow_callback_terminated, options.allow_insufficient_progress, options.settings.tol_gap_rel,
      options.settings.tol_feas, options.settings.max_iter, options.settings.verbose);
}

}  // namespace qarn

// The guarded solver call: vacuous rows (no bound, or decided by the equalities) are removed and
// reported as Clarabel's presolve reports them, non-finite data is refused before Clarabel sees it.
#include "qarn/conic/solve.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "diag/format.hpp"

namespace qarn {

namespace {

// Clarabel's presolve removes a nonnegative row when its bound exceeds this slightly contracted
// infinity; the same test here removes exactly the same rows.
constexpr double kPresolveBound = (1.0 - 10.0 * std::numeric_limits<double>::epsilon()) * kClarabelInfinity;

// A nonnegative row is vacuous when its bound is NaN (throughout the system a NaN bound means "no
// bound"; Clarabel would cap it at its infinity and keep the row) or beyond Clarabel's infinity
// (Clarabel's presolve would remove it, but only when presolve is on, and the scale stage could
// bring its bound below that infinity), and when the equality rows decide it: every entry on a
// column that a one-entry equality row fixes, the row holding at those values within 1e-9 of its
// size (a limit of an end station, whose values the boundary rows fix). Handed to the
// interior-point method, such a row would change nothing but its path (the equilibration of its
// columns); one that fails is kept, and the solver proves the program infeasible. Vacuous rows are
// removed here in every mode.
std::vector<char> vacuous_rows(const ConicProgram& program) {
  struct Row {
    clarabel::ConeKind kind = clarabel::ConeKind::SecondOrder;
    std::size_t entries = 0;
    std::size_t fixed_entries = 0;
    double value = 0.0;  // of the fixed entries
    double size = 0.0;
  };
  std::vector<Row> rows(program.rows());
  std::size_t r = 0;
  for (const clarabel::Cone& cone : program.cones) {
    for (const std::size_t end = r + cone.dim; r < end; ++r) rows[r].kind = cone.kind;
  }
  const clarabel::CscMatrix& A = program.A;
  for (const std::size_t row : A.rowval) ++rows[row].entries;
  for (std::size_t c = 0; c < A.n; ++c) {
    double fixed = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t k = A.colptr[c]; k < A.colptr[c + 1]; ++k) {
      const Row& row = rows[A.rowval[k]];
      if (row.kind == clarabel::ConeKind::Zero && row.entries == 1 && A.nzval[k] != 0.0) fixed = program.b[A.rowval[k]] / A.nzval[k];
    }
    if (std::isnan(fixed)) continue;
    for (std::size_t k = A.colptr[c]; k < A.colptr[c + 1]; ++k) {
      Row& row = rows[A.rowval[k]];
      const double term = A.nzval[k] * fixed;
      row.value += term;
      row.size = std::fmax(row.size, std::fabs(term));
      ++row.fixed_entries;
    }
  }
  std::vector<char> vacuous(program.rows(), 0);
  for (r = 0; r < program.rows(); ++r) {
    const Row& row = rows[r];
    if (row.kind != clarabel::ConeKind::Nonnegative) continue;
    const double b = program.b[r];
    const bool decided = row.entries > 0 && row.fixed_entries == row.entries &&
                         row.value - b <= 1e-9 * std::fmax(std::fabs(b), row.size);
    vacuous[r] = std::isnan(b) || b > kPresolveBound || decided;
  }
  return vacuous;
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
Status check_finite(std::string_view component, const ConicProgram& program, const std::vector<char>& vacuous) {
  for (std::size_t r = 0; r < program.rows(); ++r) {
    if (!vacuous[r] && !std::isfinite(program.b[r])) {
      return CoreError::invalid_input(std::string(component),
                                      fmt::format("constraint row {} has the non-finite bound {}", r, program.b[r]));
    }
  }
  const clarabel::CscMatrix& A = program.A;
  for (std::size_t c = 0; c < A.n; ++c) {
    for (std::size_t k = A.colptr[c]; k < A.colptr[c + 1]; ++k) {
      if (!vacuous[A.rowval[k]] && !std::isfinite(A.nzval[k])) {
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
ConicProgram without_rows(const ConicProgram& program, const std::vector<char>& vacuous) {
  const auto drop = [&](std::size_t r) { return vacuous[r] != 0; };
  std::vector<std::size_t> new_index(program.rows(), 0);
  ConicProgram out;
  out.P = program.P;
  out.q = program.q;
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
                                          std::span<const double> column_scale, const ClarabelOptions& options,
                                          CostScale cost) {
  const clarabel::Settings settings = options.solver_settings();
  if (!cones_cover_rows(program)) {  // Clarabel refuses such data with its own message
    return clarabel::solve(component, settings, program.P, program.q, program.A, program.b, program.cones);
  }

  const std::vector<char> vacuous = vacuous_rows(program);
  QARN_TRY(check_finite(component, program, vacuous));
  const bool drops = std::find(vacuous.begin(), vacuous.end(), 1) != vacuous.end();
  const ScaledProgram scaled = drops ? scale_program(without_rows(program, vacuous), column_scale, cost)
                                     : scale_program(program, column_scale, cost);
  const ConicProgram& solved_program = scaled.program;
  Result<clarabel::SolveOutput> solved =
      clarabel::solve(component, settings, solved_program.P, solved_program.q, solved_program.A, solved_program.b,
                      solved_program.cones);
  if (!solved) return solved;
  clarabel::SolveOutput& out = *solved;
  unscale_solution(scaled, out);
  if (!drops) return solved;
  // Back to one entry per row of the program, the dropped rows reported as Clarabel's presolve
  // reports the rows it removes.
  std::vector<double> z(program.rows(), 0.0);
  std::vector<double> s(program.rows(), kClarabelInfinity);
  for (std::size_t r = 0, kept = 0; r < program.rows(); ++r) {
    if (vacuous[r]) continue;
    z[r] = out.z[kept];
    s[r] = out.s[kept];
    ++kept;
  }
  out.z = std::move(z);
  out.s = std::move(s);
  return solved;
}

}  // namespace qarn

// The audit every conic solve runs on a profile before it hands it out: each constraint row of the
// program the profile came from (boundary values, the equalities between a and b, the limits) is
// evaluated at the profile itself, not at the solver's raw values, and must hold to 1e-6 of the
// row's own scale (or to the looser feasibility tolerance a caller chose). The own scale is the
// one the scale stage gives the row: a limit by its bound, so that the limit reads 1; a row whose
// bound is zero (a >= 0, the trapezoid rule a_i - a_(i+1) + h (b_i + b_(i+1)) = 0) by its largest
// term at the profile. Unlike the exceed_topp2 / exceed_topp3 measures (absolute units), the audit
// means the same thing in any units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "diag/result.hpp"
#include "diag/solver_status.hpp"
#include "qarn/conic/program.hpp"

namespace qarn {

// Largest relative excess a row may show by default.
inline constexpr double kProfileRelativeTolerance = 1e-6;

// The worst row of an audit. A row whose bound is not finite states nothing and is skipped; a row
// whose value is not a number counts as broken.
struct RowAudit {
  double tolerance = kProfileRelativeTolerance;
  double worst = 0.0;          // the largest relative excess
  std::size_t row = 0;         // its row in the program
  const char* label = "row";   // its block's label
  std::uint64_t idx_s = 0;     // the first station it reads
  bool equality = false;

  bool holds() const { return !(worst > tolerance); }
  // "the second-order row at idx_s = 17 exceeds its bound by 3.100e-5 relative", or for an
  // equality "the trapezoid row at idx_s = 17 misses its value by ...".
  std::string describe() const;
};

// The relative excess of one row: value - bound (an equality: |value - bound|) over the row's own
// scale, its bound's size for an inequality whose bound is not negligible against its largest term
// (1e-6 of it), else its largest term (and for an equality the larger of both), never below
// `noise_floor`, which lifts the scale of a `limit` (an inequality the store's limits give) to no
// more than the larger of its bound's size and its largest term. NaN values give +inf.
double row_excess(double value, double largest_term, double bound, bool equality, double noise_floor = 0.0,
                  bool limit = false);

// Audits the first `program.constraint_rows` rows of `program` at x, whose entries are the values of
// the program's first x.size() columns (the profile's; a row reading any other column is not a
// constraint of the profile and is skipped). Column c belongs to station idx_s_start + c % stations.
// `units` are the magnitudes the solve gave the columns: no structural row is held to better than
// the solver's own feasibility tolerance, 1e-8 of the row's size in those units (the scale's floor
// is 1e-2 of that size). A limit row's floor stops at the larger of its bound and its largest term
// at the profile: a limit holds to 1e-6 of that, however far below the units it lies.
RowAudit audit_constraint_rows(const ConicProgram& program, std::span<const double> x, std::size_t stations,
                               std::uint64_t idx_s_start, double tolerance = kProfileRelativeTolerance,
                               std::span<const double> units = {});

// The error of a profile that a conic solver would otherwise accept with `status`:
// CoreError::Clarabel(component, "the solution accepted with status <status> fails its audit:
// <describe>"). An inaccurate solve is a failure of the solver call, not of the problem.
CoreError failed_audit_error(std::string_view component, SolverStatus status, std::string_view failure);

}  // namespace qarn

// The audit of a profile against the constraint rows of its program.
#include "qarn/conic/audit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "diag/format.hpp"

namespace qarn {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kNoColumn = std::numeric_limits<std::size_t>::max();

}  // namespace

double row_excess(double value, double largest_term, double bound, bool equality, double noise_floor, bool limit) {
  constexpr double kNegligibleBound = 1e-6;
  const double size = std::fabs(bound);
  double scale = size > kNegligibleBound * largest_term ? size : largest_term;
  if (equality) scale = std::fmax(size, largest_term);
  // A limit is held to its own size: the floor never lifts its scale above the larger of its bound
  // and its largest term, so a limit whose bound lies far below the solve's units (a slow zone) is
  // not judged on those units.
  if (limit) noise_floor = std::fmin(noise_floor, std::fmax(size, largest_term));
  scale = std::fmax(scale, noise_floor);
  const double miss = equality ? std::fabs(value - bound) : value - bound;
  if (std::isnan(miss)) return kInf;
  if (!(miss > 0)) return 0.0;
  return scale > 0 ? miss / scale : kInf;
}

std::string RowAudit::describe() const {
  return fmt::format("the {} at idx_s = {} {} by {:.3e} relative", label, idx_s,
                     equality ? "misses its value" : "exceeds its bound", worst);
}

RowAudit audit_constraint_rows(const ConicProgram& program, std::span<const double> x, std::size_t stations,
                               std::uint64_t idx_s_start, double tolerance, std::span<const double> units) {
  constexpr double kNoise = 1e-2;
  RowAudit audit;
  audit.tolerance = tolerance;
  const std::size_t rows = std::min(program.constraint_rows, program.rows());
  std::vector<double> value(rows, 0.0), largest(rows, 0.0), in_units(rows, 0.0);
  std::vector<std::size_t> first_column(rows, kNoColumn);
  std::vector<char> profile_only(rows, 1);
  const clarabel::CscMatrix& A = program.A;
  for (std::size_t c = 0; c < A.n; ++c) {
    for (std::size_t k = A.colptr[c]; k < A.colptr[c + 1]; ++k) {
      const std::size_t r = A.rowval[k];
      if (r >= rows) continue;
      if (c >= x.size()) {
        profile_only[r] = 0;
        continue;
      }
      const double term = A.nzval[k] * x[c];
      value[r] += term;
      largest[r] = std::fmax(largest[r], std::fabs(term));
      if (c < units.size()) in_units[r] = std::fmax(in_units[r], std::fabs(A.nzval[k] * units[c]));
      first_column[r] = std::min(first_column[r], c);
    }
  }
  std::size_t r = 0;
  RowBlock block{0, "row"};  // the block that holds row r, a structural "row" before the first
  std::size_t next_block = 0;
  for (const clarabel::Cone& cone : program.cones) {
    const bool equality = cone.kind == clarabel::ConeKind::Zero;
    const std::size_t end = std::min(rows, r + cone.dim);
    for (; r < end; ++r) {
      while (next_block < program.blocks.size() && program.blocks[next_block].first_row <= r) {
        block = program.blocks[next_block++];
      }
      if (cone.kind == clarabel::ConeKind::SecondOrder || !profile_only[r] || !std::isfinite(program.b[r])) continue;
      const double excess = row_excess(value[r], largest[r], program.b[r], equality, kNoise * in_units[r],
                                       !equality && block.kind == RowKind::Limit);
      if (!(excess > audit.worst)) continue;
      audit.worst = excess;
      audit.row = r;
      audit.label = block.label;
      audit.idx_s = idx_s_start + (first_column[r] == kNoColumn ? 0 : first_column[r] % stations);
      audit.equality = equality;
    }
    if (r >= rows) break;
  }
  return audit;
}

CoreError failed_audit_error(std::string_view component, SolverStatus status, std::string_view failure) {
  return CoreError::clarabel(std::string(component), fmt::format("the solution accepted with status {} fails its audit: {}",
                                                                 status_name(status), failure));
}

}  // namespace qarn

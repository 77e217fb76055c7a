// The normal equations of a weighted least-squares fit of B-spline control points, restricted to a
// window of consecutive control points (the points outside it held at their current values), and
// their solve by an equilibrated banded Cholesky factorisation. The matrix is never stored dense:
// a quintic basis couples each control point with its five neighbours, so six values per row.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "diag/result.hpp"
#include "path/bspline.hpp"

namespace qarn::path {

struct BandSystem {
  // Row r, entry d: the matrix element between window rows r and r - d (lower band, d = 0 the diagonal).
  std::vector<std::array<double, kBasisCount>> band;
  // Row r, axis a at r * dim + a: one right-hand side per axis, all solved with one factorisation.
  std::vector<double> rhs;
  std::size_t row0 = 0;  // global index of the window's first control point
  std::size_t dim = 0;

  // The window [row0, row_end) over `dim` axes, all sums zero.
  BandSystem(std::size_t row0, std::size_t row_end, std::size_t dim)
      : band(row_end - row0), rhs((row_end - row0) * dim, 0.0), row0(row0), dim(dim) {}
  std::size_t rows() const { return band.size(); }
};

// Adds one data row with basis functions first .. first + 5 (`values`), targets `y` (dim values)
// and weight w. `current` holds every control point of the spline (interleaved by axis), so that
// the right-hand side is the residual of the current fit; products with a basis function outside
// the window are dropped.
void accumulate_band(BandSystem& system, std::size_t first, const std::array<double, kBasisCount>& values,
                     std::span<const double> y, std::span<const double> current, double w);

// Solves the system (consumed) and returns the correction of the window's control points, laid out
// as `rhs`. Failures, each `SmoothingFailed`: a diagonal that is not finite and positive ("unsupported
// knot layout": a control point that no row reaches), a pivot that is not ("non-positive banded
// factorization"), a solution value that is not finite ("non-finite coefficients").
Result<std::vector<double>> solve_banded_cholesky(BandSystem system);

}  // namespace qarn::path

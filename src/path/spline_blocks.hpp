// The constant blocks of the interpolating-spline equations for one odd order 2m + 1: tabulated
// for m <= 3, derived at run time for higher orders. They depend on m alone, never on the data.
#pragma once

#include <Eigen/Core>
#include <cstddef>

#include "diag/result.hpp"

namespace qarn::path {

struct SplineBlocks {
  std::size_t m = 0;
  // Coefficients of the states a_(i-1), a_i, a_(i+1) in the continuity equations of interior knot i
  // (row e - m - 1 states that the Taylor coefficients of order e of both spans agree).
  Eigen::MatrixXd A, B, C;
  // m x 2: coefficients of the differences d_(i-1), d_i on the right-hand side.
  Eigen::MatrixXd D;
  // (m + 1) x (2m + 1): span data [d_j, a_j,1..m, a_(j+1),1..m] -> top coefficients c_(m+1)..c_(2m+1).
  Eigen::MatrixXd P;
  // (2m + 2) x (2m + 2): binomial[p][r] = C(p, r), used to read Taylor coefficients at a span's end.
  Eigen::MatrixXd binomial;
};

// Binomial coefficient as an f64 running product (0 when k > n); exact while it stays below 2^53.
double binomial_f64(std::size_t n, std::size_t k);

// Largest m whose construction starts from exactly representable numbers: from m = 28 on, the
// binomial coefficient C(2m + 1, m) exceeds 2^53. Such orders could only give a spline that misses
// its waypoints, and their O(m^3) construction would run for hours, so they are refused at once.
inline constexpr std::size_t kMaxSplineHalfOrder = 27;

// The blocks for 1 <= m <= kMaxSplineHalfOrder: the table for m <= 3, the generic construction
// above; a larger m gives `SingularLinearSystem`.
Result<SplineBlocks> spline_blocks(std::size_t m);

// The generic construction alone (1 <= m <= kMaxSplineHalfOrder); `spline_blocks` uses it from m = 4 on.
Result<SplineBlocks> derive_spline_blocks(std::size_t m);

}  // namespace qarn::path

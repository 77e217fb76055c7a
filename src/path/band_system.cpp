// Banded normal equations: accumulation of weighted rows and the equilibrated Cholesky solve.
#include "path/band_system.hpp"

#include <algorithm>
#include <cmath>

namespace qarn::path {

void accumulate_band(BandSystem& system, std::size_t first, const std::array<double, kBasisCount>& values,
                     std::span<const double> y, std::span<const double> current, double w) {
  const std::size_t row0 = system.row0;
  const std::size_t row_end = row0 + system.rows();
  const auto inside = [&](std::size_t index) { return index >= row0 && index < row_end; };
  for (std::size_t j = 0; j < kBasisCount; ++j) {
    if (!inside(first + j)) continue;
    auto& row = system.band[first + j - row0];
    row[0] += w * values[j] * values[j];
    for (std::size_t k = 0; k < j; ++k) {
      if (first + k >= row0) row[j - k] += w * values[j] * values[k];
    }
  }
  const std::size_t dim = system.dim;
  for (std::size_t a = 0; a < dim; ++a) {
    double predicted = 0.0;
    for (std::size_t j = 0; j < kBasisCount; ++j) predicted += values[j] * current[(first + j) * dim + a];
    const double r = w * (y[a] - predicted);
    for (std::size_t j = 0; j < kBasisCount; ++j) {
      if (inside(first + j)) system.rhs[(first + j - row0) * dim + a] += values[j] * r;
    }
  }
}

Result<std::vector<double>> solve_banded_cholesky(BandSystem system) {
  const std::size_t n = system.rows();
  const std::size_t dim = system.dim;
  auto& A = system.band;  // becomes L in place: A[i][i - j] holds L(i, j)
  std::vector<double>& x = system.rhs;

  // Equilibrate to a unit diagonal, so that the pivot test does not depend on the rows' scale.
  std::vector<double> d(n);
  for (std::size_t i = 0; i < n; ++i) {
    d[i] = std::sqrt(A[i][0]);
    if (!(std::isfinite(d[i]) && d[i] > 0.0)) return PathError::SmoothingFailed{"unsupported knot layout"};
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t m = 0; m <= std::min<std::size_t>(i, kBasisCount - 1); ++m) A[i][m] /= d[i] * d[i - m];
    for (std::size_t a = 0; a < dim; ++a) x[i * dim + a] /= d[i];
  }

  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t j0 = i >= kBasisCount - 1 ? i - (kBasisCount - 1) : 0;
    for (std::size_t j = j0; j <= i; ++j) {
      double sum = A[i][i - j];
      for (std::size_t k = j0; k < j; ++k) sum -= A[i][i - k] * A[j][j - k];
      if (j == i) {
        if (!(std::isfinite(sum) && sum > 0.0)) {
          return PathError::SmoothingFailed{"non-positive banded factorization"};
        }
        A[i][0] = std::sqrt(sum);
      } else {
        A[i][i - j] = sum / A[j][0];
      }
    }
  }

  for (std::size_t a = 0; a < dim; ++a) {
    for (std::size_t i = 0; i < n; ++i) {
      double sum = x[i * dim + a];
      for (std::size_t k = 1; k <= std::min<std::size_t>(i, kBasisCount - 1); ++k) {
        sum -= A[i][k] * x[(i - k) * dim + a];
      }
      x[i * dim + a] = sum / A[i][0];
    }
    for (std::size_t i = n; i-- > 0;) {
      double sum = x[i * dim + a];
      for (std::size_t k = 1; k < kBasisCount && i + k < n; ++k) sum -= A[i + k][k] * x[(i + k) * dim + a];
      x[i * dim + a] = sum / A[i][0];
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t a = 0; a < dim; ++a) {
      x[i * dim + a] /= d[i];
      if (!std::isfinite(x[i * dim + a])) return PathError::SmoothingFailed{"non-finite coefficients"};
    }
  }
  return std::move(x);
}

}  // namespace qarn::path

// Constant blocks of the interpolating-spline equations: the table for cubic, quintic and septic
// splines, and the construction that gives the same blocks for any odd order.
#include "path/spline_blocks.hpp"

#include <Eigen/Dense>
#include <cmath>
#include <new>

#include "path/storage.hpp"

namespace qarn::path {

namespace {

constexpr const char* kComponent = "InterpolatingSpline";

Eigen::MatrixXd rows_of(Eigen::Index rows, Eigen::Index cols, std::initializer_list<double> values) {
  Eigen::MatrixXd out(rows, cols);
  auto it = values.begin();
  for (Eigen::Index r = 0; r < rows; ++r)
    for (Eigen::Index c = 0; c < cols; ++c) out(r, c) = *it++;
  return out;
}

Eigen::MatrixXd binomial_table(std::size_t size) {
  const auto n = static_cast<Eigen::Index>(size);
  Eigen::MatrixXd table(n, n);
  for (Eigen::Index p = 0; p < n; ++p)
    for (Eigen::Index r = 0; r < n; ++r)
      table(p, r) = binomial_f64(static_cast<std::size_t>(p), static_cast<std::size_t>(r));
  return table;
}

SplineBlocks tabulated_blocks(std::size_t m) {
  SplineBlocks b;
  b.m = m;
  switch (m) {
    case 1:
      b.A = rows_of(1, 1, {1});
      b.B = rows_of(1, 1, {4});
      b.C = rows_of(1, 1, {1});
      b.D = rows_of(1, 2, {3, 3});
      b.P = rows_of(2, 3, {3, -2, -1, -2, 1, 1});
      break;
    case 2:
      b.A = rows_of(2, 2, {-4, -1, -7, -2});
      b.B = rows_of(2, 2, {0, 6, -16, 0});
      b.C = rows_of(2, 2, {4, -1, -7, 2});
      b.D = rows_of(2, 2, {-10, 10, -15, -15});
      b.P = rows_of(3, 5, {10, -6, -3, -4, 1, -15, 8, 3, 7, -2, 6, -3, -1, -3, 1});
      break;
    default:
      b.A = rows_of(3, 3, {15, 5, 1, 39, 14, 3, 34, 13, 3});
      b.B = rows_of(3, 3, {40, 0, 8, 0, -40, 0, 72, 0, 8});
      b.C = rows_of(3, 3, {15, -5, 1, -39, 14, -3, 34, -13, 3});
      b.D = rows_of(3, 2, {35, 35, 84, -84, 70, 70});
      b.P = rows_of(4, 7, {35, -20, -10, -4, -15, 5,  -1, -84, 45, 20, 6,  39, -14, 3,
                           70, -36, -15, -4, -34, 13, -3, -20, 10, 4,  1, 10, -4,  1});
      break;
  }
  b.binomial = binomial_table(2 * m + 2);
  return b;
}

// Inverse of the square matrix k by Gauss-Jordan elimination on [k | I], pivoting on the largest
// magnitude in the column (the last such row on ties).
Eigen::MatrixXd gauss_jordan_inverse(const Eigen::MatrixXd& k) {
  const Eigen::Index n = k.rows();
  Eigen::MatrixXd aug(n, 2 * n);
  aug.leftCols(n) = k;
  aug.rightCols(n).setIdentity();
  for (Eigen::Index c = 0; c < n; ++c) {
    Eigen::Index pivot = c;
    for (Eigen::Index r = c; r < n; ++r)
      if (std::abs(aug(r, c)) >= std::abs(aug(pivot, c))) pivot = r;
    if (pivot != c) aug.row(pivot).swap(aug.row(c));
    const double inv = aug(c, c);
    for (Eigen::Index j = 0; j < 2 * n; ++j) aug(c, j) /= inv;
    for (Eigen::Index r = 0; r < n; ++r) {
      const double f = aug(r, c);
      if (r == c || f == 0.0) continue;
      for (Eigen::Index j = 0; j < 2 * n; ++j) aug(r, j) -= f * aug(c, j);
    }
  }
  return aug.rightCols(n);
}

}  // namespace

double binomial_f64(std::size_t n, std::size_t k) {
  if (k > n) return 0.0;
  double c = 1.0;
  for (std::size_t t = 1; t <= k; ++t) {
    c *= static_cast<double>(n - t + 1);
    c /= static_cast<double>(t);
  }
  return c;
}

Result<SplineBlocks> derive_spline_blocks(std::size_t m) {
  if (m == 0 || m > kMaxSplineHalfOrder) return PathError::SingularLinearSystem{};
  try {
    const auto M = static_cast<Eigen::Index>(m);
    SplineBlocks b;
    b.m = m;
    b.binomial = binomial_table(2 * m + 2);

    Eigen::MatrixXd K(M + 1, M + 1);
    for (Eigen::Index k = 0; k <= M; ++k)
      for (Eigen::Index j = 0; j <= M; ++j) K(k, j) = b.binomial(M + 1 + j, k);

    // Columns of H: [d, a_start,1..m, a_end,1..m]; row k is the Taylor coefficient of order k at
    // u = 1 that the top powers must supply once the low powers (the start state) are counted.
    Eigen::MatrixXd H = Eigen::MatrixXd::Zero(M + 1, 2 * M + 1);
    H(0, 0) = 1.0;
    for (Eigen::Index r = 1; r <= M; ++r) H(0, r) = -1.0;
    for (Eigen::Index k = 1; k <= M; ++k) {
      H(k, M + k) = 1.0;
      for (Eigen::Index j = k; j <= M; ++j) H(k, j) = -b.binomial(j, k);
    }
    b.P = gauss_jordan_inverse(K) * H;

    // Knot i's combined vector: [d_(i-1), d_i, a_(i-1),1..m, a_i,1..m, a_(i+1),1..m].
    const Eigen::Index width = 3 * M + 2;
    const Eigen::Index d_left = 0, d_right = 1, a_prev = 2, a_here = 2 + M, a_next = 2 + 2 * M;
    // Power coefficient c_j of a span whose data sit at (d, start, end) in the combined vector.
    auto coefficient_row = [&](Eigen::Index j, Eigen::Index d, Eigen::Index start, Eigen::Index end) {
      Eigen::RowVectorXd row = Eigen::RowVectorXd::Zero(width);
      if (j >= 1 && j <= M) {
        row(start + j - 1) = 1.0;
      } else if (j > M) {
        const Eigen::Index p = j - M - 1;
        row(d) = b.P(p, 0);
        for (Eigen::Index r = 1; r <= M; ++r) {
          row(start + r - 1) = b.P(p, r);
          row(end + r - 1) = b.P(p, M + r);
        }
      }
      return row;
    };
    b.A.resize(M, M);
    b.B.resize(M, M);
    b.C.resize(M, M);
    b.D.resize(M, 2);
    for (Eigen::Index e = M + 1; e <= 2 * M; ++e) {
      Eigen::RowVectorXd row = Eigen::RowVectorXd::Zero(width);
      for (Eigen::Index j = e; j <= 2 * M + 1; ++j)
        row += b.binomial(j, e) * coefficient_row(j, d_left, a_prev, a_here);
      row -= coefficient_row(e, d_right, a_here, a_next);
      const Eigen::Index out = e - M - 1;
      b.A.row(out) = row.segment(a_prev, M);
      b.B.row(out) = row.segment(a_here, M);
      b.C.row(out) = row.segment(a_next, M);
      b.D(out, 0) = -row(d_left);
      b.D(out, 1) = -row(d_right);
    }
    return b;
  } catch (const std::bad_alloc&) {
    return too_large(kComponent, "the spline's constant blocks");
  }
}

Result<SplineBlocks> spline_blocks(std::size_t m) {
  if (m >= 1 && m <= 3) return tabulated_blocks(m);
  return derive_spline_blocks(m);
}

}  // namespace qarn::path

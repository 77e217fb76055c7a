// Triplet assembly and the compressed-column build of a conic program.
#include "qarn/conic/program.hpp"

#include <string>
#include <utility>

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

Result<ConicProgram> make_conic_program(std::string_view component, Assembly&& assembly) {
  ClarabelTriplets& triplets = assembly.triplets;
  std::vector<double>& q = assembly.q;
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
  program.blocks = std::move(triplets.blocks);
  program.constraint_rows = assembly.constraint_rows;
  triplets = ClarabelTriplets{};  // the entry arrays are not needed past the build
  return program;
}

}  // namespace qarn

// The conic program of every solver while it is assembled and once it is built: constraint rows
// appended to a `ClarabelTriplets` record block by block, each block announcing its cone, then the
// compressed-column `ConicProgram` handed to the solve stage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "diag/result.hpp"
#include "math/numerical/saturating.hpp"
#include "qarn/clarabel_bridge.hpp"

namespace qarn {

// Cone entries, named as Clarabel names its cone kinds. Sign convention: A x + s = b with s in the
// cone, so a Zero row is c.x = b, a Nonnegative row c.x <= b, and SecondOrder(d) over rows
// r0 .. r0+d-1 asks s_r0 >= |(s_r0+1, .., s_r0+d-1)|.
inline clarabel::Cone ZeroCone(std::size_t dim) { return {clarabel::ConeKind::Zero, dim}; }
inline clarabel::Cone NonnegativeCone(std::size_t dim) { return {clarabel::ConeKind::Nonnegative, dim}; }
inline clarabel::Cone SecondOrderCone(std::size_t dim) { return {clarabel::ConeKind::SecondOrder, dim}; }

// Lengths of the five arrays of a `ClarabelTriplets`, for the assembly diagnostics.
struct TripletLengths {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::size_t vals = 0;
  std::size_t b = 0;
  std::size_t cones = 0;

  TripletLengths operator-(const TripletLengths& o) const {
    return {rows - o.rows, cols - o.cols, vals - o.vals, b - o.b, cones - o.cones};
  }
  bool operator==(const TripletLengths&) const = default;
};

// What a row states: a limit of the store (its bound is the limit's), or the structure of the
// program (boundary values, the relation between a and b, a >= 0 inside an interval).
enum class RowKind : std::uint8_t { Structure, Limit };

// A run of constraint rows of one kind, from `first_row` to the next block's first row: the audit
// of a profile names a broken row by its block ("second-order row") and station.
struct RowBlock {
  std::size_t first_row;
  const char* label;
  RowKind kind = RowKind::Structure;
};

// The constraint side of a conic program while it is being assembled. Entry i of A is
// (rows[i], cols[i], vals[i]); a row's index is the length of b when its right-hand side is pushed;
// the cone list covers the rows in order. No builder writes two entries at the same (row, column).
struct ClarabelTriplets {
  std::vector<std::size_t> rows;
  std::vector<std::size_t> cols;
  std::vector<double> vals;
  std::vector<double> b;
  std::vector<clarabel::Cone> cones;
  std::vector<RowBlock> blocks;  // the constraint stage's row kinds, in row order

  // The rows appended from now on are of kind `label` (a string literal).
  void label_rows(const char* label, RowKind kind = RowKind::Structure) { blocks.push_back({row_count(), label, kind}); }

  void reserve(std::size_t entries, std::size_t rhs, std::size_t cone_count);
  std::size_t row_count() const { return b.size(); }
  void push_entry(std::size_t row, std::size_t col, double value) {
    rows.push_back(row);
    cols.push_back(col);
    vals.push_back(value);
  }
  TripletLengths lengths() const { return {rows.size(), cols.size(), vals.size(), b.size(), cones.size()}; }
  TripletLengths capacities() const {
    return {rows.capacity(), cols.capacity(), vals.capacity(), b.capacity(), cones.capacity()};
  }
};

// Reservation sizes of an assembly: entries (each of the row, column and value arrays),
// right-hand sides, cones and variables. Upper bounds, saturating instead of wrapping.
struct Reserve {
  std::uint64_t values = 0;
  std::uint64_t rhs = 0;
  std::uint64_t cones = 0;
  std::uint64_t variables = 0;

  Reserve operator+(const Reserve& o) const {
    return {saturating_add(values, o.values), saturating_add(rhs, o.rhs), saturating_add(cones, o.cones),
            saturating_add(variables, o.variables)};
  }
};

// A conic program under assembly: the constraint triplets, the linear cost (one entry per
// variable), how many leading rows are the problem's constraints (the rows a profile is audited
// against; the objective's rows follow them), and the reservation, which is noted before it is
// allocated: the size that memory running out at any later stage is reported by.
struct Assembly {
  ClarabelTriplets triplets;
  std::vector<double> q;
  std::size_t constraint_rows = 0;
  Reserve reserved{};

  void reserve(const Reserve& r) {
    reserved = r;
    triplets.reserve(r.values, r.rhs, r.cones);
    q.reserve(r.variables);
  }
};

// Appends the equality row x[column] = value with its own ZeroCone(1).
void push_equality_row(std::size_t column, ClarabelTriplets& triplets, double value);

// The m x n compressed-column matrix of the entries: every entry kept (explicit zeros included),
// row indices increasing inside each column. Entries must lie inside the matrix.
clarabel::CscMatrix compressed_columns(std::size_t m, std::size_t n, std::span<const std::size_t> rows,
                                       std::span<const std::size_t> cols, std::span<const double> vals);

// A conic program ready for the solver: minimise q'x subject to A x + s = b, s in the cones; P is
// the empty n x n matrix (every program of the system has a linear cost).
struct ConicProgram {
  clarabel::CscMatrix A;
  clarabel::CscMatrix P;
  std::vector<double> q;
  std::vector<double> b;
  std::vector<clarabel::Cone> cones;

  std::vector<RowBlock> blocks;
  std::size_t constraint_rows = 0;

  std::size_t rows() const { return b.size(); }
  std::size_t vars() const { return q.size(); }
};

// Consumes the assembly (n = q.size() variables, m = b.size() rows). An entry outside the m x n
// matrix is a fault of the assembling code, reported as CoreError::other.
Result<ConicProgram> make_conic_program(std::string_view component, Assembly&& assembly);

}  // namespace qarn

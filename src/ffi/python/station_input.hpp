// Per-station data from Python: array arguments turned into column-per-station matrices in a
// given `MatrixLayout`, the two forms of an axial limit (one vector for every station, or one
// column per station), and the values a raw constraint row may hold. Waypoint matrices of paths
// use the same conversion.
#pragma once

#include <Eigen/Core>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "ffi/python/array.hpp"
#include "ffi/python/path_enums.hpp"

namespace qarn::py {

// An owned matrix with one column per station (or sample) and one row per component, stored
// column after column, so station j's components are adjacent.
struct StationColumns {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<double> values;

  Eigen::Map<const Eigen::MatrixXd> view() const {
    return {values.data(), static_cast<Eigen::Index>(rows), static_cast<Eigen::Index>(cols)};
  }
};

// The 2-D conversion of `object` read in `layout`: SAMPLE_MAJOR input rows are stations,
// DIM_MAJOR input columns are. With `expected_rows`, a different component count is a ValueError.
StationColumns matrix_with_layout(std::string_view name, PyObject* object, MatrixLayout layout,
                                  std::optional<std::size_t> expected_rows = std::nullopt);

// Refuses a raw constraint row that no solver can read, naming the argument and the entry as the
// caller indexed it (ValueError): a coefficient must be finite; a bound may be the infinity that
// leaves its row inactive (+inf for an upper bound, -inf for a lower one), but neither NaN nor the
// other infinity, which no value holds and which every solver would otherwise read as no bound.
enum class RowPart { Coefficient, UpperBound, LowerBound };
void require_row_values(std::string_view name, const StationColumns& m, MatrixLayout layout, RowPart part);
// The same rule for upper bounds given as one value per station, indexed as the vector.
void require_upper_bounds(std::string_view name, std::span<const double> values);

// An axial limit of `dim` components as given: one vector for every station, or a matrix in
// `layout` with one column per station. Converting it builds nothing per station, so that the
// window can be checked before a vector is repeated over it.
class LimitInput {
 public:
  // The vector of `dim` values repeated over `length` stations (or `default_count` without
  // `length`), else the matrix, whose station count must equal `length` when one is given.
  static LimitInput read(std::string_view name, PyObject* object, std::size_t dim, std::optional<std::size_t> length,
                         MatrixLayout layout);

  // The stations it covers.
  std::size_t stations(std::size_t default_count) const;
  // The dim x stations matrix (the matrix form is moved out). Throws std::bad_alloc (MemoryError)
  // when it cannot be allocated.
  StationColumns columns(std::size_t default_count) &&;

 private:
  std::optional<std::vector<double>> vector_;
  std::optional<std::size_t> length_;
  StationColumns matrix_;
};

}  // namespace qarn::py

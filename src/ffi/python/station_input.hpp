// Per-station data from Python: array arguments turned into column-per-station matrices in a
// given `MatrixLayout`, and the two forms of an axial limit (one vector for every station, or one
// column per station). Waypoint matrices of paths use the same conversion.
#pragma once

#include <Eigen/Core>
#include <cstddef>
#include <optional>
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

// An axial limit of `dim` components: a vector of `dim` values repeated over `length` stations
// (or `default_count` without `length`), else a matrix in `layout` whose station count must equal
// `length` when one is given.
StationColumns limit_with_layout(std::string_view name, PyObject* object, std::size_t dim, std::size_t default_count,
                                 std::optional<std::size_t> length, MatrixLayout layout);

}  // namespace qarn::py

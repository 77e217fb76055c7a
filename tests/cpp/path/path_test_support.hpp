// Shared helpers of the path tests: building spline paths in one line and reading path errors.
#pragma once

#include <gtest/gtest.h>

#include <Eigen/Core>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>

#include "diag/result.hpp"
#include "path/path_core.hpp"

namespace qarn::path::testing {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();

// Waypoints given waypoint after waypoint (each `dim` values): the matrix's columns.
inline Eigen::MatrixXd waypoints(std::size_t dim, std::initializer_list<double> values) {
  Eigen::MatrixXd w(static_cast<Eigen::Index>(dim), static_cast<Eigen::Index>(values.size() / dim));
  std::copy(values.begin(), values.end(), w.data());
  return w;
}

inline SplineConfig spline_config(std::uint64_t order, double s_min = 0.0, double s_max = 1.0,
                                  OutOfRangeMode mode = OutOfRangeMode::Error) {
  SplineConfig config;
  config.order = order;
  config.s_min = s_min;
  config.s_max = s_max;
  config.out_of_range = mode;
  return config;
}

// The path, or a test failure naming the error.
inline Path spline_path(const Eigen::MatrixXd& w, SplineConfig config) {
  auto path = path_from_interpolating_spline(w, std::move(config));
  if (!path) ADD_FAILURE() << "building the path failed: " << path.error().display();
  return std::move(path).value();
}

// The path error inside a failed result (null when the result succeeded or holds another kind).
template <class T>
const PathError* path_error_of(const Result<T>& result) {
  return result.ok() ? nullptr : result.error().path();
}

// A pointer into the result, so the result must outlive it: a temporary is refused.
template <class Kind, class T>
const Kind* path_error_as(const Result<T>& result) {
  const PathError* e = path_error_of(result);
  return e ? e->template get_if<Kind>() : nullptr;
}
template <class Kind, class T>
const Kind* path_error_as(const Result<T>&& result) = delete;

// Whether a result failed with a path error of this kind; fine on a temporary.
template <class Kind, class T>
bool is_path_error(const Result<T>& result) {
  return path_error_as<Kind>(result) != nullptr;
}

}  // namespace qarn::path::testing

// The tolerance fit: a C^4 quintic B-spline whose deviation from the polyline through the waypoints
// stays within a per-axis tolerance on the selected axes, with spans added only where the bound is
// not met; the other axes are interpolated exactly. The result is the record of a fitted path.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "diag/result.hpp"
#include "path/fitted_path.hpp"
#include "path/query_range.hpp"
#include "path/spline.hpp"

namespace qarn::path {

// One tolerance for every selected axis, or one per selected axis in `axes` order.
using Tolerance = std::variant<double, std::vector<double>>;

inline constexpr double kDefaultSmoothingTolerance = 0.001;

// Options of the fit. Nothing is checked here: the fit refuses what does not suit the waypoints.
struct SmoothingConfig {
  Tolerance tolerance = kDefaultSmoothingTolerance;
  std::optional<std::vector<std::size_t>> axes;  // absent: every axis, in order
  std::optional<std::vector<double>> parameters;  // one per waypoint; absent: i / (n - 1)
  std::uint64_t max_refinements = 20;
  std::uint64_t max_segments = 20000;
  OutOfRangeMode out_of_range = OutOfRangeMode::Error;  // for the path built from the fit
};

// Fits the waypoints (dim x n_points, column k = waypoint k). Every failure is `SmoothingFailed`
// with the text naming what stopped the fit: the input checks in order (matrix, axes, tolerances,
// parameters, parameter range, scaled coordinates), the segment budgets, the refinement limit, the
// resolution of the parameter, the final audit in axis units, or the least-squares solve.
Result<FittedPath> fit_waypoints_with_tolerance(const WaypointMatrix& points, const SmoothingConfig& config);

}  // namespace qarn::path

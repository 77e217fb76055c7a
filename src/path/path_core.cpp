// Constructors of the path value.
#include "path/path_core.hpp"

namespace qarn::path {

Result<Path> path_from_interpolating_spline(const WaypointMatrix& waypoints, SplineConfig config, WorkerPool& pool) {
  const auto dim = static_cast<std::size_t>(waypoints.rows());
  const auto n_points = static_cast<std::size_t>(waypoints.cols());
  if (dim == 0) return PathError::InvalidDimension{0};
  if (n_points < 2) return PathError::NotEnoughWaypoints{n_points};
  if (config.order < 3) return PathError::InvalidSplineOrder{config.order};
  QARN_TRY(check_s_range(config.s_min, config.s_max, n_points - 1));

  auto spline = build_interpolating_spline(waypoints, config, pool);
  if (!spline) return std::move(spline).error();
  return Path(std::move(*spline), dim, config.s_min, config.s_max, config.out_of_range);
}

}  // namespace qarn::path

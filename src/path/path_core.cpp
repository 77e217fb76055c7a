// Constructors of the path value.
#include "path/path_core.hpp"

#include <cmath>

namespace qarn::path {

namespace {

// An evaluator path reads its range only in the query-range rule, which computes no width, so any
// finite ordered range is usable. A missing evaluator counts as one of dimension 0.
Status check_evaluator_path(double s_min, double s_max, std::size_t dim) {
  if (!(std::isfinite(s_min) && std::isfinite(s_max) && s_min < s_max)) return PathError::InvalidSRange{s_min, s_max};
  if (dim == 0) return PathError::InvalidDimension{0};
  return {};
}

}  // namespace

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

Result<Path> path_from_evaluator_2nd(std::shared_ptr<const PathEvaluator2nd> evaluator, double s_min, double s_max) {
  const std::size_t dim = evaluator ? evaluator->dim() : 0;
  QARN_TRY(check_evaluator_path(s_min, s_max, dim));
  return Path(Path::Representation(std::in_place_type<std::shared_ptr<const PathEvaluator2nd>>, std::move(evaluator)),
              dim, s_min, s_max, OutOfRangeMode::Error);
}

Result<Path> path_from_evaluator_3rd(std::shared_ptr<const PathEvaluator3rd> evaluator, double s_min, double s_max) {
  const std::size_t dim = evaluator ? evaluator->dim() : 0;
  QARN_TRY(check_evaluator_path(s_min, s_max, dim));
  return Path(Path::Representation(std::in_place_type<std::shared_ptr<const PathEvaluator3rd>>, std::move(evaluator)),
              dim, s_min, s_max, OutOfRangeMode::Error);
}

}  // namespace qarn::path

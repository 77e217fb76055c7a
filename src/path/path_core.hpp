// The path value: a curve q(s) with `dim` axes over [s_min, s_max], built once and then only read by
// sampling. Each kind of path is one alternative of its representation.
#pragma once

#include <cstddef>
#include <variant>

#include "diag/result.hpp"
#include "path/query_range.hpp"
#include "path/spline.hpp"
#include "path/worker_pool.hpp"

namespace qarn::path {

class Path {
 public:
  // One alternative per kind of path. The tolerance-fitted and the evaluator-backed kinds join
  // here, each with its constructor below and its branch in `evaluate_path_samples`.
  using Representation = std::variant<InterpolatingSpline>;

  const Representation& representation() const { return representation_; }
  std::size_t dim() const { return dim_; }
  double s_min() const { return s_min_; }
  double s_max() const { return s_max_; }
  OutOfRangeMode out_of_range() const { return out_of_range_; }
  QueryRange query_range() const { return {s_min_, s_max_, out_of_range_}; }

 private:
  Path(Representation representation, std::size_t dim, double s_min, double s_max, OutOfRangeMode mode)
      : representation_(std::move(representation)), dim_(dim), s_min_(s_min), s_max_(s_max), out_of_range_(mode) {}

  friend Result<Path> path_from_interpolating_spline(const WaypointMatrix& waypoints, SplineConfig config,
                                                     WorkerPool& pool);

  Representation representation_;
  std::size_t dim_;
  double s_min_;
  double s_max_;
  OutOfRangeMode out_of_range_;
};

// The interpolating-spline path through the waypoints (dim x n_points, column k = waypoint k).
// Checks, in order: no rows (`InvalidDimension` 0), fewer than two waypoints (`NotEnoughWaypoints`),
// order below 3 (`InvalidSplineOrder`), a range that is not finite and ordered or too wide or too
// narrow to be split into the spans (`InvalidSRange`); then the builder's own failures. The
// configuration is consumed whether or not the build succeeds.
Result<Path> path_from_interpolating_spline(const WaypointMatrix& waypoints, SplineConfig config,
                                            WorkerPool& pool = process_worker_pool());

}  // namespace qarn::path

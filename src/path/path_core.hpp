// The path value: a curve q(s) with `dim` axes over [s_min, s_max], built once and then only read by
// sampling. Each kind of path is one alternative of its representation.
#pragma once

#include <cstddef>
#include <memory>
#include <variant>

#include "diag/result.hpp"
#include "path/evaluator.hpp"
#include "path/fitted_path.hpp"
#include "path/query_range.hpp"
#include "path/smoothing.hpp"
#include "path/spline.hpp"
#include "path/worker_pool.hpp"

namespace qarn::path {

class Path {
 public:
  // One alternative per kind of path, each with its constructor below and its branch in
  // `evaluate_path_samples`. A fitted path's record is large and owned by the path alone; an
  // evaluator is shared with whoever else holds it.
  using Representation = std::variant<InterpolatingSpline, std::unique_ptr<const FittedPath>,
                                      std::shared_ptr<const PathEvaluator2nd>,
                                      std::shared_ptr<const PathEvaluator3rd>>;

  const Representation& representation() const { return representation_; }
  std::size_t dim() const { return dim_; }
  double s_min() const { return s_min_; }
  double s_max() const { return s_max_; }
  OutOfRangeMode out_of_range() const { return out_of_range_; }
  QueryRange query_range() const { return {s_min_, s_max_, out_of_range_}; }
  // What the fit did, for fitted paths only (null for every other kind).
  const SmoothingReport* smoothing_report() const;

 private:
  Path(Representation representation, std::size_t dim, double s_min, double s_max, OutOfRangeMode mode)
      : representation_(std::move(representation)), dim_(dim), s_min_(s_min), s_max_(s_max), out_of_range_(mode) {}

  friend Result<Path> path_from_interpolating_spline(const WaypointMatrix& waypoints, SplineConfig config,
                                                     WorkerPool& pool);
  friend Result<Path> path_from_smoothing_fit(const WaypointMatrix& points, SmoothingConfig config);
  friend Result<Path> path_from_evaluator_2nd(std::shared_ptr<const PathEvaluator2nd> evaluator, double s_min,
                                              double s_max);
  friend Result<Path> path_from_evaluator_3rd(std::shared_ptr<const PathEvaluator3rd> evaluator, double s_min,
                                              double s_max);

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

// The tolerance-fitted path through the waypoints (dim x n_points, column k = waypoint k) over the
// parameters of its first and last waypoint, with the configuration's out-of-range mode; every
// failure is the fit's `SmoothingFailed`. The configuration is consumed.
Result<Path> path_from_smoothing_fit(const WaypointMatrix& points, SmoothingConfig config);

// Paths backed by an evaluator of derivatives up to the second or the third order, always with
// the Error policy. Refuses a range that is not finite with s_min < s_max (`InvalidSRange`), then
// an evaluator of dimension 0 (`InvalidDimension`); on failure the handle is released.
Result<Path> path_from_evaluator_2nd(std::shared_ptr<const PathEvaluator2nd> evaluator, double s_min, double s_max);
Result<Path> path_from_evaluator_3rd(std::shared_ptr<const PathEvaluator3rd> evaluator, double s_min, double s_max);

}  // namespace qarn::path

// Interpolating splines of odd order through waypoints on uniform spans: the configuration, the
// coefficient record and its construction (one block-tridiagonal solve per axis on the worker pool).
#pragma once

#include <Eigen/Core>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "diag/result.hpp"
#include "path/query_range.hpp"
#include "path/worker_pool.hpp"

namespace qarn::path {

// How waypoints are placed in the parameter range; uniform spans are the only placement.
enum class Parametrization : std::uint8_t { Uniform = 0 };

// Configuration of an interpolating spline. Nothing is checked here: the path constructor and the
// builder refuse an unusable order, range or boundary shape.
struct SplineConfig {
  std::uint64_t order = 5;
  double s_min = 0.0;
  double s_max = 1.0;
  OutOfRangeMode out_of_range = OutOfRangeMode::Error;
  Parametrization parametrization = Parametrization::Uniform;
  // dim x (order - 1) / 2 each; entry (axis, r - 1) is the span-local Taylor coefficient of order r
  // at the first (start) or last (end) waypoint: h^r / r! times the r-th derivative in s, h the span
  // width. Absent means zeros.
  std::optional<Eigen::MatrixXd> start_state;
  std::optional<Eigen::MatrixXd> end_state;
};

struct InterpolatingSpline {
  // dim x spans x (order + 1) values, axis-major: power p of span j of axis a is at
  // (a * spans + j) * (order + 1) + p, in the span-local parameter u in [0, 1].
  std::vector<double> coefficients;
  std::size_t order = 0;
  double s_min = 0.0;
  double s_max = 0.0;
  std::size_t coeffs_per_span = 0;
  std::size_t spans = 0;
  double inv_span = 0.0;  // spans / (s_max - s_min)
  OutOfRangeMode out_of_range = OutOfRangeMode::Error;

  QueryRange query_range() const { return {s_min, s_max, out_of_range}; }
};

// Waypoints as a dim x n_points matrix, column k = waypoint k.
using WaypointMatrix = Eigen::Ref<const Eigen::MatrixXd>;

// The boundary matrix copied axis-major (the m states of an axis adjacent), or zeros when absent;
// `DimensionMismatch` unless it is dim x m.
Result<std::vector<double>> boundary_state_or_zeros(const std::optional<Eigen::MatrixXd>& state, std::size_t dim,
                                                    std::size_t m);

// Builds the spline through the waypoints. Refuses an even order or one below 3
// (`InvalidSplineOrder`), fewer than two waypoints (`NotEnoughWaypoints`), a boundary matrix that is
// not dim x m (`DimensionMismatch`, start first) and a block system that is singular or cannot be
// solved to 1e-8 relative accuracy at the knots (`SingularLinearSystem`, also at once for every order
// above 55, whose blocks cannot be formed accurately); sizes too large to allocate give an error of
// kind Other. The range is used as given: the path constructor
// checks it. Non-finite waypoints or states are not refused; they propagate into the coefficients.
Result<InterpolatingSpline> build_interpolating_spline(const WaypointMatrix& waypoints, const SplineConfig& config,
                                                       WorkerPool& pool = process_worker_pool());

}  // namespace qarn::path

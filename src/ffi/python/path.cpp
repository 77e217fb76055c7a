// The Path class: the waypoint constructors with their keyword and SplineConfig rules, and the
// attributes `dim` and `s_range`.
#include "ffi/python/path.hpp"

#include <cstdint>
#include <optional>
#include <tuple>
#include <utility>

#include "ffi/python/module.hpp"
#include "ffi/python/spline_config.hpp"
#include "ffi/python/station_input.hpp"

namespace qarn::py {
namespace {

// One instantiation per public name (`from_waypoints`, `from_waypoints_interpolating`), so that
// each keeps its own signature and names itself in argument errors; the body is the same.
template <int Name>
PyPath path_from_waypoints(PyObject* waypoints, std::optional<Shared<PySplineConfig>> config, std::uint64_t order,
                           double s_min, double s_max, PyOutOfRangeMode out_of_range,
                           PyParametrization parametrization, PyObject* start_state, PyObject* end_state,
                           PyMatrixLayout layout) {
  // dim x n_points, column k = waypoint k: the station-matrix reading of the array.
  const StationColumns points = matrix_with_layout("waypoints", waypoints, layout.value);
  std::optional<Eigen::MatrixXd> start = boundary_state("start_state", start_state);
  std::optional<Eigen::MatrixXd> end = boundary_state("end_state", end_state);

  path::SplineConfig spline;
  if (config) {
    // A keyword passed with its default value counts as not passed; parametrization has one value.
    const bool keywords_default = order == 5 && s_min == 0.0 && s_max == 1.0 &&
                                  out_of_range.value == path::OutOfRangeMode::Error && !start && !end;
    if (!keywords_default) {
      throw Error::value("pass either a `SplineConfig` object or direct spline keyword options, not both");
    }
    spline = (*config)->config;
  } else {
    spline = {order, s_min, s_max, out_of_range.value, parametrization.value, std::move(start), std::move(end)};
  }
  return {check(path::path_from_interpolating_spline(points.view(), std::move(spline))), layout.value};
}

std::uint64_t path_dim(Shared<PyPath> self) { return self->path.dim(); }
std::pair<double, double> path_s_range(Shared<PyPath> self) { return {self->path.s_min(), self->path.s_max()}; }

}  // namespace

void define(ClassDef<PyPath>& c) {
  constexpr const char* kWaypointArgs =
      "(waypoints, config=None, *, order=5, s_min=0.0, s_max=1.0, out_of_range='error', "
      "parametrization='uniform', start_state=None, end_state=None, layout='sample_major')";
  static const std::string from_waypoints = std::string("from_waypoints") + kWaypointArgs;
  static const std::string from_interpolating = std::string("from_waypoints_interpolating") + kWaypointArgs;
  c.name("Path",
         "Python-owned geometric path q(s) over a closed parameter range.\n\n"
         "Paths have no constructor: build them with the static ``Path.from_*`` methods.")
      .static_method<path_from_waypoints<0>>(
          from_waypoints.c_str(),
          "Build a waypoint spline path.\n\n"
          "Equivalent alias for ``Path.from_waypoints_interpolating``: an odd-order spline through every "
          "waypoint on uniform spans of [s_min, s_max]. ``waypoints`` is (n_points, dim) with the "
          "sample-major layout and (dim, n_points) with the dim-major one; ``start_state`` and "
          "``end_state`` are dim x (order-1)/2 matrices of span-local Taylor coefficients (zeros when "
          "None). Pass either ``config`` or the keyword options, not both.")
      .static_method<path_from_waypoints<1>>(
          from_interpolating.c_str(),
          "Build a waypoint spline path that interpolates every waypoint.\n\n"
          "An odd-order spline through every waypoint on uniform spans of [s_min, s_max]. ``waypoints`` "
          "is (n_points, dim) with the sample-major layout and (dim, n_points) with the dim-major one; "
          "``start_state`` and ``end_state`` are dim x (order-1)/2 matrices of span-local Taylor "
          "coefficients (zeros when None). Pass either ``config`` or the keyword options, not both.")
      .getter<path_dim>("dim", "Return the number of path dimensions.")
      .getter<path_s_range>("s_range", "Return the inclusive valid path parameter range.");
  define_path_evaluation(c);
}

void add_path_classes(Module& module) {
  // Registration order of the path group: the enums, the configuration, then the path classes.
  add_path_enums(module);
  module.add_class<PySplineConfig>();
  module.add_class<PyPathDerivatives>();
  module.add_class<PyPath>();
}

}  // namespace qarn::py

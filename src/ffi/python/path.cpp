// The Path class: the waypoint constructors with their keyword and SplineConfig / SmoothingConfig
// rules, and the attributes `dim`, `s_range` and `smoothing_report`.
#include "ffi/python/path.hpp"

#include <cstdint>
#include <optional>
#include <tuple>
#include <vector>
#include <utility>

#include "ffi/python/module.hpp"
#include "ffi/python/path_evaluator.hpp"
#include "ffi/python/smoothing_config.hpp"
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
  return {check(path::path_from_interpolating_spline(points.view(), std::move(spline))), layout.value, nullptr};
}

// Out of line: inlined into the entry frame, it makes GCC 12 at -O3 warn that the frame's borrow of
// `config` may be released uninitialized, which it never is (-Wmaybe-uninitialized).
[[gnu::noinline]]
PyPath path_from_waypoints_fitting(PyObject* waypoints, std::optional<Shared<PySmoothingConfig>> config,
                                   PyTolerance tolerance, PyObject* axes, PyObject* parameters,
                                   std::uint64_t max_refinements, std::uint64_t max_segments,
                                   PyOutOfRangeMode out_of_range, PyMatrixLayout layout) {
  const StationColumns points = matrix_with_layout("waypoints", waypoints, layout.value);
  std::optional<std::vector<std::size_t>> axis_list = parse_axes(axes);
  std::optional<std::vector<double>> parameter_list;
  if (parameters != Py_None) parameter_list = to_contiguous_f64_1d("parameters", parameters);

  path::SmoothingConfig fitting;
  if (config) {
    const path::SmoothingConfig defaults;
    const bool keywords_default = tolerance.is_default() && !axis_list && !parameter_list &&
                                  max_refinements == defaults.max_refinements &&
                                  max_segments == defaults.max_segments &&
                                  out_of_range.value == path::OutOfRangeMode::Error;
    if (!keywords_default) {
      throw Error::value("pass either a `SmoothingConfig` object or direct smoothing keyword options, not both");
    }
    fitting = (*config)->config;
  } else {
    fitting = {std::move(tolerance.value), std::move(axis_list), std::move(parameter_list), max_refinements,
               max_segments, out_of_range.value};
  }
  return {check(path::path_from_smoothing_fit(points.view(), std::move(fitting))), layout.value, nullptr};
}

std::uint64_t path_dim(Shared<PyPath> self) { return self->path.dim(); }
std::pair<double, double> path_s_range(Shared<PyPath> self) { return {self->path.s_min(), self->path.s_max()}; }
std::optional<PySmoothingReport> path_smoothing_report(Shared<PyPath> self) {
  const path::SmoothingReport* report = self->path.smoothing_report();
  if (report == nullptr) return std::nullopt;
  return PySmoothingReport{*report};
}

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
      .static_method<path_from_waypoints_fitting>(
          "from_waypoints_fitting(waypoints, config=None, *, tolerance=0.001, axes=None, parameters=None, "
          "max_refinements=20, max_segments=20000, out_of_range='error', layout='sample_major')",
          "Build a tolerance-bounded fitted waypoint path.\n\n"
          "A C^4 quintic B-spline that stays within ``tolerance`` of the polyline through the waypoints on "
          "each selected axis (``axes``, all by default), with spans added only where needed; the other "
          "axes are interpolated exactly. ``parameters`` places the waypoints on the path parameter "
          "(uniformly on [0, 1] when None); the path runs from the first to the last of them. Pass "
          "either ``config`` or the keyword options, not both.")
      .getter<path_dim>("dim", "Return the number of path dimensions.")
      .getter<path_s_range>("s_range", "Return the inclusive valid path parameter range.")
      .getter<path_smoothing_report>(
          "smoothing_report",
          "Return construction diagnostics of a tolerance-fitted waypoint path.\n\n"
          "``None`` for paths not built by ``Path.from_waypoints_fitting``, such as interpolated, "
          "evaluator-backed, and parametric paths.");
  define_path_evaluator_constructors(c);
  define_path_evaluation(c);
}

int traverse_refs(const PyPath& path, visitproc visit, void* arg) {
  if (path.evaluator) Py_VISIT(path.evaluator->evaluator.get());
  return 0;
}

// An evaluator object that refers back to its path closes a cycle that only this can break.
void clear_refs(PyPath& path) {
  if (path.evaluator) path.evaluator->evaluator.reset();
}

void add_path_classes(Module& module) {
  // Registration order of the path group: the enums, the configuration, then the path classes.
  add_path_enums(module);
  module.add_class<PySplineConfig>();
  module.add_class<PySmoothingConfig>();
  module.add_class<PySmoothingReport>();
  module.add_class<PyPathDerivatives>();
  module.add_class<PyPath>();
}

}  // namespace qarn::py

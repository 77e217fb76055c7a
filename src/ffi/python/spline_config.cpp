// The SplineConfig class: keyword constructor, field getters and setters, and its repr.
#include "ffi/python/spline_config.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "ffi/python/array.hpp"
#include "ffi/python/path_enums.hpp"

namespace qarn::py {
namespace {

PySplineConfig spline_config_new(std::uint64_t order, double s_min, double s_max, PyOutOfRangeMode out_of_range,
                                 PyParametrization parametrization, PyObject* start_state, PyObject* end_state) {
  path::SplineConfig config;
  config.order = order;
  config.s_min = s_min;
  config.s_max = s_max;
  config.out_of_range = out_of_range.value;
  config.parametrization = parametrization.value;
  config.start_state = boundary_state("start_state", start_state);
  config.end_state = boundary_state("end_state", end_state);
  return {std::move(config)};
}

// A new C-contiguous array holding a copy of a stored boundary matrix.
Ref boundary_state_to_py(const std::optional<Eigen::MatrixXd>& state) {
  if (!state) return Ref::borrow(Py_None);
  std::vector<double> values(static_cast<std::size_t>(state->size()));
  Eigen::Map<Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(values.data(), state->rows(),
                                                                                      state->cols()) = *state;
  return matrix_to_numpy(static_cast<std::size_t>(state->rows()), static_cast<std::size_t>(state->cols()),
                         std::move(values));
}

std::uint64_t get_order(Shared<PySplineConfig> self) { return self->config.order; }
double get_s_min(Shared<PySplineConfig> self) { return self->config.s_min; }
double get_s_max(Shared<PySplineConfig> self) { return self->config.s_max; }
PyOutOfRangeMode get_out_of_range(Shared<PySplineConfig> self) { return {self->config.out_of_range}; }
PyParametrization get_parametrization(Shared<PySplineConfig> self) { return {self->config.parametrization}; }
Ref get_start_state(Shared<PySplineConfig> self) { return boundary_state_to_py(self->config.start_state); }
Ref get_end_state(Shared<PySplineConfig> self) { return boundary_state_to_py(self->config.end_state); }

// The number fields convert their value before the object is borrowed (the frame does it); the
// others borrow first and convert while holding the borrow.
void set_order(Exclusive<PySplineConfig> self, std::uint64_t order) { self->config.order = order; }
void set_s_min(Exclusive<PySplineConfig> self, double s_min) { self->config.s_min = s_min; }
void set_s_max(Exclusive<PySplineConfig> self, double s_max) { self->config.s_max = s_max; }
void set_out_of_range(Exclusive<PySplineConfig> self, PyObject* value) {
  self->config.out_of_range = parse_enum<OutOfRangeModeEnum>(value).value;
}
void set_parametrization(Exclusive<PySplineConfig> self, PyObject* value) {
  self->config.parametrization = parse_enum<ParametrizationEnum>(value).value;
}
void set_start_state(Exclusive<PySplineConfig> self, PyObject* value) {
  self->config.start_state = boundary_state("start_state", value);
}
void set_end_state(Exclusive<PySplineConfig> self, PyObject* value) {
  self->config.end_state = boundary_state("end_state", value);
}

std::string spline_config_repr(Shared<PySplineConfig> self) {
  const path::SplineConfig& c = self->config;
  return fmt::format("SplineConfig(order={}, s_min={}, s_max={}, out_of_range={}, parametrization={})", c.order,
                     c.s_min, c.s_max, PyOutOfRangeMode{c.out_of_range}.display(),
                     PyParametrization{c.parametrization}.display());
}

}  // namespace

std::optional<Eigen::MatrixXd> boundary_state(std::string_view name, PyObject* object) {
  if (object == Py_None) return std::nullopt;
  const Matrix m = to_contiguous_f64_2d(name, object);
  using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
  return Eigen::MatrixXd(Eigen::Map<const RowMajor>(m.values.data(), static_cast<Eigen::Index>(m.rows),
                                                    static_cast<Eigen::Index>(m.cols)));
}

void define(ClassDef<PySplineConfig>& c) {
  c.name("SplineConfig", "Python-owned waypoint spline configuration backed by [`RustSplineConfig`].")
      .init<spline_config_new>(
          "SplineConfig(*, order=5, s_min=0.0, s_max=1.0, out_of_range='error', parametrization='uniform', "
          "start_state=None, end_state=None)")
      .property<get_order, set_order>(
          "order", "Spline order (odd, at least 3 when a path is built).\n\n"
                   "Set the spline order without validating core-level spline constraints.")
      .property<get_s_min, set_s_min>("s_min", "Start of the path parameter range.")
      .property<get_s_max, set_s_max>("s_max", "End of the path parameter range.")
      .property<get_out_of_range, set_out_of_range>("out_of_range", "Behaviour for queries outside the range.")
      .property<get_parametrization, set_parametrization>("parametrization", "Placement of the waypoints.")
      .property<get_start_state, set_start_state>(
          "start_state", "Boundary derivatives at the first waypoint (dim x (order-1)/2), or None for zeros.")
      .property<get_end_state, set_end_state>(
          "end_state", "Boundary derivatives at the last waypoint (dim x (order-1)/2), or None for zeros.")
      .repr<spline_config_repr>();
}

}  // namespace qarn::py

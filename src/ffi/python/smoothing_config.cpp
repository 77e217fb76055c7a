// The SmoothingConfig class (keyword constructor, getters and setters, repr), the SmoothingReport
// class, and the tolerance and axes conversions.
#include "ffi/python/smoothing_config.hpp"

#include <cstdint>
#include <new>
#include <string>

#include "diag/out_of_memory.hpp"
#include "ffi/python/array.hpp"
#include "ffi/python/path_enums.hpp"

namespace qarn::py {
namespace {

constexpr const char* kToleranceError = "`tolerance` must be a float or a one-dimensional float64 array";
constexpr const char* kAxesError = "`axes` must be None or a sequence of nonnegative integers";

// Runs `convert`; an ordinary exception it raises becomes ValueError `message`. Interrupts, exits,
// a MemoryError and the refusal of a complex value are not format failures: they pass unchanged.
template <class F>
auto replacing_conversion_errors(const char* message, F&& convert) {
  try {
    return convert();
  } catch (const ComplexRefused&) {
    throw;
  } catch (const Error& error) {
    if (error.is(PyExc_Exception) && !error.is(PyExc_MemoryError)) throw Error::value(message);
    throw;
  }
}

Ref axes_to_list(const std::vector<std::size_t>& axes) {
  Ref list = new_ref(PyList_New(static_cast<Py_ssize_t>(axes.size())));
  for (std::size_t i = 0; i < axes.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_py(axes[i]).release());
  }
  return list;
}

std::optional<std::vector<double>> parse_parameters(PyObject* object) {
  if (object == Py_None) return std::nullopt;
  return to_contiguous_f64_1d("parameters", object);
}

// Conversion order: tolerance, max_refinements, max_segments, out_of_range (by the frame, in
// parameter order), then axes and parameters.
PySmoothingConfig smoothing_config_new(PyTolerance tolerance, PyObject* axes, PyObject* parameters,
                                       std::uint64_t max_refinements, std::uint64_t max_segments,
                                       PyOutOfRangeMode out_of_range) {
  path::SmoothingConfig config;
  config.tolerance = std::move(tolerance.value);
  config.max_refinements = max_refinements;
  config.max_segments = max_segments;
  config.out_of_range = out_of_range.value;
  config.axes = parse_axes(axes);
  config.parameters = parse_parameters(parameters);
  return {std::move(config)};
}

Ref get_tolerance(Shared<PySmoothingConfig> self) {
  if (const double* single = std::get_if<double>(&self->config.tolerance)) return to_py(*single);
  return to_py(std::get<std::vector<double>>(self->config.tolerance));
}
Ref get_axes(Shared<PySmoothingConfig> self) {
  if (!self->config.axes) return Ref::borrow(Py_None);
  return axes_to_list(*self->config.axes);
}
std::optional<std::vector<double>> get_parameters(Shared<PySmoothingConfig> self) { return self->config.parameters; }
std::uint64_t get_max_refinements(Shared<PySmoothingConfig> self) { return self->config.max_refinements; }
std::uint64_t get_max_segments(Shared<PySmoothingConfig> self) { return self->config.max_segments; }
PyOutOfRangeMode get_out_of_range(Shared<PySmoothingConfig> self) { return {self->config.out_of_range}; }

// The budgets convert their value before the object is borrowed (the frame does it); the others
// borrow first and convert while holding the borrow.
void set_tolerance(Exclusive<PySmoothingConfig> self, PyObject* value) {
  self->config.tolerance = extract<PyTolerance>(value, "tolerance").value;
}
void set_axes(Exclusive<PySmoothingConfig> self, PyObject* value) { self->config.axes = parse_axes(value); }
void set_parameters(Exclusive<PySmoothingConfig> self, PyObject* value) {
  self->config.parameters = parse_parameters(value);
}
void set_max_refinements(Exclusive<PySmoothingConfig> self, std::uint64_t value) {
  self->config.max_refinements = value;
}
void set_max_segments(Exclusive<PySmoothingConfig> self, std::uint64_t value) { self->config.max_segments = value; }
void set_out_of_range(Exclusive<PySmoothingConfig> self, PyObject* value) {
  self->config.out_of_range = parse_enum<OutOfRangeModeEnum>(value).value;
}

std::string smoothing_config_repr(Shared<PySmoothingConfig> self) {
  const path::SmoothingConfig& c = self->config;
  const double* single = std::get_if<double>(&c.tolerance);
  const std::string tolerance =
      single ? fmt::format("{}", *single) : fmt::format("{:?}", std::get<std::vector<double>>(c.tolerance));
  const std::string axes = c.axes ? fmt::format("{:?}", *c.axes) : "None";
  const std::string parameters = c.parameters ? fmt::format("<{} values>", c.parameters->size()) : "None";
  return fmt::format(
      "SmoothingConfig(tolerance={}, axes={}, parameters={}, max_refinements={}, max_segments={}, out_of_range={})",
      tolerance, axes, parameters, c.max_refinements, c.max_segments, PyOutOfRangeMode{c.out_of_range}.display());
}

Ref report_axes(Shared<PySmoothingReport> self) { return axes_to_list(self->report.axes); }

std::string smoothing_report_repr(Shared<PySmoothingReport> self) {
  const path::SmoothingReport& r = self->report;
  return fmt::format("SmoothingReport(axes={:?}, segments={}, interpolated_segments={}, refinements={}, max_errors={:?})",
                     r.axes, r.segments, r.interpolated_segments, r.refinements, r.max_errors);
}

}  // namespace

bool PyTolerance::is_default() const {
  const double* single = std::get_if<double>(&value);
  return single != nullptr && *single == path::kDefaultSmoothingTolerance;
}

PyTolerance FromPy<PyTolerance>::convert(PyObject* object, std::string_view) {
  if (object == Py_None) return {path::kDefaultSmoothingTolerance};
  const NumpyF64 numpy;  // an import failure propagates unchanged
  const Ref array = replacing_conversion_errors(
      kToleranceError, [&] { return numpy.asarray(numpy.real_argument("tolerance", object).get()); });
  const Ref ndim_object = new_ref(PyObject_GetAttrString(array.get(), "ndim"));
  const std::uint64_t ndim = index_to_u64(ndim_object.get());
  if (ndim == 0) {
    const Ref item = new_ref(PyObject_CallMethod(array.get(), "item", nullptr));
    return {FromPy<double>::convert(item.get(), "tolerance")};
  }
  if (ndim == 1) return {to_contiguous_f64_1d("tolerance", array.get())};
  throw Error::value(kToleranceError);
}

std::optional<std::vector<std::size_t>> parse_axes(PyObject* object) {
  if (object == Py_None) return std::nullopt;
  if (PyUnicode_Check(object) || !PySequence_Check(object)) throw Error::value(kAxesError);
  return replacing_conversion_errors(kAxesError, [&] {
    const Py_ssize_t n = PySequence_Size(object);
    if (n < 0) throw Error::fetch();
    std::vector<std::size_t> axes;
    // The length is the object's own word: one that no memory can hold is MemoryError, not a fault.
    const auto too_many = [n] {
      return OutOfMemory(fmt::format("`axes` has {} items; no memory holds as many", n));
    };
    if (static_cast<std::size_t>(n) > axes.max_size()) throw too_many();
    try {
      axes.reserve(static_cast<std::size_t>(n));
    } catch (const std::bad_alloc&) {
      throw too_many();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
      const Ref item = new_ref(PySequence_GetItem(object, i));
      axes.push_back(index_to_u64(item.get()));
    }
    return axes;
  });
}

void define(ClassDef<PySmoothingConfig>& c) {
  c.name("SmoothingConfig", "Python-owned tolerance-bounded fitting configuration backed by [`RustSmoothingConfig`].")
      .init<smoothing_config_new>(
          "SmoothingConfig(*, tolerance=0.001, axes=None, parameters=None, max_refinements=20, "
          "max_segments=20000, out_of_range='error')")
      .property<get_tolerance, set_tolerance>(
          "tolerance",
          "Largest distance from the waypoint polyline: one float for every selected axis, or one per "
          "selected axis (a float64 array) in ``axes`` order.")
      .property<get_axes, set_axes>("axes", "Indices of the fitted axes, or None for all; the others are interpolated.")
      .property<get_parameters, set_parameters>(
          "parameters", "Path parameter of every waypoint (strictly increasing), or None for i / (n_points - 1).")
      .property<get_max_refinements, set_max_refinements>("max_refinements", "Most refinement passes of the fit.")
      .property<get_max_segments, set_max_segments>("max_segments", "Most spans of the fitted spline.")
      .property<get_out_of_range, set_out_of_range>("out_of_range", "Behaviour of the path for queries outside its range.")
      .repr<smoothing_config_repr>();
}

void define(ClassDef<PySmoothingReport>& c) {
  c.name("SmoothingReport", "Construction diagnostics of a tolerance-fitted waypoint path.")
      .getter<report_axes>("axes", "The fitted axes, in tolerance order.")
      .field<&PySmoothingReport::report, &path::SmoothingReport::segments>("segments", "Spans of the fitted spline.")
      .field<&PySmoothingReport::report, &path::SmoothingReport::interpolated_segments>(
          "interpolated_segments", "Spans of the spline through the axes that are not fitted (0 without any).")
      .field<&PySmoothingReport::report, &path::SmoothingReport::refinements>("refinements", "Refinement passes performed.")
      .field<&PySmoothingReport::report, &path::SmoothingReport::fitting_rows>(
          "fitting_rows", "Data rows of all least-squares passes.")
      .field<&PySmoothingReport::report, &path::SmoothingReport::checked_intervals>(
          "checked_intervals", "Waypoint intervals audited, the initial and final audits included.")
      .field<&PySmoothingReport::report, &path::SmoothingReport::max_errors>(
          "max_errors", "Per fitted axis, the final bound of the distance to the polyline, in the axis's units.")
      .repr<smoothing_report_repr>();
}

}  // namespace qarn::py

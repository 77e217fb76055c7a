// `SmoothingConfig`, the Python-owned options of the tolerance fit, with the tolerance and axes
// conversions it shares with `Path.from_waypoints_fitting`; and `SmoothingReport`, the read-only
// summary of a finished fit.
#pragma once

#include <optional>
#include <vector>

#include "ffi/python/class_def.hpp"
#include "path/smoothing.hpp"

namespace qarn::py {

struct PySmoothingConfig {
  path::SmoothingConfig config;
};

struct PySmoothingReport {
  path::SmoothingReport report;
};

// The `tolerance` argument: None gives the single default value; anything else goes through
// numpy.asarray(value, numpy.float64), a 0-d result being one value for every axis and a 1-D one a
// value per axis.
struct PyTolerance {
  path::Tolerance value;
  bool is_default() const;
};

template <>
struct FromPy<PyTolerance> {
  static PyTolerance convert(PyObject* object, std::string_view name);
};

// The `axes` argument: None gives none; otherwise a sequence (not a str) of non-negative integers.
std::optional<std::vector<std::size_t>> parse_axes(PyObject* object);

void define(ClassDef<PySmoothingConfig>& c);
void define(ClassDef<PySmoothingReport>& c);

}  // namespace qarn::py

// `SplineConfig`: the Python-owned configuration of an interpolating waypoint spline, and the
// boundary-state conversion that it shares with the path constructors.
#pragma once

#include <Eigen/Core>
#include <optional>
#include <string_view>

#include "ffi/python/class_def.hpp"
#include "path/spline.hpp"

namespace qarn::py {

struct PySplineConfig {
  path::SplineConfig config;
};

void define(ClassDef<PySplineConfig>& c);

// None gives no matrix; anything else the 2-D conversion under `name`, row i for axis i, never
// subject to a layout.
std::optional<Eigen::MatrixXd> boundary_state(std::string_view name, PyObject* object);

}  // namespace qarn::py

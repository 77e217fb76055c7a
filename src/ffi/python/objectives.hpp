// The objective classes `Time`, `Linear`, `ThermalEnergy`, `TotalVariationTorque`, and the
// parser that turns a problem's `objectives` argument (objects, dicts, or an iterable of them)
// into owned `ObjectiveSpec` values. Values are checked by the problem checks, not here.
#pragma once

#include <vector>

#include "ffi/python/class_def.hpp"
#include "qarn/problem2.hpp"

namespace qarn::py {

struct PyTime {
  double weight;
};

struct PyLinear {
  double weight;
  std::vector<double> alpha;
  std::vector<double> beta;
};

// ThermalEnergy and TotalVariationTorque carry the same payload; their getters are shared.
struct NormalizedObjective {
  double weight;
  std::vector<double> normalize;
};
struct PyThermalEnergy : NormalizedObjective {
  static constexpr const char* name = "ThermalEnergy";
};
struct PyTotalVariationTorque : NormalizedObjective {
  static constexpr const char* name = "TotalVariationTorque";
};

void define(ClassDef<PyTime>& c);
void define(ClassDef<PyLinear>& c);
void define(ClassDef<PyThermalEnergy>& c);
void define(ClassDef<PyTotalVariationTorque>& c);

// An objective object, an objective dict, or an iterable of them (in order; possibly empty).
std::vector<ObjectiveSpec> parse_objectives(PyObject* objectives);

}  // namespace qarn::py

// The reachable-set classes of the second-order solvers: `ReachSet2Options` (tolerances and
// verbosity, always satisfying the option rule) and `ReachSet2` (the reachable intervals), and the
// resolution of a solver call's `options` argument.
#pragma once

#include <optional>
#include <vector>

#include "ffi/python/class_def.hpp"
#include "qarn/qarn2/dp2/reach_set2.hpp"
#include "qarn/qarn2/dp2/reach_set2_options.hpp"

namespace qarn::py {

struct PyReachSet2Options {
  qarn2::ReachSet2Options options;
};

struct PyReachSet2 {
  std::vector<double> a_max;
  std::vector<double> a_min;
};

void define(ClassDef<PyReachSet2Options>& c);
void define(ClassDef<PyReachSet2>& c);

// The validated option record of a call (none: the defaults); the borrow of the object ends here.
qarn2::ReachSet2Options resolve_reach_set2_options(std::optional<Shared<PyReachSet2Options>> options);

}  // namespace qarn::py

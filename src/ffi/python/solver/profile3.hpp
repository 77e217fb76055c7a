// `Profile3rd`: the Python-owned third-order profile (a and b at every station and the counts of
// stationary boundary intervals) that the third-order solvers return and the third-order time
// conversions and the jerk audit take. Python classes may derive from it.
#pragma once

#include "ffi/python/class_def.hpp"
#include "qarn/qarn3/formulation.hpp"

namespace qarn::py {

struct PyProfile3rd {
  qarn3::Topp3Profile profile;  // len(a) == len(b)
};

void define(ClassDef<PyProfile3rd>& c);

}  // namespace qarn::py

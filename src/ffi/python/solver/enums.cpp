// Registration of the solver enum classes.
#include "ffi/python/solver/enums.hpp"

#include "ffi/python/module.hpp"

namespace qarn::py {

void register_verbosity(Module& module) { module.add_class<PyVerbosity>(); }

void add_clarabel_enums(Module& module) {
  module.add_class<PyClarabelDirectSolveMethod>();
  module.add_class<PyClarabelSolverStatus>();
}

}  // namespace qarn::py

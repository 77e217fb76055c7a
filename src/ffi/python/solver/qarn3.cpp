// The registration of the QARN3 group.
#include "ffi/python/module.hpp"
#include "ffi/python/solver/problem3.hpp"

namespace qarn::py {

void register_qarn3_items(Module& module) { module.add_class<PyQarn3Problem>(); }

}  // namespace qarn::py

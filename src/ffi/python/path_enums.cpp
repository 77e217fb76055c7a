// Registration of the path enum classes.
#include "ffi/python/path_enums.hpp"

#include "ffi/python/module.hpp"

namespace qarn::py {

void add_path_enums(Module& module) {
  module.add_class<PyOutOfRangeMode>();
  module.add_class<PyParametrization>();
  module.add_class<PyMatrixLayout>();
}

}  // namespace qarn::py

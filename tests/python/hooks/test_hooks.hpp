// The private names that the test-only extension adds to the module body.
#pragma once

#include "ffi/python/module.hpp"

namespace qarn::py {

void register_test_hooks(Module& module);

}  // namespace qarn::py

// Error value for path buffers that cannot be sized or allocated.
#include "path/storage.hpp"

namespace qarn::path {

CoreError too_large(const char* component, const char* what) {
  return CoreError::out_of_memory(component, fmt::format("{} is too large to allocate", what));
}

}  // namespace qarn::path

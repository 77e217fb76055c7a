// Construction of shared robot states.
#include "ffi/python/robot_state.hpp"

namespace qarn::py {

RobotHandle robot_new_core(std::size_t dim, std::optional<std::size_t> capacity) {
  if (dim == 0) throw Error::value("`dim` must be a positive integer");
  if (capacity && *capacity == 0) throw Error::value("`capacity` must be a positive integer or None");
  constexpr std::size_t kDefaultCapacity = 1000;
  return std::make_shared<SharedRobotState>(dim, capacity.value_or(kDefaultCapacity));
}

}  // namespace qarn::py

// Physical memory and the address-space limit, read from the operating system.
#include "diag/memory_limit.hpp"

#include <algorithm>
#include <limits>

#include "math/numerical/saturating.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace qarn {

std::uint64_t memory_the_process_can_hold() {
  std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
#if defined(__unix__) || defined(__APPLE__)
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page_size > 0) {
    limit = saturating_mul(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size));
  }
  rlimit address_space{};
  if (getrlimit(RLIMIT_AS, &address_space) == 0 && address_space.rlim_cur != RLIM_INFINITY) {
    limit = std::min<std::uint64_t>(limit, address_space.rlim_cur);
  }
#endif
  return limit;
}

}  // namespace qarn

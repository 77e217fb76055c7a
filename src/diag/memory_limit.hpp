// The most memory this process could ever hold: what a size that can never be met is measured
// against, so that it is refused at once instead of being allocated and touched until the system
// ends the process.
#pragma once

#include <cstdint>

namespace qarn {

// The machine's physical memory, or the process's address-space limit when that is lower; the
// largest u64 where the platform tells neither.
std::uint64_t memory_the_process_can_hold();

}  // namespace qarn

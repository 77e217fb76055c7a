// Pieces shared by the source files of the station store (not part of its interface): the ring
// block walk and the error of a growth that cannot be allocated.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "diag/error.hpp"
#include "qarn/constraints.hpp"

namespace qarn {

namespace detail {

// Allocation failure while growing the store is reported, not fatal: the store stays as it was.
inline CoreError out_of_memory(const char* operation) {
  return CoreError::out_of_memory(operation, "not enough memory to grow the station store");
}

}  // namespace detail

template <class F>
void Constraints::for_each_slot_block(std::uint64_t idx_s, std::uint64_t n, F&& f) const {
  if (n == 0) return;
  const std::size_t p = slot_of(idx_s);
  const std::size_t first = static_cast<std::size_t>(std::min<std::uint64_t>(n, capacity_ - p));
  f(p, std::size_t{0}, first);
  if (n > first) f(std::size_t{0}, first, static_cast<std::size_t>(n - first));
}

}  // namespace qarn

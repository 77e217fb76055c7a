// Checked sizes for path buffers: a size product that would wrap, or memory that cannot be had,
// becomes an error value instead of a wrapped count or an aborted process.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <limits>
#include <optional>

#include "diag/result.hpp"

namespace qarn::path {

// The product of the factors, or nothing when it exceeds what an Eigen index (and so any of our
// buffers) can address. A zero factor makes the product zero whatever the others are: no queries
// of a path of 2^62 axes is an empty buffer, not one too large.
inline std::optional<std::size_t> checked_product(std::initializer_list<std::size_t> factors) {
  constexpr auto limit = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(double);
  if (std::find(factors.begin(), factors.end(), std::size_t{0}) != factors.end()) return 0;
  std::size_t product = 1;
  for (const std::size_t f : factors) {
    if (product > limit / f) return std::nullopt;
    product *= f;
  }
  return product;
}

// "<component> reported an error: <what> is too large to allocate"
CoreError too_large(const char* component, const char* what);

}  // namespace qarn::path

// Unsigned sums and products that stop at the largest value instead of wrapping: station ids,
// counts and capacity estimates computed from them must never come out small by overflow.
#pragma once

#include <cstdint>
#include <limits>

namespace qarn {

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  return a > kMax - b ? kMax : a + b;
}

inline std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  return (a != 0 && b > kMax / a) ? kMax : a * b;
}

}  // namespace qarn

// The text of an allocation failure that names its need.
#include "diag/out_of_memory.hpp"

#include "diag/format.hpp"
#include "math/numerical/saturating.hpp"

namespace qarn {
namespace {

// In the largest unit that keeps it at least 1, rounded up: a need never reads as 0.
std::string approximate_size(std::uint64_t bytes) {
  constexpr std::uint64_t kKiB = 1024, kMiB = kKiB * kKiB;
  const auto in = [&](std::uint64_t unit) { return saturating_add(bytes, unit - 1) / unit; };
  if (bytes >= kMiB) return fmt::format("{} MiB", in(kMiB));
  if (bytes >= kKiB) return fmt::format("{} KiB", in(kKiB));
  return fmt::format("{} bytes", bytes);
}

}  // namespace

std::string not_enough_memory(std::string_view component, std::string_view doing, std::uint64_t bytes,
                              std::string_view what) {
  return fmt::format("{}: not enough memory {}: about {} are needed for {}", component, doing, approximate_size(bytes),
                     what);
}

}  // namespace qarn

// The allocations of each conic stage, counted from the code that makes them.
#include "qarn/conic/memory_needs.hpp"

#include "diag/format.hpp"
#include "math/numerical/saturating.hpp"

namespace qarn {
namespace {

// Bytes per constraint entry, right-hand side (row), cone, variable and station.
struct Rates {
  std::uint64_t entry = 0, row = 0, cone = 0, variable = 0, station = 0;
};

// Reachability keeps the bounds of its forward and backward sets, the profile and its repair:
// six values per station. The references add a and b and their held copies.
constexpr std::uint64_t kValue = sizeof(double);
constexpr std::uint64_t kReachability = 6 * kValue;

Rates rates_of(ConicStage stage) {
  constexpr std::uint64_t kIndex = sizeof(std::size_t);
  switch (stage) {
    case ConicStage::Check:
      return {.station = kReachability};
    case ConicStage::Reserve:
    case ConicStage::Assemble:  // the triplets (row, column, value), b, the cones and q
      return {.entry = 2 * kIndex + kValue, .row = kValue, .cone = sizeof(clarabel::Cone), .variable = kValue};
    case ConicStage::Build:  // the sort by row, the row indices and values, the row and column counts
      return {.entry = 2 * kIndex + kValue, .row = kIndex, .variable = kIndex};
    case ConicStage::Units:  // reachability, the references, one unit per column
      return {.variable = kValue, .station = kReachability + 4 * kValue};
    case ConicStage::Solve:
      // Up to three copies of the matrix (without the vacuous rows, scaled, its cone pairs
      // boosted); per row the vacuous-row record (40 bytes), the copies of b, the row factors and
      // largest entries, z and s; per column the copies of q and the column pointers, the column
      // factors and x.
      return {.entry = 3 * (kIndex + kValue), .row = 40 + 8 * kValue, .cone = sizeof(clarabel::Cone),
              .variable = 8 * kValue};
    case ConicStage::Profile:  // a and b, the audited columns, the next reference; per row the audit's sums
      return {.row = 4 * kValue + 1, .variable = kValue, .station = 8 * kValue};
  }
  return {};
}

const char* doing(ConicStage stage) {
  switch (stage) {
    case ConicStage::Check: return "to check the problem";
    case ConicStage::Reserve: return "to reserve the program";
    case ConicStage::Assemble: return "to assemble the program";
    case ConicStage::Build: return "to build the program's compressed columns";
    case ConicStage::Units: return "to estimate the profile's magnitudes";
    case ConicStage::Solve: return "to scale the program for Clarabel";
    case ConicStage::Profile: return "to read and audit the profile";
  }
  return "";
}

std::string data_of(ConicStage stage, const ProgramSize& size) {
  const Reserve& r = size.reserved;
  switch (stage) {
    case ConicStage::Check:
      return fmt::format("the reachable sets of {} stations", size.stations);
    case ConicStage::Units:
      return fmt::format("the references of {} stations and the units of {} variables", size.stations, r.variables);
    case ConicStage::Profile:
      return fmt::format("the profile of {} stations and the audit of {} rows", size.stations, r.rhs);
    case ConicStage::Build:
      return fmt::format("the compressed columns of {} constraint entries", r.values);
    case ConicStage::Solve:
      return fmt::format("the scaled copies of {} constraint entries, {} rows and {} variables", r.values, r.rhs,
                         r.variables);
    default:
      return fmt::format("{} constraint entries, {} rows and {} variables", r.values, r.rhs, r.variables);
  }
}

}  // namespace

std::uint64_t stage_bytes(ConicStage stage, const ProgramSize& size) {
  const Rates rates = rates_of(stage);
  const Reserve& r = size.reserved;
  std::uint64_t bytes = 0;
  for (const auto& [count, rate] : {std::pair{r.values, rates.entry}, std::pair{r.rhs, rates.row},
                                   std::pair{r.cones, rates.cone}, std::pair{r.variables, rates.variable},
                                   std::pair{size.stations, rates.station}}) {
    bytes = saturating_add(bytes, saturating_mul(count, rate));
  }
  return bytes;
}

std::string stage_memory_text(std::string_view component, ConicStage stage, const ProgramSize& size) {
  return not_enough_memory(component, doing(stage), stage_bytes(stage, size), data_of(stage, size));
}

std::string reachability_memory_text(std::string_view component, std::uint64_t stations) {
  return not_enough_memory(component, "for reachability analysis", stage_bytes(ConicStage::Check, {stations}),
                           data_of(ConicStage::Check, {stations}));
}

}  // namespace qarn

// Why a reachable set is empty at a station: the limits of one station interval that no pair of
// values of a holds. The passes find the set empty as an LP without a solution (no bounds at all)
// or as bounds that cross; what the user needs is the station and the limit behind it.
#pragma once

#include <cstdint>
#include <string>

#include "qarn/constraints.hpp"

namespace qarn::qarn2 {

// The values a station of the interval may take, lo <= a <= hi (hi may be +inf), in the caller's units.
struct StationValues {
  std::uint64_t idx_s;
  double lo;
  double hi;
};

// The reason the second-order rows of the interval between two neighbouring stations admit no
// pair of values, one station `known` to lie in its range and the other `sought` in its own (the
// row b of both stations is the interval's (a_right - a_left) / (2 h)): "with a between 0.1 and 0.5
// at idx_s = 15, no a >= 0 at idx_s = 14 holds the second-order row 1 at idx_s = 14 (acc_a = 4,
// acc_b = 0.5, acc_max = -5)". The culprit is the first row that holds nowhere in the ranges, else
// the first pair of rows that hold nowhere together, else the rows of the interval as a whole;
// where the bounds of `sought` cross, none: "..., no a between 0 and -1 at idx_s = 14 exists".
// Every value it prints is finite.
std::string empty_interval_reason(const Constraints& store, StationValues known, StationValues sought);

}  // namespace qarn::qarn2

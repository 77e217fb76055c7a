// Audits of a delivered profile against the raw limits in the station store: the largest excess
// per constraint order (<= 0 when every limit of that order holds, NaN when the profile cannot
// be measured). They never fail, so a caller can audit any profile, even a broken one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "qarn/constraints.hpp"

namespace qarn {

struct Exceed2 {
  double exceed_1st;
  double exceed_2nd;
};

struct Exceed3 {
  double exceed_1st;
  double exceed_2nd;
  double exceed_3rd;
};

// Node profile a (a[k] at station idx_s_start + k); b is taken per interval from a, and both
// stations of an interval are measured against that interval's b.
Exceed2 exceed_topp2(const Constraints& store, std::uint64_t idx_s_start, std::span<const double> a);

// Node profile (a, b) of a third-order solve with k0 / k1 stationary intervals at the start / end,
// whose jerk is not measured; the jerk rows are read in their nonlinear form.
Exceed3 exceed_topp3(const Constraints& store, std::uint64_t idx_s_start, std::span<const double> a,
                     std::span<const double> b, std::size_t k0, std::size_t k1);

}  // namespace qarn

// The out-of-range policy of paths and the query-range rule that every path kind applies to each
// query parameter before it evaluates; also the check that a parameter range is usable at all.
#pragma once

#include <cstddef>
#include <cstdint>

#include "diag/result.hpp"

namespace qarn::path {

enum class OutOfRangeMode : std::uint8_t { Error = 0, Clamp = 1 };

// Queries this far outside the range are still accepted in Error mode (and moved onto the range's
// end), so that parameters computed by rounding-prone arithmetic near an end are not refused.
inline constexpr double kQueryRangeTolerance = 1e-12;

// The parameter range and policy of one path, as the query-range rule reads them.
struct QueryRange {
  double s_min;
  double s_max;
  OutOfRangeMode mode;

  // True when the rule refuses query s. A NaN query is never refused here: it passes both
  // comparisons and reaches the evaluation, which turns it into NaN output.
  bool refuses(double s) const {
    return mode == OutOfRangeMode::Error &&
           (s < s_min + -kQueryRangeTolerance || s > s_max + kQueryRangeTolerance);
  }
  // The parameter actually evaluated for an accepted query (NaN stays NaN).
  double clamp(double s) const { return s < s_min ? s_min : (s > s_max ? s_max : s); }

  PathError out_of_range(std::size_t index, double s) const {
    return PathError::SOutOfRange{s_min, s_max, index, s};
  }
  // The whole rule for query s at position `index` of the query array: the parameter to evaluate,
  // or `SOutOfRange` carrying the query before clamping.
  Result<double> apply(std::size_t index, double s) const {
    if (refuses(s)) return out_of_range(index, s);
    return clamp(s);
  }
};

// Refuses with `InvalidSRange` a range that is not finite, ordered and wide enough to be divided
// into `spans` spans whose inverse width is finite: a width that overflows (-1e308 to 1e308) or
// is subnormal would otherwise put every query on one point, or make them all NaN.
Status check_s_range(double s_min, double s_max, std::size_t spans);

}  // namespace qarn::path

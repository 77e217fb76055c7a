// The parameter-range check shared by the path constructors.
#include "path/query_range.hpp"

#include <cmath>

namespace qarn::path {

Status check_s_range(double s_min, double s_max, std::size_t spans) {
  const double width = s_max - s_min;
  const double inv_span = static_cast<double>(spans) / width;
  // Written so that NaN anywhere fails: every comparison with NaN is false.
  const bool usable = std::isfinite(s_min) && std::isfinite(s_max) && s_max > s_min && std::isfinite(width) &&
                      std::isfinite(inv_span) && inv_span > 0.0;
  if (!usable) return PathError::InvalidSRange{s_min, s_max};
  return {};
}

}  // namespace qarn::path

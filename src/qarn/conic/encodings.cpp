// Shared row encodings of the conic stages.
#include "qarn/conic/encodings.hpp"

#include <cmath>

namespace qarn {

void push_sqrt_bound_rows(std::size_t a_col, std::size_t u_col, double c, ClarabelTriplets& t) {
  const std::size_t r = t.row_count();
  t.push_entry(r, a_col, -1.0);
  t.push_entry(r + 1, a_col, -1.0);
  t.push_entry(r + 2, u_col, -2.0 * std::sqrt(c));
  t.b.insert(t.b.end(), {c, -c, 0.0});
}

void push_reciprocal_rows(std::size_t u_col, std::size_t w_col, ClarabelTriplets& t) {
  const std::size_t r = t.row_count();
  t.push_entry(r, u_col, -1.0);
  t.push_entry(r, w_col, -1.0);
  t.push_entry(r + 1, u_col, -1.0);
  t.push_entry(r + 1, w_col, 1.0);
  t.b.insert(t.b.end(), {0.0, 0.0, 2.0});
}

void push_absolute_value_rows(std::span<const std::pair<std::size_t, double>> c, double rhs, std::size_t v_col,
                              ClarabelTriplets& t) {
  for (const double sign : {1.0, -1.0}) {
    const std::size_t r = t.row_count();
    for (const auto& [col, value] : c) t.push_entry(r, col, sign * value);
    t.push_entry(r, v_col, -1.0);
    t.b.push_back(sign * rhs);
  }
}

}  // namespace qarn

// Where a second-order profile stops, which topp2_ra and qarn2_socp check before handing it out.
#include "qarn/arrival.hpp"

#include <gtest/gtest.h>

#include <iterator>
#include <optional>
#include <utility>
#include <vector>

namespace qarn {
namespace {

// A rest at one station between moving ones is passed; a rest at both stations of an interval is
// a stop, in the last interval too.
TEST(Arrival, AProfileStopsWhereItRestsAtBothStationsOfAnInterval) {
  const std::pair<std::vector<double>, std::optional<std::size_t>> rows[] = {
      {{0.0, 1.0, 0.0, 2.0, 0.0}, std::nullopt}, {{0.0, 0.0, 1.0, 0.0, 0.0}, 0},
      {{1.0, 2.0, 0.0, 0.0, 0.0}, 2},            {{0.0, 1.0, 2.0, 0.0, 0.0}, 3},
      {{0.0}, std::nullopt},
  };
  for (std::size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(first_stop_interval(rows[i].first), rows[i].second) << i;
  EXPECT_EQ(where_second_order_stops(rows[3].first, 7),
            "The profile stops at both stations of the interval 10 <= idx_s <= 11, so it never arrives");
}

}  // namespace
}  // namespace qarn

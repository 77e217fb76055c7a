// Station run maps: per-station row counts kept as runs, edited by the store's writes, appends,
// pops and clears.
#include "qarn/station_run_map.hpp"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "qarn/constraints.hpp"
#include "station_test_support.hpp"

namespace qarn {
namespace {

using Runs = std::vector<std::array<std::uint64_t, 3>>;

Runs runs_of(const StationRunMap& map) {
  Runs out;
  for (const StationRun& r : map.runs()) out.push_back({r.start, r.end, r.rows});
  return out;
}

Eigen::MatrixXd rows(Eigen::Index r, Eigen::Index n, double v = 1.0) { return test::constant(r, n, v); }

// The store of the examples: ten stations 0..9, 4 second-order rows everywhere, 2 more over [3, 6).
Constraints acc_example() {
  Constraints c = test::store_with_stations(2, 32, test::ramp(10));
  EXPECT_TRUE(c.add_constraint_2nd(rows(4, 10), rows(4, 10), rows(4, 10), 0, false).ok());
  EXPECT_TRUE(c.add_constraint_2nd(rows(2, 3), rows(2, 3), rows(2, 3), 3, false).ok());
  return c;
}

TEST(StationRunMap, AppendedStationsStartWithOneZeroRun) {
  const Constraints c = test::store_with_stations(3, 16, test::ramp(10));
  for (const StationRunMap* map : {&c.q_runs(), &c.dddq_runs(), &c.acc_runs(), &c.jerk_runs()}) {
    EXPECT_EQ(runs_of(*map), (Runs{{0, 10, 0}}));
  }
}

TEST(StationRunMap, SetWithoutAccumulationMergesBackToOneRun) {
  Constraints c = test::store_with_stations(3, 16, test::ramp(10));
  ASSERT_TRUE(c.set_q(rows(3, 3), rows(3, 3), rows(3, 3), std::nullopt, 2).ok());
  EXPECT_EQ(runs_of(c.q_runs()), (Runs{{0, 2, 0}, {2, 5, 3}, {5, 10, 0}}));
  ASSERT_TRUE(c.set_q(rows(3, 10), rows(3, 10), rows(3, 10), std::nullopt, 0).ok());
  EXPECT_EQ(runs_of(c.q_runs()), (Runs{{0, 10, 3}}));
}

TEST(StationRunMap, AccumulatingUpdatesAndRowSums) {
  const Constraints c = acc_example();
  EXPECT_EQ(runs_of(c.acc_runs()), (Runs{{0, 3, 4}, {3, 6, 6}, {6, 10, 4}}));
  EXPECT_EQ(c.acc_runs().rows_in_range(2, 8), 30u);
  EXPECT_EQ(c.acc_runs().rows_in_range(0, 10), 46u);
  EXPECT_EQ(c.acc_runs().rows_in_range(4, 4), 0u);
  EXPECT_EQ(c.acc_runs().max_rows_in_range(0, 3), 4u);
  EXPECT_EQ(c.acc_runs().max_rows_in_range(5, 7), 6u);
}

TEST(StationRunMap, PopsTrimTheRuns) {
  Constraints front = acc_example();
  front.pop_front(PopMode::Count, 5);
  EXPECT_EQ(runs_of(front.acc_runs()), (Runs{{5, 6, 6}, {6, 10, 4}}));

  Constraints back8 = acc_example();
  back8.pop_back(PopMode::Until, 8);
  EXPECT_EQ(runs_of(back8.acc_runs()), (Runs{{0, 3, 4}, {3, 6, 6}, {6, 8, 4}}));

  Constraints back6 = acc_example();
  back6.pop_back(PopMode::Until, 6);
  EXPECT_EQ(runs_of(back6.acc_runs()), (Runs{{0, 3, 4}, {3, 6, 6}}));
}

TEST(StationRunMap, AppendAddsOrLengthensTheZeroRun) {
  Constraints c = acc_example();
  ASSERT_TRUE(c.append_s(test::ramp(3, 10.0)).ok());
  EXPECT_EQ(runs_of(c.acc_runs()), (Runs{{0, 3, 4}, {3, 6, 6}, {6, 10, 4}, {10, 13, 0}}));
  EXPECT_EQ(runs_of(c.jerk_runs()), (Runs{{0, 13, 0}}));
  ASSERT_TRUE(c.append_s(test::ramp(2, 13.0)).ok());
  EXPECT_EQ(runs_of(c.acc_runs()), (Runs{{0, 3, 4}, {3, 6, 6}, {6, 10, 4}, {10, 15, 0}}));
}

TEST(StationRunMap, ClearKeepingIdsRestartsAtTheOldStart) {
  Constraints c = test::store_with_stations(1, 16, test::ramp(10));
  c.pop_front(PopMode::Until, 7);
  c.clear(true);
  EXPECT_TRUE(c.acc_runs().empty());
  ASSERT_TRUE(c.append_s(test::ramp(3)).ok());
  EXPECT_EQ(runs_of(c.acc_runs()), (Runs{{7, 10, 0}}));
}

TEST(StationRunMap, LookupPastTheEndReadsZero) {
  const Constraints c = acc_example();
  EXPECT_EQ(c.acc_runs().rows_at(9), 4u);
  EXPECT_EQ(c.acc_runs().rows_at(10), 0u);
  EXPECT_EQ(c.acc_runs().rows_at(1000), 0u);
  EXPECT_EQ(StationRunMap{}.rows_at(0), 0u);
}

TEST(StationRunMap, DirectEditsKeepRunsContiguousAndMerged) {
  StationRunMap map;
  ASSERT_TRUE(map.reserve_extra(1));
  map.extend_back(5, 10);  // [5, 15) 0
  map.update_range(7, 9, 2, true);
  map.merge_equal_runs(7, 9);
  map.update_range(9, 11, 2, true);
  map.merge_equal_runs(9, 11);
  EXPECT_EQ(runs_of(map), (Runs{{5, 7, 0}, {7, 11, 2}, {11, 15, 0}}));
  // Setting the middle back to 0 leaves one run.
  map.update_range(7, 11, 0, false);
  map.merge_equal_runs(7, 11);
  EXPECT_EQ(runs_of(map), (Runs{{5, 15, 0}}));
  // Trims keep the run holding the cut and drop the rest.
  map.update_range(10, 12, 1, true);
  map.merge_equal_runs(10, 12);
  map.trim_front(11);
  EXPECT_EQ(runs_of(map), (Runs{{11, 12, 1}, {12, 15, 0}}));
  map.trim_back(12);
  EXPECT_EQ(runs_of(map), (Runs{{11, 12, 1}}));
}

TEST(StationRunMap, RowSumsSaturateInsteadOfWrapping) {
  StationRunMap map;
  map.extend_back(0, 4);
  map.update_range(0, 4, std::uint64_t{1} << 62, true);
  EXPECT_EQ(map.rows_in_range(0, 4), std::numeric_limits<std::uint64_t>::max());
}

}  // namespace
}  // namespace qarn

// Constraint rows: the first-, second- and third-order writers and the readers the solvers loop
// over (per-station views, LP rows of an interval, finite first-order bounds).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "qarn/constraints.hpp"
#include "station_test_support.hpp"

namespace qarn {
namespace {

using test::column;
using test::error_text;
using test::ramp;
using test::store_with_stations;

using test::kInf;
using test::kNaN;

std::vector<double> as_vector(std::span<const double> s) { return {s.begin(), s.end()}; }

bool same_row(const Lp2dRow& r, double a, double b, double c) { return r.a == a && r.b == b && r.c == c; }

// ---- first order ----

TEST(FirstOrderRows, BoundsOnlyTighten) {
  Constraints c = store_with_stations(1, 8, ramp(3));
  ASSERT_TRUE(c.amax_substitute(std::vector<double>{1.0}, 1).ok());
  ASSERT_TRUE(c.add_constraint_1st(column({2.0, 0.5}), 1).ok());
  EXPECT_EQ(c.amax_at(1), 0.5);
  ASSERT_TRUE(c.add_constraint_1st(column({3.0}), 1).ok());
  EXPECT_EQ(c.amax_at(1), 0.5);
  EXPECT_EQ(c.amax_at(0), kInf);
  ASSERT_TRUE(c.add_constraint_1st(column({kInf}), 0).ok());
  EXPECT_EQ(c.amax_at(0), kInf);
}

TEST(FirstOrderRows, NonPositiveOrNaNBoundsAreRefusedWholesale) {
  // A NaN is no positive bound: were it dropped, a limit would silently vanish.
  const std::vector<Eigen::MatrixXd> refused = {column({0.0}), column({-1.0}), column({-1.0, kNaN}),
                                                column({kNaN}), column({kNaN, 2.0}), column({2.0, kNaN}),
                                                column({-kInf})};
  for (const Eigen::MatrixXd& bad : refused) {
    Constraints c = store_with_stations(1, 8, ramp(3));
    Eigen::MatrixXd block(bad.rows(), 2);
    block.col(0).setConstant(5.0);
    block.col(1) = bad;
    const Status r = c.add_constraint_1st(block, 1);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(error_text(r),
              "Some error occurred in the Constraint struct: Input `a` violates positivity requirements (must be "
              "nonnegative, and strictly positive where required).");
    EXPECT_EQ(c.amax_at(1), kInf) << "nothing may be written";
    EXPECT_EQ(c.amax_at(2), kInf);
  }
}

TEST(FirstOrderRows, WindowIsCheckedFirstAndEmptyBlocksDoNothing) {
  Constraints c = store_with_stations(1, 8, ramp(3));
  EXPECT_EQ(error_text(c.add_constraint_1st(column({-1.0}), 3)),
            "Some error occurred in the Constraint struct: Requested station interval is out of bounds: idx_s=3, len=1.");
  EXPECT_TRUE(c.add_constraint_1st(Eigen::MatrixXd(0, 2), 1).ok());
  EXPECT_TRUE(c.add_constraint_1st(Eigen::MatrixXd(2, 0), 3).ok());
}

TEST(FirstOrderRows, SubstituteOverwritesWithoutSignCheck) {
  Constraints c = store_with_stations(1, 8, ramp(3));
  ASSERT_TRUE(c.add_constraint_1st(column({0.5}), 2).ok());
  ASSERT_TRUE(c.amax_substitute(std::vector<double>{-1.0, 4.0}, 1).ok());
  EXPECT_EQ(*c.amax_values(0, 3), (std::vector<double>{kInf, -1.0, 4.0}));
  EXPECT_TRUE(test::constraint_error(c.amax_substitute(std::vector<double>{1.0, 1.0}, 2))
                  ->is<ConstraintError::OutOfSBounds>());
  EXPECT_TRUE(c.amax_substitute(std::vector<double>{}, 3).ok());
}

TEST(FirstOrderRows, ColumnMinimumsPropagateNaN) {
  Eigen::MatrixXd m(3, 4);
  m << 3.0, -1.0, kNaN, 1.0,  //
      1.0, kNaN, 2.0, 1.0,    //
      2.0, 5.0, 0.5, kInf;
  const std::vector<double> minima = column_minimums(m);
  ASSERT_EQ(minima.size(), 4u);
  EXPECT_EQ(minima[0], 1.0);
  EXPECT_TRUE(std::isnan(minima[1]));
  EXPECT_TRUE(std::isnan(minima[2]));
  EXPECT_EQ(minima[3], 1.0);
}

TEST(FirstOrderRows, FiniteBoundsOfAProblemWindow) {
  Constraints c = store_with_stations(1, 8, ramp(6));
  c.pop_front(PopMode::Count, 1);  // ids 1..5
  ASSERT_TRUE(c.amax_substitute(std::vector<double>{1.0, kNaN, 3.0, -kInf, 5.0}, 1).ok());
  const std::vector<FiniteAmax> all = c.collect_finite_amax(1, 0, 5);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].j, 0u);
  EXPECT_EQ(all[1].j, 2u);
  EXPECT_EQ(all[1].amax, 3.0);
  EXPECT_EQ(all[2].j, 4u);
  // Local indices are relative to the base; stations outside the window are skipped.
  const std::vector<FiniteAmax> part = c.collect_finite_amax(0, 1, 100);
  ASSERT_EQ(part.size(), 3u);
  EXPECT_EQ(part[0].j, 1u);
  EXPECT_EQ(part[2].j, 5u);
  EXPECT_TRUE(c.collect_finite_amax(2, 3, 3).empty());
  EXPECT_TRUE(c.collect_finite_amax(std::numeric_limits<std::uint64_t>::max(), 0, 10).empty());
}

// ---- second and third order ----

TEST(SecondOrderRows, BlocksStackBelowEarlierRows) {
  Constraints c = store_with_stations(1, 8, ramp(4));
  EXPECT_EQ(c.max_second_order_rows(), 2u);
  const Eigen::MatrixXd a2 = test::constant(2, 2, 1.0);
  Eigen::MatrixXd a3(3, 2);
  a3 << 2, 3, 4, 5, 6, 7;
  ASSERT_TRUE(c.add_constraint_2nd(a2, 2 * a2, 3 * a2, 1, false).ok());
  ASSERT_TRUE(c.add_constraint_2nd(a3, -a3, 10 * a3, 1, false).ok());
  EXPECT_EQ(c.max_second_order_rows(), 5u);
  const SecondOrderRows rows = c.second_order_rows_at(2);
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(as_vector(rows.acc_a), (std::vector<double>{1, 1, 3, 5, 7}));
  EXPECT_EQ(as_vector(rows.acc_b), (std::vector<double>{2, 2, -3, -5, -7}));
  EXPECT_EQ(as_vector(rows.acc_max), (std::vector<double>{3, 3, 30, 50, 70}));
  EXPECT_EQ(c.second_order_rows_at(0).size(), 0u);
  EXPECT_EQ(c.second_order_rows_at(3).size(), 0u);
  EXPECT_EQ(c.second_order_rows_at(4).size(), 0u);  // not stored
}

TEST(SecondOrderRows, NegativeRowsAreStoredNegated) {
  Constraints c = store_with_stations(1, 8, {0.0, 0.5});
  ASSERT_TRUE(c.add_constraint_2nd(column({2.0}), column({1.0}), column({-3.0}), 0, true).ok());
  const SecondOrderRows rows = c.second_order_rows_at(0);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows.acc_a[0], -2.0);
  EXPECT_EQ(rows.acc_b[0], -1.0);
  EXPECT_EQ(rows.acc_max[0], 3.0);
  std::vector<Lp2dRow> out;
  c.interval_rows(out, 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(same_row(out[0], -1.0, -1.0, 3.0));  // f = 1: (f*b, a - f*b, max)
}

TEST(SecondOrderRows, ShapeWindowAndEmptyChecks) {
  Constraints c = store_with_stations(1, 8, ramp(4));
  const Eigen::MatrixXd m = test::constant(2, 2, 1.0);
  EXPECT_EQ(error_text(c.add_constraint_2nd(m, test::constant(2, 3, 1.0), m, 0, false)),
            "Some error occurred in the Constraint struct: Input dimensions do not match the expected shape.");
  // Shapes come before the window.
  EXPECT_TRUE(test::constraint_error(c.add_constraint_2nd(m, m, test::constant(1, 2, 1.0), 9, false))
                  ->is<ConstraintError::NoMatchDimensions>());
  EXPECT_EQ(error_text(c.add_constraint_2nd(m, m, m, 3, false)),
            "Some error occurred in the Constraint struct: Requested station interval is out of bounds: idx_s=3, len=2.");
  EXPECT_TRUE(test::constraint_error(
                  c.add_constraint_2nd(m, m, m, std::numeric_limits<std::uint64_t>::max() - 1, false))
                  ->is<ConstraintError::OutOfSBounds>());
  EXPECT_TRUE(c.add_constraint_2nd(Eigen::MatrixXd(0, 2), Eigen::MatrixXd(0, 2), Eigen::MatrixXd(0, 2), 0, false).ok());
  EXPECT_TRUE(c.acc_runs().rows_in_range(0, 4) == 0);
  const Eigen::MatrixXd five = test::constant(5, 1, 1.0);
  EXPECT_TRUE(c.add_constraint_3rd(five, five, five, five, test::constant(5, 2, 1.0), 0, false).error().constraint()
                  ->is<ConstraintError::NoMatchDimensions>());
}

TEST(SecondOrderRows, BlockAcrossTheRingEndAndSeveralRuns) {
  Constraints c = test::wrapped_store(1, 8, 5, 7);  // ids 5..11 in slots 5, 6, 7, 0, 1, 2, 3
  ASSERT_TRUE(c.add_constraint_2nd(test::constant(1, 2, 1.0), test::constant(1, 2, 0.0), test::constant(1, 2, 1.0), 6,
                                   false).ok());
  ASSERT_TRUE(c.add_constraint_2nd(test::constant(2, 2, 2.0), test::constant(2, 2, 0.0), test::constant(2, 2, 2.0), 9,
                                   false).ok());
  // Runs now 0 | 1 | 0 | 2 | 0; one block over every station crosses all of them and the ring end.
  Eigen::MatrixXd a(1, 7);
  a << 50, 60, 70, 80, 90, 100, 110;
  ASSERT_TRUE(c.add_constraint_2nd(a, test::constant(1, 7, 0.0), a, 5, false).ok());
  for (std::uint64_t id = 5; id <= 11; ++id) {
    const SecondOrderRows rows = c.second_order_rows_at(id);
    const std::size_t earlier = (id == 6 || id == 7) ? 1 : (id == 9 || id == 10) ? 2 : 0;
    ASSERT_EQ(rows.size(), earlier + 1) << id;
    EXPECT_EQ(rows.acc_a.back(), 10.0 * static_cast<double>(id)) << id;
    for (std::size_t r = 0; r < earlier; ++r) EXPECT_EQ(rows.acc_a[r], earlier == 1 ? 1.0 : 2.0);
  }
}

TEST(ThirdOrderRows, WritesStackAndInvalidateAnOverlappingLinearization) {
  Constraints c = store_with_stations(1, 16, ramp(6));
  const Eigen::MatrixXd one = test::constant(1, 2, 1.0);
  ASSERT_TRUE(c.add_constraint_3rd(one, 2 * one, 3 * one, 4 * one, 5 * one, 1, false).ok());
  ASSERT_TRUE(c.add_constraint_3rd(one, one, one, one, one, 2, true).ok());
  const ThirdOrderRows rows = c.third_order_rows_at(2);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(as_vector(rows.jerk_c), (std::vector<double>{3.0, -1.0}));
  EXPECT_EQ(as_vector(rows.jerk_max), (std::vector<double>{5.0, -1.0}));
  EXPECT_EQ(c.third_order_rows_at(1).size(), 1u);
  EXPECT_EQ(c.third_order_rows_at(3).size(), 1u);

  ASSERT_TRUE(c.linearize_jerk_constraints(std::vector<double>{1.0, 1.0}, 1, 1e-10).ok());
  EXPECT_EQ(c.lin_range().start, 1u);
  EXPECT_EQ(c.lin_range().end, 3u);
  ASSERT_TRUE(c.add_constraint_3rd(one, one, one, one, one, 3, false).ok());  // [3, 5) misses [1, 3)
  EXPECT_EQ(c.lin_range().end, 3u);
  ASSERT_TRUE(c.add_constraint_3rd(one, one, one, one, one, 0, false).ok());  // [0, 2) overlaps
  EXPECT_EQ(c.lin_range().start, 0u);
  EXPECT_EQ(c.lin_range().end, 0u);
}

// ---- LP rows of an interval ----

TEST(IntervalRows, BothOrientationsOfTheExample) {
  Constraints c = store_with_stations(1, 8, {0.0, 0.5, 2.0});
  ASSERT_TRUE(c.add_constraint_2nd(column({2.0}), column({1.0}), column({3.0}), 0, false).ok());
  ASSERT_TRUE(c.add_constraint_2nd(column({1.0}), column({1.0}), column({4.0}), 1, false).ok());
  std::vector<Lp2dRow> out{{9.0, 9.0, 9.0}};  // not cleared
  c.interval_rows(out, 0);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_TRUE(same_row(out[1], 1.0, 1.0, 3.0));
  EXPECT_TRUE(same_row(out[2], 2.0, -1.0, 4.0));
  out.clear();
  c.interval_rows_bidirectional(out, 0);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_TRUE(same_row(out[0], 1.0, 1.0, 3.0));
  EXPECT_TRUE(same_row(out[1], -1.0, 2.0, 4.0));
}

TEST(IntervalRows, RowsAgreeWithTheRowAtEachEndpoint) {
  // Second formulation: evaluate acc_a*a + acc_b*b - acc_max with b = (a1 - a0) / (2 h) at a
  // few points and compare with the LP row's a*x + b*y - c.
  Constraints c = store_with_stations(1, 8, {1.0, 1.25, 3.0});
  Eigen::MatrixXd aa(2, 2), bb(2, 2), mm(2, 2);
  aa << 0.3, -1.2, 2.5, 0.7;
  bb << -0.8, 1.9, 0.4, -2.2;
  mm << 1.5, 2.5, 0.75, 4.0;
  ASSERT_TRUE(c.add_constraint_2nd(aa, bb, mm, 0, false).ok());
  const double h = 0.25;
  std::vector<Lp2dRow> backward, forward;
  c.interval_rows(backward, 0);
  c.interval_rows_bidirectional(forward, 0);
  ASSERT_EQ(backward.size(), 4u);
  ASSERT_EQ(forward.size(), 4u);
  for (const auto& [a0, a1] : {std::pair{0.5, 2.0}, std::pair{3.0, 0.25}, std::pair{1.0, 1.0}}) {
    const double b = (a1 - a0) / (2.0 * h);
    for (int r = 0; r < 4; ++r) {
      const int station = r < 2 ? 0 : 1;
      const int row = r % 2;
      const double a_own = station == 0 ? a0 : a1;
      const double expected = aa(row, station) * a_own + bb(row, station) * b - mm(row, station);
      EXPECT_NEAR(backward[r].a * a1 + backward[r].b * a0 - backward[r].c, expected, 1e-12);
      EXPECT_NEAR(forward[r].a * a0 + forward[r].b * a1 - forward[r].c, expected, 1e-12);
    }
  }
}

TEST(IntervalRows, SkipsRowsWithoutAFiniteBoundAndMissingStations) {
  Constraints c = store_with_stations(1, 8, {0.0, 0.5});
  Eigen::MatrixXd m(3, 2);
  m << kInf, 1.0, kNaN, -kInf, 2.0, kInf;
  ASSERT_TRUE(c.add_constraint_2nd(test::constant(3, 2, 1.0), test::constant(3, 2, 1.0), m, 0, false).ok());
  std::vector<Lp2dRow> out;
  c.interval_rows(out, 0);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].c, 2.0);
  EXPECT_EQ(out[1].c, 1.0);
  c.interval_rows(out, 1);  // station 2 is not stored
  c.interval_rows_bidirectional(out, 7);
  EXPECT_EQ(out.size(), 2u);
}

TEST(TorqueTermFactors, HalfInverseIntervalLengths) {
  EXPECT_EQ(collect_torque2_terms(std::vector<double>{0.0, 0.5, 2.5}), (std::vector<double>{1.0, 0.25}));
  EXPECT_TRUE(collect_torque2_terms(std::vector<double>{1.0}).empty());
}

}  // namespace
}  // namespace qarn

// Third-order standard constraints block by block: entries, right-hand sides and cones of a small
// window against lists derived by hand from the row formulas, with and without stationary ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "conic/conic_test_support.hpp"
#include "qarn/qarn3/opt3/clarabel_constraints.hpp"
#include "station/station_test_support.hpp"

namespace qarn::qarn3 {
namespace {

using conic_test::Entry;
using conic_test::entries;
using conic_test::expect_cones;
using conic_test::matrix;
using test::error_text;
using test::kInf;
using test::kNaN;

// Eight stations, ids 0..7; the window is ids 1..6 (n = 6), so local i = id - 1 with
// s = [1, 1.5, 2.5, 3, 4, 4.5] and h = [0.5, 1, 0.5, 1, 0.5].
// Jerk rows (jerk_a, jerk_b, jerk_c, jerk_d, jerk_max), linearized at a* = 4 (r = 0.5), so
// jerk_lin_a = jerk_a + jerk_max / 16 and jerk_lin_max = 0.75 jerk_max - jerk_d:
//   local 0: (1, 0.5, 2, 2, 8)   -> (1.5, 4)
//   local 2: (1, 0.5, 2, 2, 8)   -> (1.5, 4)
//   local 3: (1, 0.5, 2, 2, 8)   -> (1.5, 4), then (-1, 1, -3, 0, 4) -> (-0.75, 3)
// Second-order rows (acc_a, acc_b, acc_max): (1 + id, 0.5, 10 + id) at every station, and a
// second one (2, -1, 7) at id 3 (local 2).
struct Window {
  Robot robot{1, 12};
  std::vector<double> a_ref = std::vector<double>(6, 4.0);
  std::vector<double> s{1, 1.5, 2.5, 3, 4, 4.5};

  explicit Window(std::vector<double> amax) {
    Constraints& c = robot.constraints();
    EXPECT_TRUE(c.append_s(std::vector<double>{0, 1, 1.5, 2.5, 3, 4, 4.5, 6}).ok());
    EXPECT_TRUE(c.amax_substitute(amax, 0).ok());
    EXPECT_TRUE(c.add_constraint_2nd(matrix({{1, 2, 3, 4, 5, 6, 7, 8}}), matrix({{.5, .5, .5, .5, .5, .5, .5, .5}}),
                                     matrix({{10, 11, 12, 13, 14, 15, 16, 17}}), 0, false)
                    .ok());
    EXPECT_TRUE(c.add_constraint_2nd(matrix({{2}}), matrix({{-1}}), matrix({{7}}), 3, false).ok());
    for (const std::uint64_t id : {1u, 3u, 4u}) {
      EXPECT_TRUE(c.add_constraint_3rd(matrix({{1}}), matrix({{0.5}}), matrix({{2}}), matrix({{2}}), matrix({{8}}), id,
                                       false)
                      .ok());
    }
    EXPECT_TRUE(
        c.add_constraint_3rd(matrix({{-1}}), matrix({{1}}), matrix({{-3}}), matrix({{0}}), matrix({{4}}), 4, false).ok());
  }

  Topp3Problem build(std::pair<double, double> a, std::pair<double, double> b, NumStationary k) {
    const Problem3Inputs in{.a_linearization = a_ref, .idx_s_start = 1, .a_boundary = a, .b_boundary = b,
                            .num_stationary_max = k};
    Result<Topp3Problem> built = Topp3ProblemBuilder{robot.constraints(), in}.build_with_linearization();
    EXPECT_TRUE(built.ok()) << error_text(built);
    return *built;
  }
};

TEST(Topp3StandardConstraints, TwoStationaryIntervalsAtEachEnd) {
  Window w({5, 5, 5, 5, 5, 5, 5, 5});
  const Topp3Problem p = w.build({0, 0}, {0, 0}, {2, 2});
  ASSERT_EQ(p.num_stationary, (NumStationary{2, 2}));
  const Constraints& c = w.robot.constraints();
  const BoundPair start = c.first_order_bounds_forward(w.a_ref, 1, 2);
  const BoundPair end = c.first_order_bounds_backward(w.a_ref, 1, 2);
  ASSERT_TRUE(std::isfinite(start.upper) && std::isfinite(end.upper));

  ClarabelTriplets t;
  testing::internal::CaptureStdout();
  const Status done = clarabel_standard_constraint_topp3<Verbosity::Debug>(p, w.s, t, 2, 2);
  const std::string log = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(done.ok()) << done.error().display();

  // Columns: a_i = i, b_i = 6 + i; junctions at 2 and j = 3, one free interval i = 2.
  const std::vector<Entry> expected{
      {0, 0, 1.0}, {1, 5, 1.0}, {2, 6, 1.0}, {3, 11, 1.0},                 // boundary values
      {4, 2, 1.0}, {4, 8, (2.5 - 1) * -1.5},                               // a_2 = 1.5 (s_2 - s_0) b_2
      {5, 3, 1.0}, {5, 9, (3 - 4.5) * -1.5},                               // a_3 = 1.5 (s_3 - s_5) b_3
      {6, 2, 1.0}, {6, 3, -1.0}, {6, 8, 0.5}, {6, 9, 0.5},                 // trapezoid on interval 2
      {7, 2, 1.0}, {8, 2, -1.0}, {9, 3, 1.0}, {10, 3, -1.0},               // junction bounds
      {11, 0, 1.0}, {12, 5, 1.0},                                          // the rest stations' bounds
      {13, 2, -2.0}, {13, 8, -0.5}, {14, 2, -2.0}, {14, 8, -1.0}, {14, 9, -0.5},  // interval 2
      {15, 2, -1.0}, {15, 8, -0.5},                                        // its middle ordinate a_2 + h b_2
      {16, 2, 1.0}, {16, 8, 0.5},                                          // ... below the velocity bound
      {17, 0, 2.0}, {17, 6, 0.5}, {18, 5, 7.0}, {18, 11, 0.5},             // second order at the rest stations
      {19, 2, 1.5}, {19, 8, 0.5 - 2 * 2}, {19, 9, 2 * 2},                  // jerk at 2, interval after (g = 2)
      {20, 3, 1.5}, {21, 3, -0.75},                                        // jerk at 3, interval before
      {20, 8, -(2 * 2.0)}, {21, 8, -(-3 * 2.0)},
      {20, 9, 0.5 + 2 * 2.0}, {21, 9, 1 + 2 * -3.0},
  };
  EXPECT_EQ(entries(t), expected);
  EXPECT_EQ(t.b, (std::vector<double>{0, 0, 0, 0, 0, 0, 0, start.upper, -start.lower, end.upper, -end.lower, 5, 5, 0,
                                      0, 0, 5, 11, 16, 4, 4, 3}));
  expect_cones(t.cones, {ZeroCone(7), NonnegativeCone(15)});
  EXPECT_EQ(log,
            "clarabel_standard_constraint_topp3[boundary]: row=4, col=4, val=4, b=4, cones=0\n"
            "clarabel_standard_constraint_topp3[dynamic+zero_cone]: row=12, col=12, val=12, b=7, cones=1\n"
            "clarabel_standard_constraint_topp3[first_order]: row=18, col=18, val=18, b=13, cones=1\n"
            "clarabel_standard_constraint_topp3[interval_first_order]: row=27, col=27, val=27, b=17, cones=1\n"
            "clarabel_standard_constraint_topp3[second_order]: row=31, col=31, val=31, b=19, cones=1\n"
            "clarabel_standard_constraint_topp3[third_order+final_nonnegative]: row=40, col=40, val=40, b=22, "
            "cones=2\n");

  // The quiet instances build the same record and print nothing.
  for (const auto& build : {clarabel_standard_constraint_topp3<Verbosity::Silent>,
                            clarabel_standard_constraint_topp3<Verbosity::Summary>}) {
    ClarabelTriplets quiet;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(build(p, w.s, quiet, 2, 2).ok());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(entries(quiet), expected);
    EXPECT_EQ(quiet.b, t.b);
  }
}

TEST(Topp3StandardConstraints, NoStationaryIntervals) {
  // amax by id: local 1 +inf and local 2 NaN give no upper row; locals 3 and 4 give a_i <= 5, 6.
  Window w({5, 5, kInf, kNaN, 5, 6, 5, 5});
  const Topp3Problem p = w.build({0.5, 0.25}, {0.1, -0.2}, {2, 2});
  ASSERT_EQ(p.num_stationary, (NumStationary{0, 0}));
  ClarabelTriplets t;
  ASSERT_TRUE(clarabel_standard_constraint_topp3<Verbosity::Silent>(p, w.s, t, 0, 0).ok());

  // Equalities: 4 boundary rows and 5 trapezoid rows. Inequalities: a_i >= 0 at 1..4, four amax
  // rows (the ends 0 and 5, 3 and 4 between), 15 interval rows, 2 interval velocity rows
  // (intervals 3 and 4, whose stations both have an amax), second order at 0..5 (one row each,
  // two at local 2), jerk at 0 (forward only), 2 and 3 (both intervals; two rows at 3).
  expect_cones(t.cones, {ZeroCone(9), NonnegativeCone(4 + 4 + 15 + 2 + 7 + 7)});
  EXPECT_EQ(t.b.size(), 48u);
  EXPECT_EQ(t.vals.size(), 4u + 20 + 8 + 35 + 4 + 14 + 21);
  EXPECT_EQ(std::vector<double>(t.b.begin() + 32, t.b.begin() + 34), (std::vector<double>{6.0, 6.0}));
  const std::vector<double> boundary(t.b.begin(), t.b.begin() + 4);
  EXPECT_EQ(boundary, (std::vector<double>{0.5, 0.25, 0.1, -0.2}));

  const std::vector<Entry> all = entries(t);
  // The first dynamic row (interval 0, h = 0.5), entries grouped by coefficient: a_i of every
  // row first, then a_(i+1), then b_i, then b_(i+1).
  EXPECT_EQ(all[4], (Entry{4, 0, 1.0}));
  EXPECT_EQ(all[9], (Entry{4, 1, -1.0}));
  EXPECT_EQ(all[14], (Entry{4, 6, 0.5}));
  EXPECT_EQ(all[19], (Entry{4, 7, 0.5}));
  // First order: a_1..a_4 >= 0, then a_0 <= 5 (the start), a_3 <= 5, a_4 <= 6 and a_5 <= 5 (the end).
  EXPECT_EQ(std::vector<Entry>(all.begin() + 24, all.begin() + 32),
            (std::vector<Entry>{{9, 1, -1.0}, {10, 2, -1.0}, {11, 3, -1.0}, {12, 4, -1.0}, {13, 0, 1.0}, {14, 3, 1.0},
                                {15, 4, 1.0}, {16, 5, 1.0}}));
  EXPECT_EQ(std::vector<double>(t.b.begin() + 13, t.b.begin() + 17), (std::vector<double>{5, 5, 6, 5}));
  // Second order at local 2 (id 3): the store's rows in order, a entries before b entries.
  // Its interval rows: 2 a_0 + h b_0, 2 a_0 + 2 h b_0 + h b_1 and a_0 + h b_0, all >= 0.
  EXPECT_EQ(std::vector<Entry>(all.begin() + 32, all.begin() + 39),
            (std::vector<Entry>{{17, 0, -2.0}, {17, 6, -0.5}, {18, 0, -2.0}, {18, 6, -1.0}, {18, 7, -0.5},
                                {19, 0, -1.0}, {19, 6, -0.5}}));
  // The start station's row with its fixed a_0 and b_0, then those between the junctions.
  EXPECT_EQ(std::vector<Entry>(all.begin() + 71, all.begin() + 73), (std::vector<Entry>{{34, 0, 2.0}, {34, 6, 0.5}}));
  EXPECT_EQ(t.b[34], 11.0);
  const std::vector<Entry> local2(all.begin() + 75, all.begin() + 79);
  EXPECT_EQ(local2, (std::vector<Entry>{{36, 2, 4.0}, {37, 2, 2.0}, {36, 8, 0.5}, {37, 8, -1.0}}));
  EXPECT_EQ(t.b[36], 13.0);
  EXPECT_EQ(t.b[37], 7.0);
  EXPECT_EQ(std::vector<Entry>(all.begin() + 83, all.begin() + 85), (std::vector<Entry>{{40, 5, 7.0}, {40, 11, 0.5}}));
  EXPECT_EQ(t.b[40], 16.0);
  // Jerk at station 0 uses the forward difference (g = 1 / 0.5): columns a_0, b_0, b_1.
  EXPECT_EQ(std::vector<Entry>(all.begin() + 85, all.begin() + 88),
            (std::vector<Entry>{{41, 0, 1.5}, {41, 6, 0.5 - 2 * 2.0}, {41, 7, 2 * 2.0}}));
  EXPECT_EQ(t.b[41], 4.0);
  // At local 3 (g = 2 before, g = 1 after) the two rows of the interval before, then after.
  EXPECT_EQ(std::vector<Entry>(all.begin() + 94, all.end()),
            (std::vector<Entry>{{44, 3, 1.5}, {45, 3, -0.75}, {44, 8, -(2 * 2.0)}, {45, 8, -(-3 * 2.0)},
                                {44, 9, 0.5 + 2 * 2.0}, {45, 9, 1 + 2 * -3.0},
                                {46, 3, 1.5}, {47, 3, -0.75}, {46, 9, 0.5 - 1 * 2.0}, {47, 9, 1 - 1 * -3.0},
                                {46, 10, 1 * 2.0}, {47, 10, 1 * -3.0}}));
  EXPECT_EQ(std::vector<double>(t.b.begin() + 44, t.b.end()), (std::vector<double>{4, 3, 4, 3}));
}

TEST(Topp3StandardConstraints, AnInvertedJunctionBoundIsInfeasible) {
  // A negative amax inside the start window bounds the junction value A below zero.
  Window w({5, 5, -1, 5, 5, 5, 5, 5});
  const Topp3Problem p = w.build({0, 0}, {0, 0}, {2, 2});
  ClarabelTriplets t;
  testing::internal::CaptureStdout();
  const Status done = clarabel_standard_constraint_topp3<Verbosity::Trace>(p, w.s, t, 2, 2);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(error_text(done), "clarabel_standard_constraint_topp3 reported an infeasibility: Failed to add first-order "
                              "constraints.");
  EXPECT_EQ(t.b.size(), 7u);  // the equalities stay, nothing after the failing block
  expect_cones(t.cones, {ZeroCone(7)});
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);
}

}  // namespace
}  // namespace qarn::qarn3

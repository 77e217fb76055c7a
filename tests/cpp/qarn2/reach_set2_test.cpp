// Backward and bidirectional reachable sets: boundary tests, failures and their texts, the
// lines of every verbosity level, and the analytic sets of a point mass on a line.
#include "qarn/qarn2/dp2/reach_set2.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "qarn2/topp2_test_support.hpp"

namespace qarn::qarn2 {
namespace {

using test2::at;
using test2::error_of;
using test2::point_mass_line;
using test2::printed;
using test2::uniform_grid;
using test2::whole_window;

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(ReachSet2, PointMassSetsAreTheAnalyticBrakingAndAccelerationCurves) {
  // Backward: a_max[k] = min(v^2, 2 acc (L - s_k)); forward also caps by 2 acc s_k.
  const double v = 2.0, acc = 1.5, length = 4.0;
  const auto s = uniform_grid(40, length);
  const Constraints store = point_mass_line(s, v, acc);
  const auto back = reach_set2_backward(whole_window(store, 0.0, 0.0), ReachSet2Options{});
  ASSERT_TRUE(back.ok()) << error_of(back);
  const auto both = reach_set2_bidirectional(whole_window(store, 0.0, 0.0), ReachSet2Options{});
  ASSERT_TRUE(both.ok()) << error_of(both);
  ASSERT_EQ(back->a_max.size(), s.size());
  ASSERT_EQ(both->a_min.size(), s.size());
  for (std::size_t k = 0; k < s.size(); ++k) {
    const double braking = std::min(v * v, 2 * acc * (length - s[k]));
    EXPECT_NEAR(back->a_max[k], braking, 1e-9 * (1 + braking)) << k;
    EXPECT_EQ(back->a_min[k], 0.0) << k;
    const double both_ways = std::min(braking, 2 * acc * s[k]);
    EXPECT_NEAR(both->a_max[k], both_ways, 1e-9 * (1 + both_ways)) << k;
    EXPECT_NEAR(both->a_min[k], 0.0, 1e-12) << k;
  }
  EXPECT_EQ(both->a_max[0], 0.0);
  EXPECT_EQ(both->a_max.back(), 0.0);
}

TEST(ReachSet2, ThreeStationsGiveTwoStepsEachWay) {
  const Constraints store = point_mass_line({0, 1, 2}, 1.0, 0.5);
  const auto both = reach_set2_bidirectional(whole_window(store, 0.25, 0.0), ReachSet2Options{});
  ASSERT_TRUE(both.ok()) << error_of(both);
  EXPECT_EQ(both->a_max, (std::vector<double>{0.25, 1.0, 0.0}));
  EXPECT_EQ(both->a_min, (std::vector<double>{0.25, 0.0, 0.0}));
}

TEST(ReachSet2, BoundaryStatesAreComparedWithTheFirstOrderBoundWithinTolerance) {
  const Constraints store = point_mass_line({0, 1, 2, 3}, 1.0, 0.5);  // amax = 1
  EXPECT_TRUE(reach_set2_backward(whole_window(store, 1.0 + 5e-9, 0.0), ReachSet2Options{}).ok());
  EXPECT_EQ(error_of(reach_set2_backward(whole_window(store, 1.5, 0.0), ReachSet2Options{})),
            "reach_set2 reported an infeasibility: The initial state a_start = 1.5 cannot be greater than the maximum "
            "feasible state a_max[0] = 1 at idx_s_start = 0");
  EXPECT_EQ(error_of(reach_set2_bidirectional(whole_window(store, 0.0, 2.0), ReachSet2Options{})),
            "reach_set2 reported an infeasibility: The final state a_final = 2 cannot be greater than the maximum "
            "feasible state a_max[n] = 1 at idx_s_final = 3");
  // Without a first-order bound the test always passes; the backward pass never compares
  // a_start with its own bounds.
  Constraints free_start = Constraints::with_capacity(1, 4);
  ASSERT_TRUE(free_start.append_s(std::vector<double>{0, 1, 2, 3}).ok());
  const auto back = reach_set2_backward(whole_window(free_start, 1e12, 0.0), ReachSet2Options{});
  ASSERT_TRUE(back.ok());
}

TEST(ReachSet2, ProblemAndOptionChecksComeFirst) {
  const Constraints store = point_mass_line({0, 1, 2}, 1.0, 0.5);
  Topp2Problem short_window{store, 0, 1, 0.0, 0.0};
  EXPECT_EQ(error_of(reach_set2_backward(short_window, ReachSet2Options{})),
            "Topp2ProblemBuilder reported an invalid input: The final index 1 must be at least two positions after the "
            "start index 0 in Topp2Problem.");
  ReachSet2Options bad;
  bad.lp_feas_tol = 0.0;
  EXPECT_EQ(error_of(reach_set2_bidirectional(whole_window(store, 0.0, 0.0), bad)),
            "ReachSet2OptionsBuilder reported an invalid options: lp_feas_tol = 0 must be strictly positive");
}

TEST(ReachSet2, AStationWithoutAdmissibleValueNamesItself) {
  // A second-order row a <= -1 at station 1 (acc_a = 1, acc_b = 0).
  Constraints store = point_mass_line({0, 1, 2, 3}, 1.0, 0.5);
  ASSERT_TRUE(store
                  .add_constraint_2nd(Eigen::MatrixXd::Ones(1, 1), Eigen::MatrixXd::Zero(1, 1),
                                      Eigen::MatrixXd::Constant(1, 1, -1.0), 1, false)
                  .ok());
  const Topp2Problem problem = whole_window(store, 0.0, 0.0);
  Result<ReachSet2> r = ReachSet2{};
  const std::string summary = printed([&] { r = reach_set2_backward(problem, at(Verbosity::Summary)); });
  EXPECT_EQ(error_of(r),
            "reach_set2 reported an infeasibility: The reachable set is empty at k = 1 (idx_s = 1) during the backward "
            "pass: with a between 0 and 1 at idx_s = 2, no a between 0 and 1 at idx_s = 1 holds the second-order row 2 "
            "at idx_s = 1 (acc_a = 1, acc_b = 0, acc_max = -1)");
  EXPECT_EQ(summary,
            "reach_set2 started: 0 <= idx_s <= 3, a_start = 0, a_final = 0.\n"
            "Backward reachable set will be computed.\n"
            "reach_set2: the backward pass failed at k = 1 (idx_s = 1) due to infeasibility.\n");
  const std::string debug = printed([&] { r = reach_set2_backward(problem, at(Verbosity::Debug)); });
  EXPECT_EQ(debug,
            "reach_set2 started: 0 <= idx_s <= 3, a_start = 0, a_final = 0.\n"
            "Backward reachable set will be computed.\n"
            "Backward pass started.\n" +
                r.error().display() + "\n");
  // A first-order bound below zero (amax_substitute stores it as given) empties the station alone.
  ASSERT_TRUE(store.amax_substitute(std::vector<double>{-1.0}, 2).ok());
  EXPECT_EQ(error_of(reach_set2_backward(problem, ReachSet2Options{})),
            "reach_set2 reported an infeasibility: The reachable set is empty at k = 2 (idx_s = 2) during the backward "
            "pass: with a = 0 at idx_s = 3, no a between 0 and -1 at idx_s = 2 exists");
}

TEST(ReachSet2, ANeighbourPointThatViolatesARowLeavesNoBounds) {
  // a[2] <= 0.5 as a second-order row of the last station, but a_final = 1 <= amax. The LP has no
  // solution (before: "where a_max = NaN, a_min = NaN"); the message names the row instead.
  Constraints store = point_mass_line({0, 1, 2}, 1.0, 0.5);
  ASSERT_TRUE(store
                  .add_constraint_2nd(Eigen::MatrixXd::Ones(1, 1), Eigen::MatrixXd::Zero(1, 1),
                                      Eigen::MatrixXd::Constant(1, 1, 0.5), 2, false)
                  .ok());
  Result<ReachSet2> r = ReachSet2{};
  const std::string out = printed([&] { r = reach_set2_backward(whole_window(store, 0.0, 1.0), at(Verbosity::Summary)); });
  EXPECT_EQ(error_of(r),
            "reach_set2 reported an infeasibility: The reachable set is empty at index 1 during the backward pass: with "
            "a = 1 at idx_s = 2, no a between 0 and 1 at idx_s = 1 holds the second-order row 2 at idx_s = 2 (acc_a = "
            "1, acc_b = 0, acc_max = 0.5)");
  EXPECT_NE(out.find("reach_set2: the backward pass failed at index 1 due to infeasibility.\n"), std::string::npos);
}

TEST(ReachSet2, AStartThatCannotBrakeInTimeFailsTheForwardPass) {
  // From a_start = 1 the point mass cannot brake to the backward bound 0.25 of station 1.
  const Constraints store = point_mass_line({0, 1, 2}, 1.0, 0.125);
  Result<ReachSet2> r = ReachSet2{};
  const std::string out =
      printed([&] { r = reach_set2_bidirectional(whole_window(store, 1.0, 0.0), at(Verbosity::Summary)); });
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), CoreError::Kind::Infeasible);
  // The message names the limit that stops the braking, with finite values.
  EXPECT_EQ(r.error().display(),
            "reach_set2 reported an infeasibility: The reachable set is empty at index 1 during the forward pass: with "
            "a = 1 at idx_s = 0, no a between 0 and 0.25 at idx_s = 1 holds the second-order row 1 at idx_s = 0 "
            "(acc_a = 0, acc_b = -1, acc_max = 0.125)");
  EXPECT_EQ(out,
            "reach_set2 started: 0 <= idx_s <= 2, a_start = 1, a_final = 0.\n"
            "Bidirectional reachable set will be computed.\n"
            "reach_set2: the forward pass failed at index 1 due to infeasibility.\n");
  // The backward pass alone accepts the same start.
  EXPECT_TRUE(reach_set2_backward(whole_window(store, 1.0, 0.0), ReachSet2Options{}).ok());
}

TEST(ReachSet2, RowsWithoutCoefficientsAreDroppedWhateverTheirBound) {
  std::vector<Lp2dRow> rows{{0, 0, -5}, {3, 4, 10}, {kInf, 1, 1}};
  normalize_rows(rows);
  EXPECT_EQ(rows[0].c, 0.0);
  EXPECT_EQ(rows[0].a, 0.0);
  EXPECT_DOUBLE_EQ(rows[1].a, 0.6);
  EXPECT_DOUBLE_EQ(rows[1].b, 0.8);
  EXPECT_DOUBLE_EQ(rows[1].c, 2.0);
  EXPECT_EQ(rows[2].b, 0.0);
}

TEST(ReachSet2, ComparisonOfTwoValuesUsesTheLargerTolerance) {
  ReachSet2Options o;
  o.a_cmp_abs_tol = 1e-6;
  o.a_cmp_rel_tol = 1e-3;
  EXPECT_EQ(a_tolerance(o, 2.0, -5.0), 5e-3);
  EXPECT_EQ(a_tolerance(o, 1e-5, 0.0), 1e-6);
  EXPECT_EQ(compare_a(1.0, 0.5), ACompare::Above);
  EXPECT_EQ(compare_a(-1.0, 0.5), ACompare::Below);
  EXPECT_EQ(compare_a(0.5, 0.5), ACompare::ApproxEqual);
  EXPECT_EQ(compare_a(std::nan(""), 0.5), ACompare::ApproxEqual);
}

TEST(ReachSet2, AnUnboundedValueLendsTheToleranceNoScale) {
  // Scaled by inf the tolerance would call [0.5, inf] a single point.
  ReachSet2Options o;
  o.a_cmp_abs_tol = 1e-6;
  o.a_cmp_rel_tol = 1e-3;
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(a_tolerance(o, inf, 0.5), 5e-4);
  EXPECT_EQ(a_tolerance(o, inf, 0.5, inf), 5e-4);
  EXPECT_EQ(a_tolerance(o, 2.0, 0.5, -inf), 2e-3);
  EXPECT_EQ(compare_a(inf - 0.5, a_tolerance(o, inf, 0.5)), ACompare::Above);
}

// ---- the lines of each level on s = 0, 1, 2 with a <= 1 and |b| <= 0.5 ----

class ReachSet2Lines : public testing::Test {
 protected:
  Constraints store = point_mass_line({0, 1, 2}, 1.0, 0.5);
  Topp2Problem problem = whole_window(store, 0.0, 0.0);
};

TEST_F(ReachSet2Lines, SilentPrintsNothing) {
  EXPECT_EQ(printed([&] { ASSERT_TRUE(reach_set2_bidirectional(problem, at(Verbosity::Silent)).ok()); }), "");
}

TEST_F(ReachSet2Lines, SummaryPrintsStartAndElapsed) {
  EXPECT_EQ(printed([&] { ASSERT_TRUE(reach_set2_backward(problem, at(Verbosity::Summary)).ok()); }),
            "reach_set2 started: 0 <= idx_s <= 2, a_start = 0, a_final = 0.\n"
            "Backward reachable set will be computed.\n"
            "reach_set2: backward total elapsed time = <t>.\n");
  EXPECT_EQ(printed([&] { ASSERT_TRUE(reach_set2_bidirectional(problem, at(Verbosity::Summary)).ok()); }),
            "reach_set2 started: 0 <= idx_s <= 2, a_start = 0, a_final = 0.\n"
            "Bidirectional reachable set will be computed.\n"
            "reach_set2: forward + backward total elapsed time = <t>.\n");
}

TEST_F(ReachSet2Lines, DebugAddsThePassStarts) {
  EXPECT_EQ(printed([&] { ASSERT_TRUE(reach_set2_bidirectional(problem, at(Verbosity::Debug)).ok()); }),
            "reach_set2 started: 0 <= idx_s <= 2, a_start = 0, a_final = 0.\n"
            "Bidirectional reachable set will be computed.\n"
            "Backward pass started.\n"
            "Forward pass started.\n"
            "reach_set2: forward + backward total elapsed time = <t>.\n");
}

TEST_F(ReachSet2Lines, TraceFollowsEveryStation) {
  EXPECT_EQ(printed([&] { ASSERT_TRUE(reach_set2_bidirectional(problem, at(Verbosity::Trace)).ok()); }),
            "reach_set2 started: 0 <= idx_s <= 2, a_start = 0, a_final = 0.\n"
            "Bidirectional reachable set will be computed.\n"
            "Backward pass started.\n"
            "\tBackward pass at k = 1 (idx_s = 1) to compute a[k]: 0 <= a[k+1] <= 0.\n"
            "\t\ta[k+1] = 0\n"
            "\t\tBackward LP result at k = 1: -1 <= a[k] <= 1.\n"
            "\t\tAfter clipping with path constraints at k = 1: 0 <= a[k] <= 1.\n"
            "\t\tBackward propagated interval to k-1: 0 <= a[k] <= 1.\n"
            "\tBackward pass at k = 0 (idx_s = 0) to compute a[k]: 0 <= a[k+1] <= 1.\n"
            "\t\t0 <= a[k+1] <= 1\n"
            "\t\tBackward skip checks at idx_s = 0: need_max = true, need_min = false.\n"
            "\t\tBackward LP result at k = 0: 0 <= a[k] <= 1.\n"
            "\t\tAfter clipping with path constraints at k = 0: 0 <= a[k] <= 1.\n"
            "\t\tBackward propagated interval to k-1: 0 <= a[k] <= 1.\n"
            "Forward pass started.\n"
            "\tForward pass at k = 1 (idx_s = 1): prev interval 0 <= a[k-1] <= 0, backward interval 0 <= a[k] <= 1.\n"
            "\t\tForward LP result at idx_s = 1: -1 <= a[k] <= 1.\n"
            "\t\tAfter intersecting with backward interval at idx_s = 1: 0 <= a[k] <= 1.\n"
            "\t\tForward propagated interval to next step: 0 <= a[k] <= 1.\n"
            "\tForward pass at k = 2 (idx_s = 2): prev interval 0 <= a[k-1] <= 1, backward interval 0 <= a[k] <= 0.\n"
            "\t\tForward skip checks at idx_s = 2: need_max = false, need_min = false.\n"
            "\t\tForward LP result at idx_s = 2: 0 <= a[k] <= 0.\n"
            "\t\tAfter intersecting with backward interval at idx_s = 2: 0 <= a[k] <= 0.\n"
            "\t\tForward propagated interval to next step: 0 <= a[k] <= 0.\n"
            "reach_set2: forward + backward total elapsed time = <t>.\n");
}

TEST(ReachSet2, DegenerateIntervalsAreReportedAtDebugAndCollapse) {
  // a_start = a_final = amax = 1 and almost no acceleration allowed: every interval is a point.
  const Constraints store = point_mass_line({0, 1, 2, 3, 4}, 1.0, 1e-12);
  Result<ReachSet2> r = ReachSet2{};
  const std::string out =
      printed([&] { r = reach_set2_bidirectional(whole_window(store, 1.0, 1.0), at(Verbosity::Debug)); });
  ASSERT_TRUE(r.ok()) << error_of(r);
  for (std::size_t k = 0; k < 5; ++k) {
    EXPECT_NEAR(r->a_max[k], 1.0, 1e-11) << k;
    EXPECT_EQ(r->a_max[k], r->a_min[k]) << k;
  }
  EXPECT_NE(out.find("The backward reachable set at k = 2 (idx_s = 2) is degenerate since a_max = "), std::string::npos);
  EXPECT_NE(out.find("The forward reachable set at idx_s = 1 is degenerate since a_max_prev and a_min_prev are "
                     "approximately equal at 1."),
            std::string::npos);
  // Not for the last step of either pass.
  EXPECT_EQ(out.find("(idx_s = 3) is degenerate"), std::string::npos);
  EXPECT_EQ(out.find("idx_s = 4 is degenerate"), std::string::npos);
}

}  // namespace
}  // namespace qarn::qarn2

// The time-optimal second-order profile: the analytic point-mass reference and its duration,
// random multi-axis problems (feasible, inside the reachable set, not improvable), the recovery
// and tolerance rules, the errors, and the lines of each verbosity level.
#include "qarn/qarn2/dp2/topp2_ra.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "diag/format.hpp"
#include "qarn/profile_violation.hpp"
#include "qarn/qarn2/dp2/a_units.hpp"
#include "qarn/qarn2/dp2/reach_set2.hpp"
#include "qarn/qarn2/interpolation.hpp"
#include "qarn2/topp2_test_support.hpp"

namespace qarn::qarn2 {
namespace {

using test2::at;
using test2::error_of;
using test2::point_mass_line;
using test2::printed;
using test2::random_path_store;
using test2::uniform_grid;
using test2::whole_window;

constexpr double kInf = std::numeric_limits<double>::infinity();

// ---- the point mass on a line: a_k = min(v^2, 2 acc s_k, 2 acc (L - s_k)) ----

struct LineCase {
  double v, acc, length;
};

TEST(Topp2Ra, PointMassProfileIsTheAnalyticOne) {
  for (const LineCase c : {LineCase{1.0, 1.0, 3.0}, LineCase{2.0, 0.5, 3.0}, LineCase{0.3, 7.0, 1.0}}) {
    for (const std::size_t intervals : {2u, 7u, 100u, 1000u}) {
      const auto s = uniform_grid(intervals, c.length);
      const Constraints store = point_mass_line(s, c.v, c.acc);
      const auto a = topp2_ra(whole_window(store, 0.0, 0.0), ReachSet2Options{});
      ASSERT_TRUE(a.ok()) << error_of(a);
      ASSERT_EQ(a->size(), s.size());
      for (std::size_t k = 0; k < s.size(); ++k) {
        const double ref = std::min({c.v * c.v, 2 * c.acc * s[k], 2 * c.acc * (c.length - s[k])});
        EXPECT_NEAR((*a)[k], ref, 1e-9 * ref + 1e-14) << "v " << c.v << " n " << intervals << " k " << k;
      }
    }
  }
}

TEST(Topp2Ra, PointMassDurationConvergesToTheContinuousOne) {
  // Cruise reached (v^2 < acc L): L/v + v/acc; not reached: 2 sqrt(L/acc).
  for (const LineCase c : {LineCase{1.0, 2.0, 3.0}, LineCase{3.0, 1.0, 2.0}}) {
    const double exact = c.v * c.v < c.acc * c.length ? c.length / c.v + c.v / c.acc : 2 * std::sqrt(c.length / c.acc);
    double previous_error = kInf;
    for (const std::size_t intervals : {16u, 64u, 256u, 1024u, 4096u}) {
      const auto s = uniform_grid(intervals, c.length);
      const Constraints store = point_mass_line(s, c.v, c.acc);
      const auto a = topp2_ra(whole_window(store, 0.0, 0.0), ReachSet2Options{});
      ASSERT_TRUE(a.ok()) << error_of(a);
      const auto t = s_to_t_topp2(s, *a, 0.0);
      ASSERT_TRUE(t.ok()) << error_of(t);
      // O(h^2) away from the exact value, unless the grid meets the switch points (then exact).
      const double error = std::fabs(t->t_final - exact);
      EXPECT_TRUE(error < 0.25 * previous_error || error < 1e-12) << intervals << " " << error;
      previous_error = error;
    }
    EXPECT_LT(previous_error, 1e-3 * exact);
  }
}

TEST(Topp2Ra, AReachableFinalStateIsMetExactly) {
  // From rest with |b| <= 0.5 on unit intervals, a can grow by 1 per interval: 0, 1, 2, 3.
  const Constraints store = point_mass_line({0, 1, 2, 3}, 10.0, 0.5);
  const auto a = topp2_ra(whole_window(store, 0.0, 3.0), ReachSet2Options{});
  ASSERT_TRUE(a.ok()) << error_of(a);
  // The ends exactly, the inner stations to rounding (the working unit need not be a power of two).
  ASSERT_EQ(a->size(), 4u);
  EXPECT_EQ(a->front(), 0.0);
  EXPECT_EQ(a->back(), 3.0);
  EXPECT_DOUBLE_EQ((*a)[1], 1.0);
  EXPECT_DOUBLE_EQ((*a)[2], 2.0);
}

// ---- random multi-axis problems ----

double largest_finite(const Constraints& store, bool first_order) {
  double m = 0.0;
  for (std::uint64_t i = store.idx_s_start(); i < store.idx_s_end(); ++i) {
    if (first_order) {
      if (std::isfinite(store.amax_at(i))) m = std::max(m, store.amax_at(i));
      continue;
    }
    const SecondOrderRows rows = store.second_order_rows_at(i);
    for (std::size_t r = 0; r < rows.size(); ++r) m = std::max(m, std::fabs(rows.acc_max[r]));
  }
  return m;
}

TEST(Topp2Ra, RandomProblemsAreFeasibleReachableAndNotImprovable) {
  // Rows hold to the LP tolerance, measured on rows scaled to a unit normal; in the rows' own
  // units that is about lp_feas_tol relative to the limits. With lp_feas_tol = 1e-10 every row
  // holds to 1e-9 relative; with the default 1e-8, to 1e-7.
  std::mt19937_64 rng(424242);
  for (int trial = 0; trial < 12; ++trial) {
    const std::size_t dim = trial % 2 ? 7 : 3;
    const Constraints store = random_path_store(rng, dim, 150 + 40 * trial);
    const Topp2Problem problem = whole_window(store, 0.0, 0.0);
    const double scale_1st = largest_finite(store, true);
    const double scale_2nd = largest_finite(store, false);
    for (const double lp_tol : {1e-8, 1e-10}) {
      ReachSet2Options o;
      o.lp_feas_tol = lp_tol;
      const double relative = lp_tol == 1e-8 ? 1e-7 : 1e-9;
      const auto a = topp2_ra(problem, o);
      ASSERT_TRUE(a.ok()) << error_of(a);
      const Exceed2 e = exceed_topp2(store, 0, *a);
      EXPECT_LE(e.exceed_1st, relative * scale_1st) << trial;
      EXPECT_LE(e.exceed_2nd, relative * scale_2nd) << trial;

      // Inside the bidirectional reachable set.
      const auto set = reach_set2_bidirectional(problem, o);
      ASSERT_TRUE(set.ok()) << error_of(set);
      for (std::size_t k = 0; k < a->size(); ++k) {
        const double tol = a_tolerance(o, set->a_max[k], set->a_min[k]);
        EXPECT_LE((*a)[k], set->a_max[k] + tol) << trial << " " << k;
        EXPECT_GE((*a)[k], set->a_min[k] - tol) << trial << " " << k;
      }

      // Raising any interior station, alone or with its neighbours, breaks a limit by more
      // than the profile already does.
      for (std::size_t k = 1; k + 1 < a->size(); ++k) {
        for (const std::size_t width : {0u, 1u}) {
          std::vector<double> raised = *a;
          for (std::size_t j = std::max<std::size_t>(k - width, 1); j <= k + width && j + 1 < a->size(); ++j) {
            raised[j] += 1e-6 * std::max(raised[j], 1e-3);
          }
          const Exceed2 r = exceed_topp2(store, 0, raised);
          EXPECT_TRUE(r.exceed_1st > std::max(e.exceed_1st, 0.0) + 1e-12 * scale_1st ||
                      r.exceed_2nd > std::max(e.exceed_2nd, 0.0) + 1e-12 * scale_2nd)
              << "trial " << trial << " station " << k << " width " << width;
        }
      }
    }
  }
}

// ---- recovery and the tolerance rule ----

TEST(Topp2Ra, RecoveryFindsTheLargestValueWithinTheFeasibilityTolerance) {
  ReachSet2Options o;
  const std::vector<Lp2dRow> rows{{1, 0, 1}, {-1, 0.5, 0}};  // a[k] <= 1, a[k] >= 0.5 a_prev
  const ForwardStepContext step{0.5, 0.0, 2.0, 0.0, 5.0, 10.0, 10.0};
  const auto found = max_feasible_bisect(rows, o, step);
  ASSERT_TRUE(found.has_value());
  EXPECT_GE(found->a, 1.0);
  EXPECT_LE(found->a, 1.0 + o.lp_feas_tol);
  EXPECT_GT(found->a, 1.0 + 0.99 * o.lp_feas_tol);
  EXPECT_LE(found->max_normalized_violation, o.lp_feas_tol);
  EXPECT_GE(found->max_raw_violation, 0.0);
  // Never above the target range: amax of the station caps it.
  ForwardStepContext capped = step;
  capped.amax = 0.75;
  const auto low = max_feasible_bisect(rows, o, capped);
  ASSERT_TRUE(low.has_value());
  EXPECT_EQ(low->a, 0.75);
  EXPECT_EQ(low->max_raw_violation, 0.0);
  // Nothing when a_prev disagrees with the previous station's bounds.
  ForwardStepContext stray = step;
  stray.a_prev = 2.5;
  EXPECT_FALSE(max_feasible_bisect(rows, o, stray).has_value());
  stray.a_prev = -0.1;
  EXPECT_FALSE(max_feasible_bisect(rows, o, stray).has_value());
  // Nothing when no value of the target range fits.
  ForwardStepContext above = step;
  above.b_min = 3.0;
  EXPECT_FALSE(max_feasible_bisect(rows, o, above).has_value());
  ForwardStepContext infinite = step;
  infinite.b_max_prev = kInf;
  EXPECT_FALSE(max_feasible_bisect(rows, o, infinite).has_value());
}

TEST(Topp2Ra, TheOracleMeasuresRawAndNormalisedViolations) {
  const std::vector<Lp2dRow> rows{{2, 0, 2}, {0, 0, 1}};  // 2 a <= 2; an empty row that holds
  const auto ok = forward_step_violation(1.0 + 1e-9, 0.0, 5.0, rows, 1e-8, 0.0);
  ASSERT_TRUE(ok.has_value());
  EXPECT_NEAR(ok->max_raw_violation, 2e-9, 1e-15);
  EXPECT_NEAR(ok->max_normalized_violation, 1e-9, 1e-15);
  EXPECT_FALSE(forward_step_violation(1.0 + 1e-7, 0.0, 5.0, rows, 1e-8, 0.0).has_value());
  EXPECT_FALSE(forward_step_violation(6.0, 0.0, 5.0, rows, 1e-8, 0.0).has_value());  // outside [lo, hi]
  EXPECT_FALSE(forward_step_violation(kInf, 0.0, kInf, rows, 1e-8, 0.0).has_value());
  const std::vector<Lp2dRow> impossible{{0, 0, -1}};
  EXPECT_FALSE(forward_step_violation(0.5, 0.0, 5.0, impossible, 1e-8, 0.0).has_value());
}

// A store whose first interval holds a[1] <= a[0] + 0.25 and a[1] >= 2 a[0] - 1.75: both meet
// at a[0] = 2, and any larger a[0] leaves an inverted one-step interval for a[1].
Constraints crossing_first_interval() {
  Constraints store = Constraints::with_capacity(1, 3);
  EXPECT_TRUE(store.append_s(std::vector<double>{0, 1, 2}).ok());
  EXPECT_TRUE(store.add_constraint_1st(Eigen::RowVector3d(10, 10, 10), 0).ok());
  Eigen::MatrixXd acc_a(2, 1), acc_b(2, 1), acc_max(2, 1);
  acc_a << 0, 1;  // with f = 0.5 the LP rows (1, -1, 0.25) and (-1, 2, 1.75)
  acc_b << 2, -2;
  acc_max << 0.25, 1.75;
  EXPECT_TRUE(store.add_constraint_2nd(acc_a, acc_b, acc_max, 0, false).ok());
  return store;
}

TEST(Topp2Ra, AnInversionWithinToleranceThatRecoveryCannotRepairTakesTheMidpoint) {
  // a_start = 2 + 1e-9 inverts the interval by 1e-9: more than the LP tolerance 1e-12 lets the
  // recovery accept, less than the comparison tolerance.
  const Constraints store = crossing_first_interval();
  ReachSet2Options o = at(Verbosity::Debug);
  o.lp_feas_tol = 1e-12;
  const double a_start = 2.0 + 1e-9;
  Result<std::vector<double>> a = std::vector<double>{};
  const std::string out = printed([&] { a = topp2_ra(whole_window(store, a_start, 0.0), o); });
  ASSERT_TRUE(a.ok()) << error_of(a) << out;
  const double hi = 0.25 - (-1.0) * a_start;
  const double lo = (1.75 - 2.0 * a_start) / -1.0;
  const double mid = (lo + hi) * 0.5;
  EXPECT_EQ((*a)[1], mid);
  EXPECT_NE(out.find("The forward reachable interval at idx_s = 1 is inverted by 1.000e-9 at scale 2.000e0; treated "
                     "as the degenerate point a[k] = " +
                     fmt::plain(mid) + ".\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("The one-step forward reachable set at k = 1 (idx_s = 1) is degenerate since a_max and a_min are "
                     "approximately equal at " +
                     fmt::plain((lo + mid) * 0.5) + ".\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Recovered"), std::string::npos);
  // With the default LP tolerance the recovery repairs the same step instead.
  const std::string repaired = printed([&] { a = topp2_ra(whole_window(store, a_start, 0.0), at(Verbosity::Debug)); });
  ASSERT_TRUE(a.ok());
  EXPECT_NE(repaired.find("Recovered the forward step at idx_s = 1: a[k] = "), std::string::npos) << repaired;
  // The tolerance acts in the problem's own unit of a.
  const double unit = AUnits::of(whole_window(store, a_start, 0.0)).unit;
  EXPECT_GE((*a)[1], hi);
  EXPECT_LE((*a)[1], hi + 2e-8 * unit);
}

TEST(Topp2Ra, ARowWithoutTheNewValueThatFailsIsInfeasible) {
  // Station 0 carries a[0] <= 0.5 as a second-order row; a_start = 1 is only tested against amax.
  Constraints store = point_mass_line({0, 1, 2}, 10.0, 0.5);
  ASSERT_TRUE(store
                  .add_constraint_2nd(Eigen::MatrixXd::Ones(1, 1), Eigen::MatrixXd::Zero(1, 1),
                                      Eigen::MatrixXd::Constant(1, 1, 0.5), 0, false)
                  .ok());
  Result<std::vector<double>> a = std::vector<double>{};
  const std::string out = printed([&] { a = topp2_ra(whole_window(store, 1.0, 0.0), at(Verbosity::Summary)); });
  ASSERT_FALSE(a.ok());
  EXPECT_EQ(a.error().kind(), CoreError::Kind::Infeasible);
  const auto set = reach_set2_backward(whole_window(store, 1.0, 0.0), ReachSet2Options{});
  ASSERT_TRUE(set.ok());
  EXPECT_EQ(a.error().display(), "topp2_ra reported an infeasibility: The reachable set is empty at index 1 during the "
                                 "forward pass: with a = 1 at idx_s = 0, no a between 0 and " +
                                     fmt::plain(set->a_max[1]) +
                                     " at idx_s = 1 holds the second-order row 2 at idx_s = 0 (acc_a = 1, acc_b = 0, "
                                     "acc_max = 0.5)");
  EXPECT_EQ(out,
            "\ntopp2_ra started: 0 <= idx_s <= 2, a_start = 1, a_final = 0.\n"
            "reach_set2 started: 0 <= idx_s <= 2, a_start = 1, a_final = 0.\n"
            "Backward reachable set will be computed.\n"
            "reach_set2: backward total elapsed time = <t>.\n"
            "topp2_ra: the forward pass failed at index 1 due to infeasibility.\n");
}

TEST(Topp2Ra, NoUpperLimitAtAllIsUnbounded) {
  Constraints store = Constraints::with_capacity(1, 3);
  ASSERT_TRUE(store.append_s(std::vector<double>{0, 1, 2}).ok());
  Result<std::vector<double>> a = std::vector<double>{};
  const std::string out = printed([&] { a = topp2_ra(whole_window(store, 0.0, 0.0), at(Verbosity::Summary)); });
  EXPECT_EQ(error_of(a), "topp2_ra reported an unboundedness: The reachable set is unbounded at index 1 during the "
                         "forward pass where a_max = inf");
  EXPECT_NE(out.find("topp2_ra: the forward pass failed at index 1 due to unboundedness.\n"), std::string::npos);
  EXPECT_EQ(out.find("topp2_ra: total elapsed"), std::string::npos);
}

TEST(Topp2Ra, ABackwardFailureIsReturnedUnchanged) {
  const Constraints store = point_mass_line({0, 1, 2}, 1.0, 0.5);
  const Topp2Problem problem = whole_window(store, 3.0, 0.0);
  Result<std::vector<double>> a = std::vector<double>{};
  const std::string summary = printed([&] { a = topp2_ra(problem, at(Verbosity::Summary)); });
  const std::string backward_error = error_of(reach_set2_backward(problem, ReachSet2Options{}));
  EXPECT_EQ(error_of(a), backward_error);
  EXPECT_EQ(summary,
            "\ntopp2_ra started: 0 <= idx_s <= 2, a_start = 3, a_final = 0.\n"
            "reach_set2 started: 0 <= idx_s <= 2, a_start = 3, a_final = 0.\n"
            "Backward reachable set will be computed.\n"
            "reach_set2: the backward pass failed at index 0 due to infeasibility of the initial state.\n"
            "topp2_ra: failed while computing backward reachable set.\n");
  const std::string debug = printed([&] { a = topp2_ra(problem, at(Verbosity::Debug)); });
  EXPECT_EQ(debug,
            "\ntopp2_ra started: 0 <= idx_s <= 2, a_start = 3, a_final = 0.\n"
            "reach_set2 started: 0 <= idx_s <= 2, a_start = 3, a_final = 0.\n"
            "Backward reachable set will be computed.\n" +
                backward_error + "\n" + backward_error + "\n");
}

// ---- the lines of each level on s = 0, 1, 2 with a <= 1 and |b| <= 0.5 ----

class Topp2RaLines : public testing::Test {
 protected:
  Constraints store = point_mass_line({0, 1, 2}, 1.0, 0.5);
  Topp2Problem problem = whole_window(store, 0.0, 0.0);

  std::string run(Verbosity v) {
    return printed([&] {
      const auto a = topp2_ra(problem, at(v));
      ASSERT_TRUE(a.ok());
      EXPECT_EQ(*a, (std::vector<double>{0, 1, 0}));
    });
  }
};

TEST_F(Topp2RaLines, SilentPrintsNothing) { EXPECT_EQ(run(Verbosity::Silent), ""); }

TEST_F(Topp2RaLines, SummaryFramesTheBackwardPassLines) {
  EXPECT_EQ(run(Verbosity::Summary),
            "\ntopp2_ra started: 0 <= idx_s <= 2, a_start = 0, a_final = 0.\n"
            "reach_set2 started: 0 <= idx_s <= 2, a_start = 0, a_final = 0.\n"
            "Backward reachable set will be computed.\n"
            "reach_set2: backward total elapsed time = <t>.\n"
            "topp2_ra: total elapsed time = <t>.\n\n");
}

TEST_F(Topp2RaLines, DebugReportsTheDegenerateLastStep) {
  EXPECT_EQ(run(Verbosity::Debug),
            "\ntopp2_ra started: 0 <= idx_s <= 2, a_start = 0, a_final = 0.\n"
            "reach_set2 started: 0 <= idx_s <= 2, a_start = 0, a_final = 0.\n"
            "Backward reachable set will be computed.\n"
            "Backward pass started.\n"
            "reach_set2: backward total elapsed time = <t>.\n"
            "Forward pass started.\n"
            "The one-step forward reachable set at k = 2 (idx_s = 2) is degenerate since a_max and a_min are "
            "approximately equal at 0.\n"
            "topp2_ra: total elapsed time = <t>.\n\n");
}

TEST_F(Topp2RaLines, TraceFollowsEveryStation) {
  const std::string out = run(Verbosity::Trace);
  const std::string forward =
      "Forward pass started.\n"
      "\tForward pass at k = 1 (idx_s = 1): backward interval 0 <= a[k] <= 1, a_prev = 0.\n"
      "\t\tForward LP result before clipping: -1 <= a[k] <= 1.\n"
      "\t\tAfter clipping with backward reachable set: 0 <= a[k] <= 1.\n"
      "\t\tSelected maximal feasible state: a[k] = 1.\n"
      "\tForward pass at k = 2 (idx_s = 2): backward interval 0 <= a[k] <= 0, a_prev = 1.\n"
      "\t\tForward LP result before clipping: -0 <= a[k] <= 2.\n"
      "\t\tAfter clipping with backward reachable set: 0 <= a[k] <= 0.\n"
      "The one-step forward reachable set at k = 2 (idx_s = 2) is degenerate since a_max and a_min are "
      "approximately equal at 0.\n"
      "\t\tSelected maximal feasible state: a[k] = 0.\n"
      "topp2_ra: total elapsed time = <t>.\n\n";
  ASSERT_GE(out.size(), forward.size());
  EXPECT_EQ(out.substr(out.size() - forward.size()), forward);
  EXPECT_EQ(out.rfind("\ntopp2_ra started: 0 <= idx_s <= 2, a_start = 0, a_final = 0.\n"
                      "reach_set2 started: 0 <= idx_s <= 2, a_start = 0, a_final = 0.\n",
                      0),
            0u);
  EXPECT_NE(out.find("\t\tBackward skip checks at idx_s = 0: need_max = true, need_min = false.\n"), std::string::npos);
}

}  // namespace
}  // namespace qarn::qarn2

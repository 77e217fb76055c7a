// The problem-scale helpers every solver shares: the profile references read from the stored
// limits, the relative audit of accepted profiles, and the unboundedness test before a conic solve.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "qarn/conic/audit.hpp"
#include "qarn/conic/options.hpp"
#include "qarn/qarn2/opt2/standard_constraints.hpp"
#include "qarn/profile_scale.hpp"
#include "qarn/qarn2/dp2/bounded_stations.hpp"
#include "qarn2/topp2_test_support.hpp"

namespace qarn {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A store scaled in time by k (velocity x k, acceleration x k^2) and in space by c.
Constraints scaled_line(double k, double c) {
  const std::vector<double> s = test2::uniform_grid(30, 2.0);
  return test2::point_mass_line(s, 0.7 * k * c, 1.3 * k * k * c);
}

TEST(ProfileScale, FollowsTimeScalingAndIgnoresSpaceScaling) {
  const ProfileScale unit = profile_scale(scaled_line(1.0, 1.0), 0, 31);
  EXPECT_DOUBLE_EQ(unit.a, 0.49);  // amax = 0.7^2; the line has no acc_a to give another scale
  EXPECT_DOUBLE_EQ(unit.b, 0.49 / 2.0);  // a over the window length 2
  for (const double k : {1e-4, 1e-2, 1e2, 1e4}) {
    const ProfileScale p = profile_scale(scaled_line(k, 1.0), 0, 31);
    EXPECT_NEAR(p.a / (unit.a * k * k), 1.0, 1e-14) << k;
    EXPECT_NEAR(p.b / (unit.b * k * k), 1.0, 1e-14) << k;
  }
  // q(s) = s is not scaled with c here (the line's derivatives stay 1), so scale the limits of a
  // path c q(s) instead: amax and every row ratio are unchanged.
  Constraints store = Constraints::with_capacity(1, 31);
  const std::vector<double> s = test2::uniform_grid(30, 2.0);
  ASSERT_TRUE(store.append_s(s).ok());
  const Eigen::MatrixXd ones = Eigen::MatrixXd::Ones(1, 31);
  ASSERT_TRUE(store.set_q(ones, 1e3 * ones, Eigen::MatrixXd::Zero(1, 31), std::nullopt, 0).ok());
  ASSERT_TRUE(store.add_velocity_limits(0.7e3 * ones, -0.7e3 * ones, 0).ok());
  ASSERT_TRUE(store.add_acceleration_limits(1.3e3 * ones, -1.3e3 * ones, 0).ok());
  EXPECT_DOUBLE_EQ(profile_scale(store, 0, 31).a, unit.a);
  EXPECT_DOUBLE_EQ(profile_scale(store, 0, 31).b, unit.b);
}

TEST(ProfileScale, WithoutLimitsBothReferencesAreOne) {
  Constraints store = Constraints::with_capacity(1, 5);
  ASSERT_TRUE(store.append_s(test2::uniform_grid(4, 1.0)).ok());
  const ProfileScale p = profile_scale(store, 0, 5);
  EXPECT_EQ(p.a, 1.0);
  EXPECT_EQ(p.b, 1.0);
}

TEST(ProfileAudit, RowsHoldToTheirOwnScale) {
  // A limit is measured by its bound, a row with a zero (or negligible) bound by its largest term,
  // an equality by the larger of both.
  struct Case {
    double value, largest, bound;
    bool equality;
    double excess;
  };
  for (const Case& c : std::vector<Case>{{3.0, 2.0, 3.0, false, 0.0},
                                         {3.0 + 3e-7, 2.0, 3.0, false, 1e-7},
                                         {1e-3, 1e9, 0.0, false, 1e-12},   // cancelling terms, zero bound
                                         {2.0, 1e5, 1.0, false, 1.0},      // cancelling terms, a limit: its bound
                                         {1.0, 1e9, 1e-4, false, 9.999e-10},  // a bound negligible beside them
                                         {-1.0, 1.0, 0.0, false, 0.0},
                                         {1e-9, 4.0, 0.0, true, 2.5e-10},  // a - a' + h (b + b') = 0
                                         {-1e-9, 4.0, 0.0, true, 2.5e-10},
                                         {5.0, 1.0, 4.0, true, 0.25},
                                         {kNaN, 1.0, 1.0, false, kInf},
                                         {1.0, 0.0, 0.0, false, kInf}}) {
    const double excess = row_excess(c.value, c.largest, c.bound, c.equality);
    if (std::isinf(c.excess)) {
      EXPECT_EQ(excess, c.excess) << c.value << " " << c.bound;
    } else {
      EXPECT_NEAR(excess, c.excess, 1e-15 + 1e-9 * c.excess) << c.value << " " << c.bound;
    }
  }
  const RowAudit audit{1e-6, 0.3333, 12, "second-order row", 7, false};
  EXPECT_FALSE(audit.holds());
  EXPECT_EQ(audit.describe(), "the second-order row at idx_s = 7 exceeds its bound by 3.333e-1 relative");
  EXPECT_EQ(failed_audit_error("qarn2_socp", SolverStatus::AlmostSolved, audit.describe()).display(),
            "qarn2_socp reported an error in Clarabel solver: the solution accepted with status AlmostSolved fails "
            "its audit: the second-order row at idx_s = 7 exceeds its bound by 3.333e-1 relative");
  const RowAudit equality{1e-6, 2e-3, 3, "trapezoid row", 9, true};
  EXPECT_EQ(equality.describe(), "the trapezoid row at idx_s = 9 misses its value by 2.000e-3 relative");
}

TEST(ProfileAudit, TheSecondOrderRowsHoldAtTheAnalyticProfileAndCatchAnExcess) {
  // On the line, a = min(v^2, 2 acc s, 2 acc (L - s)) is the time-optimal profile: it holds.
  const std::vector<double> s = test2::uniform_grid(40, 2.0);
  const Constraints store = test2::point_mass_line(s, 1.0, 0.75);
  ClarabelTriplets t;
  t.label_rows("first-order row", RowKind::Limit);
  qarn2::push_first_order_rows(store, 40, 0, t);
  t.label_rows("second-order row", RowKind::Limit);
  qarn2::push_second_order_rows(store, 0, 40, t);
  t.cones.push_back(NonnegativeCone(t.row_count()));
  Assembly assembly{std::move(t), std::vector<double>(41, 0.0)};
  assembly.constraint_rows = assembly.triplets.row_count();
  const ConicProgram program = *make_conic_program("audit_test", std::move(assembly));
  std::vector<double> a(s.size());
  for (std::size_t k = 0; k < s.size(); ++k) a[k] = std::min({1.0, 1.5 * s[k], 1.5 * (2.0 - s[k])});
  EXPECT_TRUE(audit_constraint_rows(program, a, a.size(), 0).holds());
  a[20] *= 1.0 + 1e-5;  // above the velocity bound
  // With the solvers' default options, and in units 1e6 times the bound there (a slow zone filled
  // from its neighbours; before, the units' floor let 13 times the bound through).
  std::vector<double> units(a.size(), 1.0);
  units[20] = 1e6;
  const RowAudit broken = audit_constraint_rows(program, a, a.size(), 0, ClarabelOptions{}.profile_tolerance(), units);
  EXPECT_FALSE(broken.holds());
  EXPECT_EQ(broken.describe(), "the first-order row at idx_s = 20 exceeds its bound by 1.000e-5 relative");
  EXPECT_TRUE(audit_constraint_rows(program, a, a.size(), 0, 1e-4).holds());  // a looser tolerance
  a[1] *= 1.0 + 1e-5;  // b of the first interval above its limit
  EXPECT_EQ(audit_constraint_rows(program, a, a.size(), 0).label, std::string("second-order row"));
}

TEST(BoundedStations, ReportsOnlyWhatNoLimitBounds) {
  const std::vector<double> s = test2::uniform_grid(10, 2.0);
  // Neither velocity nor acceleration limits: a is free at every interior station.
  Constraints free = Constraints::with_capacity(1, s.size());
  ASSERT_TRUE(free.append_s(s).ok());
  EXPECT_EQ(qarn2::first_unbounded_station({free, 0, 10, 0.0, 0.0}), std::optional<std::uint64_t>(1));
  // Acceleration limits alone on a straight line: b is bounded and the ends are fixed, so a is too.
  Constraints line = Constraints::with_capacity(1, s.size());
  ASSERT_TRUE(line.append_s(s).ok());
  const Eigen::MatrixXd ones = Eigen::MatrixXd::Ones(1, 11);
  ASSERT_TRUE(line.set_q(ones, ones, 0 * ones, std::nullopt, 0).ok());
  ASSERT_TRUE(line.add_acceleration_limits(ones, -ones, 0).ok());
  EXPECT_EQ(qarn2::first_unbounded_station({line, 0, 10, 0.0, 0.0}), std::nullopt);
  // Velocity limits bound every station directly.
  EXPECT_EQ(qarn2::first_unbounded_station({scaled_line(1.0, 1.0), 0, 30, 0.0, 0.0}), std::nullopt);
}

}  // namespace
}  // namespace qarn

// Bounds at a stationary window. The references model the window independently: on
// a = A x^(4/3) (x the fraction of the window's s span h from the rest station) the path
// derivatives are b = 0.5 da/ds = (2/3) A x^(1/3) / h and c = db/ds = (2/9) A x^(-2/3) / h^2,
// which turn each row into a bound on A.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "qarn/constraints.hpp"
#include "station_test_support.hpp"

namespace qarn {
namespace {

using test::column;
using test::ramp;
using test::store_with_stations;

using test::kInf;
using test::kNaN;

void add_jerk_row(Constraints& c, std::uint64_t idx, double ja, double jb, double jc, double jd, double jm) {
  ASSERT_TRUE(c.add_constraint_3rd(column({ja}), column({jb}), column({jc}), column({jd}), column({jm}), idx, false).ok());
}

bool impossible(const BoundPair& b) { return b.upper == -kInf && b.lower == kInf; }

// ---- cube-root bound ----

TEST(JerkCubeRootBound, DegenerateSpansAndNoRows) {
  Constraints c = store_with_stations(1, 8, ramp(4));
  EXPECT_TRUE(impossible(c.jerk_cube_root_bound(0, 0.0)));
  EXPECT_TRUE(impossible(c.jerk_cube_root_bound(0, kNaN)));
  EXPECT_TRUE(impossible(c.jerk_cube_root_bound(0, kInf)));
  const BoundPair none = c.jerk_cube_root_bound(0, 1.0);
  EXPECT_EQ(none.upper, kInf);
  EXPECT_EQ(none.lower, 0.0);
}

TEST(JerkCubeRootBound, MatchesTheClosedFormAndRoundsOutward) {
  // On the window, c = (2/9) A x^(-2/3) / h^2 and a = A x^(4/3); the row jerk_c c <= jerk_max / sqrt(a)
  // at x -> 0 reads (2/9) A^(3/2) jerk_c / h^2 <= jerk_max, so A <= (4.5 h^2 jerk_max / jerk_c)^(2/3).
  Constraints c = store_with_stations(1, 8, ramp(4));
  add_jerk_row(c, 1, 0.0, 0.0, 2.0, 0.0, 3.0);
  add_jerk_row(c, 1, 7.0, 7.0, 4.0, 7.0, 40.0);  // looser
  for (const double h : {1.5, -1.5}) {
    const double exact = std::pow(4.5 * 1.5 * 1.5 * 3.0 / 2.0, 2.0 / 3.0);
    const BoundPair b = c.jerk_cube_root_bound(1, h);
    EXPECT_LT(b.upper, exact);
    EXPECT_GT(b.upper, exact * (1.0 - 1e-12));
    EXPECT_EQ(b.lower, 0.0);
  }
  // A negative jerk_c with a negative jerk_max bounds A from below, rounded up.
  Constraints low = store_with_stations(1, 8, ramp(4));
  add_jerk_row(low, 2, 0.0, 0.0, -2.0, 0.0, -3.0);
  const double exact = std::pow(4.5 * 0.25 * 3.0 / 2.0, 2.0 / 3.0);
  const BoundPair b = low.jerk_cube_root_bound(2, 0.5);
  EXPECT_EQ(b.upper, kInf);
  EXPECT_GT(b.lower, exact);
  EXPECT_LT(b.lower, exact * (1.0 + 1e-12));
}

TEST(JerkCubeRootBound, ContradictoryRowsMakeTheWindowImpossible) {
  struct Row {
    double jc, jm;
  };
  for (const Row r : {Row{1.0, -1.0}, Row{0.0, -1.0}, Row{1.0, -kInf}, Row{1.0, kNaN}, Row{kNaN, 1.0}, Row{kInf, 1.0}}) {
    Constraints c = store_with_stations(1, 8, ramp(3));
    add_jerk_row(c, 0, 0.0, 0.0, 1.0, 0.0, 1.0);
    add_jerk_row(c, 0, 0.0, 0.0, r.jc, 0.0, r.jm);
    EXPECT_TRUE(impossible(c.jerk_cube_root_bound(0, 1.0))) << r.jc << " " << r.jm;
  }
}

TEST(JerkCubeRootBound, RowsThatCannotBindAreSkipped) {
  Constraints c = store_with_stations(1, 8, ramp(3));
  add_jerk_row(c, 0, 0.0, 0.0, 1.0, 0.0, kInf);   // inactive
  add_jerk_row(c, 0, 0.0, 0.0, -1.0, 0.0, 2.0);   // negative c with a non-negative bound
  add_jerk_row(c, 0, 0.0, 0.0, 0.0, 0.0, 0.0);    // no c term, bound >= 0
  const BoundPair b = c.jerk_cube_root_bound(0, 1.0);
  EXPECT_EQ(b.upper, kInf);
  EXPECT_EQ(b.lower, 0.0);
}

TEST(JerkCubeRootBound, KeepsTheExactPairWhenRoundingWouldInvertIt) {
  Constraints c = store_with_stations(1, 8, ramp(3));
  add_jerk_row(c, 0, 0.0, 0.0, 1.0, 0.0, 1.0);
  add_jerk_row(c, 0, 0.0, 0.0, -1.0, 0.0, -1.0);  // the same value from below
  const BoundPair b = c.jerk_cube_root_bound(0, 1.0);
  EXPECT_EQ(b.upper, b.lower);
  EXPECT_NEAR(b.upper, std::pow(4.5, 2.0 / 3.0), 1e-12);
}

// ---- bounds at the start and at the end ----

TEST(StationaryWindowBounds, NoWindowGivesNoBound) {
  Constraints c = store_with_stations(1, 8, ramp(4));
  const std::vector<double> a_ref(4, 1.0);
  for (const BoundPair b : {c.first_order_bounds_forward(a_ref, 0, 0), c.first_order_bounds_forward(a_ref, 1, 3),
                            c.first_order_bounds_forward(a_ref, std::numeric_limits<std::uint64_t>::max(), 1),
                            c.first_order_bounds_backward(a_ref, 0, 0), c.first_order_bounds_backward(a_ref, 1, 2),
                            c.first_order_bounds_backward(std::vector<double>{}, 0, 1),
                            c.first_order_bounds_backward(std::vector<double>(2, 1.0), 0, 2)}) {
    EXPECT_EQ(b.upper, kInf);
    EXPECT_EQ(b.lower, 0.0);
  }
}

TEST(StationaryWindowBounds, FirstAndSecondOrderAtTheStart) {
  Constraints c = store_with_stations(1, 8, ramp(4));  // rest at s = 0, window [0, 2], h = 2
  ASSERT_TRUE(c.amax_substitute(std::vector<double>{kInf, 1.0, 3.0}, 0).ok());
  const std::vector<double> a_ref(4, 1.0);
  // a = A x^(4/3) <= amax at x = 1/2 and x = 1.
  EXPECT_NEAR(c.first_order_bounds_forward(a_ref, 0, 2).upper, std::pow(2.0, 4.0 / 3.0), 1e-12);

  // At x = 1: a + 1.5 b = A + 1.5 (2/3) A / 2 = 1.5 A <= 3.
  ASSERT_TRUE(c.add_constraint_2nd(column({1.0}), column({1.5}), column({3.0}), 2, false).ok());
  EXPECT_NEAR(c.first_order_bounds_forward(a_ref, 0, 2).upper, 2.0, 1e-12);
  // -a <= -0.5 at x = 1 bounds A from below.
  ASSERT_TRUE(c.add_constraint_2nd(column({-1.0}), column({0.0}), column({-0.5}), 2, false).ok());
  const BoundPair b = c.first_order_bounds_forward(a_ref, 0, 2);
  EXPECT_NEAR(b.lower, 0.5, 1e-12);
  // A row with a vanishing coefficient binds nothing.
  ASSERT_TRUE(c.add_constraint_2nd(column({0.0}), column({1e-12}), column({-5.0}), 1, false).ok());
  EXPECT_NEAR(c.first_order_bounds_forward(a_ref, 0, 2).lower, 0.5, 1e-12);
}

TEST(StationaryWindowBounds, ThirdOrderRowsUseTheTangentAtTheReference) {
  Constraints c = store_with_stations(1, 8, {0.0, 0.75, 2.0, 3.0});  // window [0, 2], h = 2
  const double ja = 0.5, jb = 1.2, jc = 0.8, jd = -0.3, jm = 4.0;
  add_jerk_row(c, 1, ja, jb, jc, jd, jm);
  const double a_ref1 = 0.64;  // r = 1.25
  const std::vector<double> a_ref{0.0, a_ref1, 1.0};
  const double h = 2.0, x = 0.375;
  const double r = 1.0 / std::sqrt(a_ref1);
  // The row with 1/sqrt(a) replaced by 1.5 r - 0.5 r^3 a, on a, b, c of the window model.
  const double coef = std::pow(x, 4.0 / 3.0) * (ja + 0.5 * r * r * r * jm) + jb * (2.0 / 3.0) * std::cbrt(x) / h +
                      jc * (2.0 / 9.0) / (std::cbrt(x) * std::cbrt(x) * h * h);
  const double expected = (1.5 * r * jm - jd) / coef;
  EXPECT_NEAR(c.first_order_bounds_forward(a_ref, 0, 2).upper, expected, 1e-12 * expected);
  // A NaN reference falls back to the store's floor (1e-10: r = 1e5).
  const double r_floor = 1e5;
  const double coef_floor = std::pow(x, 4.0 / 3.0) * (ja + 0.5 * r_floor * r_floor * r_floor * jm) +
                            jb * (2.0 / 3.0) * std::cbrt(x) / h + jc * (2.0 / 9.0) / (std::cbrt(x) * std::cbrt(x) * h * h);
  const double expected_floor = (1.5 * r_floor * jm - jd) / coef_floor;
  EXPECT_NEAR(c.first_order_bounds_forward(std::vector<double>{0.0, kNaN, 1.0}, 0, 2).upper, expected_floor,
              1e-12 * expected_floor);
  // A reference that ends before the window's far station drops the missing terms.
  EXPECT_NEAR(c.first_order_bounds_forward(std::vector<double>{0.0, a_ref1}, 0, 2).upper, expected, 1e-12 * expected);
  EXPECT_EQ(c.first_order_bounds_forward(std::vector<double>{0.0}, 0, 2).upper, kInf);
}

TEST(StationaryWindowBounds, TheEndWindowMirrorsTheStart) {
  // Rest at the last station (s = 3), window [1, 3], h = -2; b is negative on the way down.
  Constraints c = store_with_stations(1, 8, ramp(4));
  ASSERT_TRUE(c.amax_substitute(std::vector<double>{kInf, 3.0, 1.0, kInf}, 0).ok());
  const std::vector<double> a_ref(3, 1.0);  // stations 1..3
  EXPECT_NEAR(c.first_order_bounds_backward(a_ref, 1, 2).upper, std::pow(2.0, 4.0 / 3.0), 1e-12);
  // At x = 1 (station 1): a + 1.5 b = A - 1.5 (2/3) A / 2 = 0.5 A <= 3.
  ASSERT_TRUE(c.amax_substitute(std::vector<double>{kInf, kInf, kInf, kInf}, 0).ok());
  ASSERT_TRUE(c.add_constraint_2nd(column({1.0}), column({1.5}), column({3.0}), 1, false).ok());
  EXPECT_NEAR(c.first_order_bounds_backward(a_ref, 1, 2).upper, 6.0, 1e-12);
  // Read as a start window from station 1, the row sits at the rest station and binds nothing.
  EXPECT_EQ(c.first_order_bounds_forward(std::vector<double>(3, 1.0), 1, 2).upper, kInf);
}

TEST(StationaryWindowBounds, APhaseEndingInsideTheWindow) {
  Constraints c = store_with_stations(1, 8, ramp(4));  // window [0, 1]
  add_jerk_row(c, 0, 0.0, 0.0, 1.0, 0.0, 6.0);
  const std::vector<double> a_ref(4, 1.0);
  // The jerk b^(3/2) / sqrt(6 share) with b = A / (1.75 * 1) at share 1/2: A <= 1.75 cbrt(3) 6^(2/3).
  EXPECT_NEAR(c.first_order_bounds_forward(a_ref, 0, 1, RestWindowShape{0.5}).upper, 1.75 * std::cbrt(3.0 * 36.0), 1e-12);
  // After the phase b = A / 1.75 holds the junction's acceleration row b <= 0.1.
  ASSERT_TRUE(c.add_constraint_2nd(column({0.0}), column({1.0}), column({0.1}), 1, false).ok());
  EXPECT_NEAR(c.first_order_bounds_forward(a_ref, 0, 1, RestWindowShape{0.5}).upper, 0.175, 1e-12);
  // Without a phase (share 0) b = A / 2 from the rest station on: the jerk row bounds nothing, the
  // acceleration rows of both stations do.
  EXPECT_NEAR(c.first_order_bounds_forward(a_ref, 0, 1, RestWindowShape{0.0}).upper, 0.2, 1e-12);
  ASSERT_TRUE(c.add_constraint_2nd(column({0.0}), column({1.0}), column({0.05}), 0, false).ok());
  EXPECT_NEAR(c.first_order_bounds_forward(a_ref, 0, 1, RestWindowShape{0.0}).upper, 0.1, 1e-12);
  // Where the phase ends (d = 0.5: a = A 3 / 7, b = a / 0.75, db/ds = a / 1.125) the jerk row holds
  // as it stands, halfway between the rows of stations 0 (jerk_b = 3) and 1 (jerk_b = 0).
  Constraints curved = store_with_stations(1, 8, ramp(4, 0.0, 1.0));
  add_jerk_row(curved, 0, 0.0, 3.0, 1.0, 0.0, 6.0);
  add_jerk_row(curved, 1, 0.0, 0.0, 1.0, 0.0, 6.0);
  const double w = 3.0 / 7.0, k = w * std::sqrt(w) * (1.0 / 1.125 + 1.5 / 0.75);
  EXPECT_NEAR(curved.first_order_bounds_forward(std::vector<double>(4, 4.0), 0, 1, RestWindowShape{0.5}).upper,
              std::pow(6.0 / k, 2.0 / 3.0), 1e-12);
}

TEST(StationaryWindowBounds, AnImpossibleRestStationShortCircuits) {
  Constraints c = store_with_stations(1, 8, ramp(4));
  add_jerk_row(c, 0, 0.0, 0.0, 1.0, 0.0, -1.0);
  ASSERT_TRUE(c.amax_substitute(std::vector<double>{kInf, 1.0, 1.0}, 0).ok());
  EXPECT_TRUE(impossible(c.first_order_bounds_forward(std::vector<double>(3, 1.0), 0, 2)));
}

}  // namespace
}  // namespace qarn

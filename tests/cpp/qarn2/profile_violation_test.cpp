// Profile audits: which inputs cannot be measured, signs of the zero results, and excesses of
// hand-computed profiles at both ends of an interval.
#include "qarn/profile_violation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "qarn2/topp2_test_support.hpp"

namespace qarn {
namespace {

using test2::point_mass_line;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

bool all_nan(const Exceed2& e) { return std::isnan(e.exceed_1st) && std::isnan(e.exceed_2nd); }
bool all_nan(const Exceed3& e) { return std::isnan(e.exceed_1st) && std::isnan(e.exceed_2nd) && std::isnan(e.exceed_3rd); }

TEST(ExceedTopp2, UnmeasurableProfilesGiveNaN) {
  const Constraints store = point_mass_line({0, 1, 2, 3, 4}, 1.0, 0.5);
  EXPECT_TRUE(all_nan(exceed_topp2(store, 0, std::vector<double>{0.5})));
  EXPECT_TRUE(all_nan(exceed_topp2(store, 0, std::vector<double>{})));
  EXPECT_TRUE(all_nan(exceed_topp2(store, 0, std::vector<double>{0.5, kNaN, 0.5})));
  EXPECT_TRUE(all_nan(exceed_topp2(store, 0, std::vector<double>{0.5, kInf})));
  EXPECT_TRUE(all_nan(exceed_topp2(store, 3, std::vector<double>{0.5, 0.5, 0.5})));  // past the last station
  EXPECT_TRUE(all_nan(exceed_topp2(store, std::numeric_limits<std::uint64_t>::max(), std::vector<double>{1, 1})));
}

TEST(ExceedTopp2, FeasibleProfilesGiveSignedZeros) {
  const Constraints store = point_mass_line({0, 1, 2, 3, 4}, 1.0, 0.5);  // a <= 1, |b| <= 0.5
  const Exceed2 e = exceed_topp2(store, 0, std::vector<double>{0.1, 0.5, 0.9, 0.5, 0.1});
  EXPECT_EQ(e.exceed_1st, 0.0);
  EXPECT_TRUE(std::signbit(e.exceed_1st));
  EXPECT_EQ(e.exceed_2nd, 0.0);
  EXPECT_FALSE(std::signbit(e.exceed_2nd));
  // A window starting later reads the rows of its own stations.
  EXPECT_EQ(exceed_topp2(store, 2, std::vector<double>{1.0, 1.0, 1.0}).exceed_1st, 0.0);
}

TEST(ExceedTopp2, ExcessesAreInTheUnitsOfTheRows) {
  const Constraints store = point_mass_line({0, 1, 2, 3, 4}, 1.0, 0.5);
  EXPECT_EQ(exceed_topp2(store, 0, std::vector<double>{0.1, 0.5, 0.9, -0.2, 0.1}).exceed_1st, 0.2);
  EXPECT_EQ(exceed_topp2(store, 3, std::vector<double>{0, 1.5}).exceed_1st, 0.5);
  // b = 0.5 * (1.5 - 0) / 1 = 0.75 exceeds |b| <= 0.5 by 0.25 (measured at both ends).
  EXPECT_EQ(exceed_topp2(store, 3, std::vector<double>{0, 1.5}).exceed_2nd, 0.25);
  // Rows that differ at the two ends of an interval: only the second station's row is violated.
  Constraints uneven = point_mass_line({0, 1, 2}, 10.0, 10.0);
  ASSERT_TRUE(uneven
                  .add_constraint_2nd(Eigen::MatrixXd::Constant(1, 1, 1.0), Eigen::MatrixXd::Constant(1, 1, 2.0),
                                      Eigen::MatrixXd::Constant(1, 1, 3.0), 1, false)
                  .ok());
  // a = [1, 2, 2]: b = [0.5, 0]; station 1 (a + 2b <= 3) with interval 0's b: 2 + 1 - 3 = 0, with
  // interval 1's b: 2 + 0 - 3 = -1; a = [1, 2.5, 2.5]: 2.5 + 1.5 - 3 = 1.
  EXPECT_EQ(exceed_topp2(uneven, 0, std::vector<double>{1, 2, 2}).exceed_2nd, 0.0);
  EXPECT_EQ(exceed_topp2(uneven, 0, std::vector<double>{1, 2.5, 2.5}).exceed_2nd, 1.0);
}

// s = 0, 1, 2 with one jerk row sqrt(a) * (c + jerk_d) <= 1 at every station.
Constraints jerk_store(double jerk_d, double jerk_max) {
  Constraints c = Constraints::with_capacity(1, 3);
  EXPECT_TRUE(c.append_s(std::vector<double>{0, 1, 2}).ok());
  const Eigen::MatrixXd zero = Eigen::MatrixXd::Zero(1, 3);
  EXPECT_TRUE(c.add_constraint_3rd(zero, zero, Eigen::MatrixXd::Ones(1, 3), Eigen::MatrixXd::Constant(1, 3, jerk_d),
                                   Eigen::MatrixXd::Constant(1, 3, jerk_max), 0, false)
                  .ok());
  return c;
}

TEST(ExceedTopp3, UnmeasurableProfilesGiveNaN) {
  const Constraints store = jerk_store(0.0, 1.0);
  using V = std::vector<double>;
  EXPECT_TRUE(all_nan(exceed_topp3(store, 0, V{1, 1, 1}, V{0, 0}, 0, 0)));
  EXPECT_TRUE(all_nan(exceed_topp3(store, 0, V{1}, V{0}, 0, 0)));
  EXPECT_TRUE(all_nan(exceed_topp3(store, 0, V{1, 1, 1}, V{0, kInf, 0}, 0, 0)));
  EXPECT_TRUE(all_nan(exceed_topp3(store, 1, V{1, 1, 1}, V{0, 0, 0}, 0, 0)));
}

TEST(ExceedTopp3, JerkIsMeasuredPerIntervalOutsideTheStationaryBlocks) {
  const Constraints store = jerk_store(0.0, 1.0);
  using V = std::vector<double>;
  const Exceed3 feasible = exceed_topp3(store, 0, V{1, 1, 1}, V{0, 0.5, 0}, 0, 0);
  EXPECT_EQ(feasible.exceed_1st, 0.0);
  EXPECT_EQ(feasible.exceed_2nd, 0.0);
  EXPECT_EQ(feasible.exceed_3rd, 0.0);
  EXPECT_FALSE(std::signbit(feasible.exceed_1st) || std::signbit(feasible.exceed_2nd) ||
               std::signbit(feasible.exceed_3rd));
  // c = 2 on interval 0: 1 * 2 - 1 = 1; the stationary interval 0 is not measured with k0 = 1.
  EXPECT_EQ(exceed_topp3(store, 0, V{1, 1, 1}, V{0, 2, 0}, 0, 0).exceed_3rd, 1.0);
  EXPECT_EQ(exceed_topp3(store, 0, V{1, 1, 1}, V{0, 2, 0}, 1, 0).exceed_3rd, 0.0);
  EXPECT_EQ(exceed_topp3(store, 0, V{1, 1, 1}, V{0, 2, 0}, 1, 1).exceed_3rd, 0.0);
  EXPECT_EQ(exceed_topp3(store, 0, V{1, 1, 1}, V{0, 2, 0}, 0, 5).exceed_3rd, 0.0);
  // sqrt(a) scales the row: a = 4 at station 1 doubles its load.
  EXPECT_EQ(exceed_topp3(store, 0, V{1, 4, 1}, V{0, 1, 0}, 0, 0).exceed_3rd, 1.0);
  // A negative a is a first-order excess and its endpoint is skipped by the jerk rows.
  const Constraints loaded = jerk_store(5.0, 1.0);
  const Exceed3 negative = exceed_topp3(loaded, 0, V{-1, 1, 1}, V{0, 0, 0}, 0, 1);
  EXPECT_EQ(negative.exceed_1st, 1.0);
  EXPECT_EQ(negative.exceed_3rd, 4.0);
  // A bound of +inf never contributes.
  EXPECT_EQ(exceed_topp3(jerk_store(5.0, kInf), 0, V{1, 1, 1}, V{0, 0, 0}, 0, 0).exceed_3rd, 0.0);
}

TEST(ExceedTopp3, FirstAndSecondOrderUseTheNodeValues) {
  const Constraints store = point_mass_line({0, 1, 2}, 1.0, 0.5);
  const Exceed3 e = exceed_topp3(store, 0, std::vector<double>{0.5, 1.25, 0.5}, std::vector<double>{0.75, 0, -0.5}, 0, 0);
  EXPECT_EQ(e.exceed_1st, 0.25);
  EXPECT_EQ(e.exceed_2nd, 0.25);
  EXPECT_EQ(e.exceed_3rd, 0.0);
}

}  // namespace
}  // namespace qarn

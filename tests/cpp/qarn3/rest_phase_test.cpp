// The default stationary window of a rest end, on a line whose limits give its phase in closed form.
#include "qarn/qarn3/rest_phase.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "../station/station_test_support.hpp"

namespace qarn::qarn3 {
namespace {

using test::ramp;
using test::store_with_stations;

TEST(ConstantJerkPhase, EndsWhereTheLimitsEndTheOptimalMotionsPhase) {
  // A line q = s with stations 0.1 apart and |jerk| <= 6: from rest at that jerk, b reaches B at
  // the distance B^3 / 216 and the speed sqrt(a) reaches v / 2 at (v / 6)^(3/2). The reference
  // a = 2 B s reaches a = 12 B: the move's cruise.
  const auto line = [](double acc, double jerk_c_at_rest = 1.0) {
    Constraints c = store_with_stations(1, 64, ramp(61, 0.0, 0.1));
    const Eigen::MatrixXd zero = test::constant(1, 61, 0.0), one = test::constant(1, 61, 1.0);
    Eigen::MatrixXd jerk_c = one;
    jerk_c(0, 0) = jerk_c_at_rest;
    EXPECT_TRUE(c.add_constraint_3rd(zero, zero, jerk_c, zero, test::constant(1, 61, 6.0), 0, false).ok());
    EXPECT_TRUE(c.add_constraint_2nd(zero, one, test::constant(1, 61, acc), 0, false).ok());
    return c;
  };
  const auto reference = [](double B) { return ramp(61, 0.0, 0.2 * B); };
  struct Case {
    double acc, B;
    RestPhase expected;
    double jerk_c_at_rest = 1.0;
  };
  for (const Case k : {Case{2.0, 2.0, {1, 8.0 / 21.6}},   // b = 2 binds at 0.037, inside the first interval
                       Case{1e3, 2.0, {5, 1.0}},          // half the speed at 0.74: a twelfth of the span first
                       Case{1e3, 0.25, {1, 1.0}},         // half the speed at 0.155: whole intervals
                       Case{1e3, 0.4724, {2, 1.0}},       // 0.25
                       Case{1e3, 0.3744, {1, 1.0}},       // 0.21: a tenth past station 2, one short
                       Case{3.0, 3.0, {2, 0.625}},        // b = 3 binds at 0.125: the limits stop at 1
                       Case{0.02, 0.02, {1, 8e-6 / 21.6}},  // 3.7e-7 of the interval: as short as it is
                       // A derivative zero up to rounding at the rest station: no real jerk bound there.
                       Case{2.0, 2.0, {1, 1.0}, 1e-16}}) {
    const RestPhase p = constant_jerk_phase(line(k.acc, k.jerk_c_at_rest), reference(k.B), 0, false, 15);
    EXPECT_EQ(p.k, k.expected.k) << k.B;
    EXPECT_NEAR(p.shape.share, k.expected.shape.share, 1e-12 * k.expected.shape.share) << k.B;
  }
  // The speed ends the phase inside the first interval (a reference reaching a = 0.12, half its
  // speed at 0.014): the peak b_p held to the junction, a = 0.1 b_p (2 - share / 2) there, and b
  // turned to 0 over the next interval within the jerk row (6 * 0.1 >= b_p sqrt(a)), which adds
  // 0.1 b_p to a and reaches the cruise, no more.
  const RestPhase turn = constant_jerk_phase(line(1e3), reference(0.01), 0, false, 15);
  const double peak = std::cbrt(turn.shape.share) * std::pow(0.27, 2.0 / 3.0) / 0.15;  // over the pure window's b
  EXPECT_EQ(turn.k, 1u);
  EXPECT_LE(peak * std::sqrt(0.12), 0.6);
  EXPECT_NEAR(0.1 * peak * (2.0 - 0.5 * turn.shape.share) + 0.1 * peak, 0.12, 1e-12);
  EXPECT_LT(turn.shape.share, 1.0);
  // No falling reference at the end, or no jerk limit: the limits' count, wholly at constant jerk.
  const RestPhase end = constant_jerk_phase(line(1e3), reference(2.0), 0, true, 15);
  EXPECT_EQ(end.k, constant_jerk_intervals(line(1e3), 60, 0, 15));
  EXPECT_EQ(end.shape.share, 1.0);
  const RestPhase free = constant_jerk_phase(store_with_stations(1, 64, ramp(61, 0.0, 0.1)), reference(2.0), 0, false, 15);
  EXPECT_EQ(free.k, 1u);
  EXPECT_EQ(free.shape.share, 1.0);
}

}  // namespace
}  // namespace qarn::qarn3

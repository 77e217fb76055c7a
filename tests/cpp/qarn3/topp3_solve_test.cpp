// TOPP3 LP and SOCP solves: the jerk-limited optimum of a straight line, the SOCP objective as the
// traversal time, acceptance of the status, the profile split, and the log lines of a small solve.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "qarn/profile_violation.hpp"
#include "qarn/qarn3/opt3/topp3_lp.hpp"
#include "qarn/qarn3/opt3/topp3_socp.hpp"
#include "qarn2/topp2_test_support.hpp"
#include "qarn3/topp3_test_support.hpp"

namespace qarn::qarn3 {
namespace {

using test2::uniform_grid;
using test3::traversal_time;

// q(s) = s on [0, 4], v = 1, A = 1, J = 2, rest to rest: the jerk-limited optimum is
// L / v + v / A + A / J = 5.5 s, the jerk-free one 5.0 s.
TEST(Topp3Lp, StraightLineReachesTheJerkLimitedOptimum) {
  const std::vector<double> s = uniform_grid(1000, 4.0);
  const auto robot = test3::straight_line(s, {1.0, 1.0, 2.0});
  std::vector<double> reference = test3::topp2_reference(*robot);
  double t = 0.0;
  for (int pass = 0; pass < 5; ++pass) {
    const auto problem = Topp3ProblemBuilder{robot->constraints(), {.a_linearization = reference}}.build_with_linearization();
    ASSERT_TRUE(problem.ok()) << problem.error().display();
    const auto profile = topp3_lp_entry(*problem, {});
    ASSERT_TRUE(profile.ok()) << profile.error().display();
    const Exceed3 e = exceed_topp3(robot->constraints(), 0, profile->a, profile->b, profile->num_stationary.first,
                                   profile->num_stationary.second);
    EXPECT_LE(e.exceed_1st, 1e-7);
    EXPECT_LE(e.exceed_2nd, 1e-7);
    EXPECT_LE(e.exceed_3rd, 1e-7);
    t = traversal_time(*profile, s);
    reference = profile->a;
  }
  EXPECT_GT(t, 5.0);
  EXPECT_LT(t, 5.5 * 1.02);
}

}  // namespace
}  // namespace qarn::qarn3

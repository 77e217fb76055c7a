// TOPP3 LP and SOCP solves: the jerk-limited optimum of a straight line, the SOCP objective as the
// traversal time, acceptance of the status, the profile split, and the log lines of a small solve.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "qarn/profile_violation.hpp"
#include "qarn/qarn3/opt3/topp3_lp.hpp"
#include "qarn/qarn3/opt3/time_weights.hpp"
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
    // Within 1e-7 of each order's limit (v^2 = 1, A = 1, J = 2).
    EXPECT_LE(e.exceed_1st, 1e-7);
    EXPECT_LE(e.exceed_2nd, 1e-7);
    EXPECT_LE(e.exceed_3rd, 2e-7);
    t = traversal_time(*profile, s);
    reference = profile->a;
  }
  EXPECT_GT(t, 5.0);
  EXPECT_LT(t, 5.5 * 1.02);
}

// sum over the stations with a time term of W_j / sqrt(a_j).
double weighted_time(const Topp3Profile& p, const std::vector<double>& s) {
  const auto [k0, k1] = p.num_stationary;
  const std::vector<double> w = time_objective_weights(s, s.size(), k0, k1);
  const std::size_t lo = std::max<std::size_t>(k0, 1), hi = s.size() - 1 - std::max<std::size_t>(k1, 1);
  double t = 0.0;
  for (std::size_t j = lo; j <= hi; ++j) t += w[j] / std::sqrt(p.a[j]);
  return t;
}

// TOPP3 SOCP minimises sum_j W_j / sqrt(a_j) itself: its objective is that sum at its solution,
// and no feasible profile (the LP's on the same rows included) does better.
TEST(Topp3Socp, ObjectiveIsTheWeightedTimeAndNotAboveTheLp) {
  std::mt19937_64 rng(13);
  for (int trial = 0; trial < 3; ++trial) {
    const auto robot = test3::random_path(rng, 3, 200);
    const std::vector<double> s = *robot->constraints().s_values(0, 201);
    const std::vector<double> reference = test3::topp2_reference(*robot);
    const auto problem =
        Topp3ProblemBuilder{robot->constraints(), {.a_linearization = reference, .num_stationary_max = NumStationary{2, 3}}}
            .build_with_linearization();
    ASSERT_TRUE(problem.ok()) << problem.error().display();
    const auto socp = topp3_socp(*problem, {});
    const auto lp = topp3_lp(*problem, {});
    ASSERT_TRUE(socp.ok() && lp.ok());
    ASSERT_TRUE(socp->profile && lp->profile);
    EXPECT_EQ(socp->status, SolverStatus::Solved);
    const std::size_t m = s.size() - 2 - 3;
    EXPECT_EQ(socp->x.size(), 2 * s.size() + 2 * m);
    const double t_socp = weighted_time(*socp->profile, s);
    EXPECT_NEAR(socp->obj_val, t_socp, 1e-6 * t_socp);
    EXPECT_LE(t_socp, weighted_time(*lp->profile, s) * (1 + 1e-7));
    EXPECT_LE(traversal_time(*socp->profile, s), traversal_time(*lp->profile, s) * (1 + 1e-6));
    const Exceed3 e = exceed_topp3(robot->constraints(), 0, socp->profile->a, socp->profile->b, 2, 3);
    EXPECT_LE(std::max({e.exceed_1st, e.exceed_2nd, e.exceed_3rd}), 1e-7);
  }
}

}  // namespace
}  // namespace qarn::qarn3

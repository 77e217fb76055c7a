// TOPP3 LP against the same linear program posed in cvxpy from the row formulas and solved by
// Clarabel (tests/cpp/qarn3/third_order_reference.py). Skipped when cvxpy is not installed.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "qarn/qarn3/opt3/topp3_lp.hpp"
#include "qarn3/cvxpy_reference.hpp"
#include "qarn3/topp3_test_support.hpp"

namespace qarn::qarn3 {
namespace {

// Thirty stations of a random two-axis path, rest to rest with two stationary intervals per end,
// linearized around the second-order optimum.
TEST(Topp3LpReference, SameObjectiveAndProfileAsCvxpy) {
  std::mt19937_64 rng(7);
  const test2::SinePath path = test2::sine_path(rng, 2, test3::uneven_grid(30));
  const std::vector<test3::Limits> limits{{1.5, 4.0, 30.0}, {0.8, 3.0, 20.0}};
  const auto robot = test3::robot_on_path(path.s, path.q, path.dq, path.ddq, path.dddq, limits);
  const std::vector<double> reference = test3::topp2_reference(*robot);
  const auto problem =
      Topp3ProblemBuilder{robot->constraints(), {.a_linearization = reference, .num_stationary_max = NumStationary{2, 2}}}
          .build_with_linearization();
  ASSERT_TRUE(problem.ok()) << problem.error().display();
  ASSERT_EQ(problem->num_stationary, (NumStationary{2, 2}));
  const auto result = topp3_lp(*problem, {});
  ASSERT_TRUE(result.ok() && result->profile);
  EXPECT_EQ(result->status, SolverStatus::Solved);

  std::ostringstream json;
  json << '{';
  test3::write_problem_fields(json, path, limits, reference, 2, 2);
  json << '}';
  const auto expected = test3::cvxpy_reference(json.str());
  if (!expected) GTEST_SKIP() << "cvxpy with Clarabel is not installed";
  ASSERT_EQ(expected->size(), path.s.size() + 1);

  EXPECT_NEAR(result->obj_val, (*expected)[0], 1e-7 * std::abs((*expected)[0]));
  const std::vector<double>& a = result->profile->a;
  double a_max = 0.0;
  for (const double v : a) a_max = std::max(a_max, v);
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], (*expected)[i + 1], 1e-6 * a_max) << "station " << i;
}

}  // namespace
}  // namespace qarn::qarn3

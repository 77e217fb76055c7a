// QARN3 against the same program posed in cvxpy from the objective formulas and solved by Clarabel
// (tests/cpp/qarn3/third_order_reference.py): a point mass (torque = mass ddq a + mass dq b +
// gravity per axis) with torque limits and the four objectives together. Skipped without cvxpy.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <sstream>
#include <vector>

#include "conic/conic_test_support.hpp"
#include "qarn/profile_violation.hpp"
#include "qarn/qarn3/opt3/qarn3_objective_terms.hpp"
#include "qarn/qarn3/opt3/qarn3_socp.hpp"
#include "qarn3/cvxpy_reference.hpp"
#include "qarn3/topp3_test_support.hpp"

namespace qarn::qarn3 {
namespace {

TEST(Qarn3Reference, SameObjectiveAndTermsAsCvxpy) {
  constexpr std::size_t kN = 25;
  std::mt19937_64 rng(11);
  const test2::SinePath path = test2::sine_path(rng, 2, test3::uneven_grid(kN));
  const std::vector<test3::Limits> limits{{1.5, 4.0, 30.0}, {0.8, 3.0, 20.0}};
  const std::vector<double> mass{1.5, 0.8}, gravity{2.0, -1.0}, torque_limit{7.0, 3.5};
  const auto robot = test3::robot_on_path(path.s, path.q, path.dq, path.ddq, path.dddq, limits,
                                          std::make_shared<conic_test::LinearDynamics>(mass, gravity));
  const Eigen::MatrixXd upper = Eigen::Map<const Eigen::VectorXd>(torque_limit.data(), 2).replicate(1, kN);
  ASSERT_TRUE(robot->add_torque_limits(upper, -upper, 0).ok());
  const std::vector<double> reference = test3::topp2_reference(*robot);

  std::vector<double> alpha(kN), beta(kN);
  for (std::size_t i = 0; i < kN; ++i) {
    alpha[i] = 0.2 + 0.1 * std::sin(static_cast<double>(i));
    beta[i] = 0.05 * std::cos(0.5 * static_cast<double>(i));
  }
  const std::vector<double> thermal_normalize{1.0, 0.5}, variation_normalize{1.0, 2.0};
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::Time, 1.0, {}, {}},
                                              {ObjectiveKind::ThermalEnergy, 0.05, thermal_normalize, {}},
                                              {ObjectiveKind::TotalVariationTorque, 0.02, variation_normalize, {}},
                                              {ObjectiveKind::Linear, 0.3, alpha, beta}};
  const auto problem =
      Qarn3ProblemBuilder{*robot, objectives, {.a_linearization = reference, .num_stationary_max = NumStationary{2, 2}}}
          .build_with_linearization();
  ASSERT_TRUE(problem.ok()) << problem.error().display();
  // Both sides solve well below the 1e-6 compared: the unweighted terms are only as accurate as the
  // solver's gap and feasibility tolerances.
  ClarabelOptions tight;
  tight.settings.tol_gap_abs = tight.settings.tol_gap_rel = tight.settings.tol_feas = 1e-9;
  const auto result = qarn3_socp(*problem, tight);
  ASSERT_TRUE(result.ok()) << result.error().display();
  EXPECT_EQ(result->status, SolverStatus::Solved);
  ASSERT_TRUE(result->profile);
  const Topp3Profile& profile = *result->profile;
  const qarn2::ObjectiveTerms terms = qarn3_objective_terms(*problem, profile);

  // Every limit holds: exceed_topp3 to 1e-7 of each order's scale, torque at every station.
  const Exceed3 e = exceed_topp3(robot->constraints(), 0, profile.a, profile.b, 2, 2);
  EXPECT_LE(e.exceed_1st, 1e-7);
  EXPECT_LE(e.exceed_2nd, 1e-7 * 7.0);
  EXPECT_LE(e.exceed_3rd, 1e-7 * 30.0);
  const auto tau = robot->torque_limit_rows(profile.a, profile.b, 0);
  ASSERT_TRUE(tau.ok());
  for (Eigen::Index d = 0; d < 2; ++d) EXPECT_LE(tau->row(d).cwiseAbs().maxCoeff(), torque_limit[d] * (1 + 1e-7));

  std::ostringstream json;
  json << "{\"mode\": \"qarn3\", ";
  test3::write_problem_fields(json, path, limits, reference, 2, 2);
  json << ", \"mass\": [1.5, 0.8], \"gravity\": [2, -1], \"torque\": [7, 3.5], \"objectives\": ["
       << "{\"kind\": \"time\", \"weight\": 1}, "
       << "{\"kind\": \"thermal_energy\", \"weight\": 0.05, \"normalize\": [1, 0.5]}, "
       << "{\"kind\": \"total_variation_torque\", \"weight\": 0.02, \"normalize\": [1, 2]}, "
       << "{\"kind\": \"linear\", \"weight\": 0.3, \"alpha\": ";
  test3::write_list(json, alpha.data(), alpha.size());
  json << ", \"beta\": ";
  test3::write_list(json, beta.data(), beta.size());
  json << "}]}";
  const auto expected = test3::cvxpy_reference(json.str());
  if (!expected) GTEST_SKIP() << "cvxpy with Clarabel is not installed";
  ASSERT_EQ(expected->size(), 1 + kN + objectives.size());

  const double value = (*expected)[0];
  EXPECT_NEAR(result->obj_val, value, 1e-6 * std::abs(value));
  EXPECT_NEAR(terms.objective_value, value, 1e-6 * std::abs(value));
  for (std::size_t k = 0; k < objectives.size(); ++k) {
    const double want = (*expected)[1 + kN + k];
    EXPECT_NEAR(terms.objective_terms[k], want, 1e-6 * std::abs(want)) << "objective " << k;
  }
  const double a_max = *std::max_element(profile.a.begin(), profile.a.end());
  for (std::size_t i = 0; i < kN; ++i) EXPECT_NEAR(profile.a[i], (*expected)[1 + i], 1e-5 * a_max) << "station " << i;
}

}  // namespace
}  // namespace qarn::qarn3

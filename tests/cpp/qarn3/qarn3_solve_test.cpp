// QARN3 solves: Time alone is TOPP3 SOCP, the profile holds in any units, the variable layout of
// the edge cases, where the checks stop the log, and the objective terms on broken input.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "conic/conic_test_support.hpp"
#include "qarn/qarn3/opt3/qarn3_objective_terms.hpp"
#include "qarn/qarn3/opt3/qarn3_socp.hpp"
#include "qarn/qarn3/opt3/topp3_socp.hpp"
#include "qarn2/topp2_test_support.hpp"
#include "qarn3/topp3_test_support.hpp"

namespace qarn::qarn3 {
namespace {

const std::vector<ObjectiveView> kTime{{ObjectiveKind::Time, 1.0, {}, {}}};

struct Path {
  test2::SinePath path;
  std::vector<test3::Limits> limits{{1.2, 3.0, 25.0}, {0.9, 5.0, 40.0}, {2.0, 2.5, 15.0}};
  explicit Path(std::size_t n) {
    std::mt19937_64 rng(23);
    path = test2::sine_path(rng, 3, test3::uneven_grid(n));
  }
  std::unique_ptr<Robot> robot(double k = 1.0, double c = 1.0,
                               std::shared_ptr<InverseDynamics> provider = nullptr) const {
    std::vector<test3::Limits> scaled;
    for (const test3::Limits& l : limits) scaled.push_back({l.v * k * c, l.acc * k * k * c, l.jerk * k * k * k * c});
    return test3::robot_on_path(path.s, path.q * c, path.dq * c, path.ddq * c, path.dddq * c, scaled,
                                std::move(provider));
  }
};

Qarn3Problem build(Robot& robot, std::span<const ObjectiveView> objectives, std::span<const double> reference,
                   NumStationary k = {1, 1}, double floor = 1e-10) {
  const auto p = Qarn3ProblemBuilder{robot, objectives,
                                     {.a_linearization = reference, .num_stationary_max = k,
                                      .a_linearization_floor = floor}}
                     .build_with_linearization();
  EXPECT_TRUE(p.ok()) << (p ? "" : p.error().display());
  return *p;
}

TEST(Qarn3Socp, TimeAloneIsTopp3Socp) {
  const Path path(80);
  const auto robot = path.robot();
  const std::vector<double> reference = test3::topp2_reference(*robot);
  const Qarn3Problem qarn = build(*robot, kTime, reference, {2, 1});
  const auto qarn3 = qarn3_socp(qarn, {});
  const auto socp = topp3_socp(qarn, {});
  ASSERT_TRUE(qarn3.ok() && socp.ok());
  ASSERT_TRUE(qarn3->profile && socp->profile);
  EXPECT_NEAR(qarn3->obj_val, socp->obj_val, 1e-6 * socp->obj_val);
  EXPECT_NEAR(qarn3_objective_terms(qarn, *qarn3->profile).objective_value, socp->obj_val, 1e-6 * socp->obj_val);
}

TEST(Qarn3Socp, TimeAndSpaceScalingGiveTheScaledProfile) {
  const Path path(61);
  const auto unit_robot = path.robot();
  const std::vector<double> reference = test3::topp2_reference(*unit_robot);
  const auto unit = qarn3_socp(build(*unit_robot, kTime, reference), {});
  ASSERT_TRUE(unit.ok() && unit->profile);
  const std::vector<double>& a0 = unit->profile->a;
  const double a_max = *std::max_element(a0.begin(), a0.end());
  for (const auto& [k, c] : {std::pair{1e-3, 1.0}, std::pair{1e3, 1.0}, std::pair{1.0, 1e-3}, std::pair{1.0, 1e3}}) {
    const double f = k * k;
    const auto robot = path.robot(k, c);
    std::vector<double> scaled_reference = reference;
    for (double& a : scaled_reference) a *= f;
    const auto result = qarn3_socp(build(*robot, kTime, scaled_reference, {1, 1}, 1e-10 * f), {});
    ASSERT_TRUE(result.ok()) << result.error().display();
    EXPECT_EQ(result->status, SolverStatus::Solved) << k << " " << c;
    ASSERT_TRUE(result->profile);
    double worst = 0.0;
    for (std::size_t i = 0; i < a0.size(); ++i) worst = std::max(worst, std::abs(result->profile->a[i] / f - a0[i]));
    EXPECT_LE(worst, 1e-6 * a_max) << k << " " << c;
  }
}

TEST(Qarn3Socp, VariableCountsOfTheEdgeCases) {
  const Path path(12);
  const auto robot = path.robot();
  const std::vector<double> reference = test3::topp2_reference(*robot);
  const std::size_t n = 12;
  // Only Linear: no sqrt-a variables, x holds a and b.
  const std::vector<double> alpha(n, 1.0), beta(n, 0.0);
  const std::vector<ObjectiveView> linear{{ObjectiveKind::Linear, 1.0, alpha, beta}};
  const auto only_linear = qarn3_socp(build(*robot, linear, reference), {});
  ASSERT_TRUE(only_linear.ok());
  EXPECT_EQ(only_linear->x.size(), 2 * n);
  // Time without stationary intervals: n - 2 square roots and n - 2 reciprocals.
  const auto moving = qarn3_socp(build(*robot, kTime, reference, {0, 0}), {});
  ASSERT_TRUE(moving.ok());
  EXPECT_EQ(moving->x.size(), 2 * n + 2 * (n - 2));
}

TEST(Qarn3Socp, ObjectiveChecksStopAfterTheStartLine) {
  const Path path(12);
  const auto robot = path.robot();
  const std::vector<double> reference = test3::topp2_reference(*robot);
  const Qarn3Problem valid = build(*robot, kTime, reference);
  const std::vector<ObjectiveView> negative{{ObjectiveKind::Time, 1.0, {}, {}}, {ObjectiveKind::Time, -1.0, {}, {}}};
  const Qarn3Problem p{valid, valid.robot, negative};
  testing::internal::CaptureStdout();
  const auto result = qarn3_socp(p, ClarabelOptionsBuilder().verbosity(Verbosity::Trace).build());
  const std::string text = testing::internal::GetCapturedStdout();
  EXPECT_EQ(test2::error_of(result),
            "qarn3_socp reported an invalid input: objectives[1]::Time(weight=-1) must be finite and non-negative");
  EXPECT_EQ(text.substr(text.find('\n')), "\n\nqarn3_socp started: 0 <= idx_s <= 11, objectives = 2, s_len = 12.\n");
}

// An inverse dynamics that fails after a number of successful calls.
class FailingDynamics final : public InverseDynamics {
 public:
  explicit FailingDynamics(int calls) : left_(calls) {}
  std::optional<std::string> call(std::span<const double>, std::span<const double>, std::span<const double> qdd,
                                  std::span<double> tau) override {
    if (left_-- <= 0) return "the model is down";
    for (std::size_t i = 0; i < tau.size(); ++i) tau[i] = qdd[i];
    return std::nullopt;
  }
  void reset(int calls) { left_ = calls; }

 private:
  int left_;
};

TEST(Qarn3ObjectiveTerms, BrokenInputGivesInfinityNeverNaN) {
  const Path path(12);
  auto dynamics = std::make_shared<FailingDynamics>(1 << 30);
  const auto robot = path.robot(1.0, 1.0, dynamics);
  const std::vector<double> reference = test3::topp2_reference(*robot);
  const std::vector<double> normalize(3, 1.0);
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::Time, 1.0, {}, {}},
                                              {ObjectiveKind::ThermalEnergy, 1.0, normalize, {}},
                                              {ObjectiveKind::TotalVariationTorque, 1.0, normalize, {}}};
  const Qarn3Problem p = build(*robot, objectives, reference);
  const auto solved = qarn3_socp(p, {});
  ASSERT_TRUE(solved.ok() && solved->profile);
  const Topp3Profile good = *solved->profile;
  const qarn2::ObjectiveTerms ok = qarn3_objective_terms(p, good);
  EXPECT_TRUE(std::isfinite(ok.objective_value));

  const auto failed = [&](const qarn2::ObjectiveTerms& t) {
    return t.objective_value == std::numeric_limits<double>::infinity() &&
           t.objective_terms == std::vector<double>(3, 0.0);
  };
  Topp3Profile nan_a = good, nan_b = good, short_a = good, negative_a = good;
  nan_a.a[4] = std::numeric_limits<double>::quiet_NaN();
  nan_b.b[4] = std::numeric_limits<double>::quiet_NaN();
  short_a.a.pop_back();
  EXPECT_TRUE(failed(qarn3_objective_terms(p, nan_a)));
  EXPECT_TRUE(failed(qarn3_objective_terms(p, nan_b)));
  EXPECT_TRUE(failed(qarn3_objective_terms(p, short_a)));
  // A negative a has no root; the floor 1e-16 stands in for it, and nothing becomes NaN.
  negative_a.a[4] = -1e-9;
  const qarn2::ObjectiveTerms floored = qarn3_objective_terms(p, negative_a);
  EXPECT_FALSE(std::isnan(floored.objective_value));
  EXPECT_GT(floored.objective_terms[0], 1e14);
  // The inverse dynamics failing while the torques are evaluated.
  dynamics->reset(5);
  EXPECT_TRUE(failed(qarn3_objective_terms(p, good)));
}

}  // namespace
}  // namespace qarn::qarn3

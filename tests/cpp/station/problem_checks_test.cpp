// Checks of the second-order problem records and of the QARN objective lists: the first failure
// in a fixed order, with its exact message.
#include "qarn/problem2.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "station_test_support.hpp"

namespace qarn {
namespace {

using test::error_text;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const std::string kTopp = "Topp2ProblemBuilder reported ";

TEST(Topp2ProblemChecks, IndexSpanAndWindow) {
  const Constraints c = test::store_with_stations(1, 16, test::ramp(5));
  EXPECT_EQ(error_text(Topp2ProblemBuilder::build({c, 1, 2, 0.0, 0.0})),
            kTopp + "an invalid input: The final index 2 must be at least two positions after the start index 1 in "
                    "Topp2Problem.");
  EXPECT_TRUE(Topp2ProblemBuilder::build({c, 1, 3, 0.0, 0.0}).ok());
  EXPECT_TRUE(Topp2ProblemBuilder::build({c, 0, 4, 0.0, 0.0}).ok());
  const Status beyond = Topp2ProblemBuilder::build({c, 2, 5, 0.0, 0.0});
  ASSERT_FALSE(beyond.ok());
  EXPECT_EQ(beyond.error().kind(), CoreError::Kind::Constraint);
  EXPECT_EQ(error_text(beyond),
            "Some error occurred in the Constraint struct: Requested station interval is out of bounds: idx_s=2, len=4.");
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  EXPECT_TRUE(test::constraint_error(Topp2ProblemBuilder::build({c, 0, kMax, 0.0, 0.0}))->is<ConstraintError::OutOfSBounds>());
  EXPECT_EQ(Topp2ProblemBuilder::build({c, kMax - 1, kMax, 0.0, 0.0}).error().kind(), CoreError::Kind::InvalidInput);
}

TEST(Topp2ProblemChecks, BoundaryValuesInOrder) {
  const Constraints c = test::store_with_stations(1, 16, test::ramp(5));
  EXPECT_TRUE(Topp2ProblemBuilder::build({c, 0, 4, -0.0, 0.0}).ok());
  const Status tiny = Topp2ProblemBuilder::build({c, 0, 4, -1e-300, 0.0});
  EXPECT_EQ(tiny.error().kind(), CoreError::Kind::InvalidOptions);
  EXPECT_EQ(error_text(tiny),
            kTopp + "an invalid options: a_start (a_boundary.0) = -0." + std::string(299, '0') +
                "1 must be strictly non-negative");
  EXPECT_EQ(error_text(Topp2ProblemBuilder::build({c, 0, 4, kNaN, kInf})),
            kTopp + "an invalid options: a_start (a_boundary.0) = NaN must not be NaN");
  EXPECT_EQ(error_text(Topp2ProblemBuilder::build({c, 0, 4, 1.5, -kInf})),
            kTopp + "an invalid options: a_final (a_boundary.1) = -inf must not be infinite");
  EXPECT_EQ(error_text(Topp2ProblemBuilder::build({c, 0, 4, 0.0, -2.0})),
            kTopp + "an invalid options: a_final (a_boundary.1) = -2 must be strictly non-negative");
  // The window comes before the boundary values.
  EXPECT_EQ(Topp2ProblemBuilder::build({c, 0, 9, kNaN, 0.0}).error().kind(), CoreError::Kind::Constraint);
}

TEST(ObjectiveRecords, ViewsMapKindsAndBorrowArrays) {
  const std::vector<ObjectiveSpec> specs{
      {ObjectiveSpec::Time{1.5}},
      {ObjectiveSpec::Linear{{1.0, 2.0}, {3.0}, 0.5}},
      {ObjectiveSpec::ThermalEnergy{{1.0, 1.0}, 2.0}},
      {ObjectiveSpec::TotalVariationTorque{{0.5, 0.25}, 3.0}},
  };
  const std::vector<ObjectiveView> views = objective_views(specs);
  ASSERT_EQ(views.size(), 4u);
  EXPECT_EQ(static_cast<std::size_t>(views[0].kind), 0u);
  EXPECT_EQ(static_cast<std::size_t>(views[1].kind), 3u);
  EXPECT_EQ(static_cast<std::size_t>(views[2].kind), 1u);
  EXPECT_EQ(static_cast<std::size_t>(views[3].kind), 2u);
  EXPECT_EQ(views[0].weight, 1.5);
  EXPECT_EQ(views[1].alpha().data(), std::get<ObjectiveSpec::Linear>(specs[1].value).alpha.data());
  EXPECT_EQ(views[1].beta().size(), 1u);
  EXPECT_EQ(views[3].normalize()[1], 0.25);
  EXPECT_TRUE(views[0].first.empty());
}

class ObjectiveChecks : public ::testing::Test {
 protected:
  Status qarn2(const std::vector<ObjectiveSpec>& specs, std::size_t s_len = 5) {
    views_ = objective_views(specs);
    return Qarn2ProblemBuilder::validate_objectives(views_, 2, s_len);
  }
  std::vector<ObjectiveView> views_;
};

TEST_F(ObjectiveChecks, MessagesOfEachKind) {
  const std::string p = "Qarn2ProblemBuilder reported an invalid input: ";
  EXPECT_EQ(error_text(qarn2({})), p + "objectives must not be empty");
  EXPECT_EQ(error_text(qarn2({{ObjectiveSpec::Time{-1.0}}})),
            p + "objectives[0]::Time(weight=-1) must be finite and non-negative");
  EXPECT_EQ(error_text(qarn2({{ObjectiveSpec::Time{1.0}}, {ObjectiveSpec::ThermalEnergy{{1.0, 1.0}, kInf}}})),
            p + "objectives[1] weight=inf must be finite and non-negative");
  EXPECT_EQ(error_text(qarn2({{ObjectiveSpec::TotalVariationTorque{{1.0}, 1.0}}})),
            p + "objectives[0] normalize.len()=1 must equal robot dim=2");
  EXPECT_EQ(error_text(qarn2({{ObjectiveSpec::ThermalEnergy{{1.0, kNaN}, 1.0}}})),
            p + "objectives[0] normalize[1]=NaN must be finite and non-negative");
  EXPECT_EQ(error_text(qarn2({{ObjectiveSpec::Linear{{}, {}, kNaN}}})),
            p + "objectives[0]::Linear(weight=NaN) must be finite and non-negative");
  EXPECT_EQ(error_text(qarn2({{ObjectiveSpec::Linear{std::vector<double>(5), std::vector<double>(5), 1.0}}})),
            p + "objectives[0]::Linear length mismatch: alpha.len()=5, beta.len()=5, expected alpha.len()=5, "
                "beta.len()=4");
}

TEST_F(ObjectiveChecks, FirstFailureWinsAndZeroWeightsPass) {
  const Status r = qarn2({{ObjectiveSpec::Time{0.0}}, {ObjectiveSpec::Time{-0.5}}, {ObjectiveSpec::Time{kNaN}}});
  EXPECT_EQ(error_text(r), "Qarn2ProblemBuilder reported an invalid input: objectives[1]::Time(weight=-0.5) must be "
                           "finite and non-negative");
  EXPECT_TRUE(qarn2({{ObjectiveSpec::Time{-0.0}},
                     {ObjectiveSpec::Linear{std::vector<double>(5), std::vector<double>(4), 0.0}},
                     {ObjectiveSpec::ThermalEnergy{{0.0, 2.0}, 1.0}}})
                  .ok());
}

TEST_F(ObjectiveChecks, ThirdOrderLinearTermsHaveOneBetaPerStation) {
  const std::vector<ObjectiveSpec> specs{{ObjectiveSpec::Linear{std::vector<double>(5), std::vector<double>(4), 1.0}}};
  views_ = objective_views(specs);
  EXPECT_EQ(error_text(validate_qarn3_objectives(views_, 2, 5)),
            "Qarn3Problem reported an invalid input: objectives[0]::Linear length mismatch: alpha.len()=5, "
            "beta.len()=4, expected alpha.len()=5, beta.len()=5");
  const std::vector<ObjectiveSpec> ok{{ObjectiveSpec::Linear{std::vector<double>(5), std::vector<double>(5), 1.0}}};
  views_ = objective_views(ok);
  EXPECT_TRUE(validate_qarn3_objectives(views_, 2, 5).ok());
  EXPECT_EQ(validate_qarn3_objectives({}, 2, 5).error().component(), "Qarn3Problem");
}

TEST(Qarn2ProblemChecks, WindowBoundaryThenObjectives) {
  Robot robot(2, 16);
  ASSERT_TRUE(robot.constraints().append_s(test::ramp(5)).ok());
  const std::vector<ObjectiveSpec> specs{{ObjectiveSpec::Linear{std::vector<double>(4), std::vector<double>(3), 1.0}}};
  const std::vector<ObjectiveView> views = objective_views(specs);
  // Four stations 1..4: alpha 4, beta 3.
  EXPECT_TRUE(Qarn2ProblemBuilder::build({robot, views, 1, 4, 0.0, 0.0}).ok());
  EXPECT_EQ(error_text(Qarn2ProblemBuilder::build({robot, views, 0, 4, 0.0, 0.0})),
            "Qarn2ProblemBuilder reported an invalid input: objectives[0]::Linear length mismatch: alpha.len()=4, "
            "beta.len()=3, expected alpha.len()=5, beta.len()=4");
  EXPECT_EQ(error_text(Qarn2ProblemBuilder::build({robot, views, 3, 4, 0.0, 0.0})),
            "Qarn2ProblemBuilder reported an invalid input: The final index 4 must be at least two positions after the "
            "start index 3 in Topp2Problem.");
  EXPECT_EQ(error_text(Qarn2ProblemBuilder::build({robot, views, 1, 4, kNaN, 0.0})),
            "Qarn2ProblemBuilder reported an invalid options: a_start (a_boundary.0) = NaN must not be NaN");
  EXPECT_EQ(Qarn2ProblemBuilder::build({robot, {}, 1, 5, 0.0, 0.0}).error().kind(), CoreError::Kind::Constraint);
}

}  // namespace
}  // namespace qarn

// Display texts of the core's errors: these are the messages users read.
#include "diag/error.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "diag/result.hpp"

namespace qarn {
namespace {

TEST(CoreErrorDisplay, ComponentKinds) {
  EXPECT_EQ(CoreError::invalid_input("t_to_s_topp2", "`dt` = 0 must be positive").display(),
            "t_to_s_topp2 reported an invalid input: `dt` = 0 must be positive");
  EXPECT_EQ(CoreError::infeasible("reach_set2", "m").display(), "reach_set2 reported an infeasibility: m");
  EXPECT_EQ(CoreError::unbounded("reach_set2", "m").display(), "reach_set2 reported an unboundedness: m");
  EXPECT_EQ(CoreError::invalid_options("ReachSet2OptionsBuilder", "m").display(),
            "ReachSet2OptionsBuilder reported an invalid options: m");
  EXPECT_EQ(CoreError::clarabel("qarn2_socp", "bad dims").display(),
            "qarn2_socp reported an error in Clarabel solver: bad dims");
  EXPECT_EQ(CoreError::clarabel_status("topp3_lp", SolverStatus::MaxIterations).display(),
            "topp3_lp reported a failure in Clarabel solver with status MaxIterations");
  EXPECT_EQ(CoreError::other("qarn3", "m").display(), "qarn3 reported an error: m");
  EXPECT_EQ(CoreError::io("broken pipe").display(), "I/O error: broken pipe");
}

TEST(CoreErrorDisplay, KindsAreNumberedInOrder) {
  EXPECT_EQ(static_cast<int>(CoreError::io("").kind()), 0);
  EXPECT_EQ(static_cast<int>(CoreError(ConstraintError::NoDynamic{}).kind()), 1);
  EXPECT_EQ(static_cast<int>(CoreError(PathError::DimensionMismatch{}).kind()), 2);
  EXPECT_EQ(static_cast<int>(CoreError(DynamicsError{"x"}).kind()), 3);
  EXPECT_EQ(static_cast<int>(CoreError::other("c", "m").kind()), 10);
}

TEST(CoreErrorDisplay, WrappedErrorsFollowThePrefix) {
  EXPECT_EQ(CoreError(ConstraintError::InvalidSignedBounds{"axial_velocity"}).display(),
            "Some error occurred in the Constraint struct: `axial_velocity` requires strict signed limits at "
            "every station: upper bound > 0 and lower bound < 0.");
  EXPECT_EQ(CoreError(PathError::InvalidSRange{1.0, 0.5}).display(),
            "Some error occurred in the Path struct: invalid s range: [1, 0.5]");
  EXPECT_EQ(CoreError(DynamicsError{"python inverse_dynamics callback failed"}).display(),
            "Robot dynamics error: python inverse_dynamics callback failed");
}

TEST(ConstraintErrorDisplay, EveryVariant) {
  auto text = [](ConstraintError e) { return e.display(); };
  EXPECT_EQ(text(ConstraintError::NonIncreasingS{3}),
            "`s` must be strictly increasing; first violation at local index 3.");
  EXPECT_EQ(text(ConstraintError::NoMatchDimensions{}), "Input dimensions do not match the expected shape.");
  EXPECT_EQ(text(ConstraintError::NoMatchOrder{}), "Input order does not satisfy the expected contract.");
  EXPECT_EQ(text(ConstraintError::OutOfSBounds{3, 5}),
            "Requested station interval is out of bounds: idx_s=3, len=5.");
  EXPECT_EQ(text(ConstraintError::NonPositiveA{}),
            "Input `a` violates positivity requirements (must be nonnegative, and strictly positive where "
            "required).");
  EXPECT_EQ(text(ConstraintError::NonPositiveLinearizationFloor{}), "Linearization floor must be strictly positive.");
  EXPECT_EQ(text(ConstraintError::NoGivenQInfo{}),
            "Required derivative data (`q`, `dq`, `ddq`, `dddq`) is not fully available in the requested "
            "interval.");
  EXPECT_EQ(text(ConstraintError::LinearJerkNotAvailable{7, 2, 5}),
            "Linearized jerk constraints are unavailable at idx_s=7; valid range is [2, 5).");
  EXPECT_EQ(text(ConstraintError::NoDynamic{}), "Required dynamic-model information is not available.");
  EXPECT_EQ(text(ConstraintError::InfeasibleReference{}), "Reference profile is infeasible under current constraints.");
  EXPECT_EQ(text(ConstraintError::EmptyInterval{4, 4}), "Requested interval is empty: 4 <= idx_s < 4.");
  EXPECT_EQ(text(ConstraintError::NonFiniteDerivative{"dq", 12, 1, std::numeric_limits<double>::quiet_NaN()}),
            "`dq` at idx_s=12, axis 1 is NaN; path derivatives must be finite.");
}

TEST(ConstraintErrorDisplay, DebugForm) {
  EXPECT_EQ(ConstraintError(ConstraintError::OutOfSBounds{3, 5}).debug(), "OutOfSBounds { idx_s: 3, len: 5 }");
  EXPECT_EQ(ConstraintError(ConstraintError::LinearJerkNotAvailable{7, 2, 5}).debug(),
            "LinearJerkNotAvailable { idx_s: 7, valid_range: 2..5 }");
  EXPECT_EQ(ConstraintError(ConstraintError::InvalidSignedBounds{"axial_jerk"}).debug(),
            "InvalidSignedBounds { bound_name: \"axial_jerk\" }");
  EXPECT_EQ(ConstraintError(ConstraintError::NoDynamic{}).debug(), "NoDynamic");
  EXPECT_EQ(ConstraintError(ConstraintError::NonFiniteDerivative{"ddq", 3, 0, -std::numeric_limits<double>::infinity()})
                .debug(),
            "NonFiniteDerivative { name: \"ddq\", idx_s: 3, axis: 0, value: -inf }");
}

TEST(PathErrorDisplay, EveryVariant) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  constexpr double inf = std::numeric_limits<double>::infinity();
  auto text = [](PathError e) { return e.display(); };
  EXPECT_EQ(text(PathError::SmoothingFailed{"no fit"}), "path smoothing failed: no fit");
  EXPECT_EQ(text(PathError::InvalidDimension{0}), "invalid dimension: 0");
  EXPECT_EQ(text(PathError::InvalidSRange{nan, inf}), "invalid s range: [NaN, inf]");
  EXPECT_EQ(text(PathError::InvalidSplineOrder{2}), "invalid spline order: 2, expected >= 3");
  EXPECT_EQ(text(PathError::DimensionMismatch{}), "dimension mismatch");
  EXPECT_EQ(text(PathError::UnsupportedDerivativeOrder{3, 2}), "unsupported derivative order: requested 3, available 2");
  EXPECT_EQ(text(PathError::EvaluatorError{"boom"}), "path evaluator error: boom");
  EXPECT_EQ(text(PathError::NotEnoughWaypoints{1}), "not enough waypoints: 1, expected >= 2");
  EXPECT_EQ(text(PathError::SOutOfRange{0.0, 1.0, 3, -inf}), "s out of range [0, 1] at index 3: -inf");
  EXPECT_EQ(text(PathError::UnsupportedBoundary{7}), "unsupported boundary for order=7");
  EXPECT_EQ(text(PathError::SingularLinearSystem{}), "singular linear system");
}

Result<int> half(int v) {
  if (v % 2) return CoreError::invalid_input("half", fmt::format("{} is odd", v));
  return v / 2;
}

Result<int> quarter(int v) {
  auto h = half(v);
  if (!h) return std::move(h).error();
  return half(*h);
}

Status check_even(int v) {
  QARN_TRY(half(v));
  return {};
}

TEST(ResultType, CarriesValueOrErrorAndPropagates) {
  EXPECT_EQ(*quarter(8), 2);
  EXPECT_EQ(quarter(6).error().display(), "half reported an invalid input: 3 is odd");
  EXPECT_TRUE(check_even(2).ok());
  EXPECT_EQ(check_even(3).error().kind(), CoreError::Kind::InvalidInput);
  Result<int> from_constraint = ConstraintError::NoDynamic{};
  EXPECT_EQ(from_constraint.error().kind(), CoreError::Kind::Constraint);
}

}  // namespace
}  // namespace qarn

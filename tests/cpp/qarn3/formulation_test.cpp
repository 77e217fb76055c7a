// Third-order problem builders: the checks in their order with their texts, the effective
// stationary counts, the linearization they leave in the store, and the stationary end shapes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "qarn/qarn3/formulation.hpp"
#include "station/station_test_support.hpp"

namespace qarn::qarn3 {
namespace {

using test::column;
using test::error_text;
using test::kInf;
using test::kNaN;
using test::ramp;

constexpr const char* kTopp3 = "Topp3ProblemBuilder reported an invalid input: ";
constexpr const char* kQarn3 = "Qarn3ProblemBuilder reported an invalid input: ";

// Twelve stations (ids 0..11, s = 0, 0.5, ..) with one jerk row each: jerk_a 1, jerk_d 2, jerk_max 8.
struct Store {
  Robot robot{1, 16};
  std::vector<double> a_ref = std::vector<double>(12, 4.0);

  Store() {
    Constraints& c = robot.constraints();
    EXPECT_TRUE(c.append_s(ramp(12, 0.0, 0.5)).ok());
    const Eigen::MatrixXd ones = Eigen::MatrixXd::Constant(1, 12, 1.0);
    EXPECT_TRUE(c.add_constraint_3rd(ones, 0.5 * ones, 2.0 * ones, 2.0 * ones, 8.0 * ones, 0, false).ok());
  }
  Problem3Inputs inputs() const { return {.a_linearization = a_ref}; }
};

TEST(Topp3ProblemBuilder, ChecksInOrderWithTheirTexts) {
  const std::vector<double> three(3, 1.0), two(2, 1.0), empty;
  const std::vector<double> b_long(13, 0.0);
  const std::vector<double> negative{1.0, -1e-300, 1.0, 1.0, 1.0};
  struct Case {
    const char* what;
    Problem3Inputs in;
    std::string text;
  };
  Store st;
  const std::vector<double>& twelve = st.a_ref;
  const std::vector<Case> cases{
      {"NaN initial b reported before a negative initial a",
       {.a_linearization = twelve, .a_boundary = {-1.0, 0.0}, .b_boundary = {kNaN, 0.0}},
       std::string(kTopp3) + "initial b = NaN must not be NaN"},
      {"infinite terminal a before any sign rule",
       {.a_linearization = twelve, .a_boundary = {-1.0, kInf}},
       std::string(kTopp3) + "terminal a = inf must not be infinite"},
      {"negative initial a",
       {.a_linearization = twelve, .a_boundary = {-0.5, 0.0}},
       std::string(kTopp3) + "The initial a = -0.5 must be non-negative."},
      {"negative terminal a",
       {.a_linearization = twelve, .a_boundary = {0.0, -2.0}},
       std::string(kTopp3) + "The terminal a = -2 must be non-negative."},
      {"initial b pointing out of the path",
       {.a_linearization = twelve, .b_boundary = {-0.25, 0.0}},
       std::string(kTopp3) + "The initial a = 0 is zero, so the initial b = -0.25 must be non-negative."},
      {"terminal b pointing out of the path",
       {.a_linearization = twelve, .b_boundary = {0.0, 0.1}},
       std::string(kTopp3) + "The terminal a = 0 is zero, so the terminal b = 0.1 must be non-positive."},
      {"empty reference", {.a_linearization = empty}, std::string(kTopp3) + "a_linearization cannot be empty"},
      {"two stations",
       {.a_linearization = two, .idx_s_start = 5},
       std::string(kTopp3) + "The final index 6 must be at least two positions after the start index 5 in Topp2Problem."},
      {"floor zero",
       {.a_linearization = twelve, .a_linearization_floor = 0.0},
       std::string(kTopp3) + "a_linearization_floor must be positive, got 0"},
      {"three stations never have enough intervals",
       {.a_linearization = three, .num_stationary_max = NumStationary{0, 0}},
       std::string(kTopp3) +
           "2 station intervals must exceed num_stationary.0.max(1) + num_stationary.1.max(1) = 2 (num_stationary = "
           "(0, 0))"},
      {"requested stationary counts at rest need n >= 12",
       {.a_linearization = std::span<const double>(twelve).first(11), .num_stationary_max = NumStationary{5, 5}},
       std::string(kTopp3) +
           "10 station intervals must exceed num_stationary.0.max(1) + num_stationary.1.max(1) = 10 (num_stationary = "
           "(5, 5))"},
      {"the interval sum saturates instead of wrapping",
       {.a_linearization = twelve, .num_stationary_max = NumStationary{std::numeric_limits<std::uint64_t>::max(), 3}},
       std::string(kTopp3) + "11 station intervals must exceed num_stationary.0.max(1) + num_stationary.1.max(1) = "
                             "18446744073709551615 (num_stationary = (18446744073709551615, 3))"},
      {"b reference of another length, after the interval check",
       {.a_linearization = twelve, .b_linearization = std::span<const double>(b_long)},
       std::string(kTopp3) + "b_linearization.len() = 13 must equal a_linearization.len() = 12"},
      {"a NaN floor is named, as an infinite one is",
       {.a_linearization = twelve, .a_linearization_floor = kNaN},
       std::string(kTopp3) + "a_linearization_floor must be finite, got NaN"},
      {"a window beyond the store fails in the linearization",
       {.a_linearization = twelve, .idx_s_start = 1},
       std::string(kTopp3) + "linearize_constraint_3order failed: Requested station interval is out of bounds: "
                             "idx_s=1, len=12."},
      {"a negative reference value",
       {.a_linearization = negative},
       std::string(kTopp3) + "linearize_constraint_3order failed: Input `a` violates positivity requirements (must be "
                             "nonnegative, and strictly positive where required)."},
  };
  for (const Case& c : cases) {
    const StationRange before = st.robot.constraints().lin_range();
    const Result<Topp3Problem> built = Topp3ProblemBuilder{st.robot.constraints(), c.in}.build_with_linearization();
    EXPECT_EQ(error_text(built), c.text) << c.what;
    EXPECT_EQ(st.robot.constraints().lin_range().end, before.end) << c.what << ": a failed build linearizes nothing";
  }
}

TEST(Qarn3ProblemBuilder, ChecksTheWindowAgainstTheStoreBeforeTheFloor) {
  Store st;
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::Time, 1.0, {}, {}}};
  Problem3Inputs in = st.inputs();
  in.idx_s_start = 1;
  in.a_linearization_floor = -1.0;
  const auto built = Qarn3ProblemBuilder{st.robot, objectives, in}.build_with_linearization();
  ASSERT_NE(test::constraint_error(built), nullptr);
  EXPECT_EQ(error_text(built), "Some error occurred in the Constraint struct: Requested station interval is out of "
                               "bounds: idx_s=1, len=12.");
  in.idx_s_start = 0;
  EXPECT_EQ(error_text(Qarn3ProblemBuilder{st.robot, objectives, in}.build_with_linearization()),
            std::string(kQarn3) + "a_linearization_floor must be positive, got -1");
  const std::vector<double> b_short(3, 0.0);
  in.a_linearization_floor = 1e-10;
  in.b_linearization = std::span<const double>(b_short);
  EXPECT_EQ(error_text(Qarn3ProblemBuilder{st.robot, objectives, in}.build_with_linearization()),
            std::string(kQarn3) + "b_linearization.len() = 3 must equal a_linearization.len() = 12");

  in.b_linearization.reset();
  const auto ok = Qarn3ProblemBuilder{st.robot, objectives, in}.build_with_linearization();
  ASSERT_TRUE(ok.ok()) << error_text(ok);
  EXPECT_EQ(&ok->robot, &st.robot);
  EXPECT_EQ(&ok->constraints, &st.robot.constraints());
  EXPECT_EQ(ok->objectives.size(), 1u);
}

TEST(Topp3ProblemBuilder, EffectiveStationaryCountsFollowTheRestEnds) {
  Store st;
  struct Case {
    std::pair<double, double> a, b;
    NumStationary requested, expected;
  };
  const std::vector<Case> cases{
      {{0.0, 0.0}, {0.0, 0.0}, {3, 2}, {3, 2}},
      {{-0.0, 0.0}, {0.0, -0.0}, {3, 2}, {3, 2}},  // -0.0 is a rest value
      {{0.0, 0.0}, {0.5, 0.0}, {3, 2}, {0, 2}},    // moving off at a = 0 is allowed, but not stationary
      {{0.0, 0.0}, {0.0, -0.1}, {3, 2}, {3, 0}},
      {{1.0, 2.0}, {0.0, 0.0}, {3, 2}, {0, 0}},
  };
  for (const Case& c : cases) {
    Problem3Inputs in = st.inputs();
    in.a_boundary = c.a;
    in.b_boundary = c.b;
    in.num_stationary_max = c.requested;
    const auto built = Topp3ProblemBuilder{st.robot.constraints(), in}.build_with_linearization();
    ASSERT_TRUE(built.ok()) << error_text(built);
    EXPECT_EQ(built->num_stationary, c.expected);
    EXPECT_EQ(built->a_start, c.a.first);
    EXPECT_EQ(built->b_final, c.b.second);
    EXPECT_EQ(built->s_len(), 12u);
    EXPECT_EQ(built->idx_s_final(), 11u);
  }
}

TEST(Topp3ProblemBuilder, LinearizesTheWindowWithAndWithoutAReferenceB) {
  Store st;
  Constraints& c = st.robot.constraints();
  // n = 4 builds with at most one stationary interval per end.
  Problem3Inputs in{.a_linearization = std::span<const double>(st.a_ref).first(4), .idx_s_start = 2};
  ASSERT_TRUE((Topp3ProblemBuilder{c, in}.build_with_linearization().ok()));
  EXPECT_EQ(c.lin_range().start, 2u);
  EXPECT_EQ(c.lin_range().end, 6u);
  EXPECT_EQ(c.linearized_jerk_rows_at(3).jerk_lin_a[0], 1.5);  // r = 0.5: 1 + 0.5 * 0.125 * 8
  EXPECT_EQ(c.linearized_jerk_rows_at(3).jerk_lin_max[0], 4.0);  // 1.5 * 0.5 * 8 - 2

  // A reference b that loads the rows lowers a* below the reference a where amax is finite.
  ASSERT_TRUE(c.amax_substitute(std::vector<double>(12, 2.0), 0).ok());
  const std::vector<double> b_ref{0.0, 1.0, 2.0, 0.0};
  in.b_linearization = std::span<const double>(b_ref);
  ASSERT_TRUE((Topp3ProblemBuilder{c, in}.build_with_linearization().ok()));
  const double via_b = c.linearized_jerk_rows_at(3).jerk_lin_a[0];
  ASSERT_TRUE(c.linearize_jerk_constraints_with_b(in.a_linearization, b_ref, 2, 1, 1, 1e-10).ok());
  EXPECT_EQ(via_b, c.linearized_jerk_rows_at(3).jerk_lin_a[0]);
  EXPECT_GT(via_b, 1.5);
}

TEST(StationaryProfile, StartAndEndShapesFromTheJunctionValue) {
  const std::vector<double> s{1.0, 1.5, 3.0, 4.0, 6.0, 8.0, 8.5};
  std::vector<double> a(7, -1.0), b(7, -1.0);
  stationary_start_profile(s, a, b, 2, 3.0);
  EXPECT_EQ(a[0], 0.0);
  EXPECT_EQ(b[0], 0.0);
  EXPECT_EQ(a[2], 3.0);
  EXPECT_EQ(b[2], 3.0 / (2.0 * 1.5));
  const double x = 0.5 / 2.0;
  EXPECT_EQ(a[1], 3.0 * (std::cbrt(x) * x));
  EXPECT_EQ(b[1], a[1] / (0.5 * 1.5));
  EXPECT_NEAR(a[1], 3.0 * std::pow(0.25, 4.0 / 3.0), 1e-15);
  EXPECT_NEAR(b[1], 0.5 * (4.0 / 3.0) * 3.0 * std::pow(0.25, 1.0 / 3.0) / 2.0, 1e-15);  // 0.5 da/ds

  stationary_end_profile(s, a, b, 3, 2.0);  // junction 3, edge s = 8.5
  EXPECT_EQ(a[6], 0.0);
  EXPECT_EQ(b[6], 0.0);
  EXPECT_EQ(a[3], 2.0);
  EXPECT_EQ(b[3], 2.0 / ((4.0 - 8.5) * 1.5));
  EXPECT_LT(b[3], 0.0);
  for (const std::size_t i : {4u, 5u}) {
    const double xi = (s[i] - 8.5) / (4.0 - 8.5);
    EXPECT_EQ(a[i], 2.0 * (std::cbrt(xi) * xi));
    EXPECT_EQ(b[i], a[i] / ((s[i] - 8.5) * 1.5));
  }
  EXPECT_EQ(a[2], 3.0);  // the start block is untouched

  // k = 1 writes the rest station and the junction only; k = 0 writes nothing.
  std::vector<double> a1(3, 7.0), b1(3, 7.0);
  stationary_start_profile(std::span<const double>(s).first(3), a1, b1, 1, 2.0);
  EXPECT_EQ(a1, (std::vector<double>{0.0, 2.0, 7.0}));
  EXPECT_EQ(b1, (std::vector<double>{0.0, 2.0 / (0.5 * 1.5), 7.0}));
  stationary_end_profile(std::span<const double>(s).first(3), a1, b1, 0, 9.0);
  EXPECT_EQ(a1, (std::vector<double>{0.0, 2.0, 7.0}));
}

TEST(StationaryProfile, APhaseEndingInsideTheWindowThenConstantAcceleration) {
  // From rest at jerk 6 for 0.5 (b = 3 at s = 0.125, a = 0.5625), then at b = 3 to the junction
  // s = 0.875 (a = 5.0625): the share 1/7 of the span at constant jerk; the end mirrors the start.
  const std::vector<double> s{0.0, 0.0625, 0.125, 0.5, 0.875}, mirrored{0.0, 0.375, 0.75, 0.8125, 0.875};
  std::vector<double> a(5), b(5), a_end(5), b_end(5);
  stationary_start_profile(s, a, b, 4, 5.0625, RestWindowShape{1.0 / 7.0});
  stationary_end_profile(mirrored, a_end, b_end, 4, 5.0625, RestWindowShape{1.0 / 7.0});
  for (std::size_t i = 0; i < 5; ++i) {
    const double t = std::cbrt(s[i]);  // s = t^3 in the phase
    const double a_exact = s[i] <= 0.125 ? 9.0 * t * t * t * t : 0.5625 + 6.0 * (s[i] - 0.125);
    const double b_exact = s[i] <= 0.125 ? 6.0 * t : 3.0;
    EXPECT_NEAR(a[i], a_exact, 1e-14) << i;
    EXPECT_NEAR(b[i], b_exact, 1e-14) << i;
    EXPECT_NEAR(a_end[4 - i], a_exact, 1e-14) << i;
    EXPECT_NEAR(b_end[4 - i], -b_exact, 1e-14) << i;
  }
  EXPECT_NEAR(RestWindowShape::of_junction(5.0625, 3.0, 0.875).share, 1.0 / 7.0, 1e-15);
  // a / (span b) = 2, or a hair above (the solver's tolerance): no phase, crossed in 2 span / sqrt(a_j).
  for (const double b_j : {2.5, 2.5 * (1 - 1e-7)}) EXPECT_EQ(RestWindowShape::of_junction(5.0, b_j, 1.0).share, 0.0);
  const RestWindowShape none{0.0};
  EXPECT_EQ(none.time_at(1.0), 2.0);
  for (const double x : {0.0, 0.09, 1.0}) EXPECT_NEAR(none.x_at_time(none.time_at(x)), x, 1e-15) << x;
}

}  // namespace
}  // namespace qarn::qarn3

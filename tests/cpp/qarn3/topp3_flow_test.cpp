// The shared third-order flow around the solver call: checks and where they stop the log, the
// status acceptance, the split of x into a profile, the time weights and the qp-aux rows.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "conic/conic_test_support.hpp"
#include "qarn/profile_violation.hpp"
#include "qarn/qarn3/interpolation.hpp"
#include "qarn/qarn3/opt3/time_weights.hpp"
#include "qarn/qarn3/opt3/topp3_lp.hpp"
#include "qarn/qarn3/opt3/topp3_socp.hpp"
#include "qarn2/topp2_test_support.hpp"
#include "qarn3/topp3_test_support.hpp"

namespace qarn::qarn3 {
namespace {

using conic_test::Entry;
using conic_test::entries;
using conic_test::expect_cones;
using test2::error_of;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A built problem on twelve stations of a straight line, its robot kept alive beside it.
struct Line {
  std::vector<double> s = test2::uniform_grid(11, 2.0);
  std::unique_ptr<Robot> robot = test3::straight_line(s, {1.0, 1.0, 2.0});
  std::vector<double> reference = std::vector<double>(12, 0.5);
  Topp3Problem problem = *Topp3ProblemBuilder{robot->constraints(), {.a_linearization = reference}}
                              .build_with_linearization();
};

template <class Solve>
std::string printed(Solve solve, const Topp3Problem& problem, Verbosity v, std::string& error) {
  testing::internal::CaptureStdout();
  const auto result = solve(problem, ClarabelOptionsBuilder().verbosity(v).build());
  error = error_of(result);
  return testing::internal::GetCapturedStdout();
}

TEST(Topp3Flow, ChecksRunBeforeTheStartLineOrAfterIt) {
  Line line;
  std::string error;
  // A NaN boundary value: the options line only (TRACE), then the error from the solver called
  // (before: from "qarn3", the signs from "qarn3_socp").
  Topp3Problem nan_start = line.problem;
  nan_start.a_start = kNaN;
  using Solve = Result<Qarn3SocpResult> (*)(const Topp3Problem&, const ClarabelOptions&);
  for (const auto& [solve, name] : {std::pair<Solve, const char*>{topp3_lp, "topp3_lp"}, {topp3_socp, "topp3_socp"}}) {
    const std::string text = printed(solve, nan_start, Verbosity::Trace, error);
    EXPECT_EQ(error, std::string(name) + " reported an invalid input: initial a = NaN must not be NaN");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
    EXPECT_NE(text.find(": options snapshot -> "), std::string::npos);
  }
  // A window of two stations: topp3_lp refuses it before its start line, topp3_socp after.
  Topp3Problem short_span = line.problem;
  short_span.a_linearization = std::span<const double>(line.reference).first(2);
  EXPECT_EQ(printed(topp3_lp, short_span, Verbosity::Summary, error), "");
  EXPECT_EQ(error, "topp3_lp reported an invalid input: The final index 1 must be at least two positions after the "
                   "start index 0 in Topp2Problem.");
  EXPECT_EQ(printed(topp3_socp, short_span, Verbosity::Summary, error),
            "\ntopp3_socp started: 0 <= idx_s <= 1, s_len = 2, num_stationary=(1, 1).\n");
  EXPECT_EQ(error, "topp3_socp reported an invalid input: The final index 1 must be at least two positions after the "
                   "start index 0 in Topp2Problem.");
  // A window beyond the store fails reading s, with the store's error.
  Topp3Problem outside = line.problem;
  outside.idx_s_start = 3;
  EXPECT_EQ(printed(topp3_lp, outside, Verbosity::Silent, error), "");
  EXPECT_EQ(error, "Some error occurred in the Constraint struct: Requested station interval is out of bounds: "
                   "idx_s=3, len=12.");
}

TEST(Topp3Flow, AnUnacceptedStatusKeepsTheSolverOutputButNoProfile) {
  Line line;
  conic_test::expect_status_handling(topp3_lp, topp3_lp_entry, line.problem, "topp3_lp", 24);
  conic_test::expect_status_handling(topp3_socp, topp3_socp_entry, line.problem, "topp3_socp", 24 + 2 * 10);
}

TEST(SplitAbSolution, ClampsAKeepsTheJunctionsAndWritesTheEndsExactly) {
  Line line;
  const std::vector<double> s(line.s.begin(), line.s.begin() + 7);
  Topp3Problem p = line.problem;
  p.a_linearization = std::span<const double>(line.reference).first(7);

  // k0 = 2 at a rest start, k1 = 0 with a moving end; x from an interior point: a hair below
  // zero, -0.0 and NaN become +0.0, the boundary rows' values are replaced by the exact ones.
  p.num_stationary = {2, 0};
  p.a_final = 0.25;
  p.b_final = -0.5;
  const std::vector<double> x{9, 9, 0.8, -1e-13, -0.0, kNaN, 0.25000000001,  // a
                              9, 9, 0.3, 0.1, 0.2, 0.3, -0.4999999};          // b
  const Topp3Profile profile = split_ab_solution(p, x, s);
  const double xi = (s[1] - s[0]) / (s[2] - s[0]);
  EXPECT_EQ(profile.num_stationary, (NumStationary{2, 0}));
  EXPECT_EQ(profile.a, (std::vector<double>{0.0, 0.8 * (std::cbrt(xi) * xi), 0.8, 0.0, 0.0, 0.0, 0.25}));
  EXPECT_FALSE(std::signbit(profile.a[3]) || std::signbit(profile.a[4]));
  EXPECT_EQ(profile.b, (std::vector<double>{0.0, profile.a[1] / ((s[1] - s[0]) * 1.5), 0.3, 0.1, 0.2, 0.3, -0.5}));

  // A stationary end: the last k1 + 1 stations from the junction's a; a negative junction a is 0.
  p.num_stationary = {0, 2};
  p.a_start = 0.0;
  p.b_start = 0.75;
  const std::vector<double> y{1e-12, 1, 1, 1, -1e-14, 7, 7, 0.7500001, 2, 2, 2, 5, 7, 7};
  const Topp3Profile end = split_ab_solution(p, y, s);
  EXPECT_EQ(end.a, (std::vector<double>{0.0, 1, 1, 1, 0.0, 0.0, 0.0}));
  EXPECT_EQ(end.b[0], 0.75);
  EXPECT_EQ(end.b[4], 5.0);  // the junction keeps the solver's b
  EXPECT_EQ(end.b[6], 0.0);
}

// A rest at one station between moving ones, b zero by rounding, as the LP's optimum leaves it:
// the motion passes it at 1e-9 of the faster neighbour's a, at most the station's bound, inside and
// at the last free station (before: it never got across). A rest at two neighbouring stations stays
// a stop. Rows: (station, its first-order bound or NaN for the line's own, a once passed).
TEST(SplitAbSolution, PassesARestBetweenMovingStations) {
  const double share = 1e-9 * 4.0 / 121.0;  // of the neighbours' a = (s[1] - s[0])^2
  using Dip = std::tuple<std::size_t, double, double>;
  for (const auto& [at, bound, passed_at] : {Dip{5, kNaN, share}, Dip{5, 1e-12, 1e-12}, Dip{10, kNaN, share}}) {
    Line line;
    if (!std::isnan(bound)) {
      ASSERT_TRUE(line.robot->constraints().amax_substitute(std::vector{bound}, at).ok());
    }
    Topp3Problem p = line.problem;
    p.num_stationary = {0, 0};
    Topp3Profile dip{std::vector<double>(12), std::vector<double>(12), {0, 0}};
    for (std::size_t i = 0; i < 12; ++i) {
      dip.b[i] = line.s[i] - line.s[at];  // a = (s - s_at)^2
      dip.a[i] = dip.b[i] * dip.b[i];
    }
    dip.b[at] = 1e-13;
    EXPECT_EQ(first_unreached_station(line.s, dip), at);
    Topp3Profile passed = dip;
    pass_single_rests(p, line.s, passed);
    EXPECT_DOUBLE_EQ(passed.a[at], passed_at) << at;
    EXPECT_EQ(first_unreached_station(line.s, passed), std::nullopt) << at;
    dip.a[at + 1] = 0.0;
    passed = dip;
    pass_single_rests(p, line.s, passed);
    EXPECT_EQ(passed.a, dip.a);
  }
}

TEST(TimeObjectiveWeights, MergedAndSplitForms) {
  const std::vector<double> s{0, 1, 3, 4, 6, 7, 10};
  EXPECT_EQ(time_objective_weights(s, 7, 0, 0), (std::vector<double>{0, 1.5, 1.5, 1.5, 1.5, 2, 0}));
  // k0 = 2: w_2 = 3 (s_2 - s_0) + (s_3 - s_2) / 2; k1 = 1: w_5 = 3 (s_6 - s_5) + (s_5 - s_4) / 2.
  EXPECT_EQ(time_objective_weights(s, 7, 2, 1), (std::vector<double>{0, 0, 9.5, 1.5, 1.5, 9.5, 0}));
  EXPECT_EQ(time_objective_weights_split(s, 7, 2, 1), (std::vector<double>{9, 0, 0.5, 1.5, 1.5, 0.5, 9}));
  // A phase ending halfway through the start window: crossing it takes (1.75 + sqrt(1.3125)) s_2 / sqrt(a_2).
  EXPECT_DOUBLE_EQ(time_objective_weights(s, 7, 2, 1, {{0.5}, {1.0}})[2], 3 * (1.75 + std::sqrt(1.3125)) + 0.5);
  // The LP's cost carries n - 2 nonzero weights without stationary ends, none on b. The ends
  // start and stop the motion by their b.
  Line line;
  Topp3Problem moving = line.problem;
  moving.num_stationary = {0, 0};
  moving.b_start = 0.25;
  moving.b_final = -0.25;
  const auto lp = topp3_lp(moving, {});
  ASSERT_TRUE(lp.ok() && lp->profile);
  EXPECT_EQ(lp->profile->a.front(), 0.0);
  EXPECT_EQ(lp->profile->a.back(), 0.0);
  // At rest with b = 0 and no stationary interval the motion never leaves: the profile is
  // withheld (before: handed out).
  moving.b_start = moving.b_final = 0.0;
  const auto stuck = topp3_lp(moving, {});
  ASSERT_TRUE(stuck.ok());
  EXPECT_TRUE(!stuck->profile && stuck->never_arrives);
  EXPECT_EQ(stuck->audit_failure, "The profile stops in the interval 0 <= idx_s <= 1, so it never arrives");
  EXPECT_EQ(error_of(topp3_lp_entry(moving, {})),
            "topp3_lp reported an infeasibility: The profile stops in the interval 0 <= idx_s <= 1, so it never arrives");
}

// Capacity estimates saturate instead of wrapping to a small reservation.
TEST(Topp3Flow, CapacityEstimatesSaturate) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const Reserve huge = standard_capacity3(std::numeric_limits<std::size_t>::max(), kMax / 2, 3);
  EXPECT_EQ(huge.values, kMax);
  EXPECT_EQ(huge.rhs, kMax);
  EXPECT_EQ(huge.variables, kMax);
  const Reserve small = standard_capacity3(7, 14, 14);
  EXPECT_EQ(small.values, 206u);  // 15 * 6 + 2 * 14 + 6 * 14 + 4
  EXPECT_EQ(small.rhs, 88u);      // 7 * 6 + 14 + 2 * 14 + 4
  EXPECT_EQ((small + huge).cones, 4u);
}

TEST(Topp3SocpQpAux, RowsAndConesOfTheAuxiliaryStage) {
  // n = 5, k0 = k1 = 0: m = 3 stations 1, 2, 3; u in columns 10..12, w in 13..15.
  EXPECT_EQ(time_term_count(5, 0, 0), 3u);
  EXPECT_EQ(time_term_count(10, 2, 3), 5u);
  ClarabelTriplets t;
  add_qp_aux_constraints(t, 4, 8, 0, 0, 10, 13);
  std::vector<Entry> expected{{0, 10, -1.0}, {1, 11, -1.0}, {2, 12, -1.0}, {3, 13, -1.0}, {4, 14, -1.0}, {5, 15, -1.0}};
  std::vector<double> b(6, 0.0);
  for (std::size_t i = 0; i < 3; ++i) {  // u_i w_i >= 1
    const std::size_t r = 6 + 3 * i;
    expected.insert(expected.end(), {{r, 10 + i, -1.0}, {r, 13 + i, -1.0}, {r + 1, 10 + i, -1.0}, {r + 1, 13 + i, 1.0}});
    b.insert(b.end(), {0.0, 0.0, 2.0});
  }
  for (std::size_t i = 0; i < 3; ++i) {  // u_i^2 <= a_(1 + i)
    const std::size_t r = 15 + 3 * i;
    expected.insert(expected.end(), {{r, 1 + i, -1.0}, {r + 1, 1 + i, -1.0}, {r + 2, 10 + i, -2.0}});
    b.insert(b.end(), {1.0, -1.0, 0.0});
  }
  EXPECT_EQ(entries(t), expected);
  EXPECT_EQ(t.b, b);
  expect_cones(t.cones, {NonnegativeCone(6), SecondOrderCone(3), SecondOrderCone(3), SecondOrderCone(3),
                         SecondOrderCone(3), SecondOrderCone(3), SecondOrderCone(3)});

  // k0 = 2, k1 = 3 on ten stations: the first a entry is the junction station 2.
  ClarabelTriplets junction;
  add_qp_aux_constraints(junction, 0, 9, 2, 3, 20, 25);
  EXPECT_EQ(junction.b.size(), 40u);
  EXPECT_EQ(entries(junction)[10 + 4 * 5], (Entry{25, 2, -1.0}));
  EXPECT_EQ(junction.cones.size(), 11u);

  // m = 0 adds one empty cone and nothing else.
  ClarabelTriplets none;
  add_qp_aux_constraints(none, 0, 2, 1, 2, 6, 6);
  EXPECT_TRUE(none.b.empty() && none.vals.empty());
  expect_cones(none.cones, {NonnegativeCone(0)});
}

// An axis without a jerk limit gives vacuous jerk rows (coefficient and bound +inf); the solve
// must neither refuse them nor let them bound anything, with Clarabel's presolve on or off.
TEST(Topp3Flow, AnAxisWithoutJerkLimit) {
  const std::vector<double> s = test2::uniform_grid(40, 1.0);
  const auto n = static_cast<Eigen::Index>(s.size());
  Eigen::MatrixXd q(2, n), dq(2, n), zero = Eigen::MatrixXd::Zero(2, n);
  for (Eigen::Index k = 0; k < n; ++k) {
    q.col(k) << s[static_cast<std::size_t>(k)], 0.5 * s[static_cast<std::size_t>(k)];
    dq.col(k) << 1.0, 0.5;
  }
  const double inf = std::numeric_limits<double>::infinity();
  const auto robot = test3::robot_on_path(s, q, dq, zero, zero, {{1.0, 2.0, 4.0}, {1.0, 2.0, inf}});
  const std::vector<double> reference = test3::topp2_reference(*robot);
  const auto problem =
      Topp3ProblemBuilder{robot->constraints(), {.a_linearization = reference}}.build_with_linearization();
  ASSERT_TRUE(problem.ok());
  for (const bool presolve : {true, false}) {
    ClarabelOptions options;
    options.settings.presolve_enable = presolve;
    for (const auto solve : {topp3_lp, topp3_socp}) {
      const auto result = solve(*problem, options);
      ASSERT_TRUE(result.ok()) << result.error().display();
      EXPECT_EQ(result->status, SolverStatus::Solved);
      ASSERT_TRUE(result->profile);
      const Exceed3 e = exceed_topp3(robot->constraints(), 0, result->profile->a, result->profile->b, 1, 1);
      EXPECT_LE(std::max({e.exceed_1st, e.exceed_2nd, e.exceed_3rd}), 1e-7);
    }
  }
}

}  // namespace
}  // namespace qarn::qarn3

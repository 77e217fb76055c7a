// The QARN2 conic program row by row: each stage's entries, right-hand sides and cones against
// lists derived by hand from the formulas, the capacity estimate, and the objective failures.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "conic/conic_test_support.hpp"
#include "qarn/qarn2/opt2/objective_assembly.hpp"
#include "qarn/qarn2/opt2/qarn2_socp.hpp"
#include "qarn/qarn2/opt2/standard_constraints.hpp"

namespace qarn::qarn2 {
namespace {

using conic_test::Entry;
using conic_test::entries;
using conic_test::expect_cones;
using conic_test::matrix;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Seven stations (ids 0..6); the problem window is ids 1..5, so local k = id - 1 and n = 4, with
// s_local = [1, 1.5, 2.5, 3, 4], h = [0.5, 1, 0.5, 1] and c = 0.5 / h = [1, 0.5, 1, 0.5].
struct StandardCase {
  std::unique_ptr<Robot> robot = conic_test::robot_with_stations(1, {0, 1, 1.5, 2.5, 3, 4, 5});

  StandardCase() {
    Constraints& c = robot->constraints();
    // amax: finite at the interior k = 3 (id 4) and at the ends k = 0 and 4 (ids 1 and 5), whose
    // rows bound the values the equality rows fix; NaN at k = 2 means no bound.
    EXPECT_TRUE(c.amax_substitute(std::vector<double>{kInf, 9, kInf, kNaN, 4, 7, 1}, 0).ok());
    // One row at every station, a second one at ids 2 and 3 (local 1 and 2).
    EXPECT_TRUE(c.add_constraint_2nd(matrix({{1, 2, 3, 4, 5, 6, 7}}), matrix({{0.5, 1, 2, -1, 4, 0.25, 3}}),
                                     matrix({{100, 101, 102, 103, 104, 105, 106}}), 0, false)
                    .ok());
    EXPECT_TRUE(c.add_constraint_2nd(matrix({{20, 30}}), matrix({{-2, 6}}), matrix({{7, 8}}), 2, false).ok());
  }
  Qarn2Problem problem(std::span<const ObjectiveView> objectives = {}) const {
    return {*robot, objectives, 1, 5, 0.25, 0.5};
  }
};

TEST(Qarn2StandardConstraints, RowsColumnsValuesAndConesOfAFiveStationWindow) {
  const StandardCase c;
  ClarabelTriplets t;
  testing::internal::CaptureStdout();
  clarabel_standard_constraint_topp2<Verbosity::Debug>(c.problem(), t);
  const std::string log = testing::internal::GetCapturedStdout();

  const std::vector<Entry> expected{
      {0, 0, 1.0}, {1, 4, 1.0},                                       // a_start, a_final
      {2, 1, -1.0}, {3, 2, -1.0}, {4, 3, -1.0},                       // a_k >= 0
      {5, 0, 1.0}, {6, 3, 1.0}, {7, 4, 1.0},                          // a_0 <= 9, a_3 <= 4, a_4 <= 7
      {8, 0, 1.0}, {8, 1, 1.0},                                       // k = 0, right (c = 1)
      {9, 0, -2.0}, {10, 0, 2.0}, {9, 1, 5.0}, {10, 1, 18.0},         // k = 1, left (c = 1)
      {11, 1, 2.0}, {12, 1, 21.0}, {11, 2, 1.0}, {12, 2, -1.0},       // k = 1, right (c = 0.5)
      {13, 1, 0.5}, {14, 1, -3.0}, {13, 2, 3.5}, {14, 2, 33.0},       // k = 2, left (c = 0.5)
      {15, 2, 5.0}, {16, 2, 24.0}, {15, 3, -1.0}, {16, 3, 6.0},       // k = 2, right (c = 1)
      {17, 2, -4.0}, {17, 3, 9.0},                                    // k = 3, left (c = 1)
      {18, 3, 3.0}, {18, 4, 2.0},                                     // k = 3, right (c = 0.5)
      {19, 3, -0.125}, {19, 4, 6.125},                                // k = 4, left (c = 0.5)
  };
  EXPECT_EQ(entries(t), expected);
  EXPECT_EQ(t.b,
            (std::vector<double>{0.25, 0.5, 0, 0, 0, 9, 4, 7, 101, 102, 7, 102, 7, 103, 8, 103, 8, 104, 104, 105}));
  expect_cones(t.cones, {ZeroCone(1), ZeroCone(1), NonnegativeCone(18)});
  EXPECT_EQ(log,
            "clarabel_standard_constraint_topp2[a_start]: row=1, col=1, val=1, b=1, cones=1\n"
            "clarabel_standard_constraint_topp2[a_final]: row=2, col=2, val=2, b=2, cones=2\n"
            "clarabel_standard_constraint_topp2[first_order]: row=8, col=8, val=8, b=8, cones=2\n"
            "clarabel_standard_constraint_topp2[second_order]: row=32, col=32, val=32, b=20, cones=2\n"
            "clarabel_standard_constraint_topp2[final_nonnegative_cone]: row=32, col=32, val=32, b=20, cones=3\n");

  // The quiet instances build the same record and print nothing.
  for (const auto& build : {clarabel_standard_constraint_topp2<Verbosity::Silent>,
                            clarabel_standard_constraint_topp2<Verbosity::Summary>}) {
    ClarabelTriplets quiet;
    testing::internal::CaptureStdout();
    build(c.problem(), quiet);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(entries(quiet), expected);
    EXPECT_EQ(quiet.b, t.b);
  }
}

TEST(Qarn2StandardConstraints, WithoutBoundsOrRowsOnlyNonnegativityRemains) {
  // Four stations, no amax, no second-order rows: d = n - 1 = 2, rows appended after existing ones.
  auto robot = conic_test::robot_with_stations(2, {0, 1, 2, 3});
  ClarabelTriplets t;
  t.b = {9.0};
  t.cones = {NonnegativeCone(1)};
  clarabel_standard_constraint_topp2<Verbosity::Silent>({*robot, {}, 0, 3, 0.0, 0.0}, t);
  EXPECT_EQ(entries(t), (std::vector<Entry>{{1, 0, 1.0}, {2, 3, 1.0}, {3, 1, -1.0}, {4, 2, -1.0}}));
  EXPECT_EQ(t.b, (std::vector<double>{9, 0, 0, 0, 0}));
  expect_cones(t.cones, {NonnegativeCone(1), ZeroCone(1), ZeroCone(1), NonnegativeCone(2)});
}

TEST(Qarn2StandardConstraints, EveryInteriorStationContributesItsRowsTwice) {
  // m = 3 rows at each of six stations: 2 m n = 30 second-order rows.
  auto robot = conic_test::robot_with_stations(1, {0, 1, 2, 3, 4, 5});
  const Eigen::MatrixXd ones = Eigen::MatrixXd::Ones(3, 6);
  ASSERT_TRUE(robot->constraints().add_constraint_2nd(ones, ones, ones, 0, false).ok());
  ClarabelTriplets t;
  clarabel_standard_constraint_topp2<Verbosity::Silent>({*robot, {}, 0, 5, 0.0, 0.0}, t);
  EXPECT_EQ(t.row_count(), 2u + 4u + 30u);
  expect_cones(t.cones, {ZeroCone(1), ZeroCone(1), NonnegativeCone(34)});
}

TEST(Qarn2SqrtStage, FourStationsWithTimeGetROfTheirOwn) {
  // n = 3, N = 4: r_k in columns 4..7; rows start after one existing row.
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::Linear, 1.0, {}, {}}, {ObjectiveKind::Time, 1.0, {}, {}}};
  ClarabelTriplets t;
  t.b = {5.0};
  t.cones = {ZeroCone(1)};
  EXPECT_EQ(add_sqrt_a_stage(3, objectives, t, 2.25, 0.0), 8u);
  EXPECT_EQ(entries(t), (std::vector<Entry>{{1, 4, 1.0}, {2, 7, 1.0},                   // r_0, r_3 fixed
                                            {3, 5, -1.0}, {4, 6, -1.0},                  // r_1, r_2 >= 0
                                            {5, 1, -1.0}, {6, 1, -1.0}, {7, 5, -1.0},    // r_1^2 <= a_1
                                            {8, 2, -1.0}, {9, 2, -1.0}, {10, 6, -1.0}})); // r_2^2 <= a_2
  EXPECT_EQ(t.b, (std::vector<double>{5, 1.5, 0, 0, 0, 0.25, -0.25, 0, 0.25, -0.25, 0}));
  expect_cones(t.cones, {ZeroCone(1), ZeroCone(2), NonnegativeCone(2), SecondOrderCone(3), SecondOrderCone(3)});
}

TEST(Qarn2SqrtStage, NotNeededWithoutTimeOrThermalEnergy) {
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::Linear, 1.0, {}, {}},
                                              {ObjectiveKind::TotalVariationTorque, 1.0, {}, {}}};
  ClarabelTriplets t;
  EXPECT_EQ(add_sqrt_a_stage(3, objectives, t, 1.0, 1.0), 4u);
  EXPECT_EQ(t.lengths(), TripletLengths{});
}

// Four stations s = [0, 0.5, 1.5, 2] (h = [0.5, 1, 0.5], f = 0.5 / h = [1, 0.5, 1]) on a two-axis robot
// with tau_j = m_j qdd_j + g_j, m = (2, 3), g = (1, -2): C1 = m (ddq - f dq), C2 = m f dq, C3 = g.
struct ObjectiveCase {
  std::vector<double> s{0, 0.5, 1.5, 2};
  std::vector<double> m{2, 3}, g{1, -2};
  Eigen::MatrixXd dq = matrix({{1, 2, -1, 0.5}, {0.5, -1, 2, 1}});
  Eigen::MatrixXd ddq = matrix({{0, 1, 2, -1}, {1, 0.5, -2, 0}});
  std::unique_ptr<Robot> robot =
      conic_test::robot_with_stations(2, s, std::make_shared<conic_test::LinearDynamics>(m, g));

  ObjectiveCase() {
    EXPECT_TRUE(robot->constraints().set_q(Eigen::MatrixXd::Zero(2, 4), dq, ddq, std::nullopt, 0).ok());
  }
  double f(std::size_t k) const { return 0.5 / (s[k + 1] - s[k]); }
  double c1(std::size_t j, std::size_t k) const { return m[j] * ddq(j, k) - f(k) * (m[j] * dq(j, k)); }
  double c2(std::size_t j, std::size_t k) const { return f(k) * (m[j] * dq(j, k)); }
  double c3(std::size_t j, std::size_t) const { return g[j]; }

  // Runs both objective stages behind a record that holds `prior_rows` rows.
  struct Built {
    ClarabelTriplets t;
    Qarn2Context context;
    std::vector<double> q;
    std::size_t n_var = 0;
    Status status;
  };
  Built build(std::span<const ObjectiveView> objectives, std::size_t prior_rows = 0) const {
    Built out;
    out.t.b.assign(prior_rows, 0.0);
    out.n_var = add_sqrt_a_stage(3, objectives, out.t, 0.0, 0.0);
    out.q.assign(out.n_var, 0.0);
    out.status = clarabel_objective_qarn2({*robot, objectives, 0, 3, 0.0, 0.0}, out.context, out.t, out.q);
    return out;
  }
};

TEST(Qarn2Objectives, TimeAddsOneConePerInterval) {
  const ObjectiveCase c;
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::Time, 2.0, {}, {}}};
  ObjectiveCase::Built b = c.build(objectives);
  ASSERT_TRUE(b.status.ok());
  ASSERT_EQ(b.n_var, 8u);
  EXPECT_EQ(b.q, (std::vector<double>{0, 0, 0, 0, 0, 0, 0, 0, 8, 16, 8}));  // 8 w h_k
  const std::size_t first = 10, row0 = 10;  // the square-root stage holds 10 entries and 10 rows
  std::vector<Entry> expected;
  for (std::size_t k = 0; k < 3; ++k) {
    const std::size_t r = row0 + 3 * k;
    for (const double sign : {-1.0, 1.0}) {
      const std::size_t row = sign < 0 ? r : r + 1;
      expected.insert(expected.end(), {{row, 4 + k, -1.0}, {row, 5 + k, -1.0}, {row, 8 + k, sign}});
    }
  }
  EXPECT_EQ(entries(b.t, first), expected);
  EXPECT_EQ(std::vector<double>(b.t.b.begin() + row0, b.t.b.end()), (std::vector<double>{0, 0, 1, 0, 0, 1, 0, 0, 1}));
  expect_cones(b.t.cones, {ZeroCone(2), NonnegativeCone(2), SecondOrderCone(3), SecondOrderCone(3),
                           SecondOrderCone(3), SecondOrderCone(3), SecondOrderCone(3)});
}

TEST(Qarn2Objectives, TwoTimeObjectivesGetSeparateBlocksAndZeroWeightIsAccepted) {
  const ObjectiveCase c;
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::Time, 0.0, {}, {}}, {ObjectiveKind::Time, 1.0, {}, {}}};
  ObjectiveCase::Built b = c.build(objectives);
  ASSERT_TRUE(b.status.ok());
  EXPECT_EQ(b.q, (std::vector<double>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 8, 4}));
  EXPECT_EQ(b.t.cones.size(), 2u + 2u + 6u);
  // The second block's t columns are 11..13.
  EXPECT_EQ(b.t.cols[10 + 6 * 3 + 2], 11u);
}

TEST(Qarn2Objectives, ThermalEnergyRowsCarryTheNormalizedTorque) {
  const ObjectiveCase c;
  const std::vector<double> normalize{0.5, 2.0};
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::ThermalEnergy, 1.5, normalize, {}}};
  ObjectiveCase::Built b = c.build(objectives);
  ASSERT_TRUE(b.status.ok()) << b.status.error().display();
  EXPECT_EQ(b.q, (std::vector<double>{0, 0, 0, 0, 0, 0, 0, 0, 6, 12, 6}));  // 8 w h_k
  std::vector<Entry> expected;
  std::vector<double> rhs;
  std::size_t r = 10;
  for (std::size_t k = 0; k < 3; ++k) {
    expected.insert(expected.end(), {{r, 4 + k, -1.0}, {r, 5 + k, -1.0}, {r, 8 + k, -1.0}});
    expected.insert(expected.end(), {{r + 1, 4 + k, -1.0}, {r + 1, 5 + k, -1.0}, {r + 1, 8 + k, 1.0}});
    rhs.insert(rhs.end(), {0.0, 0.0});
    for (std::size_t j = 0; j < 2; ++j) {
      expected.insert(expected.end(), {{r + 2 + j, k, normalize[j] * c.c1(j, k)},
                                       {r + 2 + j, k + 1, normalize[j] * c.c2(j, k)}});
      rhs.push_back(-normalize[j] * c.c3(j, k));
    }
    r += 4;
  }
  EXPECT_EQ(entries(b.t, 10), expected);
  EXPECT_EQ(std::vector<double>(b.t.b.begin() + 10, b.t.b.end()), rhs);
  // Spot values: k = 1, j = 1: C1 = 3 * 0.5 - 0.5 * (3 * -1) = 3, C2 = 0.5 * (3 * -1) = -1.5, times 2.
  EXPECT_EQ(std::get<2>(expected[10 + 6 + 2]), 6.0);
  EXPECT_EQ(std::get<2>(expected[10 + 6 + 3]), -3.0);
  expect_cones(std::vector<clarabel::Cone>(b.t.cones.begin() + 4, b.t.cones.end()),
               {SecondOrderCone(4), SecondOrderCone(4), SecondOrderCone(4)});
}

TEST(Qarn2Objectives, TotalVariationTorqueBoundsEveryChangeFromBothSides) {
  const ObjectiveCase c;
  const std::vector<double> normalize{1.0, 0.5};
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::TotalVariationTorque, 3.0, normalize, {}}};
  ObjectiveCase::Built b = c.build(objectives, 2);
  ASSERT_TRUE(b.status.ok()) << b.status.error().display();
  ASSERT_EQ(b.n_var, 4u);                                            // no square-root stage
  EXPECT_EQ(b.q, (std::vector<double>{0, 0, 0, 0, 3, 3, 3, 3}));     // dim (n - 1) = 4 u's
  std::vector<Entry> expected;
  std::vector<double> rhs;
  std::size_t r = 2;
  for (std::size_t k = 0; k < 2; ++k) {
    for (std::size_t j = 0; j < 2; ++j) {
      const double nj = normalize[j];
      const double v0 = -(nj * c.c1(j, k)), v1 = nj * c.c1(j, k + 1) - nj * c.c2(j, k), v2 = nj * c.c2(j, k + 1);
      const double d = nj * c.c3(j, k) - nj * c.c3(j, k + 1);
      const std::size_t u = 4 + 2 * k + j;
      expected.insert(expected.end(), {{r, k, v0}, {r, k + 1, v1}, {r, k + 2, v2}, {r, u, -1.0}});
      expected.insert(expected.end(), {{r + 1, k, -v0}, {r + 1, k + 1, -v1}, {r + 1, k + 2, -v2}, {r + 1, u, -1.0}});
      rhs.insert(rhs.end(), {d, -d});
      r += 2;
    }
  }
  EXPECT_EQ(entries(b.t), expected);
  EXPECT_EQ(std::vector<double>(b.t.b.begin() + 2, b.t.b.end()), rhs);
  expect_cones(b.t.cones, {NonnegativeCone(8)});
}

TEST(Qarn2Objectives, LinearChangesOnlyTheCost) {
  const ObjectiveCase c;
  const std::vector<double> alpha{1, -2, 0.5, 4}, beta{2, -1, 0.25};
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::Linear, 2.0, alpha, beta}};
  ObjectiveCase::Built b = c.build(objectives);
  ASSERT_TRUE(b.status.ok());
  EXPECT_EQ(b.t.lengths(), TripletLengths{});
  // q_k = w alpha_k, then c_k = 0.5 w beta_k / h_k moves from q_k to q_(k+1): c = (4, -1, 0.5).
  EXPECT_EQ(b.q, (std::vector<double>{2 - 4, -4 + 4 + 1, 1 - 1 - 0.5, 8 + 0.5}));
}

TEST(Qarn2Objectives, InvalidObjectivesStopTheStageAndKeepEarlierRows) {
  const ObjectiveCase c;
  const std::vector<double> short_normalize{1.0};
  const std::vector<double> alpha4{1, 1, 1, 1}, beta3{1, 1, 1};
  const struct {
    ObjectiveView bad;
    const char* message;
  } cases[] = {
      {{ObjectiveKind::Time, -1.0, {}, {}}, "Invalid Time objective."},
      {{ObjectiveKind::ThermalEnergy, 1.0, short_normalize, {}}, "Invalid ThermalEnergy objective."},
      {{ObjectiveKind::TotalVariationTorque, -0.5, std::span<const double>(c.m), {}},
       "Invalid TotalVariationTorque objective."},
      {{ObjectiveKind::Linear, 1.0, alpha4, alpha4}, "Invalid Linear objective."},  // beta of N entries
      {{ObjectiveKind::Linear, 1.0, beta3, beta3}, "Invalid Linear objective."},
  };
  for (const auto& bad_case : cases) {
    const std::vector<ObjectiveView> objectives{{ObjectiveKind::Time, 1.0, {}, {}}, bad_case.bad};
    ObjectiveCase::Built b = c.build(objectives);
    ASSERT_FALSE(b.status.ok());
    EXPECT_EQ(b.status.error().display(), std::string("qarn2_socp reported an invalid input: ") + bad_case.message);
    EXPECT_EQ(b.t.cones.size(), 2u + 2u + 3u);  // the Time block stays in the record
    EXPECT_EQ(b.q.size(), 11u);
  }
  // Linear with alpha of N and beta of n entries is the valid shape.
  const std::vector<ObjectiveView> good{{ObjectiveKind::Linear, 1.0, alpha4, beta3}};
  EXPECT_TRUE(c.build(good).status.ok());
}

TEST(Qarn2Objectives, AStationWindowBeyondTheStoreIsAConstraintError) {
  const ObjectiveCase c;
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::Time, 1.0, {}, {}}};
  ClarabelTriplets t;
  std::vector<double> q(10, 0.0);
  Qarn2Context context;
  const Status st = clarabel_objective_qarn2({*c.robot, objectives, 0, 4, 0.0, 0.0}, context, t, q);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), CoreError::Kind::Constraint);
}

TEST(Qarn2CapacityEstimate, FollowsTheTableAndBoundsWhatTheStagesAppend) {
  const std::vector<ObjectiveView> linear{{ObjectiveKind::Linear, 1.0, {}, {}}};
  const Qarn2CapacityEstimate lin = qarn2_capacity_estimate(4, 7, 2, linear);
  EXPECT_EQ(lin.standard_values, 2u * 4 + 4 * 7 + 2);
  EXPECT_EQ(lin.standard_rhs, 2u * (7 + 4) + 2);
  EXPECT_EQ(lin.standard_cones, 3u);
  EXPECT_EQ(lin.objective_values, 0u);
  EXPECT_EQ(lin.variables, 5u);

  const std::vector<ObjectiveView> all{{ObjectiveKind::Time, 1.0, {}, {}},
                                       {ObjectiveKind::ThermalEnergy, 1.0, {}, {}},
                                       {ObjectiveKind::TotalVariationTorque, 1.0, {}, {}},
                                       {ObjectiveKind::Linear, 1.0, {}, {}}};
  const Qarn2CapacityEstimate e = qarn2_capacity_estimate(3, 0, 2, all);
  EXPECT_EQ(e.objective_values, 4u * 4 + 6 * 3 + (2 * 2 + 6) * 3 + 8 * 2 * 3);
  EXPECT_EQ(e.objective_rhs, 4u * 4 + 3 * 3 + (2 + 2) * 3 + 2 * 2 * 3);
  EXPECT_EQ(e.objective_cones, 3u + 2 + 3 + 3 + 1);
  EXPECT_EQ(e.variables, 2u * 4 + 3 + 3 + 2 * 3);

  // The stages stay within it on the six-station store of the standard case.
  const StandardCase sc;
  const std::vector<double> normalize{1.0};
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::Time, 1.0, {}, {}},
                                              {ObjectiveKind::ThermalEnergy, 1.0, normalize, {}},
                                              {ObjectiveKind::TotalVariationTorque, 1.0, normalize, {}}};
  ASSERT_TRUE(sc.robot->constraints()
                  .set_q(Eigen::MatrixXd::Zero(1, 7), Eigen::MatrixXd::Ones(1, 7), Eigen::MatrixXd::Zero(1, 7),
                         std::nullopt, 0)
                  .ok());
  const Qarn2Problem p = sc.problem(objectives);
  const std::size_t m2 = sc.robot->constraints().acc_runs().rows_in_range(1, 6);
  EXPECT_EQ(m2, 7u);
  const Qarn2CapacityEstimate est = qarn2_capacity_estimate(4, m2, 1, objectives);
  ClarabelTriplets t;
  clarabel_standard_constraint_topp2<Verbosity::Silent>(p, t);
  EXPECT_LE(t.vals.size(), est.standard_values);
  EXPECT_LE(t.b.size(), est.standard_rhs);
  std::vector<double> q(add_sqrt_a_stage(4, objectives, t, p.a_start, p.a_final), 0.0);
  Qarn2Context context;
  ASSERT_TRUE(clarabel_objective_qarn2(p, context, t, q).ok());
  EXPECT_LE(t.vals.size(), est.standard_values + est.objective_values);
  EXPECT_LE(t.b.size(), est.standard_rhs + est.objective_rhs);
  EXPECT_LE(t.cones.size(), est.standard_cones + est.objective_cones);
  EXPECT_LE(q.size(), est.variables);
}

}  // namespace
}  // namespace qarn::qarn2

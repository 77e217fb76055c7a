// QARN2 solved end to end: the analytic time-optimal profile of a point mass, the solver's objective
// against the directly evaluated objective terms, status handling, vacuous rows with presolve off,
// and the progress lines.
#include "qarn/qarn2/opt2/qarn2_socp.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "conic/conic_test_support.hpp"
#include "qarn/profile_violation.hpp"
#include "qarn/qarn2/dp2/topp2_ra.hpp"
#include "qarn/qarn2/opt2/objective_terms.hpp"
#include "qarn/qarn2/opt2/standard_constraints.hpp"

namespace qarn::qarn2 {
namespace {

using conic_test::matrix;
constexpr double kInf = std::numeric_limits<double>::infinity();

// A robot of `dim` axes following q(s) sampled at `s`, with symmetric velocity and acceleration limits.
std::unique_ptr<Robot> limited_robot(const std::vector<double>& s, const Eigen::MatrixXd& q, const Eigen::MatrixXd& dq,
                                     const Eigen::MatrixXd& ddq, const std::vector<double>& v_max,
                                     const std::vector<double>& acc_max,
                                     std::shared_ptr<InverseDynamics> provider = nullptr) {
  const std::size_t dim = v_max.size();
  auto robot = conic_test::robot_with_stations(dim, s, std::move(provider));
  Constraints& c = robot->constraints();
  EXPECT_TRUE(c.set_q(q, dq, ddq, std::nullopt, 0).ok());
  const Eigen::Index n = static_cast<Eigen::Index>(s.size());
  Eigen::MatrixXd v(dim, n), acc(dim, n);
  for (std::size_t j = 0; j < dim; ++j) {
    v.row(static_cast<Eigen::Index>(j)).setConstant(v_max[j]);
    acc.row(static_cast<Eigen::Index>(j)).setConstant(acc_max[j]);
  }
  EXPECT_TRUE(robot->add_velocity_limits(v, -v, 0).ok());
  EXPECT_TRUE(robot->add_acceleration_limits(acc, -acc, 0).ok());
  return robot;
}

// One axis moving along q = s over [0, L] in `n` equal intervals.
std::unique_ptr<Robot> point_mass_line(std::size_t n, double length, double v_max, double acc_max) {
  std::vector<double> s(n + 1);
  for (std::size_t k = 0; k <= n; ++k) s[k] = length * static_cast<double>(k) / static_cast<double>(n);
  const Eigen::Index cols = static_cast<Eigen::Index>(n + 1);
  Eigen::MatrixXd q(1, cols);
  for (Eigen::Index k = 0; k < cols; ++k) q(0, k) = s[static_cast<std::size_t>(k)];
  return limited_robot(s, q, Eigen::MatrixXd::Ones(1, cols), Eigen::MatrixXd::Zero(1, cols), {v_max}, {acc_max});
}

// Two axes along q(s) = (sin s, cos(s / 2)), s in [0, 3], with tau = m qdd + g.
struct CurvedPath {
  std::vector<double> s;
  std::unique_ptr<Robot> robot;

  explicit CurvedPath(std::size_t n) {
    const Eigen::Index cols = static_cast<Eigen::Index>(n + 1);
    Eigen::MatrixXd q(2, cols), dq(2, cols), ddq(2, cols);
    for (Eigen::Index k = 0; k < cols; ++k) {
      const double x = 3.0 * static_cast<double>(k) / static_cast<double>(n);
      s.push_back(x);
      q.col(k) << std::sin(x), std::cos(0.5 * x);
      dq.col(k) << std::cos(x), -0.5 * std::sin(0.5 * x);
      ddq.col(k) << -std::sin(x), -0.25 * std::cos(0.5 * x);
    }
    robot = limited_robot(s, q, dq, ddq, {1.0, 1.2}, {2.0, 1.5},
                          std::make_shared<conic_test::LinearDynamics>(std::vector<double>{2.0, 1.5},
                                                                       std::vector<double>{0.5, -1.0}));
  }
};

// The store's own audit: every first- and second-order limit holds on the profile within 1e-7.
void expect_within_limits(const Constraints& c, const std::vector<double>& a) {
  const Exceed2 e = exceed_topp2(c, 0, a);
  EXPECT_LE(e.exceed_1st, 1e-7);
  EXPECT_LE(e.exceed_2nd, 1e-7);
}

// The profile is the first N entries of x, clamped at +0.0.
// The profile is x[0 .. N) clamped at +0.0, with the fixed ends written exactly.
void expect_profile_from_x(const Qarn2SocpOutcome& out, std::size_t big_n, double a_start = 0.0,
                           double a_final = 0.0) {
  ASSERT_TRUE(out.profile.has_value());
  ASSERT_EQ(out.profile->size(), big_n);
  ASSERT_GE(out.x.size(), big_n);
  EXPECT_EQ(out.profile->front(), a_start);
  EXPECT_EQ(out.profile->back(), a_final);
  for (std::size_t k = 1; k + 1 < big_n; ++k) {
    const double a = (*out.profile)[k];
    EXPECT_FALSE(std::signbit(a)) << k;
    EXPECT_EQ(a, out.x[k] > 0.0 ? out.x[k] : 0.0) << k;
  }
}

TEST(Qarn2Socp, PointMassTimeOptimalProfileIsTheAnalyticOne) {
  // a_k = min(v^2, 2 acc s_k, 2 acc (L - s_k)): accelerate at the limit, cruise, brake.
  const std::size_t n = 40;
  const double length = 2.0, v = 1.0, acc = 0.75;
  auto robot = point_mass_line(n, length, v, acc);
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::Time, 1.0, {}, {}}};
  const Qarn2Problem problem{*robot, objectives, 0, n, 0.0, 0.0};
  ASSERT_TRUE(Qarn2ProblemBuilder::build(problem).ok());

  Result<Qarn2SocpOutcome> out = qarn2_socp(problem, ClarabelOptions{});
  ASSERT_TRUE(out.ok()) << out.error().display();
  EXPECT_EQ(out->status, SolverStatus::Solved);
  expect_profile_from_x(*out, n + 1);
  for (std::size_t k = 0; k <= n; ++k) {
    const double s = length * static_cast<double>(k) / static_cast<double>(n);
    const double expected = std::fmin(v * v, std::fmin(2.0 * acc * s, 2.0 * acc * (length - s)));
    EXPECT_NEAR((*out->profile)[k], expected, 1e-5 * std::fmax(expected, 1e-3)) << "k = " << k;
  }
  expect_within_limits(robot->constraints(), *out->profile);

  // Reachability analysis finds the same profile.
  Result<std::vector<double>> ra = topp2_ra({robot->constraints(), 0, n, 0.0, 0.0}, ReachSet2Options{});
  ASSERT_TRUE(ra.ok()) << ra.error().display();
  ASSERT_EQ(ra->size(), n + 1);
  for (std::size_t k = 0; k <= n; ++k) {
    EXPECT_NEAR((*out->profile)[k], (*ra)[k], 1e-5 * std::fmax((*ra)[k], 1e-3)) << "k = " << k;
  }

  // The plain entry gives the same profile.
  Result<std::vector<double>> plain = qarn2_socp_entry(problem, ClarabelOptions{});
  ASSERT_TRUE(plain.ok());
  EXPECT_EQ(*plain, *out->profile);
}

TEST(Qarn2Socp, SolverObjectiveEqualsTheObjectiveTermsForEveryKind) {
  const CurvedPath path(30);
  const std::size_t n = 30;
  std::vector<double> alpha(n + 1), beta(n);
  for (std::size_t k = 0; k <= n; ++k) alpha[k] = 0.02 * static_cast<double>(k % 3);
  for (std::size_t k = 0; k < n; ++k) beta[k] = 0.05 * (static_cast<double>(k % 4) - 1.0);
  std::vector<double> maximize_a(n + 1, -1.0);
  const std::vector<double> normalize{1.0, 0.5};
  const ObjectiveView time{ObjectiveKind::Time, 1.0, {}, {}};
  const std::vector<std::vector<ObjectiveView>> lists{
      {time},
      {time, {ObjectiveKind::ThermalEnergy, 0.1, normalize, {}}},
      {{ObjectiveKind::ThermalEnergy, 1.0, normalize, {}}},
      {time, {ObjectiveKind::TotalVariationTorque, 0.2, normalize, {}}},
      {time, {ObjectiveKind::Linear, 0.5, alpha, beta}},
      {{ObjectiveKind::Linear, 1.0, maximize_a, beta}},
      {time, {ObjectiveKind::Time, 2.0, {}, {}}, {ObjectiveKind::ThermalEnergy, 0.05, normalize, {}},
       {ObjectiveKind::TotalVariationTorque, 0.1, normalize, {}}, {ObjectiveKind::Linear, 0.25, alpha, beta}},
  };
  for (std::size_t i = 0; i < lists.size(); ++i) {
    SCOPED_TRACE("objective list " + std::to_string(i));
    const Qarn2Problem problem{*path.robot, lists[i], 0, n, 0.0, 0.0};
    ASSERT_TRUE(Qarn2ProblemBuilder::build(problem).ok());
    Result<Qarn2SocpOutcome> out = qarn2_socp(problem, ClarabelOptions{});
    ASSERT_TRUE(out.ok()) << out.error().display();
    ASSERT_EQ(out->status, SolverStatus::Solved);
    expect_profile_from_x(*out, n + 1);
    const ObjectiveTerms terms = qarn2_objective_terms(*path.robot, 0, lists[i], *out->profile);
    ASSERT_EQ(terms.objective_terms.size(), lists[i].size());
    EXPECT_NEAR(out->obj_val, terms.objective_value, 1e-6 * std::fabs(terms.objective_value));
    expect_within_limits(path.robot->constraints(), *out->profile);
  }
}

TEST(Qarn2Socp, ALinearOnlyProblemHasOnlyTheAVariables) {
  auto robot = point_mass_line(6, 1.0, 1.0, 1.0);
  const std::vector<double> alpha(7, -1.0), beta(6, 0.0);
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::Linear, 1.0, alpha, beta}};
  Result<Qarn2SocpOutcome> out = qarn2_socp({*robot, objectives, 0, 6, 0.0, 0.0}, ClarabelOptions{});
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(out->x.size(), 7u);
  expect_profile_from_x(*out, 7);
}

TEST(Qarn2Socp, AnInteriorStationHeldAtZeroGivesAnExactZero) {
  // amax 0 at station 3 pins a_3 to 0; the solver's value there falls a hair to either side of it.
  auto robot = point_mass_line(6, 1.0, 1.0, 1.0);
  ASSERT_TRUE(robot->constraints().amax_substitute(std::vector<double>{0.0}, 3).ok());
  const std::vector<double> maximize_a(7, -1.0), beta(6, 0.0);
  const std::vector<ObjectiveView> linear{{ObjectiveKind::Linear, 1.0, maximize_a, beta}};
  Result<Qarn2SocpOutcome> out = qarn2_socp({*robot, linear, 0, 6, 0.0, 0.0}, ClarabelOptions{});
  ASSERT_TRUE(out.ok()) << out.error().display();
  EXPECT_NEAR(out->x[3], 0.0, 1e-9);
  const double a3 = (*out->profile)[3];
  EXPECT_TRUE(a3 == 0.0 && !std::signbit(a3));
  out->x[3] = 0.0;
  expect_profile_from_x(*out, 7);
}

TEST(Qarn2Socp, AnInfeasibleProblemReportsItsStatus) {
  // a_start = 1 is the velocity bound, and the acceleration limit cannot bring it down to rest
  // within the path's length (the braking distance is 2).
  auto robot = point_mass_line(10, 1.0, 1.0, 0.25);
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::Time, 1.0, {}, {}}};
  const Qarn2Problem problem{*robot, objectives, 0, 10, 1.0, 0.0};
  ASSERT_TRUE(Qarn2ProblemBuilder::build(problem).ok());

  Result<Qarn2SocpOutcome> out = qarn2_socp(problem, ClarabelOptions{});
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(out->status, SolverStatus::PrimalInfeasible);
  EXPECT_FALSE(out->profile.has_value());
  EXPECT_FALSE(out->x.empty());
  EXPECT_EQ(out->z.size(), out->s.size());

  // The plain entry says why, as reachability analysis finds it.
  Result<std::vector<double>> plain = qarn2_socp_entry(problem, ClarabelOptions{});
  ASSERT_FALSE(plain.ok());
  EXPECT_EQ(plain.error().kind(), CoreError::Kind::Infeasible);
  EXPECT_EQ(plain.error().display(),
            "qarn2_socp reported an infeasibility: No profile from a_start = 1 to a_final = 0 holds the first- and "
            "second-order limits (solver status PrimalInfeasible): The reachable set is empty at index 1 during the "
            "forward pass: with a = 1 at idx_s = 0, no a between 0 and 0.44999999999999996 at idx_s = 1 holds the "
            "second-order row 1 at idx_s = 0 (acc_a = 0, acc_b = -1, acc_max = 0.25)");
}

TEST(Qarn2Socp, AnUnacceptedStatusKeepsTheRawOutcome) {
  auto robot = point_mass_line(20, 1.0, 1.0, 1.0);
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::Time, 1.0, {}, {}}};
  conic_test::expect_status_handling(qarn2_socp, qarn2_socp_entry, Qarn2Problem{*robot, objectives, 0, 20, 0.0, 0.0},
                                     "qarn2_socp", 2u * 21 + 20);
}

TEST(Qarn2Socp, AnObjectiveFailureIsReturnedAsItIs) {
  auto robot = point_mass_line(5, 1.0, 1.0, 1.0);
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::Time, -1.0, {}, {}}};
  Result<Qarn2SocpOutcome> out = qarn2_socp({*robot, objectives, 0, 5, 0.0, 0.0}, ClarabelOptions{});
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().display(), "qarn2_socp reported an invalid input: Invalid Time objective.");
}

TEST(Qarn2Socp, RowsWithoutABoundAreHarmlessWithPresolveOff) {
  // A block of rows with bound +inf, one of them with an infinite coefficient too.
  auto robot = point_mass_line(12, 1.0, 1.0, 0.8);
  const Eigen::MatrixXd inf_row = Eigen::MatrixXd::Constant(1, 13, kInf);
  ASSERT_TRUE(robot->constraints().add_constraint_2nd(inf_row, Eigen::MatrixXd::Ones(1, 13), inf_row, 0, false).ok());
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::Time, 1.0, {}, {}}};
  const Qarn2Problem problem{*robot, objectives, 0, 12, 0.0, 0.0};
  clarabel::Settings off = ClarabelOptions::default_settings();
  off.presolve_enable = false;

  Result<Qarn2SocpOutcome> with_presolve = qarn2_socp(problem, ClarabelOptions{});
  Result<Qarn2SocpOutcome> without = qarn2_socp(problem, ClarabelOptionsBuilder().settings(off).build());
  ASSERT_TRUE(with_presolve.ok());
  ASSERT_TRUE(without.ok()) << without.error().display();
  ASSERT_EQ(without->status, SolverStatus::Solved);
  ASSERT_EQ(without->profile->size(), 13u);
  for (std::size_t k = 0; k < 13; ++k) EXPECT_NEAR((*without->profile)[k], (*with_presolve->profile)[k], 1e-7);

  // Both report the unbounded rows alike: slack at Clarabel's infinity, no dual.
  ClarabelTriplets standard;
  clarabel_standard_constraint_topp2<Verbosity::Silent>(problem, standard);
  std::size_t unbounded = 0;
  ASSERT_EQ(without->s.size(), with_presolve->s.size());
  for (std::size_t r = 0; r < standard.b.size(); ++r) {
    if (standard.b[r] != kInf) continue;
    ++unbounded;
    for (const Qarn2SocpOutcome* o : {&*without, &*with_presolve}) {
      EXPECT_EQ(o->s[r], kClarabelInfinity) << r;
      EXPECT_EQ(o->z[r], 0.0) << r;
    }
  }
  EXPECT_EQ(unbounded, 2u * 12);
}

// ---- progress lines ----

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::string captured_solve(Verbosity v) {
  auto robot = point_mass_line(4, 1.0, 1.0, 1.0);
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::Time, 1.0, {}, {}}};
  testing::internal::CaptureStdout();
  Result<Qarn2SocpOutcome> out =
      qarn2_socp({*robot, objectives, 0, 4, 0.0, 0.0}, ClarabelOptionsBuilder().verbosity(v).build());
  const std::string text = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(out.ok());
  return text;
}

TEST(Qarn2SocpLog, SilentPrintsNothing) { EXPECT_EQ(captured_solve(Verbosity::Silent), ""); }

TEST(Qarn2SocpLog, SummaryPrintsStartReadyAndDone) {
  const std::vector<std::string> lines = lines_of(captured_solve(Verbosity::Summary));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], "qarn2_socp started: 0 <= idx_s <= 4, objectives = 1, s_len = 5.");
  // Standard: 2 + 3 + 5 one-entry rows (amax = 1 at k = 0..4) and 2 * 2 * 4 = 16 two-entry
  // second-order rows, 3 cones; square roots: 14 one-entry rows, 5 cones; Time: 12 rows with
  // 24 entries, 4 cones and 4 variables.
  EXPECT_EQ(lines[2], "qarn2_socp: ready to solve with row/col/val/b/cones = 80/80/80/52/12 and n_var = 14.");
  EXPECT_TRUE(std::regex_match(lines[3], std::regex(R"(qarn2_socp: solve done, status = Solved, elapsed = [0-9.]+ (ns|us|ms|s)\.)")))
      << lines[3];
}

TEST(Qarn2SocpLog, TracePrintsEveryLineInOrder) {
  const std::vector<std::string> lines = lines_of(captured_solve(Verbosity::Trace));
  const std::vector<std::string> prefixes{
      "",
      "qarn2_socp started: ",
      "qarn2_socp: options snapshot -> allow(almost=true, max_iter=false, max_time=false, callback_term=false, "
      "insufficient_progress=false), tol_gap_rel=0.00000001, tol_feas=0.00000001, max_iter=200, verbose=false",
      "qarn2_socp: capacity estimate std(val=",
      "qarn2_socp: allocated capacities row/col/val/b/cones <= ",
      "clarabel_standard_constraint_topp2[a_start]: ",
      "clarabel_standard_constraint_topp2[a_final]: ",
      "clarabel_standard_constraint_topp2[first_order]: ",
      "clarabel_standard_constraint_topp2[second_order]: ",
      "clarabel_standard_constraint_topp2[final_nonnegative_cone]: ",
      "qarn2_socp: standard-constraints delta row/col/val/b/cones = +42/+42/+42/+26/+3",
      "qarn2_socp: sqrt-a stage delta row/col/val/b/cones = +14/+14/+14/+14/+5, n_var_old=10",
      "qarn2_socp: objective stage delta row/col/val/b/cones/q = +24/+24/+24/+12/+4/+4, q_range=[0, 2]",
      "qarn2_socp: after objective assembly row=80, col=80, val=80, b=52, cones=12, q=14",
      "qarn2_socp: ready to solve with ",
      "qarn2_socp: matrix built with m=52, n=14, A.nnz=80, P.nnz=0",
      "qarn2_socp: solve done, status = Solved, elapsed = ",
      "qarn2_socp: solution x_len=14, head=[",
      "qarn2_socp: allow(status)=true, extracted_profile=Some(a)",
  };
  ASSERT_EQ(lines.size(), prefixes.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].substr(0, prefixes[i].size()), prefixes[i]) << "line " << i;
  }
  // x's head in the debug form: every number with a decimal point or an exponent.
  const std::string number = R"(-?\d+(\.\d+(e-?\d+)?|e-?\d+))";
  EXPECT_TRUE(std::regex_match(lines[17], std::regex("qarn2_socp: solution x_len=14, head=\\[" + number + ", " +
                                                     number + ", " + number + "\\]")))
      << lines[17];
  EXPECT_EQ(lines[3], "qarn2_socp: capacity estimate std(val=50, b=30, cone=3), obj(val=44, b=32, cone=10), n_vars=14.");
}

// ---- objective terms of a given profile ----

// s = [0, 1, 3], a = [1, 4, 1]: b = (1.5, -0.75); one axis with tau = 2 (ddq a + dq b) + 1 and
// dq = 1, ddq = 0, so tau = (4, -0.5) on the two intervals; interval times 2/3 and 4/3.
struct TermsCase {
  std::unique_ptr<Robot> robot = conic_test::robot_with_stations(
      1, {0, 1, 3}, std::make_shared<conic_test::LinearDynamics>(std::vector<double>{2.0}, std::vector<double>{1.0}));
  std::vector<double> a{1, 4, 1};
  TermsCase() {
    EXPECT_TRUE(robot->constraints()
                    .set_q(matrix({{0, 1, 3}}), matrix({{1, 1, 1}}), matrix({{0, 0, 0}}), std::nullopt, 0)
                    .ok());
  }
};

TEST(Qarn2ObjectiveTerms, EveryKindOnAHandComputedProfile) {
  const TermsCase c;
  const std::vector<double> half{0.5}, two{2.0}, alpha{1, 2, 3}, beta{1, -1};
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::Time, 1.0, {}, {}},
                                              {ObjectiveKind::ThermalEnergy, 2.0, half, {}},
                                              {ObjectiveKind::TotalVariationTorque, 0.5, two, {}},
                                              {ObjectiveKind::Linear, 1.0, alpha, beta}};
  const ObjectiveTerms t = qarn2_objective_terms(*c.robot, 0, objectives, c.a);
  ASSERT_EQ(t.objective_terms.size(), 4u);
  EXPECT_NEAR(t.objective_terms[0], 2.0 / 3.0 + 4.0 / 3.0, 1e-15);
  EXPECT_NEAR(t.objective_terms[1], 2.0 / 3.0 * 4.0 + 4.0 / 3.0 * 0.0625, 1e-15);  // (0.5 tau)^2 = 4, 0.0625
  EXPECT_NEAR(t.objective_terms[2], 2.0 * 4.5, 1e-15);
  EXPECT_NEAR(t.objective_terms[3], (1 + 8 + 3) + 0.5 * 3.0 / 1.0 + 0.5 * -1.0 * -3.0 / 2.0, 1e-15);
  EXPECT_NEAR(t.objective_value, 2.0 + 2.0 * 2.75 + 0.5 * 9.0 + 14.25, 1e-13);
}

TEST(Qarn2ObjectiveTerms, AnUnreadableOrInvalidProfileGivesInfinityAndZeros) {
  const TermsCase c;
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::Time, 1.0, {}, {}}, {ObjectiveKind::Time, 2.0, {}, {}}};
  const std::vector<std::vector<double>> bad{
      {1, 4, 1, 2},                                          // reaches beyond the store
      {1, std::numeric_limits<double>::quiet_NaN(), 1},      // fails the grid check
      {1},                                                   // a single station
      {},
  };
  for (const auto& a : bad) {
    const ObjectiveTerms t = qarn2_objective_terms(*c.robot, 0, objectives, a);
    EXPECT_EQ(t.objective_value, kInf);
    EXPECT_EQ(t.objective_terms, (std::vector<double>{0.0, 0.0}));
  }
  // A start beyond the store, and one whose end would overflow the station ids.
  EXPECT_EQ(qarn2_objective_terms(*c.robot, 1, objectives, c.a).objective_value, kInf);
  EXPECT_EQ(qarn2_objective_terms(*c.robot, std::numeric_limits<std::uint64_t>::max(), objectives, c.a).objective_value,
            kInf);
}

}  // namespace
}  // namespace qarn::qarn2

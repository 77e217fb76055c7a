// QARN3 objective assembly per kind: what each stage appends (rows, cones, variables, cost) on a
// small window with stationary ends, the Linear fold onto the junctions against the objective
// summed over the full profile, the refusals, and the capacity estimate as an upper bound. The
// coefficients themselves are checked against cvxpy (qarn3_reference_test).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "conic/conic_test_support.hpp"
#include "qarn/qarn3/opt3/qarn3_objectives.hpp"
#include "qarn/qarn3/opt3/time_weights.hpp"
#include "qarn3/topp3_test_support.hpp"
#include "station/station_test_support.hpp"

namespace qarn::qarn3 {
namespace {

using conic_test::expect_cones;

// Ten stations (k0 = 2, k1 = 1): junctions 2 and 8, inner stations 2 ..= 8 (m = 7), two axes.
struct Window {
  static constexpr std::size_t kN = 10;
  std::vector<double> s = test3::uneven_grid(kN);
  std::unique_ptr<Robot> robot;
  std::vector<double> reference = std::vector<double>(kN, 0.5);
  std::vector<double> normalize{1.0, 0.5};
  std::vector<double> alpha, beta;

  Window() {
    std::mt19937_64 rng(5);
    const test2::SinePath p = test2::sine_path(rng, 2, s);
    robot = test3::robot_on_path(s, p.q, p.dq, p.ddq, p.dddq, {{1, 2, 9}, {1, 2, 9}},
                                 std::make_shared<conic_test::LinearDynamics>(std::vector<double>{2.0, 1.0},
                                                                              std::vector<double>{0.5, -1.0}));
    for (std::size_t i = 0; i < kN; ++i) {
      alpha.push_back(1.0 + 0.1 * static_cast<double>(i));
      beta.push_back(0.3 - 0.05 * static_cast<double>(i));
    }
  }
  Qarn3Problem problem(std::span<const ObjectiveView> objectives) const {
    const auto built = Qarn3ProblemBuilder{*robot, objectives, {.a_linearization = reference, .num_stationary_max = NumStationary{2, 1}}}
                           .build_with_linearization();
    EXPECT_TRUE(built.ok());
    return *built;
  }
};

// The rows, cones and variables one objective appends after the sqrt-a stage.
struct Appended {
  std::size_t rows, vars;
  std::vector<clarabel::Cone> cones;
  std::vector<double> q;  // the cost of the new variables
};

Appended append_one(const Window& w, const ObjectiveView& objective) {
  const std::vector<ObjectiveView> list{{ObjectiveKind::Time, 1.0, {}, {}}, objective};
  const Qarn3Problem p = w.problem(list);
  ClarabelTriplets t;
  std::vector<double> q(add_sqrt_a_stage_qarn3(Window::kN - 1, list, t, 2, 1), 0.0);
  const std::size_t rows = t.row_count(), cones = t.cones.size(), vars = q.size();
  const Qarn3Problem only{p, p.robot, std::span<const ObjectiveView>(list).last(1)};
  std::optional<TorqueCoefficients> torque;
  EXPECT_TRUE(clarabel_objective_qarn3(only, w.s, torque, t, q).ok());
  return {t.row_count() - rows, q.size() - vars,
          std::vector<clarabel::Cone>(t.cones.begin() + static_cast<std::ptrdiff_t>(cones), t.cones.end()),
          std::vector<double>(q.begin() + static_cast<std::ptrdiff_t>(vars), q.end())};
}

TEST(Qarn3Assembly, SqrtStageOnlyForObjectivesThatCostTime) {
  const std::size_t n = Window::kN, m = 7;
  const std::vector<ObjectiveView> linear{{ObjectiveKind::TotalVariationTorque, 1.0, std::vector<double>{1, 1}, {}}};
  ClarabelTriplets none;
  EXPECT_EQ(add_sqrt_a_stage_qarn3(n - 1, linear, none, 2, 1), 2 * n);
  EXPECT_TRUE(none.b.empty() && none.cones.empty());

  const std::vector<ObjectiveView> time{{ObjectiveKind::Time, 1.0, {}, {}}};
  ClarabelTriplets t;
  EXPECT_EQ(add_sqrt_a_stage_qarn3(n - 1, time, t, 2, 1), 2 * n + m);
  EXPECT_EQ(t.b.size(), m + 3 * m);
  std::vector<clarabel::Cone> cones{NonnegativeCone(m)};
  cones.insert(cones.end(), m, SecondOrderCone(3));
  expect_cones(t.cones, cones);
  // u_0 (column 2n) bounds station lo = 2: (a + 1/4, a - 1/4, u).
  EXPECT_EQ(conic_test::entries(t, m).front(), (conic_test::Entry{m, 2, -1.0}));
  EXPECT_EQ(std::vector<double>(t.b.begin() + m, t.b.begin() + m + 3), (std::vector<double>{0.25, -0.25, 0.0}));
}

TEST(Qarn3Assembly, RowsConesAndVariablesPerObjective) {
  const Window w;
  const std::size_t m = 7, dim = 2;
  const std::vector<double> weights = time_objective_weights(w.s, Window::kN, 2, 1);
  const std::vector<double> split = time_objective_weights_split(w.s, Window::kN, 2, 1);

  const Appended time = append_one(w, {ObjectiveKind::Time, 2.0, {}, {}});
  EXPECT_EQ(time.rows, m + 3 * m);
  EXPECT_EQ(time.vars, m);
  std::vector<clarabel::Cone> cones{NonnegativeCone(m)};
  cones.insert(cones.end(), m, SecondOrderCone(3));
  expect_cones(time.cones, cones);
  for (std::size_t k = 0; k < m; ++k) EXPECT_EQ(time.q[k], 2.0 * weights[2 + k]);

  // Thermal: the start and end segment blocks, then one block per inner station.
  const Appended thermal = append_one(w, {ObjectiveKind::ThermalEnergy, 3.0, w.normalize, {}});
  EXPECT_EQ(thermal.vars, 2 + m);
  EXPECT_EQ(thermal.rows, (2 + m) * (dim + 2));
  expect_cones(thermal.cones, std::vector<clarabel::Cone>(2 + m, SecondOrderCone(dim + 2)));
  EXPECT_EQ(thermal.q[0], 3.0 * split[0]);
  EXPECT_EQ(thermal.q[1], 3.0 * split[Window::kN - 1]);
  for (std::size_t k = 0; k < m; ++k) EXPECT_EQ(thermal.q[2 + k], 4.0 * 3.0 * split[2 + k]);

  // Total variation: per axis the two segments and the free intervals 2 .. 7, two rows each.
  const Appended variation = append_one(w, {ObjectiveKind::TotalVariationTorque, 0.5, w.normalize, {}});
  const std::size_t pairs = dim * (2 + 6);
  EXPECT_EQ(variation.vars, pairs);
  EXPECT_EQ(variation.rows, 2 * pairs);
  expect_cones(variation.cones, {NonnegativeCone(2 * pairs)});
  EXPECT_EQ(variation.q, std::vector<double>(pairs, 0.5));

  const Appended linear = append_one(w, {ObjectiveKind::Linear, 1.0, w.alpha, w.beta});
  EXPECT_EQ(linear.rows + linear.vars + linear.cones.size(), 0u);
}

// The Linear cost folds the stationary stations onto their junctions: q . x equals
// w sum_i (alpha_i a_i + beta_i b_i) over the full profile the split would deliver, for windows
// wholly at constant jerk and for phases ending inside them.
TEST(Qarn3Assembly, LinearCostCoversTheStationaryStations) {
  const Window w;
  const std::vector<ObjectiveView> list{{ObjectiveKind::Linear, 0.7, w.alpha, w.beta}};
  for (const RestWindowShapes& shapes : {RestWindowShapes{{1.0}, {1.0}}, RestWindowShapes{{0.3}, {0.6}}}) {
    Qarn3Problem p = w.problem(list);
    p.window_shapes = shapes;
    ClarabelTriplets t;
    std::optional<TorqueCoefficients> torque;
    std::vector<double> q(add_sqrt_a_stage_qarn3(Window::kN - 1, list, t, 2, 1), 0.0);
    ASSERT_TRUE(clarabel_objective_qarn3(p, w.s, torque, t, q).ok());

    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(0.1, 2.0);
    std::vector<double> x(2 * Window::kN);
    for (double& v : x) v = u(rng);
    std::vector<double> a(x.begin(), x.begin() + Window::kN), b(x.begin() + Window::kN, x.end());
    stationary_start_profile(w.s, a, b, 2, a[2], p.start_window());
    b[2] = x[Window::kN + 2];  // the junction keeps its own b, as the split does
    stationary_end_profile(w.s, a, b, 1, a[8], p.end_window());
    b[8] = x[Window::kN + 8];
    double direct = 0.0;
    for (std::size_t i = 0; i < Window::kN; ++i) direct += 0.7 * (w.alpha[i] * a[i] + w.beta[i] * b[i]);
    EXPECT_NEAR(std::inner_product(q.begin(), q.end(), x.begin(), 0.0), direct, 1e-12 * std::abs(direct))
        << shapes.first.share;
  }
}

TEST(Qarn3Assembly, RefusedObjectivesAndTheCapacityBound) {
  const Window w;
  const std::vector<double> short_alpha(Window::kN - 1, 1.0), one(1, 1.0);
  struct Case {
    ObjectiveView objective;
    const char* text;
  };
  for (const Case& c : {Case{{ObjectiveKind::Linear, 1.0, short_alpha, w.beta}, "Invalid Linear objective"},
                        Case{{ObjectiveKind::Time, -1.0, {}, {}}, "Invalid Time objective"},
                        Case{{ObjectiveKind::ThermalEnergy, 1.0, one, {}}, "Invalid ThermalEnergy objective"},
                        Case{{ObjectiveKind::TotalVariationTorque, -2.0, w.normalize, {}},
                             "Invalid TotalVariationTorque objective"}}) {
    const std::vector<ObjectiveView> list{c.objective};
    const Qarn3Problem valid = w.problem(std::vector<ObjectiveView>{{ObjectiveKind::Time, 1.0, {}, {}}});
    const Qarn3Problem p{valid, valid.robot, list};
    ClarabelTriplets t;
    std::vector<double> q(2 * Window::kN + 7, 0.0);
    std::optional<TorqueCoefficients> torque;
    const Status done = clarabel_objective_qarn3(p, w.s, torque, t, q);
    EXPECT_EQ(test::error_text(done), std::string("clarabel_objective_qarn3 reported an invalid input: ") + c.text);
  }

  // Every kind at once (twice for Time): the estimate bounds what the stages append.
  const std::vector<ObjectiveView> all{{ObjectiveKind::Time, 1.0, {}, {}},
                                       {ObjectiveKind::Time, 0.5, {}, {}},
                                       {ObjectiveKind::ThermalEnergy, 1.0, w.normalize, {}},
                                       {ObjectiveKind::TotalVariationTorque, 1.0, w.normalize, {}},
                                       {ObjectiveKind::Linear, 1.0, w.alpha, w.beta}};
  const Qarn3Problem p = w.problem(all);
  ClarabelTriplets t;
  std::optional<TorqueCoefficients> torque;
  std::vector<double> q(add_sqrt_a_stage_qarn3(Window::kN - 1, all, t, 2, 1), 0.0);
  ASSERT_TRUE(clarabel_objective_qarn3(p, w.s, torque, t, q).ok());
  const Qarn3ObjectiveCapacity e = qarn3_objective_capacity(Window::kN, 2, all);
  EXPECT_LE(t.vals.size(), e.values);
  EXPECT_LE(t.b.size(), e.rhs);
  EXPECT_LE(t.cones.size(), e.cones);
  const std::size_t huge = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(qarn3_objective_capacity(huge, huge, all).values, std::numeric_limits<std::uint64_t>::max());
  // The scale stage gets one positive magnitude for every variable beyond a and b.
  const ProfileReference reference{std::vector<double>(Window::kN, 0.5), std::vector<double>(Window::kN, 0.2), {}};
  std::vector<double> scales;
  qarn3_column_scales(p, torque, reference, scales);
  EXPECT_EQ(2 * Window::kN + scales.size(), q.size());
  for (const double v : scales) EXPECT_TRUE(v > 0 && std::isfinite(v)) << v;
}

}  // namespace
}  // namespace qarn::qarn3

// The cone encodings of the QARN2 objectives, checked without the solver: at random points x the
// slack s = b - A x of each cone lies in the cone exactly when the inequality the cone stands for
// holds, the torques being recomputed from the robot model rather than read from the rows.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "conic/conic_test_support.hpp"
#include "qarn/qarn2/opt2/objective_assembly.hpp"

namespace qarn::qarn2 {
namespace {

using conic_test::cone_margin;
using conic_test::cone_slices;
using conic_test::matrix;

// Five stations on uneven intervals, two axes, tau_j = m_j qdd_j + g_j.
struct EncodingCase {
  std::vector<double> s{0, 0.4, 1.0, 1.3, 2.0};
  std::vector<double> m{2, 0.5}, g{0.3, -1};
  Eigen::MatrixXd dq = matrix({{1, 0.5, -1, 2, 0.25}, {-0.5, 1, 1.5, 0, -1}});
  Eigen::MatrixXd ddq = matrix({{0.5, -1, 0, 1, 2}, {1, 0, -0.5, 0.25, 1}});
  std::vector<double> normalize{0.8, 1.5};
  std::unique_ptr<Robot> robot =
      conic_test::robot_with_stations(2, s, std::make_shared<conic_test::LinearDynamics>(m, g));
  static constexpr std::size_t n = 4, big_n = 5;

  EncodingCase() {
    EXPECT_TRUE(robot->constraints().set_q(Eigen::MatrixXd::Zero(2, 5), dq, ddq, std::nullopt, 0).ok());
  }
  // tau'_j on interval k: station k's torque with the interval's b, scaled by normalize.
  double tau(std::size_t j, std::size_t k, const std::vector<double>& x) const {
    const double b = (x[k + 1] - x[k]) / (2.0 * (s[k + 1] - s[k]));
    return normalize[j] * (m[j] * (ddq(j, k) * x[k] + dq(j, k) * b) + g[j]);
  }
};

// Classifies each sample of one cone both ways and counts agreement; samples within `band` of the
// boundary are skipped (rounding may put them on either side).
struct Tally {
  int inside = 0, outside = 0;
  void check(double margin, bool intended, double band) {
    if (std::fabs(margin) < band) return;
    EXPECT_EQ(margin >= 0.0, intended) << "margin " << margin;
    (intended ? inside : outside) += 1;
  }
};

TEST(Qarn2ConeEncoding, EachConeHoldsExactlyWhenItsInequalityHolds) {
  const EncodingCase c;
  const std::vector<ObjectiveView> objectives{{ObjectiveKind::Time, 1.0, {}, {}},
                                              {ObjectiveKind::ThermalEnergy, 1.0, c.normalize, {}},
                                              {ObjectiveKind::TotalVariationTorque, 1.0, c.normalize, {}}};
  ClarabelTriplets t;
  const std::size_t n_var = add_sqrt_a_stage(c.n, objectives, t, 0.0, 0.0);
  std::vector<double> q(n_var, 0.0);
  Qarn2Context context;
  ASSERT_TRUE(clarabel_objective_qarn2({*c.robot, objectives, 0, c.n, 0.0, 0.0}, context, t, q).ok());
  // Columns: a 0..4, r 5..9, Time t 10..13, ThermalEnergy t 14..17, u 18..23 (k = 0..2, j = 0..1).
  ASSERT_EQ(q.size(), 24u);
  const auto r = [](std::size_t k) { return EncodingCase::big_n + k; };

  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> a_dist(0.0, 3.0), r_dist(-0.5, 2.0), t_dist(-1.0, 4.0), u_dist(-1.0, 6.0);
  Tally sqrt_a, r_nonneg, time, thermal, variation;
  for (int sample = 0; sample < 4000; ++sample) {
    std::vector<double> x(q.size());
    for (std::size_t k = 0; k < 5; ++k) x[k] = a_dist(rng);
    for (std::size_t k = 0; k < 5; ++k) x[r(k)] = r_dist(rng);
    for (std::size_t i = 10; i < 18; ++i) x[i] = t_dist(rng);
    for (std::size_t i = 18; i < 24; ++i) x[i] = u_dist(rng);
    x[r(0)] = 0.0;  // the zero cone fixes the end stations' r to sqrt(0)
    x[r(4)] = 0.0;

    const std::vector<double> slack = conic_test::slack(t, x);
    const auto cones = cone_slices(t, slack, 0, 0);
    ASSERT_EQ(cones.size(), 2u + 3u + 4u + 4u + 1u);
    EXPECT_EQ(cone_margin(cones[0].first, cones[0].second), 0.0);
    for (std::size_t k = 1; k <= 3; ++k) r_nonneg.check(cones[1].second[k - 1], x[r(k)] >= 0.0, 1e-12);
    for (std::size_t k = 1; k <= 3; ++k) {  // r_k^2 <= a_k
      sqrt_a.check(cone_margin(cones[1 + k].first, cones[1 + k].second), x[r(k)] * x[r(k)] <= x[k], 1e-9);
    }
    for (std::size_t k = 0; k < 4; ++k) {
      const double v = x[r(k)] + x[r(k + 1)];
      // t >= 1 / (4 v) on v > 0; no t fits v <= 0.
      const double tt = x[10 + k];
      time.check(cone_margin(cones[5 + k].first, cones[5 + k].second), v > 0.0 && tt >= 1.0 / (4.0 * v), 1e-9);
      // 4 v t >= |tau'|^2 with v + t >= 0.
      const double te = x[14 + k];
      const double squares = c.tau(0, k, x) * c.tau(0, k, x) + c.tau(1, k, x) * c.tau(1, k, x);
      thermal.check(cone_margin(cones[9 + k].first, cones[9 + k].second),
                    v + te >= 0.0 && 4.0 * v * te >= squares, 1e-9);
    }
    const std::vector<double>& nonneg = cones[13].second;
    ASSERT_EQ(nonneg.size(), 2u * 2u * 3u);
    for (std::size_t k = 0; k < 3; ++k) {
      for (std::size_t j = 0; j < 2; ++j) {
        const double d = c.tau(j, k + 1, x) - c.tau(j, k, x);
        const double u = x[18 + 2 * k + j];
        const std::size_t row = 2 * (2 * k + j);
        variation.check(nonneg[row], d <= u, 1e-9);
        variation.check(nonneg[row + 1], -d <= u, 1e-9);
      }
    }
  }
  for (const Tally* tally : {&sqrt_a, &r_nonneg, &time, &thermal, &variation}) {
    EXPECT_GT(tally->inside, 100);
    EXPECT_GT(tally->outside, 100);
  }
}

}  // namespace
}  // namespace qarn::qarn2

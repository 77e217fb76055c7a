// Helpers of the third-order solver tests: robots on a straight line and on random smooth paths
// with velocity, acceleration and jerk limits, the second-order reference profile, and the
// traversal time of a third-order profile computed from its a and b.
#pragma once

#include <gtest/gtest.h>

#include <Eigen/Core>
#include <cmath>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "qarn/problem2.hpp"
#include "qarn/qarn2/dp2/topp2_ra.hpp"
#include "qarn/qarn3/formulation.hpp"
#include "qarn2/sine_path.hpp"
#include "robot/robot_core.hpp"

namespace qarn::test3 {

// Limits of every axis: |velocity| <= v, |acceleration| <= acc, |jerk| <= jerk.
struct Limits {
  double v;
  double acc;
  double jerk;
};

// A robot holding the stations s with the path derivatives q .. dddq (dim x stations) and one
// set of limits per axis; `provider` null means a point mass of unit mass.
inline std::unique_ptr<Robot> robot_on_path(const std::vector<double>& s, const Eigen::MatrixXd& q,
                                            const Eigen::MatrixXd& dq, const Eigen::MatrixXd& ddq,
                                            const Eigen::MatrixXd& dddq, const std::vector<Limits>& limits,
                                            std::shared_ptr<InverseDynamics> provider = nullptr) {
  const auto dim = q.rows();
  const auto n = static_cast<Eigen::Index>(s.size());
  auto robot = std::make_unique<Robot>(static_cast<std::size_t>(dim), s.size(), std::move(provider));
  Constraints& c = robot->constraints();
  EXPECT_TRUE(c.append_s(s).ok());
  EXPECT_TRUE(c.set_q(q, dq, ddq, dddq, 0).ok());
  Eigen::MatrixXd v(dim, n), acc(dim, n), jerk(dim, n);
  for (Eigen::Index i = 0; i < dim; ++i) {
    const Limits& l = limits[static_cast<std::size_t>(i)];
    v.row(i).setConstant(l.v);
    acc.row(i).setConstant(l.acc);
    jerk.row(i).setConstant(l.jerk);
  }
  EXPECT_TRUE(robot->add_velocity_limits(v, -v, 0).ok());
  EXPECT_TRUE(robot->add_acceleration_limits(acc, -acc, 0).ok());
  EXPECT_TRUE(robot->add_jerk_limits(jerk, -jerk, 0).ok());
  return robot;
}

// q(s) = s on one axis over the stations s.
inline std::unique_ptr<Robot> straight_line(const std::vector<double>& s, Limits limits) {
  const auto n = static_cast<Eigen::Index>(s.size());
  const Eigen::MatrixXd q = Eigen::Map<const Eigen::MatrixXd>(s.data(), 1, n);
  return robot_on_path(s, q, Eigen::MatrixXd::Ones(1, n), Eigen::MatrixXd::Zero(1, n), Eigen::MatrixXd::Zero(1, n),
                       {limits});
}

// n stations on [0, 1], slightly and irregularly spaced. On a uniform grid the TOPP3 LP's time
// weights are equal, and its optimum can be a whole face (a zigzag of a between neighbouring
// stations leaves the objective unchanged) on which two interior-point solves stop at different
// points; uneven spacing makes the optimum a single point that can be compared.
inline std::vector<double> uneven_grid(std::size_t n) {
  std::vector<double> s(n);
  for (std::size_t k = 0; k < n; ++k) {
    const double x = static_cast<double>(k) / static_cast<double>(n - 1);
    s[k] = x + 0.02 * std::sin(7.0 * x) + (k % 3 == 1 ? 0.1 / static_cast<double>(n) : 0.0);
  }
  return s;
}

// A random smooth path of `dim` axes on `intervals` uniform intervals of [0, 1], with limits drawn
// per axis.
inline std::unique_ptr<Robot> random_path(std::mt19937_64& rng, std::size_t dim, std::size_t intervals) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const test2::SinePath p = test2::sine_path(rng, static_cast<Eigen::Index>(dim), intervals);
  std::vector<Limits> limits;
  for (std::size_t i = 0; i < dim; ++i) limits.push_back({0.5 + 2.0 * u(rng), 1.0 + 5.0 * u(rng), 5.0 + 30.0 * u(rng)});
  return robot_on_path(p.s, p.q, p.dq, p.ddq, p.dddq, limits);
}

// The time-optimal second-order profile of the whole store, rest to rest: the usual first reference.
inline std::vector<double> topp2_reference(const Robot& robot) {
  const Constraints& c = robot.constraints();
  const Topp2Problem problem{c, c.idx_s_start(), c.idx_s_end() - 1, 0.0, 0.0};
  Result<std::vector<double>> a = qarn2::topp2_ra(problem, {});
  EXPECT_TRUE(a.ok()) << (a ? "" : a.error().display());
  return a ? *a : std::vector<double>{};
}

// Traversal time of a third-order profile on the stations s: a stationary segment takes
// 3 (s_k - s_edge) / sqrt(a_k) under its closed-form shape, a free interval 2 h / (sqrt(a_i) +
// sqrt(a_(i+1))) (exact for a linear in s, second order in h otherwise).
inline double traversal_time(const qarn3::Topp3Profile& p, const std::vector<double>& s) {
  const std::size_t n = p.a.size();
  const auto [k0, k1] = p.num_stationary;
  const std::size_t j = n - 1 - k1;
  double t = 0.0;
  if (k0 > 0) t += 3.0 * (s[k0] - s[0]) / std::sqrt(p.a[k0]);
  if (k1 > 0) t += 3.0 * (s[n - 1] - s[j]) / std::sqrt(p.a[j]);
  for (std::size_t i = k0; i < j; ++i) t += 2.0 * (s[i + 1] - s[i]) / (std::sqrt(p.a[i]) + std::sqrt(p.a[i + 1]));
  return t;
}

}  // namespace qarn::test3

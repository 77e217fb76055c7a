// The robot of the third-order benchmarks: a random smooth 6-axis path on 1,000 stations with
// limits per axis j of |velocity| <= 1 + 0.2 j, |acceleration| <= 3 + 0.5 j, |jerk| <= 20 + 5 j.
#pragma once

#include <Eigen/Core>
#include <cstdlib>
#include <memory>
#include <random>

#include "../tests/cpp/qarn2/sine_path.hpp"
#include "robot/robot_core.hpp"

namespace qarn::bench {

inline constexpr std::size_t kStations = 1000;
inline constexpr Eigen::Index kAxes = 6;

inline std::unique_ptr<Robot> jerk_limited_robot() {
  auto robot = std::make_unique<Robot>(kAxes, kStations);
  std::mt19937_64 rng(2024);
  const test2::SinePath p = test2::sine_path(rng, kAxes, kStations - 1);
  Constraints& c = robot->constraints();
  if (!c.append_s(p.s).ok() || !c.set_q(p.q, p.dq, p.ddq, p.dddq, 0).ok()) std::abort();
  const auto n = static_cast<Eigen::Index>(kStations);
  Eigen::MatrixXd v(kAxes, n), acc(kAxes, n), jerk(kAxes, n);
  for (Eigen::Index j = 0; j < kAxes; ++j) {
    v.row(j).setConstant(1.0 + 0.2 * static_cast<double>(j));
    acc.row(j).setConstant(3.0 + 0.5 * static_cast<double>(j));
    jerk.row(j).setConstant(20.0 + 5.0 * static_cast<double>(j));
  }
  if (!robot->add_velocity_limits(v, -v, 0).ok() || !robot->add_acceleration_limits(acc, -acc, 0).ok() ||
      !robot->add_jerk_limits(jerk, -jerk, 0).ok()) {
    std::abort();
  }
  return robot;
}

}  // namespace qarn::bench

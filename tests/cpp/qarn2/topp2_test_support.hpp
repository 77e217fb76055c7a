// Helpers of the second-order solver tests: stores for a point mass on a straight line and for
// random multi-axis paths with velocity and acceleration limits, and captured diagnostic output
// with the elapsed times masked.
#pragma once

#include <gtest/gtest.h>

#include <Eigen/Core>
#include <cmath>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "qarn/constraints.hpp"
#include "qarn/problem2.hpp"
#include "qarn/qarn2/dp2/reach_set2_options.hpp"
#include "qarn2/sine_path.hpp"

namespace qarn::test2 {

inline std::vector<double> uniform_grid(std::size_t intervals, double length) {
  std::vector<double> s(intervals + 1);
  for (std::size_t k = 0; k <= intervals; ++k) s[k] = length * static_cast<double>(k) / static_cast<double>(intervals);
  return s;
}

// q(s) = s on one axis (dq = 1, ddq = 0) with |velocity| <= v and |acceleration| <= acc: a <= v^2
// and |b| <= acc.
inline Constraints point_mass_line(const std::vector<double>& s, double v, double acc) {
  const auto n = static_cast<Eigen::Index>(s.size());
  Constraints c = Constraints::with_capacity(1, s.size());
  EXPECT_TRUE(c.append_s(s).ok());
  const Eigen::MatrixXd q = Eigen::Map<const Eigen::MatrixXd>(s.data(), 1, n);
  EXPECT_TRUE(c.set_q(q, Eigen::MatrixXd::Ones(1, n), Eigen::MatrixXd::Zero(1, n), std::nullopt, 0).ok());
  EXPECT_TRUE(c.add_velocity_limits(Eigen::MatrixXd::Constant(1, n, v), Eigen::MatrixXd::Constant(1, n, -v), 0).ok());
  EXPECT_TRUE(
      c.add_acceleration_limits(Eigen::MatrixXd::Constant(1, n, acc), Eigen::MatrixXd::Constant(1, n, -acc), 0).ok());
  return c;
}

// A random smooth path of `dim` axes (sine_path) with random velocity and (asymmetric)
// acceleration limits per axis.
inline Constraints random_path_store(std::mt19937_64& rng, std::size_t dim, std::size_t intervals) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const auto d = static_cast<Eigen::Index>(dim);
  const SinePath p = sine_path(rng, d, intervals);
  const auto n = static_cast<Eigen::Index>(p.s.size());
  Constraints c = Constraints::with_capacity(dim, p.s.size());
  EXPECT_TRUE(c.append_s(p.s).ok());
  EXPECT_TRUE(c.set_q(p.q, p.dq, p.ddq, std::nullopt, 0).ok());
  Eigen::MatrixXd v_hi(d, n), v_lo(d, n), a_hi(d, n), a_lo(d, n);
  for (Eigen::Index i = 0; i < d; ++i) {
    const double v = 0.5 + 2.0 * u(rng), a_up = 1.0 + 5.0 * u(rng), a_down = 1.0 + 5.0 * u(rng);
    v_hi.row(i).setConstant(v);
    v_lo.row(i).setConstant(-v);
    a_hi.row(i).setConstant(a_up);
    a_lo.row(i).setConstant(-a_down);
  }
  EXPECT_TRUE(c.add_velocity_limits(v_hi, v_lo, 0).ok());
  EXPECT_TRUE(c.add_acceleration_limits(a_hi, a_lo, 0).ok());
  return c;
}

inline Topp2Problem whole_window(const Constraints& store, double a_start, double a_final) {
  return Topp2Problem{store, static_cast<std::size_t>(store.idx_s_start()),
                      static_cast<std::size_t>(store.idx_s_end() - 1), a_start, a_final};
}

// The display text of a failed result, "<ok>" when it succeeded.
template <class T>
std::string error_of(const Result<T>& r) {
  return r.ok() ? std::string("<ok>") : r.error().display();
}

// Default options at the given verbosity.
inline qarn2::ReachSet2Options at(Verbosity v) {
  qarn2::ReachSet2Options o;
  o.verbosity = v;
  return o;
}

// What f printed on descriptor 1, with every elapsed time ("1.234 us", "12.3 ms", "100 ns")
// replaced by "<t>".
template <class F>
std::string printed(F&& f) {
  testing::internal::CaptureStdout();
  f();
  static const std::regex elapsed(R"(elapsed time = [0-9]+(\.[0-9]+)? (ns|us|ms|s|min|h)\.)");
  return std::regex_replace(testing::internal::GetCapturedStdout(), elapsed, "elapsed time = <t>.");
}

}  // namespace qarn::test2

// A random smooth path for the second-order tests and benchmarks: per axis a sum of three sines
// with random amplitude, frequency and phase on s in [0, 1], with exact first to third
// derivatives. Plain Eigen, so that the benchmarks can use it too.
#pragma once

#include <Eigen/Core>
#include <cmath>
#include <random>
#include <vector>

namespace qarn::test2 {

struct SinePath {
  std::vector<double> s;
  Eigen::MatrixXd q, dq, ddq, dddq;  // dim x stations
};

// The path at the given stations s (strictly increasing).
inline SinePath sine_path(std::mt19937_64& rng, Eigen::Index dim, std::vector<double> s) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  SinePath p;
  p.s = std::move(s);
  const auto n = static_cast<Eigen::Index>(p.s.size());
  p.q = Eigen::MatrixXd::Zero(dim, n);
  p.dq = p.q;
  p.ddq = p.q;
  p.dddq = p.q;
  for (Eigen::Index i = 0; i < dim; ++i) {
    for (int j = 0; j < 3; ++j) {
      const double c = 0.2 + u(rng), w = 1.0 + 6.0 * u(rng), phase = 6.28 * u(rng);
      for (Eigen::Index k = 0; k < n; ++k) {
        const double x = w * p.s[static_cast<std::size_t>(k)] + phase;
        p.q(i, k) += c * std::sin(x);
        p.dq(i, k) += c * w * std::cos(x);
        p.ddq(i, k) -= c * w * w * std::sin(x);
        p.dddq(i, k) -= c * w * w * w * std::cos(x);
      }
    }
  }
  return p;
}

// The path on `intervals` uniform intervals of [0, 1].
inline SinePath sine_path(std::mt19937_64& rng, Eigen::Index dim, std::size_t intervals) {
  std::vector<double> s(intervals + 1);
  for (std::size_t k = 0; k <= intervals; ++k) s[k] = static_cast<double>(k) / static_cast<double>(intervals);
  return sine_path(rng, dim, std::move(s));
}

}  // namespace qarn::test2

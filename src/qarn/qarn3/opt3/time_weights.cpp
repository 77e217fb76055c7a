// Time weights of the third-order objectives; the operation order of each formula is kept as
// written, so that both forms give bit-identical interior weights.
#include "qarn/qarn3/opt3/time_weights.hpp"

#include <algorithm>
#include <cmath>

#include "math/numerical/saturating.hpp"

namespace qarn::qarn3 {
namespace {

// (s[i+1] - s[i-1]) / 2 at every free station k0+1 .. n-2-k1.
std::vector<double> interior_weights(std::span<const double> s, std::size_t n, std::uint64_t k0, std::uint64_t k1) {
  std::vector<double> w(n, 0.0);
  for (std::size_t i = static_cast<std::size_t>(k0) + 1; i + 1 + k1 < n; ++i) w[i] = (s[i + 1] - s[i - 1]) * 0.5;
  return w;
}

}  // namespace

std::size_t time_term_count(std::size_t n, std::uint64_t k0, std::uint64_t k1) {
  const std::uint64_t edges = saturating_add(std::max<std::uint64_t>(k0, 1), std::max<std::uint64_t>(k1, 1));
  return n > edges ? static_cast<std::size_t>(n - edges) : 0;
}

std::vector<double> time_objective_weights(std::span<const double> s, std::size_t n, std::uint64_t k0,
                                           std::uint64_t k1, RestWindowShapes shapes) {
  std::vector<double> w = interior_weights(s, n, k0, k1);
  if (k0 > 0) {
    const std::size_t k = static_cast<std::size_t>(k0);
    const double f = shapes.first.time_factor();
    w[k] = (s[k] - s[0]) * f + (s[k + 1] - s[k]) * 0.5;
  }
  if (k1 > 0) {
    const std::size_t m = n - 1;
    const std::size_t j = m - static_cast<std::size_t>(k1);
    const double f = shapes.second.time_factor();
    w[j] = (s[m] - s[j]) * f + (s[j] - s[j - 1]) * 0.5;
  }
  return w;
}

std::vector<double> linearized_time_weights(std::span<const double> s, std::size_t n, std::uint64_t k0,
                                            std::uint64_t k1, RestWindowShapes shapes, std::span<const double> a_ref,
                                            double floor) {
  std::vector<double> w = time_objective_weights(s, n, k0, k1, shapes);
  for (std::size_t i = 0; i < n; ++i) {
    const double a = std::fmax(a_ref[i], floor);  // fmax: a NaN reference takes the floor
    w[i] *= 0.5 / (a * std::sqrt(a));
  }
  return w;
}

std::vector<double> time_objective_weights_split(std::span<const double> s, std::size_t n, std::uint64_t k0,
                                                 std::uint64_t k1, RestWindowShapes shapes) {
  std::vector<double> w = interior_weights(s, n, k0, k1);
  if (k0 > 0) {
    const std::size_t k = static_cast<std::size_t>(k0);
    w[k] = (s[k + 1] - s[k]) * 0.5;
    w[0] = (s[k] - s[0]) * shapes.first.time_factor();
  }
  if (k1 > 0) {
    const std::size_t m = n - 1;
    const std::size_t j = m - static_cast<std::size_t>(k1);
    w[j] = (s[j] - s[j - 1]) * 0.5;
    w[m] = (s[m] - s[j]) * shapes.second.time_factor();
  }
  return w;
}

}  // namespace qarn::qarn3

// The tolerance fit's curve is C^4 at its breakpoints, and its initial knots stay finite and its
// corner search advances when slopes overflow.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>

#include "path/smoothing.hpp"
#include "path/smoothing_steps.hpp"
#include "path_test_support.hpp"

namespace qarn::path {
namespace {

// d^k/du^k / k! of a span polynomial at u, divided by h^k: the Taylor coefficients in x.
std::array<double, 5> taylor_in_x(const double* a, double u, double h) {
  std::array<double, 6> c;
  std::copy(a, a + 6, c.begin());
  for (std::size_t k = 0; k < 5; ++k)
    for (std::size_t i = 4; i + 1 > k; --i) c[i] += u * c[i + 1];
  std::array<double, 5> out;
  for (std::size_t k = 0; k < 5; ++k) out[k] = c[k] / std::pow(h, static_cast<double>(k));
  return out;
}

TEST(SmoothingFit, NoisyFitIsC4AtEveryBreakpoint) {
  constexpr std::size_t n = 50;
  std::mt19937 rng(17);
  std::normal_distribution<double> noise(0.0, 3e-4);
  Eigen::MatrixXd w(3, n);
  for (std::size_t i = 0; i < n; ++i) {
    const double s = static_cast<double>(i) / (n - 1);
    w.col(static_cast<Eigen::Index>(i)) << std::sin(3 * s) + noise(rng), std::cos(2 * s) + noise(rng), s * s + noise(rng);
  }
  const auto fitted = fit_waypoints_with_tolerance(w, SmoothingConfig{});
  ASSERT_TRUE(fitted.ok()) << fitted.error().display();
  const SpanPolynomials& polys = fitted->fitted;
  ASSERT_GT(polys.spans(), 10u);
  const std::span<const double> b = polys.breakpoints();
  for (std::size_t a = 0; a < 3; ++a) {
    // Jumps of the derivatives of orders 0..4 relative to that derivative's size over the path.
    std::array<double, 5> scale{};
    for (std::size_t p = 0; p < polys.spans(); ++p) {
      for (const double u : {0.0, 1.0}) {
        const auto d = taylor_in_x(polys.group(p, a), u, b[p + 1] - b[p]);
        for (std::size_t k = 0; k < 5; ++k) scale[k] = std::max(scale[k], std::abs(d[k]));
      }
    }
    for (std::size_t p = 1; p < polys.spans(); ++p) {
      const auto left = taylor_in_x(polys.group(p - 1, a), 1.0, b[p] - b[p - 1]);
      const auto right = taylor_in_x(polys.group(p, a), 0.0, b[p + 1] - b[p]);
      for (std::size_t k = 0; k < 5; ++k) {
        EXPECT_LE(std::abs(left[k] - right[k]), 1e-6 * scale[k]) << "axis " << a << ", breakpoint " << p << ", order " << k;
      }
    }
  }
}

TEST(SmoothingFit, AnUnmeasurableTurnIsTakenAsInfinitelySharp) {
  // Axis 0 makes corners at points 1 and 2; on axis 1 both slopes around point 1 overflow to +inf,
  // so their difference is NaN. The knots then sit on the corners alone, as for an infinite turn.
  const std::vector<double> u = {0.0, 0.25, 0.5, 1.0};
  const std::vector<double> y = {0.0, 0.0, 0.0, 1e308, 100.0, 1.7e308, 0.0, 1.7e308};
  const std::vector<double> knots = smoothing::place_initial_knots({u, y, 2});
  EXPECT_EQ(knots, (std::vector<double>{0.25, 0.5}));
}

TEST(SmoothingFit, CornerSearchAdvancesThroughOverflowingSlopes) {
  // Subnormal steps make every slope and corridor bound infinite or NaN; the search still walks
  // every point once and returns finite knots inside (0, 1).
  const std::vector<double> u = {0.0, 5e-324, 1e-323, 0.3, 0.3 + 5e-324, 1.0};
  const std::vector<double> y = {0.0, 1.0, -1.0, 1e300, -1e300, 0.0};
  const std::vector<double> knots = smoothing::place_initial_knots({u, y, 1});
  EXPECT_TRUE(std::ranges::is_sorted(knots));
  for (const double t : knots) EXPECT_TRUE(t > 0.0 && t < 1.0 && std::isfinite(t));
}

}  // namespace
}  // namespace qarn::path

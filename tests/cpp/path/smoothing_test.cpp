// The tolerance fit's curve is C^4 at its breakpoints; its initial knots follow how sharply the
// polyline turns, stay finite, and its corner search advances when slopes overflow.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

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

// n points of y = c u^2 (tolerance units) at uniform u.
std::vector<double> parabola(std::size_t n, double c, std::vector<double>& u) {
  u.resize(n);
  std::vector<double> y(n);
  for (std::size_t i = 0; i < n; ++i) {
    u[i] = static_cast<double>(i) / static_cast<double>(n - 1);
    y[i] = c * u[i] * u[i];
  }
  return y;
}

TEST(SmoothingFit, KnotsAtACornerFollowHowSharplyItTurns) {
  // A turn of 40 tolerances per unit u between segments of 0.5 is sharp: its blend, 0.35 / (35/256
  // * 40), fits between the neighbours and is flanked by knots. A turn of 4 would need a blend
  // wider than the room there: a bend, with its centre knot between short segments and no knot
  // between dense ones. The corners of the parabolas (found by hand) sit at their middle point.
  const double blend = 0.35 / (0.13671875 * 40.0);
  const std::vector<double> kink_u = {0.0, 0.5, 1.0};
  std::vector<double> short_u, dense_u;
  const std::vector<double> short_y = parabola(11, 10.0, short_u);
  const std::vector<double> dense_y = parabola(21, 10.0, dense_u);
  const struct {
    const char* name;
    std::vector<double> u, y, knots;
  } rows[] = {
      {"sharp corner", kink_u, {0.0, 10.0, 0.0}, {0.5 - blend, 0.5, 0.5 + blend}},
      {"gentle corner", kink_u, {0.0, 1.0, 0.0}, {0.5}},
      {"bend between segments of 5 points", short_u, short_y, {0.5}},
      {"bend between segments of 10 points", dense_u, dense_y, {}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(smoothing::place_initial_knots({row.u, row.y, 1}), row.knots) << row.name;
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

// Single-query spline kernels: span lookup at the ends and on knots, clamping, derivative scaling,
// NaN queries, and agreement of the unrolled cubic and quintic forms with a direct power sum.
#include "path/spline_eval.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "path_test_support.hpp"

namespace qarn::path {
namespace {

using namespace testing;

struct Point {
  std::vector<double> q, dq, ddq, dddq;
};

Point eval3(const Path& path, double s, Status* status = nullptr) {
  const std::size_t dim = path.dim();
  Point p{std::vector<double>(dim, -99.0), std::vector<double>(dim, -99.0), std::vector<double>(dim, -99.0),
          std::vector<double>(dim, -99.0)};
  Status st = eval_spline_chunk_up_to_3rd(path, 7, s, p.q, p.dq, p.ddq, p.dddq);
  if (status) *status = st;
  else EXPECT_TRUE(st.ok()) << st.error().display();
  return p;
}

const InterpolatingSpline& spline_of(const Path& path) { return std::get<InterpolatingSpline>(path.representation()); }

double coeff(const Path& path, std::size_t a, std::size_t j, std::size_t p) {
  const auto& s = spline_of(path);
  return s.coefficients[(a * s.spans + j) * s.coeffs_per_span + p];
}

const Eigen::MatrixXd kFivePoints = waypoints(2, {0, 1, 1, -1, 3, 0, 2, 2, 5, 1});

TEST(SplineKernels, RangeEndsGiveTheEndWaypoints) {
  for (const auto mode : {OutOfRangeMode::Error, OutOfRangeMode::Clamp}) {
    const Path path = spline_path(kFivePoints, spline_config(5, 0.0, 1.0, mode));
    const Point first = eval3(path, 0.0);
    EXPECT_EQ(first.q, (std::vector<double>{0, 1}));
    const Point last = eval3(path, 1.0);
    EXPECT_NEAR(last.q[0], 5.0, 1e-14);
    EXPECT_NEAR(last.q[1], 1.0, 1e-14);
  }
}

TEST(SplineKernels, QueryOnAKnotUsesTheSpanThatStartsThere) {
  // On [0, 1] with 5 waypoints, s = 0.25 gives x = 1 exactly: span 1 at t = 0, waypoint 1 exactly.
  const Path path = spline_path(kFivePoints, spline_config(5));
  const Point p = eval3(path, 0.25);
  EXPECT_EQ(p.q, (std::vector<double>{1, -1}));
  EXPECT_EQ(p.dq[0], coeff(path, 0, 1, 1) * 4.0);
  EXPECT_EQ(p.ddq[0], 2.0 * coeff(path, 0, 1, 2) * 16.0);
  EXPECT_EQ(p.dddq[0], 6.0 * coeff(path, 0, 1, 3) * 64.0);
}

TEST(SplineKernels, ClampBelowTheRangeEvaluatesTheFirstSpanStart) {
  const Path path = spline_path(kFivePoints, spline_config(3, 0.0, 1.0, OutOfRangeMode::Clamp));
  const double inv = 4.0;
  for (const double s : {-100.0, -std::numeric_limits<double>::infinity()}) {
    const Point p = eval3(path, s);
    EXPECT_EQ(p.q, (std::vector<double>{0, 1}));
    EXPECT_EQ(p.dq[1], coeff(path, 1, 0, 1) * inv);
    EXPECT_EQ(p.ddq[1], 2.0 * coeff(path, 1, 0, 2) * inv * inv);
    EXPECT_EQ(p.dddq[1], 6.0 * coeff(path, 1, 0, 3) * inv * inv * inv);
  }
  const Point above = eval3(path, 7.0);
  EXPECT_NEAR(above.q[0], 5.0, 1e-14);
}

TEST(SplineKernels, CubicThirdDerivativeIsConstantPerSpan) {
  const Path path = spline_path(kFivePoints, spline_config(3, 0.0, 2.0));
  const double inv = 2.0;
  for (const double s : {0.55, 0.7, 0.99}) {  // all in span 1
    EXPECT_DOUBLE_EQ(eval3(path, s).dddq[0], 6.0 * coeff(path, 0, 1, 3) * inv * inv * inv);
  }
}

TEST(SplineKernels, DerivativesAreWithRespectToS) {
  // 5 waypoints on [0, 2]: inv_span is 2, so dq is twice the derivative in the local parameter.
  const Path path = spline_path(kFivePoints, spline_config(5, 0.0, 2.0));
  const double s = 1.3, t = s * 2.0 - 2.0;  // span 2
  double d1 = 0.0;
  for (std::size_t p = 1; p < 6; ++p) d1 += static_cast<double>(p) * coeff(path, 0, 2, p) * std::pow(t, p - 1.0);
  EXPECT_NEAR(eval3(path, s).dq[0], 2.0 * d1, 1e-12);
}

TEST(SplineKernels, StartStateBecomesAnSDerivative) {
  // A first-order start state v on spans of width 0.5 is dq/ds = v * 2 at s_min, not v.
  auto config = spline_config(5, 0.0, 2.0);
  config.start_state = Eigen::MatrixXd{{0.3, 0.0}, {0.0, 0.0}};
  const Path path = spline_path(kFivePoints, std::move(config));
  EXPECT_EQ(eval3(path, 0.0).dq[0], 0.6);
}

// Value and derivatives by a direct power sum, for comparison with the Horner forms.
Point power_sum(const Path& path, double s) {
  const auto& sp = spline_of(path);
  const double x = (s - sp.s_min) * sp.inv_span;
  const std::size_t j = std::min(static_cast<std::size_t>(std::floor(x)), sp.spans - 1);
  const double t = x - static_cast<double>(j);
  Point out;
  for (std::size_t a = 0; a < path.dim(); ++a) {
    double v = 0, d1 = 0, d2 = 0, d3 = 0;
    for (std::size_t p = 0; p < sp.coeffs_per_span; ++p) {
      const double c = coeff(path, a, j, p), pd = static_cast<double>(p);
      v += c * std::pow(t, pd);
      if (p >= 1) d1 += pd * c * std::pow(t, pd - 1);
      if (p >= 2) d2 += pd * (pd - 1) * c * std::pow(t, pd - 2);
      if (p >= 3) d3 += pd * (pd - 1) * (pd - 2) * c * std::pow(t, pd - 3);
    }
    const double inv = sp.inv_span;
    out.q.push_back(v);
    out.dq.push_back(d1 * inv);
    out.ddq.push_back(d2 * inv * inv);
    out.dddq.push_back(d3 * inv * inv * inv);
  }
  return out;
}

TEST(SplineKernels, HornerFormsAgreeWithThePowerSum) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(-0.5, 2.5);
  for (const std::uint64_t order : {3u, 5u, 7u, 9u}) {  // unrolled cubic and quintic, general above
    const Path path = spline_path(kFivePoints, spline_config(order, -0.5, 2.5));
    for (int i = 0; i < 50; ++i) {
      const double s = u(rng);
      const Point got = eval3(path, s), want = power_sum(path, s);
      for (std::size_t a = 0; a < 2; ++a) {
        EXPECT_NEAR(got.q[a], want.q[a], 1e-11) << order;
        EXPECT_NEAR(got.dq[a], want.dq[a], 1e-10) << order;
        EXPECT_NEAR(got.ddq[a], want.ddq[a], 1e-9) << order;
        EXPECT_NEAR(got.dddq[a], want.dddq[a], 1e-8) << order;
      }
    }
  }
}

TEST(SplineKernels, LowerKernelsAgreeWithTheThirdOrderKernel) {
  for (const std::uint64_t order : {3u, 5u, 7u}) {
    const Path path = spline_path(kFivePoints, spline_config(order));
    const Point full = eval3(path, 0.61);
    std::vector<double> q(2), dq(2), ddq(2), q_only(2);
    ASSERT_TRUE(eval_spline_chunk_up_to_2nd(path, 0, 0.61, q, dq, ddq).ok());
    ASSERT_TRUE(eval_spline_chunk_q(path, 0, 0.61, q_only).ok());
    EXPECT_EQ(q, full.q);
    EXPECT_EQ(dq, full.dq);
    EXPECT_EQ(ddq, full.ddq);
    EXPECT_EQ(q_only, full.q);
  }
}

TEST(SplineKernels, RefusedQueryWritesNothing) {
  const Path path = spline_path(kFivePoints, spline_config(5));
  Status status;
  const Point p = eval3(path, 1.5, &status);
  ASSERT_FALSE(status.ok());
  const auto* e = status.error().path()->get_if<PathError::SOutOfRange>();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->index, 7u);
  EXPECT_EQ(e->s, 1.5);
  EXPECT_EQ(p.q, (std::vector<double>{-99, -99}));
  EXPECT_EQ(p.dddq, (std::vector<double>{-99, -99}));
}

TEST(SplineKernels, AColumnOfAnotherLengthIsRefusedBeforeAnythingIsWritten) {
  const Path path = spline_path(kFivePoints, spline_config(5));
  std::vector<double> q(2, -99.0), dq(2, -99.0), ddq(2, -99.0), short_col(1, -99.0);
  for (const Status& status : {eval_spline_chunk_q(path, 0, 0.5, short_col),
                               eval_spline_chunk_up_to_2nd(path, 0, 0.5, q, dq, short_col),
                               eval_spline_chunk_up_to_3rd(path, 0, 0.5, q, dq, ddq, short_col)}) {
    ASSERT_FALSE(status.ok());
    EXPECT_NE(status.error().path()->get_if<PathError::DimensionMismatch>(), nullptr);
  }
  EXPECT_EQ(q, (std::vector<double>{-99, -99}));
  EXPECT_EQ(ddq, (std::vector<double>{-99, -99}));
  EXPECT_EQ(short_col, (std::vector<double>{-99}));
}

TEST(SplineKernels, NaNQueryGivesNaNEverywhere) {
  for (const std::uint64_t order : {3u, 5u, 7u}) {
    const Path path = spline_path(kFivePoints, spline_config(order));
    const Point p = eval3(path, kNaN);
    for (std::size_t a = 0; a < 2; ++a) {
      EXPECT_TRUE(std::isnan(p.q[a]));
      EXPECT_TRUE(std::isnan(p.dq[a]));
      EXPECT_TRUE(std::isnan(p.ddq[a]));
      EXPECT_TRUE(std::isnan(p.dddq[a])) << order;
    }
  }
}

}  // namespace
}  // namespace qarn::path

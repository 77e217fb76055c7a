// Constructor checks of spline paths and the query-range rule shared by every path kind.
#include "path/path_core.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "path/sampling.hpp"
#include "path_test_support.hpp"

namespace qarn::path {
namespace {

using namespace testing;

TEST(SplinePathConstructor, ChecksDimensionThenCountThenOrderThenRange) {
  const Eigen::MatrixXd no_rows(0, 1);
  const auto no_axes = path_from_interpolating_spline(no_rows, spline_config(1));
  const auto* dim = path_error_as<PathError::InvalidDimension>(no_axes);
  ASSERT_NE(dim, nullptr);
  EXPECT_EQ(dim->dimension, 0u);

  const Eigen::MatrixXd one_point = Eigen::MatrixXd::Zero(2, 1);
  const auto one_waypoint = path_from_interpolating_spline(one_point, spline_config(1, 1.0, 1.0));
  const auto* count = path_error_as<PathError::NotEnoughWaypoints>(one_waypoint);
  ASSERT_NE(count, nullptr);
  EXPECT_EQ(count->count, 1u);

  const auto w = waypoints(1, {0.0, 1.0, 2.0});
  const auto order1 = path_from_interpolating_spline(w, spline_config(1, 1.0, 1.0));
  ASSERT_NE(path_error_as<PathError::InvalidSplineOrder>(order1), nullptr);
  EXPECT_EQ(order1.error().display(), "Some error occurred in the Path struct: invalid spline order: 1, expected >= 3");

  // An even order passes the constructor's own test and is refused by the builder, after the range.
  EXPECT_TRUE(is_path_error<PathError::InvalidSRange>(path_from_interpolating_spline(w, spline_config(4, 1.0, 1.0))));
  const auto order4 = path_from_interpolating_spline(w, spline_config(4));
  const auto* even = path_error_as<PathError::InvalidSplineOrder>(order4);
  ASSERT_NE(even, nullptr);
  EXPECT_EQ(even->order, 4u);
  EXPECT_EQ(order4.error().path()->display(), "invalid spline order: 4, expected >= 3");
}

TEST(SplinePathConstructor, RefusesUnusableRanges) {
  const auto w = waypoints(1, {0.0, 1.0, 3.0});
  auto refused = [&](double s_min, double s_max) {
    const auto r = path_from_interpolating_spline(w, spline_config(3, s_min, s_max));
    const auto* e = path_error_as<PathError::InvalidSRange>(r);
    if (e == nullptr) return false;
    EXPECT_TRUE(std::isnan(s_min) ? std::isnan(e->s_min) : e->s_min == s_min);
    EXPECT_TRUE(std::isnan(s_max) ? std::isnan(e->s_max) : e->s_max == s_max);
    return true;
  };
  EXPECT_TRUE(refused(1.0, 1.0));
  EXPECT_TRUE(refused(2.0, 1.0));
  EXPECT_TRUE(refused(kNaN, 1.0));
  EXPECT_TRUE(refused(0.0, kNaN));
  EXPECT_TRUE(refused(0.0, kInf));
  EXPECT_TRUE(refused(-kInf, 0.0));
  // Finite ends whose width overflows, or a width so small that its inverse does, used to give a
  // path that silently evaluated every query at the first waypoint or as NaN.
  EXPECT_TRUE(refused(-1e308, 1e308));
  EXPECT_TRUE(refused(0.0, 1e-310));
  EXPECT_TRUE(refused(0.0, 5e-324));
  EXPECT_EQ(path_from_interpolating_spline(w, spline_config(3, 1.0, 1.0)).error().display(),
            "Some error occurred in the Path struct: invalid s range: [1, 1]");

  // Wide and narrow ranges that can still be split into spans are accepted and evaluate correctly.
  for (const auto& [s_min, s_max] : {std::pair{-1e300, 1e300}, std::pair{0.0, 1e-300}}) {
    const Path path = spline_path(w, spline_config(3, s_min, s_max));
    const double mid = s_min + (s_max - s_min) / 2.0;
    const auto samples = evaluate_path_samples(path, std::vector<double>{s_min, mid, s_max}, DerivativeOrder::Q);
    ASSERT_TRUE(samples.ok());
    EXPECT_EQ(samples->q.view()(0, 0), 0.0);
    EXPECT_NEAR(samples->q.view()(0, 1), 1.0, 1e-14);
    EXPECT_NEAR(samples->q.view()(0, 2), 3.0, 1e-14);
  }
}

TEST(SplinePathConstructor, KeepsDimensionRangeAndMode) {
  const auto w = waypoints(3, {0, 0, 0, 1, 2, 3, 2, 4, 6});
  const Path path = spline_path(w, spline_config(5, -1.0, 2.0, OutOfRangeMode::Clamp));
  EXPECT_EQ(path.dim(), 3u);
  EXPECT_EQ(path.s_min(), -1.0);
  EXPECT_EQ(path.s_max(), 2.0);
  EXPECT_EQ(path.out_of_range(), OutOfRangeMode::Clamp);
  const auto& spline = std::get<InterpolatingSpline>(path.representation());
  EXPECT_EQ(spline.s_min, -1.0);
  EXPECT_EQ(spline.s_max, 2.0);
  EXPECT_EQ(spline.out_of_range, OutOfRangeMode::Clamp);
}

TEST(QueryRangeRule, ErrorModeAcceptsTheToleranceBandAndClampsIntoTheRange) {
  const QueryRange range{0.0, 1.0, OutOfRangeMode::Error};
  EXPECT_EQ(*range.apply(0, 1.0 + 5e-13), 1.0);
  EXPECT_EQ(*range.apply(0, -5e-13), 0.0);
  EXPECT_EQ(*range.apply(0, 0.25), 0.25);

  const auto above = range.apply(3, 1.0 + 2e-12);
  const PathError* e = above.ok() ? nullptr : above.error().path();
  ASSERT_NE(e, nullptr);
  const auto* oor = e->get_if<PathError::SOutOfRange>();
  ASSERT_NE(oor, nullptr);
  EXPECT_EQ(oor->s_min, 0.0);
  EXPECT_EQ(oor->s_max, 1.0);
  EXPECT_EQ(oor->index, 3u);
  EXPECT_EQ(oor->s, 1.0 + 2e-12);
  EXPECT_EQ(e->display(), "s out of range [0, 1] at index 3: 1.000000000002");

  EXPECT_FALSE(range.apply(0, -2e-12).ok());
  EXPECT_FALSE(range.apply(0, kInf).ok());
  EXPECT_FALSE(range.apply(0, -kInf).ok());
}

TEST(QueryRangeRule, ToleranceIsAbsoluteWhateverTheRange) {
  const QueryRange wide{0.0, 1000.0, OutOfRangeMode::Error};
  EXPECT_TRUE(wide.apply(0, 1000.0 + 5e-13).ok());
  EXPECT_FALSE(wide.apply(0, 1000.0 + 1e-10).ok());  // a band relative to the width would accept this
}

TEST(QueryRangeRule, ClampModeNeverRefuses) {
  const QueryRange range{0.0, 1.0, OutOfRangeMode::Clamp};
  EXPECT_EQ(*range.apply(0, -100.0), 0.0);
  EXPECT_EQ(*range.apply(0, 7.0), 1.0);
  EXPECT_EQ(*range.apply(0, kInf), 1.0);
  EXPECT_EQ(*range.apply(0, -kInf), 0.0);
}

TEST(QueryRangeRule, NaNQueriesPassInBothModes) {
  for (const auto mode : {OutOfRangeMode::Error, OutOfRangeMode::Clamp}) {
    const auto r = QueryRange{0.0, 1.0, mode}.apply(0, kNaN);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(std::isnan(*r));
  }
}

TEST(SRangeCheck, NeedsAFiniteInverseSpanWidth) {
  EXPECT_TRUE(check_s_range(0.0, 1.0, 1).ok());
  EXPECT_TRUE(check_s_range(0.0, 1e-300, 1000).ok());
  // 1e-300 split into 1e10 spans would need an inverse span width above the largest f64.
  EXPECT_FALSE(check_s_range(0.0, 1e-300, 10'000'000'000).ok());
  EXPECT_FALSE(check_s_range(-std::numeric_limits<double>::max(), std::numeric_limits<double>::max(), 1).ok());
}

}  // namespace
}  // namespace qarn::path

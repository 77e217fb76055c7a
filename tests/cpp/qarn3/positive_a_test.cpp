// The positive-a repair: on profiles whose interpolated a touches zero between or at stations,
// every repaired interval ends with a positive minimum, the trapezoid relations of all intervals
// hold as before, and the stations the repair does not touch keep their bits.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "qarn/qarn3/interpolation.hpp"

namespace qarn::qarn3 {
namespace {

using V = std::vector<double>;

template <class T>
std::string error_of(const Result<T>& r) {
  return r.ok() ? std::string("<ok>") : r.error().display();
}

// a[k+1] - a[k] - (b[k] + b[k+1]) h_k per interval.
V trapezoid_residuals(const V& s, const Topp3Profile& p) {
  V r;
  for (std::size_t k = 0; k + 1 < s.size(); ++k) {
    r.push_back(p.a[k + 1] - p.a[k] - (p.b[k] + p.b[k + 1]) * (s[k + 1] - s[k]));
  }
  return r;
}

// A profile with linear b = s - s_c, so a = (s - s_c)^2 - offset holds the trapezoid relations
// exactly; its minimum between stations is -offset.
Topp3Profile parabola(const V& s, double s_c, double offset) {
  Topp3Profile p;
  for (const double v : s) {
    p.a.push_back((v - s_c) * (v - s_c) - offset);
    p.b.push_back(v - s_c);
  }
  return p;
}

V grid(std::size_t n, double length, double stretch) {
  V s;
  for (std::size_t k = 0; k < n; ++k) {
    const double x = static_cast<double>(k) / static_cast<double>(n - 1);
    s.push_back(length * (x + stretch * x * x));
  }
  return s;
}

TEST(ForcePositiveA, RepairedIntervalsArePositiveAndTheRestIsUntouched) {
  struct Case {
    V s;
    double s_c;           // the vertex of a
    bool zero_at_station;  // a[i] = 0 exactly at the station nearest to the vertex
    std::pair<std::uint64_t, std::uint64_t> num_stationary;
  };
  const std::vector<Case> cases{
      {grid(12, 1.0, 0.0), 0.5, false, {0, 0}},   // the minimum 0 falls between stations
      {grid(12, 1.0, 0.3), 0.47, false, {1, 1}},  // a non-uniform grid
      {grid(20, 3.0, 0.5), 1.2, true, {2, 1}},    // a zero at a station with b < 0 before it
      {grid(9, 0.2, 0.2), 0.088, true, {0, 2}},    // short steps
  };
  for (const Case& c : cases) {
    std::size_t nearest = 0;
    for (std::size_t k = 0; k < c.s.size(); ++k) {
      if (std::fabs(c.s[k] - c.s_c) < std::fabs(c.s[nearest] - c.s_c)) nearest = k;
    }
    const double offset = c.zero_at_station ? (c.s[nearest] - c.s_c) * (c.s[nearest] - c.s_c) : 0.0;
    Topp3Profile p = parabola(c.s, c.s_c, offset);
    if (c.zero_at_station) p.a[nearest] = 0.0;
    p.num_stationary = c.num_stationary;
    const Topp3Profile before = p;
    const V residuals_before = trapezoid_residuals(c.s, p);

    const Result<bool> ok = force_positive_a(p, c.s, 1e-12);
    ASSERT_TRUE(ok.ok()) << error_of(ok);
    EXPECT_TRUE(*ok);

    std::set<std::size_t> moved;
    for (std::size_t i = 0; i + 1 < c.s.size(); ++i) {
      if (!(before.b[i] < 0 && before.b[i + 1] > 0)) continue;
      moved.insert(i);
      moved.insert(i + 1);
      const double db = p.b[i + 1] - p.b[i];
      const double minimum = p.a[i] - p.b[i] * p.b[i] * (c.s[i + 1] - c.s[i]) / db;
      EXPECT_GT(minimum, 0.0) << i;
      EXPECT_GT(p.a[i], 0.0);
    }
    EXPECT_EQ(moved.size(), 2u);
    const V residuals_after = trapezoid_residuals(c.s, p);
    for (std::size_t k = 0; k < residuals_after.size(); ++k) EXPECT_NEAR(residuals_after[k], residuals_before[k], 1e-12);
    for (std::size_t k = 0; k < c.s.size(); ++k) {
      if (moved.count(k)) continue;
      EXPECT_EQ(std::bit_cast<std::uint64_t>(p.a[k]), std::bit_cast<std::uint64_t>(before.a[k])) << k;
      EXPECT_EQ(std::bit_cast<std::uint64_t>(p.b[k]), std::bit_cast<std::uint64_t>(before.b[k])) << k;
    }
    // The repaired profile can be timed, once its stationary stations take their closed form.
    const std::size_t n = c.s.size(), k0 = c.num_stationary.first, j = n - 1 - c.num_stationary.second;
    for (std::size_t i = 1; i < k0; ++i) p.a[i] = p.a[k0] * std::pow((c.s[i] - c.s[0]) / (c.s[k0] - c.s[0]), 4.0 / 3);
    for (std::size_t i = j + 1; i + 1 < n; ++i) p.a[i] = p.a[j] * std::pow((c.s[n - 1] - c.s[i]) / (c.s[n - 1] - c.s[j]), 4.0 / 3);
    const auto timed = s_to_t_topp3(c.s, p, 0.0);
    EXPECT_TRUE(timed.ok()) << error_of(timed);
  }
}

TEST(ForcePositiveA, ProfilesWithoutADipAndShortGridsAreLeftAlone) {
  const V s{0.0, 1.0, 2.0, 3.0};
  Topp3Profile rising{V{1, 2, 3, 4}, V{0.5, 0.5, 0.5, 0.5}, {0, 0}};
  const Topp3Profile copy = rising;
  EXPECT_TRUE(*force_positive_a(rising, s, 1e-12));
  EXPECT_EQ(rising.a, copy.a);
  EXPECT_EQ(rising.b, copy.b);
  // With four stations and k1 = 2 no interval has free neighbours on both sides; the bound of
  // the interval loop does not wrap.
  Topp3Profile dip{V{1, 0, 0, 1}, V{-1, -1, 1, 1}, {0, 2}};
  const Topp3Profile dip_copy = dip;
  EXPECT_TRUE(*force_positive_a(dip, s, 1e-12));
  EXPECT_EQ(dip.a, dip_copy.a);
  // With k0 = k1 = 0 only [s1, s2] is examined, and repaired.
  dip.num_stationary = {0, 0};
  EXPECT_TRUE(*force_positive_a(dip, s, 1e-12));
  EXPECT_GT(dip.a[1], 0.0);
  EXPECT_EQ(dip.a[0], 1.0);
  EXPECT_EQ(dip.a[3], 1.0);
}

TEST(ForcePositiveA, AStepThatIsNotFiniteIsRefusedAndReported) {
  // b of 1e200 overflows the quadratic's constant term: the step would be NaN. The interval is
  // left as it was, a line says why, and the result is false.
  const V s{0.0, 1.0, 2.0, 3.0};
  Topp3Profile p{V{4e200, 0, 0, 4e200}, V{-2e200, -1e200, 1e200, 2e200}, {0, 0}};
  const Topp3Profile before = p;
  ::testing::internal::CaptureStdout();
  const Result<bool> ok = force_positive_a(p, s, 1e-12);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(ok.ok()) << error_of(ok);
  EXPECT_FALSE(*ok);
  EXPECT_EQ(p.a, before.a);
  EXPECT_EQ(p.b, before.b);
  EXPECT_EQ(printed.rfind("step = NaN is not finite and non-negative for c0 (i=1): coeff_solve = (", 0), 0u) << printed;
}

TEST(ForcePositiveA, ChecksRunFirstAndChangeNothing) {
  const std::string prefix = "force_positive_a reported an invalid input: ";
  Topp3Profile p{V{1, 1, 1}, V{0, 0, 0}, {0, 0}};
  EXPECT_EQ(error_of(force_positive_a(p, V{0, 1, 2}, 1e-12)), prefix + "`s.len()` = 3 must be at least 4");
  EXPECT_EQ(error_of(force_positive_a(p, V{0, 1, 2, 3}, 1e-12)),
            prefix + "`a.len()` = 3 and `b.len()` = 3 must equal `s.len()` = 4");
  Topp3Profile q{V{1, 1, 1, 1}, V{0, 0, 0, 0}, {2, 1}};
  EXPECT_EQ(error_of(force_positive_a(q, V{0, 1, 2, 3}, 1e-12)), prefix + "`s.len()` = 4 must be at least 5");
  q.num_stationary = {0, 0};
  EXPECT_EQ(error_of(force_positive_a(q, V{0, 1, 2, 3}, -1.0)), prefix + "a_min = -1 must be nonnegative");
  EXPECT_EQ(error_of(force_positive_a(q, V{0, 1, 2, 3}, NAN)), prefix + "a_min = NaN must not be NaN");
  q.a[2] = -0.5;
  EXPECT_EQ(error_of(force_positive_a(q, V{0, 1, 1, 3}, 1e-12)), prefix + "`a[2]` = -0.5 must be nonnegative");
  EXPECT_EQ(q.a, (V{1, 1, -0.5, 1}));
}

TEST(Solve2x2Guarded, SingularAndRegularSystems) {
  EXPECT_FALSE(solve_2x2_guarded(1, 2, 2, 4, 1, 1).has_value());
  const auto x = solve_2x2_guarded(2, 0, 0, 4, 2, 8);
  ASSERT_TRUE(x.has_value());
  EXPECT_EQ(*x, std::make_pair(1.0, 2.0));
  EXPECT_FALSE(solve_2x2_guarded(1e300, 1, 1, 1e300, 1, 1).has_value());  // det overflows
}

}  // namespace
}  // namespace qarn::qarn3

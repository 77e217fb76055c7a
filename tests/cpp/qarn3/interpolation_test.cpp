// Third-order time conversions: free-interval travel times against 50-digit quadrature of
// ds / sqrt(a(s)) on intervals covering every branch, the inverse at points inside them, analytic
// motions, stationary ends, the check order and the texts of the failures.
#include "qarn/qarn3/interpolation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "qarn3/conversion_reference.hpp"

namespace qarn::qarn3 {
namespace {

using testing::read_reference_table;
using testing::to_double;
using V = std::vector<double>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

template <class T>
std::string error_of(const Result<T>& r) {
  return r.ok() ? std::string("<ok>") : r.error().display();
}

Topp3Profile profile(V a, V b, std::uint64_t k0 = 0, std::uint64_t k1 = 0) {
  return Topp3Profile{std::move(a), std::move(b), {k0, k1}};
}

std::vector<double> samples(const V& s, const Topp3Profile& p, const V& t_s, const V& t) {
  auto r = t_to_s_topp3(s, p, t_s, SampleTimes{t});
  EXPECT_TRUE(r.ok()) << error_of(r);
  return r.ok() ? *r : V(t.size(), kNaN);
}

struct IntervalReference {
  double A, B0, B1, h;  // a, b at the integration start, b at its end, length
  double time;          // NaN: no valid motion, inf: never gets across
  double u, time_to_u;  // a point inside (distance from the integration start) and its time
};

std::vector<IntervalReference> interval_references() {
  std::vector<IntervalReference> out;
  for (const auto& row : read_reference_table("free_intervals.txt")) {
    EXPECT_EQ(row.size(), 7u);
    out.push_back({to_double(row[0]), to_double(row[1]), to_double(row[2]), to_double(row[3]), to_double(row[4]),
                   to_double(row[5]), to_double(row[6])});
  }
  return out;
}

// The interval as the last of a two-station profile with speed at its start, so that it is
// integrated from its end node: a[1] = A, b = (-B1, -B0) (a[0] only has to be positive).
void check_from_end_node(const IntervalReference& c, const std::string& what) {
  const V s{0.0, c.h};
  const Topp3Profile p = profile(V{1.0, c.A}, V{-c.B1, -c.B0});
  const auto r = s_to_t_topp3(s, p, 0.0);
  if (!std::isfinite(c.time)) {
    const std::string t_text = std::isnan(c.time) ? "NaN" : "inf";
    EXPECT_NE(error_of(r).find("first at index 1 (t = " + t_text + ")"), std::string::npos) << what << error_of(r);
    return;
  }
  ASSERT_TRUE(r.ok()) << what << error_of(r);
  EXPECT_NEAR(r->t_s[1], c.time, 1e-13 * c.time) << what;
  // Inside: the reversed motion reaches distance u from node 1 a time time_to_u before it.
  const V got = samples(s, p, r->t_s, V{r->t_s[1] - c.time_to_u});
  EXPECT_NEAR(got[0], c.h - c.u, 1e-13 * c.h) << what;
}

// The interval as the first of four stations (then a short interval of constant b and a
// stationary end), so that it is integrated from its start node.
void check_from_start_node(const IntervalReference& c, const std::string& what) {
  const double a1 = std::fma(c.h, c.B1, std::fma(c.h, c.B0, c.A));
  if (!std::isfinite(c.time) || !(a1 > 0) || !std::isfinite(a1)) return;
  // On the second interval a = a1 - 2 B1 (s - s1) from its end: keep it positive.
  const double h2 = c.B1 > 0 ? std::fmin(c.h, a1 / (4 * c.B1)) : c.h;
  const V s{0.0, c.h, c.h + h2, c.h + h2 + c.h};
  if (!(s[2] > s[1])) return;
  const Topp3Profile p = profile(V{c.A, a1, a1, 0.0}, V{c.B0, c.B1, c.B1, 0.0}, 0, 1);
  const auto r = s_to_t_topp3(s, p, 0.0);
  ASSERT_TRUE(r.ok()) << what << error_of(r);
  EXPECT_NEAR(r->t_s[1], c.time, 1e-13 * c.time) << what;
  const V got = samples(s, p, r->t_s, V{c.time_to_u});
  EXPECT_NEAR(got[0], c.u, 1e-13 * c.h) << what;
}

TEST(SToTTopp3, FreeIntervalsMatchQuadratureOnEveryBranch) {
  const auto cases = interval_references();
  ASSERT_EQ(cases.size(), 2000u);
  for (const IntervalReference& c : cases) {
    const std::string what = "A = " + std::to_string(c.A) + ", B0 = " + std::to_string(c.B0) +
                             ", B1 = " + std::to_string(c.B1) + ", h = " + std::to_string(c.h) + ": ";
    check_from_end_node(c, what);
    check_from_start_node(c, what);
  }
}

TEST(SToTTopp3, AnalyticMotions) {
  // Constant a: h / sqrt(a) per interval.
  const V s{0.0, 0.5, 1.25, 2.0};
  const auto constant = s_to_t_topp3(s, profile(V{4, 4, 4, 4}, V{0, 0, 0, 0}), 1.0);
  ASSERT_TRUE(constant.ok()) << error_of(constant);
  for (std::size_t k = 0; k < s.size(); ++k) EXPECT_NEAR(constant->t_s[k], 1.0 + s[k] / 2, 1e-15);
  EXPECT_EQ(constant->t_final, constant->t_s.back());

  // Constant b from rest: a = 2 b s, t = sqrt(2 s / b).
  const double b = 0.75;
  V grid, a, bs;
  for (int k = 0; k <= 20; ++k) {
    grid.push_back(0.1 * k);
    a.push_back(2 * b * grid.back());
    bs.push_back(b);
  }
  const Topp3Profile from_rest = profile(a, bs);
  const auto accel = s_to_t_topp3(grid, from_rest, 0.0);
  ASSERT_TRUE(accel.ok()) << error_of(accel);
  V mid_times, mid_s;
  for (std::size_t k = 0; k < grid.size(); ++k) {
    EXPECT_NEAR(accel->t_s[k], std::sqrt(2 * grid[k] / b), 1e-14) << k;
    mid_s.push_back(grid[k] + 0.037);
    mid_times.push_back(std::sqrt(2 * mid_s.back() / b));
  }
  mid_times.pop_back();
  mid_s.pop_back();
  const V got = samples(grid, from_rest, accel->t_s, mid_times);
  for (std::size_t k = 0; k < got.size(); ++k) EXPECT_NEAR(got[k], mid_s[k], 1e-13 * 2.0) << k;
  // Leaving rest: s grows as 0.5 b tau^2.
  EXPECT_NEAR(samples(grid, from_rest, accel->t_s, V{1e-3})[0], 0.5 * b * 1e-6, 1e-20);

  // Rest to rest over one interval with b = (b0, -b0): half a period, pi / sqrt(2 b0 / h); the
  // rest end without stationary stations needs no end step (0 / sqrt(0) there).
  const auto swing = s_to_t_topp3(V{0.0, 2.0}, profile(V{0, 0}, V{3, -3}), 0.0);
  ASSERT_TRUE(swing.ok()) << error_of(swing);
  EXPECT_NEAR(swing->t_final, std::numbers::pi / std::sqrt(3.0), 1e-15);
}

TEST(SToTTopp3, StationaryEndsFollowTheirShape) {
  // a = a_j x^(4/3) on the stationary stations, as the solvers' boundary profiles write them.
  const V s{0.0, 0.1, 0.3, 0.6, 1.0, 1.3, 1.4};
  V a(s.size()), b(s.size());
  stationary_start_profile(s, a, b, 2, 0.5);
  stationary_end_profile(s, a, b, 2, 0.5);
  a[3] = 0.5;  // constant a between the junctions 2 and 4
  b[2] = b[3] = b[4] = 0.0;
  const Topp3Profile p = profile(a, b, 2, 2);
  const auto r = s_to_t_topp3(s, p, 0.25);
  ASSERT_TRUE(r.ok()) << error_of(r);
  for (std::size_t i = 1; i <= 2; ++i) EXPECT_DOUBLE_EQ(r->t_s[i], 0.25 + 3 * s[i] / std::sqrt(a[i]));
  EXPECT_NEAR(r->t_s[4] - r->t_s[2], 0.7 / std::sqrt(0.5), 1e-14);
  EXPECT_DOUBLE_EQ(r->t_s[6] - r->t_s[4], 3 * 0.4 / std::sqrt(0.5));
  // The inverse gives the stations back at their times, and s - s[0] grows as (t - t0)^3.
  const V back = samples(s, p, r->t_s, r->t_s);
  for (std::size_t i = 0; i < s.size(); ++i) EXPECT_NEAR(back[i], s[i], 1e-15) << i;
  const double t1 = 0.25 + 0.01, t2 = 0.25 + 0.02;
  const V start = samples(s, p, r->t_s, V{t1, t2});
  EXPECT_NEAR(start[1] / start[0], 8.0, 1e-12);
}

TEST(SToTTopp3, ChecksAndFailuresNameTheirCause) {
  const V s{0.0, 1.0, 2.0};
  const std::string prefix = "s_to_t_topp3 reported an invalid input: ";
  EXPECT_EQ(error_of(s_to_t_topp3(s, profile(V{1, 1}, V{0, 0, 0}), 0.0)),
            prefix + "`a.len()` = 2 and `b.len()` = 3 must equal `s.len()` = 3");
  EXPECT_EQ(error_of(s_to_t_topp3(s, profile(V{1, 1, 1}, V{0, 0, 0}, 1, 1), 0.0)),
            prefix + "`s.len()` = 3 must be at least 4");
  EXPECT_EQ(error_of(s_to_t_topp3(s, profile(V{1, 1, 1}, V{0, 0, 0}), kNaN)), prefix + "t0 = NaN must not be NaN");
  EXPECT_EQ(error_of(s_to_t_topp3(s, profile(V{1, 1, 1}, V{0, 0, 0}), kInf)), prefix + "t0 = inf must not be infinite");
  // Reaching rest without deceleration takes forever.
  EXPECT_EQ(error_of(s_to_t_topp3(s, profile(V{1, 0, 1}, V{0.5, 0, 0.5}), 0.0)),
            prefix +
                "computed time profile contains NaN or infinity: first at index 1 (t = inf), num_stationary = (0, 0)\n"
                "  [0] a = 1.000000, b = 0.500000, s = 0.000000\n"
                "  [1] a = 0.000000, b = 0.000000, s = 1.000000\n"
                "  [2] a = 1.000000, b = 0.500000, s = 2.000000");
  // A duration below the resolution of t0.
  EXPECT_EQ(error_of(s_to_t_topp3(V{0.0, 1.0}, profile(V{1, 1}, V{0, 0}), 1e20)),
            prefix + "`t_s` must be strictly increasing; first violation at local index 0.");
}

TEST(TToSTopp3, UniformGridAndItsEnds) {
  const V s{0.0, 0.5, 1.0};
  const Topp3Profile p = profile(V{1, 1, 1}, V{0, 0, 0});
  const V t_s{0.0, 0.5, 1.0};
  const auto grid = [&](double t0, double dt, bool include_final) {
    auto r = t_to_s_topp3(s, p, t_s, UniformTimes{t0, dt, include_final});
    EXPECT_TRUE(r.ok()) << error_of(r);
    return r.ok() ? *r : V{};
  };
  EXPECT_EQ(grid(0.0, 0.25, true), (V{0.0, 0.25, 0.5, 0.75, 1.0}));
  EXPECT_EQ(grid(0.0, 0.25, false), (V{0.0, 0.25, 0.5, 0.75}));
  EXPECT_EQ(grid(1.0, 0.25, true), (V{1.0}));
  EXPECT_EQ(grid(1.0, 0.25, false), (V{}));
  const V outside = grid(-0.5, 0.5, false);
  ASSERT_EQ(outside.size(), 3u);
  EXPECT_TRUE(std::isnan(outside[0]));
  // Queries past the end are NaN, and so is every later one.
  const V late = samples(s, p, t_s, V{0.5, 1.5, 2.0});
  EXPECT_EQ(late[0], 0.5);
  EXPECT_TRUE(std::isnan(late[1]) && std::isnan(late[2]));

  const std::string prefix = "t_to_s_topp3 reported an invalid input: ";
  EXPECT_EQ(error_of(t_to_s_topp3(s, p, t_s, UniformTimes{0.0, 1e-12, true})),
            prefix + "`dt` = 0.000000000001 gives 1000000000000 samples, more than the limit of 268435456");
  EXPECT_EQ(error_of(t_to_s_topp3(s, p, t_s, UniformTimes{0.0, 0.0, true})), prefix + "`dt` = 0 must be positive");
  EXPECT_EQ(error_of(t_to_s_topp3(s, p, V{0.0, 1.0}, UniformTimes{0.0, 0.5, true})),
            prefix + "`t_s.len()` = 2 must equal `s.len()` = 3");
  EXPECT_EQ(error_of(t_to_s_topp3(s, p, V{0.0, 1.0, 1.0}, UniformTimes{0.0, 0.5, true})),
            prefix + "`t_s` must be strictly increasing; first violation at local index 1.");
  EXPECT_EQ(error_of(t_to_s_topp3(s, p, t_s, SampleTimes{V{}})), prefix + "`t_sample` must not be empty");
}

TEST(TToSTopp3, ConstantCurvatureIntervalFromItsStart) {
  // b[k] = b[k+1] (kappa = 0) from the start node: s = s[k] + tau sqrt(a[k]) + 0.5 b tau^2.
  const V s{0.0, 1.0, 2.0, 3.0};
  const Topp3Profile p = profile(V{1.0, 2.0, 3.0, 0.0}, V{0.5, 0.5, 0.5, 0.0}, 0, 1);
  const auto times = s_to_t_topp3(s, p, 0.0);
  ASSERT_TRUE(times.ok()) << error_of(times);
  const double tau = 0.3;
  EXPECT_NEAR(samples(s, p, times->t_s, V{tau})[0], tau + 0.25 * tau * tau, 1e-15);
}

}  // namespace
}  // namespace qarn::qarn3

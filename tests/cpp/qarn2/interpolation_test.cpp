// Second-order time conversions: the check order and texts, the uniform and explicit samplers,
// and closed-form motions under constant path acceleration as the reference.
#include "qarn/qarn2/interpolation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "diag/format.hpp"

namespace qarn::qarn2 {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

template <class T>
std::string error_of(const Result<T>& r) {
  return r.ok() ? std::string("<ok>") : r.error().display();
}

std::vector<double> uniform(const std::vector<double>& s, const std::vector<double>& a, const std::vector<double>& t_s,
                            double t0, double dt, bool include_final) {
  auto r = t_to_s_topp2(s, a, t_s, UniformTimes{t0, dt, include_final});
  EXPECT_TRUE(r.ok()) << error_of(r);
  return r.ok() ? *r : std::vector<double>{};
}

TEST(SToT, ConstantSpeedGivesDistanceOverSpeed) {
  const auto r = s_to_t_topp2(std::vector<double>{0, 0.5, 1}, std::vector<double>{1, 1, 1}, 0.0);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->t_s, (std::vector<double>{0, 0.5, 1}));
  EXPECT_EQ(r->t_final, 1.0);
}

TEST(SToT, ConstantAccelerationMatchesTheClosedForm) {
  // From rest with path acceleration b: a = 2 b s and t = sqrt(2 s / b).
  const double b = 0.75;
  std::vector<double> s, a;
  for (int k = 0; k <= 40; ++k) {
    s.push_back(0.05 * k);
    a.push_back(2 * b * s.back());
  }
  const auto r = s_to_t_topp2(s, a, 2.0);
  ASSERT_TRUE(r.ok());
  for (std::size_t k = 0; k < s.size(); ++k) EXPECT_NEAR(r->t_s[k], 2.0 + std::sqrt(2 * s[k] / b), 1e-12);
  EXPECT_EQ(r->t_final, r->t_s.back());
}

TEST(SToT, ChecksRunInOrderAndNameTheQuantity) {
  using V = std::vector<double>;
  EXPECT_EQ(error_of(s_to_t_topp2(V{1}, V{kNaN}, 0)),
            "s_to_t_topp2 reported an invalid input: `s.len()` = 1 must be at least 2");
  EXPECT_EQ(error_of(s_to_t_topp2(V{0, 1}, V{1}, 0)),
            "s_to_t_topp2 reported an invalid input: `a.len()` = 1 must equal `s.len()` = 2");
  EXPECT_EQ(error_of(s_to_t_topp2(V{0, kInf, kNaN}, V{1, 1, 1}, 0)),
            "s_to_t_topp2 reported an invalid input: `s[2]` = NaN must not be NaN");
  EXPECT_EQ(error_of(s_to_t_topp2(V{0, -kInf}, V{1, 1}, 0)),
            "s_to_t_topp2 reported an invalid input: `s[1]` = -inf must not be infinite");
  // A NaN in a is reported before a non-increasing s.
  EXPECT_EQ(error_of(s_to_t_topp2(V{1, 0}, V{1, kNaN}, 0)),
            "s_to_t_topp2 reported an invalid input: `a[1]` = NaN must not be NaN");
  EXPECT_EQ(error_of(s_to_t_topp2(V{0, 1, 1}, V{1, 1, 1}, 0)),
            "s_to_t_topp2 reported an invalid input: `s` must be strictly increasing; first violation at local index 1.");
  EXPECT_EQ(error_of(s_to_t_topp2(V{0, 1}, V{1, 1}, kInf)),
            "s_to_t_topp2 reported an invalid input: t0 = inf must not be infinite");
  EXPECT_EQ(error_of(s_to_t_topp2(V{0, 1}, V{1, -0.5}, 0)),
            "s_to_t_topp2 reported an invalid input: `a[1]` = -0.5 must be nonnegative");
  EXPECT_EQ(error_of(s_to_t_topp2(V{0, 1, 2}, V{0, 0, 1}, 0)),
            "s_to_t_topp2 reported an invalid input: `sqrt(a[0]) + sqrt(a[1])` must be finite and positive");
  EXPECT_TRUE(s_to_t_topp2(V{0, 1}, V{-0.0, 1}, 0).ok());
  // Finite inputs whose travel time overflows.
  EXPECT_EQ(error_of(s_to_t_topp2(V{-1e308, 1e308}, V{1e-300, 1e-300}, 0)),
            "s_to_t_topp2 reported an invalid input: computed time profile contains NaN or infinity");
}

TEST(TToS, UniformGridExcludesItsEndTimeAndAppendsTheFinalStation) {
  const std::vector<double> s{0, 0.5, 1}, a{1, 1, 1}, t_s{0, 0.5, 1};
  EXPECT_EQ(uniform(s, a, t_s, 0, 0.25, true), (std::vector<double>{0, 0.25, 0.5, 0.75, 1}));
  EXPECT_EQ(uniform(s, a, t_s, 0, 0.25, false), (std::vector<double>{0, 0.25, 0.5, 0.75}));
  const auto coarse = uniform(s, a, t_s, 0, 0.3, true);  // floor(1 / 0.3) = 3 samples
  ASSERT_EQ(coarse.size(), 4u);
  EXPECT_NEAR(coarse[1], 0.3, 1e-15);
  EXPECT_NEAR(coarse[2], 0.6, 1e-15);
  EXPECT_EQ(coarse[3], 1.0);
  EXPECT_TRUE(uniform(s, a, t_s, 1.5, 0.25, true).empty());
  EXPECT_TRUE(uniform(s, a, t_s, 1.5, 0.25, false).empty());
  // Nothing sampled but t0 within the profile: only the final station.
  EXPECT_EQ(uniform(s, a, t_s, 0.9, 0.25, true), (std::vector<double>{1}));
  // Before the first node the samples are NaN.
  const auto early = uniform(s, a, t_s, -0.5, 0.25, false);
  ASSERT_EQ(early.size(), 6u);
  EXPECT_TRUE(std::isnan(early[0]) && std::isnan(early[1]));
  EXPECT_EQ(early[2], 0.0);
}

TEST(TToS, ExplicitSamplesOutsideTheProfileAreNaN) {
  const std::vector<double> s{0, 0.5, 1}, a{1, 1, 1}, t_s{0, 0.5, 1};
  const std::vector<double> times{-0.1, 0.5, 0.7, 1.0, 1.2};
  const auto r = t_to_s_topp2(s, a, t_s, SampleTimes{times});
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->size(), 5u);
  EXPECT_TRUE(std::isnan((*r)[0]));
  EXPECT_EQ((*r)[1], 0.5);  // a node time belongs to the interval that ends there
  EXPECT_NEAR((*r)[2], 0.7, 1e-15);
  EXPECT_EQ((*r)[3], 1.0);
  EXPECT_TRUE(std::isnan((*r)[4]));
}

TEST(TToS, SamplesFollowConstantPathAcceleration) {
  // Random a profile: inside each interval s(t) = s_k + v_k tau + 0.5 b_k tau^2 with
  // v_k = sqrt(a_k) and b_k = (a_{k+1} - a_k) / (2 h); at the node times it returns the nodes.
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(0.1, 2.0);
  std::vector<double> s{0}, a{u(rng)};
  for (int k = 0; k < 30; ++k) {
    s.push_back(s.back() + 0.1 * u(rng));
    a.push_back(u(rng));
  }
  const auto t = s_to_t_topp2(s, a, 0.0);
  ASSERT_TRUE(t.ok());
  const auto at_nodes = t_to_s_topp2(s, a, t->t_s, SampleTimes{t->t_s});
  ASSERT_TRUE(at_nodes.ok());
  for (std::size_t k = 0; k < s.size(); ++k) EXPECT_NEAR((*at_nodes)[k], s[k], 1e-12);
  std::vector<double> mids;
  for (std::size_t k = 0; k + 1 < s.size(); ++k) mids.push_back(0.5 * (t->t_s[k] + t->t_s[k + 1]));
  const auto at_mids = t_to_s_topp2(s, a, t->t_s, SampleTimes{mids});
  ASSERT_TRUE(at_mids.ok());
  const auto b = collect_b_from_a(s, a, 0, s.size() - 1);
  for (std::size_t k = 0; k + 1 < s.size(); ++k) {
    const double tau = mids[k] - t->t_s[k];
    EXPECT_NEAR((*at_mids)[k], s[k] + std::sqrt(a[k]) * tau + 0.5 * b[k] * tau * tau, 1e-13);
  }
}

TEST(TToS, ChecksRunInOrderAndNameTheQuantity) {
  const std::vector<double> s{0, 0.5, 1}, a{1, 1, 1}, t_s{0, 0.5, 1};
  const auto uniform_error = [&](std::vector<double> ts, double t0, double dt) {
    return error_of(t_to_s_topp2(s, a, ts, UniformTimes{t0, dt, true}));
  };
  const std::string p = "t_to_s_topp2 reported an invalid input: ";
  EXPECT_EQ(error_of(t_to_s_topp2(s, std::vector<double>{0, 0, 1}, t_s, UniformTimes{0, 0.1, true})),
            p + "`sqrt(a[0]) + sqrt(a[1])` must be finite and positive");
  EXPECT_EQ(uniform_error({0, 1}, 0, 0.1), p + "`t_s.len()` = 2 must equal `s.len()` = 3");
  EXPECT_EQ(uniform_error({0, kInf, kNaN}, 0, 0.1), p + "`t_s[2]` = NaN must not be NaN");
  EXPECT_EQ(uniform_error({0, 0.5, 0.5}, 0, 0.1),
            p + "`t_s` must be strictly increasing; first violation at local index 1.");
  EXPECT_EQ(uniform_error(t_s, kNaN, 0.1), p + "t0 = NaN must not be NaN");
  EXPECT_EQ(uniform_error(t_s, 0, kNaN), p + "dt = NaN must not be NaN");
  EXPECT_EQ(uniform_error(t_s, 0, -kInf), p + "dt = -inf must not be infinite");
  EXPECT_EQ(uniform_error(t_s, 0, 0.0), p + "`dt` = 0 must be positive");
  EXPECT_EQ(uniform_error(t_s, 0, -0.5), p + "`dt` = -0.5 must be positive");
  const auto samples_error = [&](std::vector<double> times) {
    return error_of(t_to_s_topp2(s, a, t_s, SampleTimes{times}));
  };
  EXPECT_EQ(samples_error({}), p + "`t_sample` must not be empty");
  EXPECT_EQ(samples_error({0, -kInf}), p + "`t_sample[1]` = -inf must not be infinite");
  EXPECT_EQ(samples_error({0.2, 0.1}), p + "`t_sample` must be strictly increasing; first violation at local index 0.");
}

TEST(TToS, AStepTooFineForMemoryIsRefusedBeforeAllocating) {
  const std::vector<double> s{0, 0.5, 1}, a{1, 1, 1}, t_s{0, 0.5, 1};
  const double dt = std::ldexp(1.0, -40);  // 2^40 samples over one second
  EXPECT_EQ(error_of(t_to_s_topp2(s, a, t_s, UniformTimes{0, dt, true})),
            "t_to_s_topp2 reported an invalid input: `dt` = " + fmt::plain(dt) +
                " gives 1099511627776 samples, more than the limit of 268435456");
  // A quotient beyond the integer range is told as it is, neither wrapped nor saturated.
  EXPECT_EQ(error_of(t_to_s_topp2(s, a, t_s, UniformTimes{0, 1e-300, false})),
            "t_to_s_topp2 reported an invalid input: `dt` = " + fmt::plain(1e-300) +
                " gives 9.999999999999999e299 samples, more than the limit of 268435456");
  // An ordinary fine step is sampled in full.
  const auto fine = t_to_s_topp2(s, a, t_s, UniformTimes{0, 1.0 / 4096, true});
  ASSERT_TRUE(fine.ok());
  EXPECT_EQ(fine->size(), 4097u);
}

TEST(TToS, SaturatingCountConversion) {
  EXPECT_EQ(saturating_floor_to_u64(kNaN), 0u);
  EXPECT_EQ(saturating_floor_to_u64(-3.5), 0u);
  EXPECT_EQ(saturating_floor_to_u64(-kInf), 0u);
  EXPECT_EQ(saturating_floor_to_u64(0.999), 0u);
  EXPECT_EQ(saturating_floor_to_u64(3.999), 3u);
  EXPECT_EQ(saturating_floor_to_u64(std::ldexp(1.0, 63)), std::uint64_t{1} << 63);
  EXPECT_EQ(saturating_floor_to_u64(std::ldexp(1.0, 64)), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(saturating_floor_to_u64(kInf), std::numeric_limits<std::uint64_t>::max());
}

TEST(AToB, SegmentAccelerationsAndTheirChecks) {
  const std::vector<double> s{0, 0.5, 2}, a{1, 2, 0.5};
  const auto b = a_to_b_topp2(s, a);
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(*b, (std::vector<double>{1.0, -0.5}));
  EXPECT_EQ(collect_b_from_a(s, a, 1, 2), (std::vector<double>{-0.5}));
  EXPECT_TRUE(collect_b_from_a(s, a, 1, 1).empty());
  EXPECT_EQ(error_of(a_to_b_topp2(std::vector<double>{0, 1}, std::vector<double>{1, 2, 3})),
            "a_to_b_topp2 reported an invalid input: `a.len()` = 3 must equal `s.len()` = 2");
  // a_to_b does not ask for non-negative a.
  EXPECT_TRUE(a_to_b_topp2(std::vector<double>{0, 1}, std::vector<double>{-1, 2}).ok());
}

}  // namespace
}  // namespace qarn::qarn2

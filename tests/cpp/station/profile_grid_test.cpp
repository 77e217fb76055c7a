// The shared grid checks: their order, their texts, the guards on the stationary counts and the
// uniform-grid cap.
#include "qarn/profile_grid.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "station/station_test_support.hpp"

namespace qarn {
namespace {

using test::error_text;
using test::kInf;
using test::kNaN;
using V = std::vector<double>;

TEST(ProfileGrid, FindNonIncreasingIgnoresNaN) {
  EXPECT_EQ(find_non_increasing_s(V{0.0, 1.0, 1.0}), std::optional<std::size_t>(1));
  EXPECT_EQ(find_non_increasing_s(V{0.0, kNaN, -1.0}), std::nullopt);
  EXPECT_EQ(find_non_increasing_s(V{2.0, 1.0}), std::optional<std::size_t>(0));
  EXPECT_EQ(find_non_increasing_s(V{}), std::nullopt);
}

TEST(ProfileGrid, StationaryCountsMustFitWithoutWrapping) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const std::string overflow = "c reported an invalid input: `num_stationary` overflowed while checking dimensions";
  EXPECT_EQ(error_text(check_stationary_fits("c", 5, kMax, 1)), overflow);
  EXPECT_EQ(error_text(check_stationary_fits("c", 5, kMax - 2, 1)), overflow);
  EXPECT_EQ(error_text(check_stationary_fits("c", 5, 1, kMax - 2)), overflow);
  // k0 + k1 = max - 2 still sums, and no grid is that long.
  EXPECT_EQ(error_text(check_stationary_fits("c", 5, kMax - 3, 1)),
            "c reported an invalid input: `s.len()` = 5 must be at least 18446744073709551615");
  EXPECT_EQ(error_text(check_stationary_fits("c", 4, 2, 1)),
            "c reported an invalid input: `s.len()` = 4 must be at least 5");
  EXPECT_TRUE(check_stationary_fits("c", 5, 2, 1).ok());
}

TEST(ProfileGrid, ThirdOrderProfileGridRunInOrder) {
  struct Case {
    V s, a, b;
    std::uint64_t k0, k1;
    std::string message;  // after "x reported an invalid input: "
  };
  const V s{0, 1, 2};
  const std::vector<Case> cases{
      {s, V{1}, V{1}, 1, 1, "`s.len()` = 3 must be at least 4"},  // counts before lengths
      {s, V{1, 1}, V{1, 1, 1}, 0, 0, "`a.len()` = 2 and `b.len()` = 3 must equal `s.len()` = 3"},
      {V{0, kInf, kNaN}, V{kNaN, 1, 1}, V{1, 1, 1}, 0, 0, "`s[2]` = NaN must not be NaN"},
      {V{0, kInf, 2}, V{kNaN, 1, 1}, V{1, 1, 1}, 0, 0, "`s[1]` = inf must not be infinite"},
      {V{2, 1, 0}, V{-1, kInf, kNaN}, V{1, 1, 1}, 0, 0, "`a[2]` = NaN must not be NaN"},
      {V{2, 1, 0}, V{-1, -kInf, 1}, V{1, 1, 1}, 0, 0, "`a[1]` = -inf must not be infinite"},
      {V{2, 1, 0}, V{1, -0.5, -1}, V{kNaN, 1, 1}, 0, 0, "`a[1]` = -0.5 must be nonnegative"},
      {V{2, 1, 0}, V{1, -0.0, 1}, V{1, -kInf, 1}, 0, 0, "`b[1]` = -inf must not be infinite"},
      {V{0, 1, 1}, V{1, 0, 1}, V{1, 1, 1}, 0, 0, "`s` must be strictly increasing; first violation at local index 1."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(error_text(validate_topp3_profile("x", c.s, c.a, c.b, c.k0, c.k1)),
              "x reported an invalid input: " + c.message);
  }
  EXPECT_TRUE(validate_topp3_profile("x", s, V{0, 0, 0}, V{0, 0, 0}, 1, 0).ok());
}

TEST(ProfileGrid, UniformGridIsRefusedBeforeItIsAllocated) {
  EXPECT_EQ(*uniform_sample_count("u", UniformTimes{0.0, 0.25, true}, 1.0), 4u);
  EXPECT_EQ(*uniform_sample_count("u", UniformTimes{2.0, 0.25, true}, 1.0), 0u);
  EXPECT_EQ(*uniform_sample_count("u", UniformTimes{0.0, 1.0, true}, double(kMaxUniformSamples)), kMaxUniformSamples);
  EXPECT_EQ(error_text(uniform_sample_count("u", UniformTimes{0.0, 1.0, true}, double(kMaxUniformSamples) + 1)),
            "u reported an invalid input: `dt` = 1 gives 268435457 samples, more than the limit of 268435456");
  EXPECT_EQ(error_text(uniform_sample_count("u", UniformTimes{0.0, 0.0, true}, 1.0)),
            "u reported an invalid input: `dt` = 0 must be positive");
}

}  // namespace
}  // namespace qarn

// Number forms used by every message and repr.
#include "diag/format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace qarn::fmt {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(PlainForm, ShortestPositionalDigits) {
  EXPECT_EQ(plain(1e-8), "0.00000001");
  EXPECT_EQ(plain(1e23), "100000000000000000000000");
  EXPECT_EQ(plain(1.0), "1");
  EXPECT_EQ(plain(0.0), "0");
  EXPECT_EQ(plain(-0.0), "-0");
  EXPECT_EQ(plain(1.5), "1.5");
  EXPECT_EQ(plain(0.0001), "0.0001");
  EXPECT_EQ(plain(-2.25), "-2.25");
  EXPECT_EQ(plain(0.1), "0.1");
  EXPECT_EQ(plain(123456.789), "123456.789");
  EXPECT_EQ(plain(1e-10), "0.0000000001");
  EXPECT_EQ(plain(5e-324), "0." + std::string(323, '0') + "5");
}

TEST(PlainForm, NonFinite) {
  EXPECT_EQ(plain(kNaN), "NaN");
  EXPECT_EQ(plain(kInf), "inf");
  EXPECT_EQ(plain(-kInf), "-inf");
}

TEST(DebugForm, DecimalPointAndExponentThresholds) {
  EXPECT_EQ(debug(1.0), "1.0");
  EXPECT_EQ(debug(0.0), "0.0");
  EXPECT_EQ(debug(-0.0), "-0.0");
  EXPECT_EQ(debug(1e-8), "1e-8");
  EXPECT_EQ(debug(5e-12), "5e-12");
  EXPECT_EQ(debug(1.5e-9), "1.5e-9");
  EXPECT_EQ(debug(0.0001), "0.0001");
  EXPECT_EQ(debug(0.00009999), "9.999e-5");
  EXPECT_EQ(debug(1e15), "1000000000000000.0");
  EXPECT_EQ(debug(1e16), "1e16");
  EXPECT_EQ(debug(-2.5e20), "-2.5e20");
  EXPECT_EQ(debug(kNaN), "NaN");
  EXPECT_EQ(debug(-kInf), "-inf");
}

TEST(FixedForm, CorrectlyRoundedTiesToEven) {
  EXPECT_EQ(fixed(1.0, 3), "1.000");
  EXPECT_EQ(fixed(0.125, 2), "0.12");
  EXPECT_EQ(fixed(0.375, 2), "0.38");
  EXPECT_EQ(fixed(2.5, 0), "2");
  EXPECT_EQ(fixed(99.96, 1), "100.0");
  EXPECT_EQ(fixed(1e-8, 3), "0.000");
  EXPECT_EQ(fixed(-1.23456789, 8), "-1.23456789");
  EXPECT_EQ(fixed(kNaN, 3), "NaN");
  EXPECT_EQ(fixed(kInf, 3), "inf");
}

TEST(ExponentForm, NoPlusNoPadding) {
  EXPECT_EQ(exp(1.5e-9, 6), "1.500000e-9");
  EXPECT_EQ(exp(1.5e-9, 3), "1.500e-9");
  EXPECT_EQ(exp(0.0, 6), "0.000000e0");
  EXPECT_EQ(exp(12345.0, 2), "1.23e4");
  EXPECT_EQ(exp(-1e100, 1), "-1.0e100");
}

TEST(Templates, PlaceholdersInOrder) {
  EXPECT_EQ(format("{} = {} must not be NaN", "a_start", kNaN), "a_start = NaN must not be NaN");
  EXPECT_EQ(format("row {} violated by {:.3?} beyond", std::size_t{4}, 1.23456e-9), "row 4 violated by 0.000 beyond");
  EXPECT_EQ(format("{:?} {:.8} {:.6e}", 1.0, 0.5, 1.5e-9), "1.0 0.50000000 1.500000e-9");
  EXPECT_EQ(format("{{literal}} {}", true), "{literal} true");
  EXPECT_EQ(format("{} {}", -3), "-3 {?}");
}

TEST(Templates, ContainersInDebugForm) {
  std::vector<double> v{1.0, 0.5, 1e-8};
  EXPECT_EQ(format("{:?}", v), "[1.0, 0.5, 1e-8]");
  EXPECT_EQ(format("{:?}", std::optional<double>{2.0}), "Some(2.0)");
  EXPECT_EQ(format("{:?}", std::optional<double>{}), "None");
  EXPECT_EQ(format("{}", std::pair<std::size_t, std::size_t>{1, 2}), "(1, 2)");
  EXPECT_EQ(format("{:.8?}", std::tuple<double, double, double>{1.0, 2.0, 0.5}),
            "(1.00000000, 2.00000000, 0.50000000)");
  EXPECT_EQ(format("{:?}", std::string_view{"axial_velocity"}), "\"axial_velocity\"");
}

// Both shortest forms must read back to exactly the same double, whatever its magnitude.
TEST(RoundTrip, RandomDoublesReadBack) {
  std::mt19937_64 rng(20261207);
  std::uniform_int_distribution<std::uint64_t> bits;
  for (int i = 0; i < 20000; ++i) {
    double v;
    const std::uint64_t b = bits(rng);
    std::memcpy(&v, &b, sizeof v);
    if (!std::isfinite(v)) continue;
    const std::string p = plain(v);
    const std::string d = debug(v);
    ASSERT_EQ(p.find('e'), std::string::npos) << p;
    ASSERT_EQ(std::strtod(p.c_str(), nullptr), v) << p;
    ASSERT_EQ(std::strtod(d.c_str(), nullptr), v) << d;
    ASSERT_TRUE(d.find('.') != std::string::npos || d.find('e') != std::string::npos) << d;
  }
}

}  // namespace
}  // namespace qarn::fmt

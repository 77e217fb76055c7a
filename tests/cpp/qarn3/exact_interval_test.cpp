// Exact dyadic arithmetic against rational arithmetic (signs) and 40-digit logarithms on random
// and adversarial doubles: subnormals, magnitudes near 2^+-1000, exact and near cancellations.
#include "qarn/qarn3/exact_interval.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <optional>

#include "qarn3/conversion_reference.hpp"

namespace qarn::qarn3 {
namespace {

using testing::read_reference_table;
using testing::to_double;
using testing::ulps_apart;

constexpr double kInf = std::numeric_limits<double>::infinity();

int sign_of(char c) { return c == '+' ? 1 : c == '-' ? -1 : 0; }

// The logarithm a wrapper must give for an exact value of the given sign: ln|v| where the
// wrapper is defined for that sign (-inf for zero where zero is allowed), none elsewhere.
std::optional<double> expected_ln(int sign, double ln_abs, bool allows_zero, int wanted_sign) {
  if (sign == 0) return allows_zero ? std::optional<double>(-kInf) : std::nullopt;
  return sign == wanted_sign ? std::optional<double>(ln_abs) : std::nullopt;
}

void expect_ln(std::optional<double> got, std::optional<double> want, const std::string& what) {
  ASSERT_EQ(got.has_value(), want.has_value()) << what;
  if (want) {
    EXPECT_LE(ulps_apart(*got, *want), 2.0) << what << ": " << *got << " vs " << *want;
  }
}

TEST(ExactDyadic, SignsAndLogarithmsMatchTheRationalReference) {
  const auto rows = read_reference_table("exact_dyadic.txt");
  ASSERT_EQ(rows.size(), 10000u);
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 8u);
    const double x = to_double(row[0]), y = to_double(row[1]), z = to_double(row[2]), w = to_double(row[3]);
    const int d1 = sign_of(row[4][0]), d2 = sign_of(row[4][1]), q = sign_of(row[4][2]);
    const double ln_d1 = to_double(row[5]), ln_d2 = to_double(row[6]), ln_q = to_double(row[7]);
    const std::string what = row[0] + " " + row[1] + " " + row[2] + " " + row[3];
    EXPECT_EQ(exact_sign_mul_add(x, y, z), d1) << what;
    EXPECT_EQ(exact_sign_mul_add_pair(x, y, z, w), d2) << what;
    EXPECT_EQ(exact_sign_three_product_form(x, y, z, w), q) << what;
    expect_ln(exact_ln_mul_add(x, y, z), expected_ln(d1, ln_d1, true, 1), "ln_mul_add " + what);
    expect_ln(exact_ln_mul_add_pair(x, y, z, w), expected_ln(d2, ln_d2, true, 1), "ln_mul_add_pair " + what);
    expect_ln(exact_ln_neg_mul_add(x, y, z), expected_ln(d1, ln_d1, false, -1), "ln_neg_mul_add " + what);
    expect_ln(exact_ln_three_product_form(x, y, z, w), expected_ln(q, ln_q, false, 1), "ln_three " + what);
  }
}

TEST(ExactDyadic, ProductsBelowTheRangeOfDoublesKeepTheirSignAndSize) {
  const double tiny = std::ldexp(1.0, -600);
  EXPECT_EQ(tiny * tiny + 0.0, 0.0);  // the rounded value says nothing
  EXPECT_EQ(exact_sign_mul_add(tiny, 0.0, tiny), 1);
  EXPECT_EQ(*exact_ln_mul_add(tiny, 0.0, tiny), -1200 * std::numbers::ln2);
  // Subnormal factors are exact: 2^-1074 * 2^-1074 minus itself.
  const double sub = std::numeric_limits<double>::denorm_min();
  EXPECT_EQ(exact_sign_mul_add(sub, 0.0, sub), 1);
  EXPECT_EQ(exact_sign_mul_add(sub, -0.0, -sub), -1);
  EXPECT_EQ(exact_sign_mul_add_pair(sub, 0.0, sub, -sub), 0);
}

TEST(ExactDyadic, ZeroOneAndValuesBelowOne) {
  // x*z = -y exactly: zero, whose logarithm is -inf, and which is not negative.
  EXPECT_EQ(exact_sign_mul_add(3.0, -6.0, 2.0), 0);
  EXPECT_EQ(*exact_ln_mul_add(3.0, -6.0, 2.0), -kInf);
  EXPECT_FALSE(exact_ln_neg_mul_add(3.0, -6.0, 2.0).has_value());
  EXPECT_EQ(*exact_ln_mul_add(0.0, 1.0, 0.0), 0.0);
  // The logarithm of an empty accumulator is -inf instead of a fatal stop.
  EXPECT_EQ(ExactDyadicAcc2{}.ln(), -kInf);
  EXPECT_EQ(ExactDyadicAcc3{}.ln(), -kInf);
  // Values below 1 have a negative exponent term (no unsigned wrap).
  ExactDyadicAcc2 quarter;
  ASSERT_TRUE(quarter.add_product(0.5, 0.5));
  EXPECT_EQ(quarter.ln(), -2 * std::numbers::ln2);
  ExactDyadicAcc3 eighth;
  ASSERT_TRUE(eighth.add_product(true, 0.5, 0.5, 0.5));
  EXPECT_EQ(eighth.sign, 1);
  EXPECT_EQ(eighth.ln(), -3 * std::numbers::ln2);
  // Just below 1, where the logarithm comes from the exact difference to 1.
  EXPECT_EQ(*exact_ln_mul_add(std::ldexp(1.0, -60), 1.0, -1.0), std::log1p(-std::ldexp(1.0, -60)));
}

TEST(ExactDyadic, LogarithmsNeedFiniteInputs) {
  EXPECT_FALSE(exact_ln_mul_add(kInf, 1.0, 1.0).has_value());
  EXPECT_FALSE(exact_ln_mul_add_pair(1.0, 1.0, 1.0, std::nan("")).has_value());
  EXPECT_FALSE(exact_ln_neg_mul_add(1.0, -kInf, 1.0).has_value());
  EXPECT_FALSE(exact_ln_three_product_form(1.0, 1.0, 1.0, kInf).has_value());
}

}  // namespace
}  // namespace qarn::qarn3

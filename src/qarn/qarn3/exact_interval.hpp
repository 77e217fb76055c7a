// Exact sums of products of doubles, for the sign tests and logarithms of the third-order time
// integration when rounding cannot settle them. Every product of two (three) finite doubles is an
// integer multiple of 2^-2148 (2^-3222), so the sums are accumulated without rounding in a wide
// fixed-point integer; its sign is exact and its logarithm comes from its leading bits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>

namespace qarn::qarn3 {

namespace detail {

// Magnitude sum(limbs[i] * 2^(64 i - kUnit)) with a sign; 64-bit limbs, least significant first.
template <std::size_t kLimbs, int kUnit>
struct DyadicAccumulator {
  std::array<std::uint64_t, kLimbs> limbs{};
  std::uint16_t lo = 0;  // lowest non-zero limb
  std::uint16_t hi = 0;  // one past the highest non-zero limb; 0: the value is zero
  std::uint8_t sign = 0;  // 0 positive, 1 negative, 2 a failed build

  static constexpr std::uint8_t kFailed = 2;

  // ln of the magnitude; negative infinity for zero (the callers exclude it first).
  double ln() const;
  // The value rounded to double (overflow to infinity, underflow to zero).
  double to_double() const;

 protected:
  // Adds (-1)^negative * window * 2^(64 offset - kUnit); false on a carry out of the top limb.
  template <std::size_t W>
  bool add_window(const std::array<std::uint64_t, W>& window, std::size_t offset, bool negative);

 private:
  // The leading bits as a factor in [1, 2), rounded once (lower bits enter as a sticky bit).
  double leading_factor() const;
};

}  // namespace detail

// Sums of two-factor products, unit 2^-2148 (the square of the smallest subnormal step).
struct ExactDyadicAcc2 : detail::DyadicAccumulator<66, 2148> {
  // Adds u*v exactly; false when the sum no longer fits.
  bool add_product(double u, double v);
};

// Sums of three-factor products, unit 2^-3222.
struct ExactDyadicAcc3 : detail::DyadicAccumulator<99, 3222> {
  // Adds u*v*w, or its negative when `negate` is set; false when the sum no longer fits.
  bool add_product(bool negate, double u, double v, double w);
};

// The three forms of the interval rule, built as written (y*1.0 first):
// x*z + y,  x*z + x*w + y,  y*w - y*z - x*z*z.
ExactDyadicAcc2 exact_mul_add(double x, double y, double z);
ExactDyadicAcc2 exact_mul_add_pair(double x, double y, double z, double w);
ExactDyadicAcc3 exact_three_product_form(double x, double y, double z, double w);

// Exact signs: -1, 0, 1, or kSignUndecided when the build failed. Inputs are taken as they come.
inline constexpr std::int8_t kSignUndecided = -2;
std::int8_t exact_sign_mul_add(double x, double y, double z);
std::int8_t exact_sign_mul_add_pair(double x, double y, double z, double w);
std::int8_t exact_sign_three_product_form(double x, double y, double z, double w);

// Logarithms of the exact values; none when an input is not finite or the build failed.
// ln(x*z + y): -inf when exactly zero, none when negative.
std::optional<double> exact_ln_mul_add(double x, double y, double z);
// ln(x*z + x*w + y): -inf when exactly zero, none when negative.
std::optional<double> exact_ln_mul_add_pair(double x, double y, double z, double w);
// ln(-(x*z + y)) when the value is negative; none otherwise.
std::optional<double> exact_ln_neg_mul_add(double x, double y, double z);
// ln(y*w - y*z - x*z*z) when positive; none otherwise.
std::optional<double> exact_ln_three_product_form(double x, double y, double z, double w);

}  // namespace qarn::qarn3

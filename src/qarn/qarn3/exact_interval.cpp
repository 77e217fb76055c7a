// Exact dyadic accumulation: products of decomposed doubles are shifted into a window of limbs
// and added to or subtracted from the magnitude, so no bit is ever rounded away.
#include "qarn/qarn3/exact_interval.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace qarn::qarn3 {
namespace {

using u128 = unsigned __int128;

// |x| = m * 2^(e - 1074) with the hidden bit in m; an exponent field of 0 counts as 1.
struct Decomposed {
  std::uint64_t m;
  int e;
  bool negative;
};

Decomposed decompose(double x) {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  const auto field = static_cast<int>((bits >> 52) & 0x7ff);
  std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
  if (field != 0) m |= std::uint64_t{1} << 52;
  return {m, std::max(field, 1) - 1, (bits >> 63) != 0};
}

// The limbs of p shifted left by sh < 64 bits, one limb longer.
template <std::size_t N>
std::array<std::uint64_t, N + 1> shifted(const std::array<std::uint64_t, N>& p, unsigned sh) {
  std::array<std::uint64_t, N + 1> w{};
  for (std::size_t i = 0; i < N; ++i) {
    w[i] |= p[i] << sh;
    if (sh != 0) w[i + 1] = p[i] >> (64 - sh);
  }
  return w;
}

constexpr double kLn2Hi = 0.6931471805599453;
constexpr double kLn2Lo = 2.3190468138462996e-17;  // ln 2 - kLn2Hi

}  // namespace

namespace detail {

template <std::size_t kLimbs, int kUnit>
template <std::size_t W>
bool DyadicAccumulator<kLimbs, kUnit>::add_window(const std::array<std::uint64_t, W>& w, std::size_t offset,
                                                  bool negative) {
  std::size_t w_lo = W, w_hi = 0;
  for (std::size_t i = 0; i < W; ++i) {
    if (w[i] == 0) continue;
    if (w_lo == W) w_lo = i;
    w_hi = i + 1;
  }
  if (w_hi == 0) return true;  // a zero product
  if (offset + w_hi > kLimbs) return false;
  const std::size_t lo_w = offset + w_lo;
  const std::size_t hi_w = offset + w_hi;
  const auto window_at = [&](std::size_t i) { return i >= offset && i < offset + W ? w[i - offset] : 0; };

  if (hi == 0) {
    for (std::size_t i = lo_w; i < hi_w; ++i) limbs[i] = window_at(i);
    lo = static_cast<std::uint16_t>(lo_w);
    hi = static_cast<std::uint16_t>(hi_w);
    sign = negative ? 1 : 0;
    return true;
  }

  const std::size_t from = std::min<std::size_t>(lo, lo_w);
  const std::size_t to = std::max<std::size_t>(hi, hi_w);
  if (negative == (sign == 1)) {
    std::uint64_t carry = 0;
    std::size_t i = lo_w;
    for (; i < hi_w; ++i) {
      const u128 sum = u128{limbs[i]} + window_at(i) + carry;
      limbs[i] = static_cast<std::uint64_t>(sum);
      carry = static_cast<std::uint64_t>(sum >> 64);
    }
    for (; carry != 0 && i < kLimbs; ++i) carry = ++limbs[i] == 0 ? 1 : 0;
    if (carry != 0) return false;
    hi = static_cast<std::uint16_t>(std::max<std::size_t>(hi, i));
  } else {
    // Opposite signs: the larger magnitude minus the smaller keeps the larger one's sign.
    int order = 0;
    for (std::size_t i = to; i-- > from && order == 0;) {
      const std::uint64_t wi = window_at(i);
      if (limbs[i] != wi) order = limbs[i] > wi ? 1 : -1;
    }
    if (order == 0) {
      std::fill(limbs.begin() + from, limbs.begin() + to, 0);
      lo = hi = sign = 0;
      return true;
    }
    std::uint64_t borrow = 0;
    for (std::size_t i = from; i < to; ++i) {
      const std::uint64_t big = order > 0 ? limbs[i] : window_at(i);
      const std::uint64_t small = order > 0 ? window_at(i) : limbs[i];
      const u128 diff = u128{big} - small - borrow;
      limbs[i] = static_cast<std::uint64_t>(diff);
      borrow = (diff >> 64) != 0 ? 1 : 0;
    }
    if (order < 0) sign = negative ? 1 : 0;
    hi = static_cast<std::uint16_t>(to);
    while (limbs[hi - 1] == 0) --hi;
  }
  lo = static_cast<std::uint16_t>(from);
  while (limbs[lo] == 0) ++lo;
  return true;
}

template <std::size_t kLimbs, int kUnit>
double DyadicAccumulator<kLimbs, kUnit>::ln() const {
  if (hi == 0) return -std::numeric_limits<double>::infinity();
  const std::size_t k = hi - 1u;
  const std::uint64_t t = limbs[k];
  const int c = std::countl_zero(t);
  // The value lies in [2^e, 2^(e+1)); the exponent is signed, it is negative for every value below 1.
  const std::int64_t e = 64 * static_cast<std::int64_t>(k) + (63 - c) - kUnit;
  if (e == 0 || e == -1) {
    // Near 1, ln v = log1p(v - 1) with v - 1 taken exactly, so that no cancellation remains.
    DyadicAccumulator d = *this;
    d.sign = 0;
    std::array<std::uint64_t, 1> one{std::uint64_t{1} << (kUnit % 64)};
    d.add_window(one, kUnit / 64, true);
    return std::log1p(d.to_double());
  }
  // e ln 2 with ln 2 in two parts, so that the large term is rounded once.
  const auto ed = static_cast<double>(e);
  return std::fma(ed, kLn2Hi, std::fma(ed, kLn2Lo, std::log(leading_factor())));
}

template <std::size_t kLimbs, int kUnit>
double DyadicAccumulator<kLimbs, kUnit>::leading_factor() const {
  const std::size_t k = hi - 1u;
  const int c = std::countl_zero(limbs[k]);
  const std::uint64_t next = k > 0 ? limbs[k - 1] : 0;
  std::uint64_t top = limbs[k] << c;
  if (c != 0) top |= next >> (64 - c);
  bool sticky = c != 0 ? (next << c) != 0 : next != 0;
  for (std::size_t i = lo; i + 1 < k && !sticky; ++i) sticky = limbs[i] != 0;
  return std::ldexp(static_cast<double>(top | (sticky ? 1 : 0)), -63);
}

template <std::size_t kLimbs, int kUnit>
double DyadicAccumulator<kLimbs, kUnit>::to_double() const {
  if (hi == 0) return 0.0;
  const std::size_t k = hi - 1u;
  const int c = std::countl_zero(limbs[k]);
  const std::int64_t e = 64 * static_cast<std::int64_t>(k) + (63 - c) - kUnit;
  const double magnitude = std::ldexp(leading_factor(), static_cast<int>(e));
  return sign == 1 ? -magnitude : magnitude;
}

template struct DyadicAccumulator<66, 2148>;
template struct DyadicAccumulator<99, 3222>;

}  // namespace detail

bool ExactDyadicAcc2::add_product(double u, double v) {
  const Decomposed du = decompose(u);
  const Decomposed dv = decompose(v);
  const u128 p = u128{du.m} * dv.m;
  const auto e = static_cast<unsigned>(du.e + dv.e);
  const std::array<std::uint64_t, 2> limbs_p{static_cast<std::uint64_t>(p), static_cast<std::uint64_t>(p >> 64)};
  return add_window(shifted(limbs_p, e % 64), e / 64, du.negative != dv.negative);
}

bool ExactDyadicAcc3::add_product(bool negate, double u, double v, double w) {
  const Decomposed du = decompose(u);
  const Decomposed dv = decompose(v);
  const Decomposed dw = decompose(w);
  const u128 p12 = u128{du.m} * dv.m;
  const u128 low = u128{static_cast<std::uint64_t>(p12)} * dw.m;
  const u128 high = u128{static_cast<std::uint64_t>(p12 >> 64)} * dw.m + (low >> 64);
  const std::array<std::uint64_t, 3> limbs_p{static_cast<std::uint64_t>(low), static_cast<std::uint64_t>(high),
                                             static_cast<std::uint64_t>(high >> 64)};
  const auto e = static_cast<unsigned>(du.e + dv.e + dw.e);
  const bool negative = (du.negative != dv.negative) != (dw.negative != negate);
  return add_window(shifted(limbs_p, e % 64), e / 64, negative);
}

namespace {

template <class Acc>
Acc failed() {
  Acc acc;
  acc.sign = Acc::kFailed;
  return acc;
}

template <class Acc>
std::int8_t sign_of(const Acc& acc) {
  if (acc.sign == Acc::kFailed) return kSignUndecided;
  if (acc.hi == 0) return 0;
  return acc.sign == 1 ? -1 : 1;
}

bool all_finite(std::initializer_list<double> v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

// ln of a non-negative exact value: -inf at zero, none when negative or not built.
template <class Acc>
std::optional<double> ln_nonnegative(const Acc& acc) {
  const std::int8_t s = sign_of(acc);
  if (s < 0) return std::nullopt;
  return acc.ln();
}

}  // namespace

ExactDyadicAcc2 exact_mul_add(double x, double y, double z) {
  ExactDyadicAcc2 acc;
  if (!acc.add_product(y, 1.0) || !acc.add_product(x, z)) return failed<ExactDyadicAcc2>();
  return acc;
}

ExactDyadicAcc2 exact_mul_add_pair(double x, double y, double z, double w) {
  ExactDyadicAcc2 acc;
  if (!acc.add_product(y, 1.0) || !acc.add_product(x, z) || !acc.add_product(x, w)) {
    return failed<ExactDyadicAcc2>();
  }
  return acc;
}

ExactDyadicAcc3 exact_three_product_form(double x, double y, double z, double w) {
  ExactDyadicAcc3 acc;
  if (!acc.add_product(false, y, w, 1.0) || !acc.add_product(true, y, z, 1.0) || !acc.add_product(true, x, z, z)) {
    return failed<ExactDyadicAcc3>();
  }
  return acc;
}

std::int8_t exact_sign_mul_add(double x, double y, double z) { return sign_of(exact_mul_add(x, y, z)); }

std::int8_t exact_sign_mul_add_pair(double x, double y, double z, double w) {
  return sign_of(exact_mul_add_pair(x, y, z, w));
}

std::int8_t exact_sign_three_product_form(double x, double y, double z, double w) {
  return sign_of(exact_three_product_form(x, y, z, w));
}

std::optional<double> exact_ln_mul_add(double x, double y, double z) {
  if (!all_finite({x, y, z})) return std::nullopt;
  return ln_nonnegative(exact_mul_add(x, y, z));
}

std::optional<double> exact_ln_mul_add_pair(double x, double y, double z, double w) {
  if (!all_finite({x, y, z, w})) return std::nullopt;
  return ln_nonnegative(exact_mul_add_pair(x, y, z, w));
}

std::optional<double> exact_ln_neg_mul_add(double x, double y, double z) {
  if (!all_finite({x, y, z})) return std::nullopt;
  const ExactDyadicAcc2 acc = exact_mul_add(x, y, z);
  if (sign_of(acc) != -1) return std::nullopt;
  return acc.ln();
}

std::optional<double> exact_ln_three_product_form(double x, double y, double z, double w) {
  if (!all_finite({x, y, z, w})) return std::nullopt;
  const ExactDyadicAcc3 acc = exact_three_product_form(x, y, z, w);
  if (sign_of(acc) != 1) return std::nullopt;
  return acc.ln();
}

}  // namespace qarn::qarn3

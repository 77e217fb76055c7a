// Third-order s -> t. Each free interval's time has a closed form chosen by the curvature z of its
// model; the rounded sign tests fall back to exact arithmetic when they cannot decide, and the
// forms near z = 1 and at extreme magnitudes work with logarithms. (t -> s is in sampling.cpp.)
#include "qarn/qarn3/interpolation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "diag/format.hpp"
#include "qarn/qarn3/exact_interval.hpp"

namespace qarn::qarn3 {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kLn2 = std::numbers::ln2;

CoreError invalid(std::string_view name, std::string message) {
  return CoreError::invalid_input(std::string(name), std::move(message));
}

bool positive_finite(double v) { return v > 0 && v < kInf; }

// One unit in the last place of |v|.
double ulp(double v) {
  const double m = std::fabs(v);
  return std::nextafter(m, kInf) - m;
}

// Sums rounded away from zero, for error bounds that must not shrink by rounding.
double add_up(double x, double y) { return std::nextafter(x + y, kInf); }

// ln(e^x + e^y), exact at -inf operands.
double log_sum_exp(double x, double y) {
  const double hi = std::max(x, y);
  const double lo = std::min(x, y);
  if (hi == -kInf) return -kInf;
  return hi + std::log1p(std::exp(lo - hi));
}

// atanh(sqrt(z))/sqrt(z) for z > 0, atan(sqrt(-z))/sqrt(-z) for z < 0, 1 at 0; for z < 1.
double f_of_z(double z) {
  if (std::fabs(z) < 1e-4) return ((z * 0.14285714285714285 + 0.2) * z + 0.3333333333333333) * z + 1.0;
  const double r = std::sqrt(std::fabs(z));
  if (z < 0) return std::atan(r) / r;
  return 0.5 * std::log1p(2 * r / (1 - r)) / r;
}

// Half a period of s''' = kappa s' from rest to rest, pi / sqrt(-kappa) with kappa = (B1 - B0) / h < 0,
// written as pi sqrt(h) / sqrt(B0 - B1): kappa itself under- or overflows at extreme magnitudes.
double rest_to_rest_time(double B0, double B1, double h) {
  const double drop = B0 - B1;
  if (std::isfinite(drop)) return std::numbers::pi * (std::sqrt(h) / std::sqrt(drop));
  return (std::numbers::pi / std::numbers::sqrt2) * (std::sqrt(h) / std::sqrt(0.5 * B0 - 0.5 * B1));
}

enum class Case { Positive, Negative };

// The travel time over one free interval from its integration start: a(u) = A + 2 B0 u + c u^2,
// c = (B1 - B0) / h, for 0 <= u <= h. NaN when a becomes negative inside or the data are not
// finite, +inf when a has a double root on the interval (the motion never gets across).
double free_interval_time(double A, double B0, double B1, double h) {
  if (!positive_finite(h) || !std::isfinite(A) || A < 0 || !std::isfinite(B0) || !std::isfinite(B1)) return kNaN;

  // The sign of D1 = A + h B0 picks the case: a stays above its tangents, which meet at u = h/2
  // with the value D1, so D1 >= 0 and a(h) >= 0 already keep a non-negative.
  const double D1 = std::fma(h, B0, A);
  Case kind = D1 > 0 ? Case::Positive : Case::Negative;
  if (D1 == 0) {
    const std::int8_t sign = exact_sign_mul_add(h, A, B0);
    if (sign == kSignUndecided) return kNaN;
    kind = sign < 0 ? Case::Negative : Case::Positive;
  }

  // D2 = a(h), with the bound of its rounding error.
  double D2 = std::fma(h, B1, D1);
  const bool d2_rounded_ok = std::isfinite(D1) && std::isfinite(D2);
  const double e2 = d2_rounded_ok ? add_up(ulp(D1), ulp(D2)) : kNaN;
  // The sign of a(h) where the rounded value cannot settle it: -1, 0, 1 or undecided.
  const auto sign_d2 = [&]() -> std::int8_t {
    if (d2_rounded_ok && D2 > e2) return 1;
    if (d2_rounded_ok && D2 < -e2) return -1;
    return exact_sign_mul_add_pair(h, A, B0, B1);
  };

  bool singular = false;
  if (kind == Case::Positive) {
    if (B1 < 0 && sign_d2() < 0) return kNaN;
  } else {
    // D1 < 0: a dips below its value at u = 0; it stays positive only when it has no real root,
    // that is when Q = A B1 - A B0 - h B0^2 (-h/4 times the discriminant) is positive.
    if (!(A > 0 && B1 > 0)) return kNaN;
    const double AB1 = A * B1;
    const double Q = std::fma(-B0, D1, AB1);
    std::int8_t sign = 0;
    if (std::isfinite(D1) && std::isfinite(AB1) && std::isfinite(Q)) {
      const double eQ = add_up(add_up(ulp(AB1), std::fabs(B0) * ulp(D1) * (1 + 0x1p-52)), ulp(Q));
      sign = Q > eQ ? 1 : Q < -eQ ? -1 : exact_sign_three_product_form(h, A, B0, B1);
    } else {
      sign = exact_sign_three_product_form(h, A, B0, B1);
    }
    if (sign < 0) return kNaN;  // negative or undecided
    singular = sign == 0;
  }

  // q = sqrt(a(h)); near zero or beyond the range, from the exact logarithm of a(h).
  double q = 0;
  double ln_q = -kInf;
  if (!d2_rounded_ok || std::fabs(D2) <= e2) {
    const std::optional<double> L = exact_ln_mul_add_pair(h, A, B0, B1);
    if (!L) return kNaN;
    ln_q = 0.5 * *L;
    q = std::exp(ln_q);
  } else {
    if (D2 < -e2) return kNaN;
    // Cancellation in h B1 + D1 costs relative accuracy in a(h): take the correctly rounded value.
    if (std::fabs(D2) < 0.25 * std::fabs(D1)) D2 = exact_mul_add_pair(h, A, B0, B1).to_double();
    q = std::sqrt(D2);
    ln_q = std::log(q);
  }

  const double c = (B1 - B0) / h;
  const double r = std::sqrt(A);
  if (A == 0) {
    if ((B0 > 0 && B1 == -B0) || (B1 < B0 && q == 0)) return rest_to_rest_time(B0, B1, h);
    if (B0 == 0 && B1 >= 0) return kInf;
  }
  if (singular || (B0 <= 0 && q == 0 && B1 == 0)) return kInf;

  const double S = r + q;
  const double m = h / S;
  double z = c * m * m;
  const double ln_r = A > 0 ? 0.5 * std::log(A) : -kInf;
  const auto ln_S = [&] { return positive_finite(S) ? std::log(S) : log_sum_exp(ln_r, ln_q); };
  // 2 m F, through logarithms when m or the product leaves the range of doubles.
  const auto time_from = [&](double F, bool allow_logs) {
    const double dt = 2 * m * F;
    if (allow_logs && !(positive_finite(m) && positive_finite(dt))) {
      return std::exp(std::log(h) + kLn2 - ln_S() + std::log(F));
    }
    return dt;
  };

  bool z_from_logs = false;
  double ln_abs_z = 0;
  if (!positive_finite(m) || !positive_finite(m * m) || !std::isfinite(z) || z == 0) {
    // Rebuild z = (B1 - B0) h / S^2 from logarithms.
    z_from_logs = true;
    if (B1 == B0) {
      z = 0;
    } else {
      const double diff = B1 - B0;
      const double ln_diff =
          std::isfinite(diff) ? std::log(std::fabs(diff)) : log_sum_exp(std::log(std::fabs(B1)), std::log(std::fabs(B0)));
      ln_abs_z = ln_diff + std::log(h) - 2 * ln_S();
      z = std::copysign(std::exp(ln_abs_z), diff);
    }
    if (z <= 0.5) {
      if (z >= 0 || ln_abs_z <= 354.891356446692) return time_from(f_of_z(z), true);
      // atan(sqrt|z|) -> pi/2 for the largest |z|.
      return std::exp(std::log(h) + kLn2 - ln_S() - 0.5 * ln_abs_z + 0.4515827052894548);
    }
    if (!std::isfinite(m)) return kInf;
  }

  if (z <= 0.5) return time_from(f_of_z(z), z_from_logs);

  // Towards the double root (z -> 1) 1 - z is never formed by subtraction: it is
  // 2 (D1 + sqrt(A D2)) / S^2 in the positive case and 2 h Q / ((sqrt(A D2) - D1) S^2) in the
  // negative one, built from the exact values of D1 and Q.
  double w = kNaN;  // ln(1 - z)
  const double ln_sqrt_ad2 = (A == 0 || q == 0) ? -kInf : ln_r + ln_q;
  if (kind == Case::Positive) {
    const double scaled = 2 * ((D1 / S) / S + (r / S) * (q / S));
    if (D1 >= 0 && positive_finite(scaled) && std::isnormal(scaled)) {
      w = std::log(scaled);
    } else {
      const std::optional<double> ln_d1 = exact_ln_mul_add(h, A, B0);
      if (!ln_d1) return kNaN;
      w = kLn2 + log_sum_exp(*ln_d1, ln_sqrt_ad2) - 2 * ln_S();
    }
  } else {
    const std::optional<double> ln_q3 = exact_ln_three_product_form(h, A, B0, B1);
    const std::optional<double> ln_neg_d1 = exact_ln_neg_mul_add(h, A, B0);
    if (!ln_q3 || !ln_neg_d1) return kNaN;
    w = kLn2 + std::log(h) + *ln_q3 - log_sum_exp(*ln_neg_d1, ln_sqrt_ad2) - 2 * ln_S();
  }
  if (std::isfinite(w) && w < 0) {
    const double y = std::clamp(-std::expm1(w), 0.0, 1.0);
    const double root = std::sqrt(y);
    return time_from((std::log1p(root) - 0.5 * w) / root, true);
  }
  return z < 1 ? time_from(f_of_z(z), z_from_logs) : kInf;
}

// Time over free interval k (nodes k and k+1); `last` when it ends at the stationary end or the
// final station. Integrated from the end node when the start has speed and the end does not, or
// on the last interval, so that the rest end (where a vanishes) is the far end of the model.
double interval_time(double a0, double b0, double a1, double b1, double h, bool last) {
  if ((a0 == 0 && b0 == 0) || (a1 == 0 && b1 == 0)) return kInf;
  if ((a1 == 0 || last) && a0 > 0) return free_interval_time(a1, -b1, -b0, h);
  return free_interval_time(a0, b0, b1, h);
}

// Six decimals, or six in the exponent form where they would show none of the digits (below
// 1e-4) or too many (from 1e16).
std::string readable(double v) {
  const double m = std::fabs(v);
  return m == 0 || (m >= 1e-4 && m < 1e16) ? fmt::fixed(v, 6) : fmt::exp(v, 6);
}

}  // namespace

std::string format_profile_dump_lines(std::size_t i, std::span<const double> s, std::span<const double> a,
                                      std::span<const double> b) {
  std::string out;
  const std::size_t from = i == 0 ? 0 : i - 1;
  const std::size_t to = std::min(i + 1, s.size() - 1);
  for (std::size_t k = from; k <= to; ++k) {
    if (k != from) out += '\n';
    out += fmt::format("  [{}] a = {}, b = {}, s = {}", k, readable(a[k]), readable(b[k]), readable(s[k]));
  }
  return out;
}

namespace {

// The arrival times from t0 of a valid profile: +inf or NaN from the first station the motion does
// not reach.
std::vector<double> arrival_times(std::span<const double> s, const Topp3Profile& profile, double t0) {
  const auto [k0, k1] = profile.num_stationary;
  const std::span<const double> a = profile.a;
  const std::span<const double> b = profile.b;
  const std::size_t n = s.size();
  std::vector<double> t_s(n);
  t_s[0] = t0;
  if (k0 > 0) {
    const double span = s[k0] - s[0];
    const RestWindowShape shape = RestWindowShape::of_junction(a[k0], b[k0], span);
    for (std::size_t i = 1; i <= k0; ++i) t_s[i] = t0 + stationary_travel_time(s[i] - s[0], a[i], shape, span, a[k0]);
  }
  const std::size_t j = n - 1 - k1;  // the end junction
  for (std::size_t k = k0; k < j; ++k) {
    t_s[k + 1] = t_s[k] + interval_time(a[k], b[k], a[k + 1], b[k + 1], s[k + 1] - s[k], k + 1 == j);
  }
  // Only a stationary end has this shape; without one the last station is already timed (and
  // may be a rest end, where 0 / sqrt(0) would poison it).
  if (k1 > 0) {
    const double span = s[n - 1] - s[j];
    const RestWindowShape shape = RestWindowShape::of_junction(a[j], b[j], -span);
    const double T = t_s[j] + stationary_travel_time(span, a[j], shape, span, a[j]);
    t_s[n - 1] = T;
    for (std::size_t i = j + 1; i + 1 < n; ++i) {
      t_s[i] = T - stationary_travel_time(s[n - 1] - s[i], a[i], shape, span, a[j]);
    }
  }
  return t_s;
}

// The first station whose arrival time is +inf or NaN, or none.
std::optional<std::size_t> first_unreached(std::span<const double> t_s) {
  const auto bad = std::find_if(t_s.begin(), t_s.end(), [](double v) { return !std::isfinite(v); });
  if (bad == t_s.end()) return std::nullopt;
  return static_cast<std::size_t>(bad - t_s.begin());
}

}  // namespace

std::optional<std::size_t> first_unreached_station(std::span<const double> s, const Topp3Profile& profile) {
  return first_unreached(arrival_times(s, profile, 0.0));
}

Result<StationTimes> s_to_t_topp3(std::span<const double> s, const Topp3Profile& profile, double t0) {
  constexpr std::string_view kName = "s_to_t_topp3";
  const auto [k0, k1] = profile.num_stationary;
  QARN_TRY(validate_topp3_profile(kName, s, profile.a, profile.b, k0, k1));
  QARN_TRY(check_finite_scalar(kName, "t0", t0));
  StationTimes out;
  out.t_s = arrival_times(s, profile, t0);
  const std::vector<double>& t_s = out.t_s;
  const std::size_t j = s.size() - 1 - k1;  // the end junction
  if (const std::optional<std::size_t> unreached = first_unreached(t_s)) {
    const std::size_t i = *unreached;
    // A free interval's time is NaN exactly when its model of a turns negative inside it.
    const bool negative_a = std::isnan(t_s[i]) && i > k0 && i <= j;
    const std::string cause =
        negative_a ? fmt::format(": a turns negative inside [s[{}], s[{}]] (`Profile3rd.force_positive_a` lifts "
                                 "such dips)",
                                 i - 1, i)
                   : std::string();
    return invalid(kName, fmt::format("computed time profile contains NaN or infinity: first at index {} (t = {}), "
                                      "num_stationary = {}{}\n{}",
                                      i, t_s[i], profile.num_stationary, cause,
                                      format_profile_dump_lines(i, s, profile.a, profile.b)));
  }
  QARN_TRY(check_strictly_increasing(kName, "t_s", t_s));
  out.t_final = t_s.back();
  return out;
}

}  // namespace qarn::qarn3

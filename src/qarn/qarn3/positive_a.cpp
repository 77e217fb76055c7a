// The positive-a repair of a third-order profile: a local correction of (a, b) at the two stations
// of an interval whose interpolated a dips to zero, sized so that the interpolated minimum becomes
// a small margin, and shaped so that the trapezoid relations of the neighbouring intervals hold.
#include <cmath>
#include <limits>
#include <optional>
#include <tuple>

#include "diag/format.hpp"
#include "diag/log.hpp"
#include "qarn/qarn3/interpolation.hpp"

namespace qarn::qarn3 {
namespace {

CoreError invalid(std::string message) { return CoreError::invalid_input("force_positive_a", std::move(message)); }

Status check_repair_inputs(const Topp3Profile& p, std::span<const double> s, double a_min) {
  constexpr std::string_view kName = "force_positive_a";
  const std::size_t n = s.size();
  if (p.a.size() != n || p.b.size() != n) {
    return invalid(fmt::format("`a.len()` = {} and `b.len()` = {} must equal `s.len()` = {}", p.a.size(),
                               p.b.size(), n));
  }
  if (n < 4) return invalid(fmt::format("`s.len()` = {} must be at least 4", n));
  QARN_TRY(check_stationary_fits(kName, n, p.num_stationary.first, p.num_stationary.second));
  QARN_TRY(check_finite_values(kName, "s", s));
  QARN_TRY(check_finite_values(kName, "a", p.a));
  for (std::size_t i = 0; i < n; ++i) {
    if (p.a[i] < 0) return invalid(fmt::format("`{}[{}]` = {} must be nonnegative", "a", i, p.a[i]));
  }
  QARN_TRY(check_finite_values(kName, "b", p.b));
  QARN_TRY(check_finite_scalar(kName, "a_min", a_min));
  if (a_min < 0) return invalid(fmt::format("{} = {} must be nonnegative", "a_min", a_min));
  return check_strictly_increasing(kName, "s", s);
}

// The step t of the correction on interval i, or none (with the printed reason) when no finite,
// non-negative step exists.
std::optional<double> correction_step(std::size_t i, double d_m, double e, double A, double B, double C,
                                      double b_i, double b_next) {
  const auto coeff_solve = std::make_tuple(A, B, C);
  const auto coeff_c = std::make_tuple(d_m * d_m, d_m, e);
  double t = 0;
  if (std::fabs(A) > 1e-9) {
    const double D = B * B + C * (A * -4);
    if (D >= 0) {
      const double r = std::sqrt(D);
      const double near = A > 0 ? (-B - r) / (2 * A) : (r - B) / (2 * A);
      const double far = A > 0 ? (r - B) / (2 * A) : (-B - r) / (2 * A);
      t = near >= 0 ? near : far;
    } else if (std::fabs(d_m) > 1e-9 && std::fabs(e) > 1e-9) {
      t = std::fmin(-b_i / d_m, b_next / e);
    } else if (std::fabs(d_m) > 1e-9) {
      t = -b_i / d_m;
    } else if (std::fabs(e) > 1e-9) {
      t = b_next / e;
    } else {
      log_line(fmt::format("discriminant = {:.8} < 0 for c0 (i={}): coeff_solve = {:.8?}, coeff_c = {:.8?}", D, i,
                           coeff_solve, coeff_c));
      return std::nullopt;
    }
  } else {
    t = -C / B;
  }
  // A zero B or a fallback root of the wrong sign would move the profile by inf, NaN or away from
  // the margin while claiming success.
  if (!(t >= 0 && t < std::numeric_limits<double>::infinity())) {
    log_line(fmt::format("step = {} is not finite and non-negative for c0 (i={}): coeff_solve = {:.8?}, "
                         "coeff_c = {:.8?}",
                         t, i, coeff_solve, coeff_c));
    return std::nullopt;
  }
  return t;
}

}  // namespace

std::optional<std::pair<double, double>> solve_2x2_guarded(double m00, double m01, double m10, double m11, double r0,
                                                           double r1) {
  const double p = m00 * m11;
  const double q = m01 * m10;
  const double det = p - q;
  // 3.33066907387547e-16 is one unit in the last place above 1.5 machine epsilon.
  if (!std::isfinite(det) || std::fabs(det) <= (std::fabs(p) + std::fabs(q)) * 3.33066907387547e-16) {
    return std::nullopt;
  }
  const double inv = 1 / det;
  return std::make_pair((r0 * m11 - r1 * m01) * inv, (r1 * m00 - r0 * m10) * inv);
}

Result<bool> force_positive_a(Topp3Profile& profile, std::span<const double> s, double a_min) {
  QARN_TRY(check_repair_inputs(profile, s, a_min));
  std::vector<double>& a = profile.a;
  std::vector<double>& b = profile.b;
  const auto [k0, k1] = profile.num_stationary;
  const std::size_t n = s.size();
  bool ok = true;
  // Intervals i = k0 + 1 .. n - k1 - 3, each with a free neighbour interval on either side; the
  // bound is written so that it cannot wrap when n - k1 < 3.
  for (std::size_t i = k0 + 1; i + k1 + 3 <= n; ++i) {
    if (!(b[i] < 0 && b[i + 1] > 0)) continue;  // no interior minimum of a on [s[i], s[i+1]]
    const double L = std::fmax(a_min, std::fmin(a[i], a[i + 1]));
    const double delta = L > 1e-8 ? 0.1 * L : std::fmin(L, 1e-9);
    const double h = s[i + 1] - s[i];
    const double db = b[i + 1] - b[i];
    // The interpolated minimum a[i] - b[i]^2 h / db is at most delta.
    if (!(b[i] * b[i] * h >= db * (a[i] - delta))) continue;

    const double d_m = s[i] - s[i - 1];
    const double d_p = s[i + 2] - s[i + 1];
    const double P = s[i + 2] - s[i];
    const double R = s[i + 2] - s[i - 1];
    const auto coeff = solve_2x2_guarded(P, d_p, P * P, d_p * d_p, -R, -R * R);
    if (!coeff) {
      log_line(fmt::format("coeff is None? A = {:?}, b = {:?}",
                           std::make_tuple(std::make_tuple(P, d_p), std::make_tuple(P * P, d_p * d_p)),
                           std::make_tuple(-R, -R * R)));
      ok = false;
      continue;
    }
    // A correction of size t moves a[i] by d_m^2 t, b[i] by d_m t, b[i+1] by e t and a[i+1] by
    // (d_m^2 + h (d_m + e)) t, leaving stations i-1 and i+2 and the trapezoid relations of the
    // intervals i-1, i and i+1 as they were.
    const double e = d_m + h * (coeff->first + 1);
    double A = h * d_m * d_m - d_m * d_m * (e - d_m);
    double B = 2 * b[i] * d_m * h - (a[i] - delta) * (e - d_m) - db * d_m * d_m;
    double C = b[i] * b[i] * h - db * (a[i] - delta);
    const double norm = std::fabs(C) + (std::fabs(A) + std::fabs(B));
    if (norm < 1e-9) {
      log_line(fmt::format("norm = {} < EPS_ZERO, coeff_solve = {:.8?}", norm, std::make_tuple(A, B, C)));
      ok = false;
      continue;
    }
    const double inv = 1 / norm;
    A *= inv;
    B *= inv;
    C *= inv;
    const std::optional<double> t = correction_step(i, d_m, e, A, B, C, b[i], b[i + 1]);
    if (!t) {
      ok = false;
      continue;
    }
    a[i] += d_m * d_m * *t;
    b[i] += d_m * *t;
    b[i + 1] += e * *t;
    a[i + 1] += (d_m * d_m + h * (d_m + e)) * *t;
  }
  return ok;
}

}  // namespace qarn::qarn3

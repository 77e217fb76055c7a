// Grid and profile checks; the element checks run in a fixed order (NaN, then infinity, then
// ordering), so a value that is both NaN and out of order is reported as NaN.
#include "qarn/profile_grid.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "diag/format.hpp"
#include "qarn/rest_window.hpp"

namespace qarn {
namespace {

CoreError invalid(std::string_view name, std::string message) {
  return CoreError::invalid_input(std::string(name), std::move(message));
}

// The quotient (t_end - t0) / dt whose floor counts the grid points. One within four units in the
// last place below an integer counts as that integer: the rounding of the span, of the step and
// of the division must not drop the point before it (0.7 / 0.1 rounds to 6.999999999999999, and
// the grid would lack its point 0.6).
double grid_quotient(const UniformTimes& grid, double t_end) {
  const double q = (t_end - grid.t0) / grid.dt;
  const double next = std::floor(q) + 1;
  const double ulp = std::nextafter(std::fabs(q), std::numeric_limits<double>::infinity()) - std::fabs(q);
  return next - q <= 4 * ulp ? next : q;
}

// How far, relative to its closed-form value, the a of a stationary station may stray. The solvers
// write that value itself (0 measured); a profile stored in single precision strays by about 1e-7.
constexpr double kStationaryShapeTolerance = 1e-6;

// The stationary stations between the rest station `rest` and the junction j must carry the a of
// the window shape the junction's a and b describe (a[j] x^(4/3) for the pure constant-jerk window),
// x = (s[i] - s[rest]) / (s[j] - s[rest]): s -> t times each from its own a, t -> s places it by the
// junction's shape, and a station off that shape would convert one way and not back.
Status check_stationary_shape(std::string_view name, std::span<const double> s, std::span<const double> a,
                              std::span<const double> b, std::size_t rest, std::size_t j) {
  const std::size_t lo = std::min(rest, j) + 1, hi = std::max(rest, j);
  if (lo >= hi) return {};
  const double span = s[j] - s[rest];
  const RestWindowShape window = RestWindowShape::of_junction(a[j], b[j], span);
  for (std::size_t i = lo; i < hi; ++i) {
    const double x = (s[i] - s[rest]) / span;
    const double shape = a[j] * window.a_at(x);
    if (!(std::fabs(a[i] - shape) <= kStationaryShapeTolerance * shape)) {
      return invalid(name, fmt::format("`a[{}]` = {} must be the stationary value {} that the junction's a[{}] and "
                                       "b[{}] give it up to {} of it, x = {} being its distance from the rest "
                                       "station {} relative to the junction's: both conversions time a stationary "
                                       "station by that shape",
                                       i, a[i], shape, j, j, kStationaryShapeTolerance, x, rest));
    }
  }
  return {};
}

}  // namespace

Status check_finite_values(std::string_view name, std::string_view label, std::span<const double> v) {
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (std::isnan(v[i])) return invalid(name, fmt::format("`{}[{}]` = {} must not be NaN", label, i, v[i]));
  }
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (std::isinf(v[i])) return invalid(name, fmt::format("`{}[{}]` = {} must not be infinite", label, i, v[i]));
  }
  return {};
}

std::optional<std::size_t> find_non_increasing_s(std::span<const double> s) {
  for (std::size_t i = 0; i + 1 < s.size(); ++i) {
    if (s[i] >= s[i + 1]) return i;
  }
  return std::nullopt;
}

Status check_strictly_increasing(std::string_view name, std::string_view label, std::span<const double> v) {
  if (const auto i = find_non_increasing_s(v)) {
    return invalid(name,
                   fmt::format("`{}` must be strictly increasing; first violation at local index {}.", label, *i));
  }
  return {};
}

Status check_finite_scalar(std::string_view name, std::string_view label, double v) {
  if (std::isnan(v)) return invalid(name, fmt::format("{} = {} must not be NaN", label, v));
  if (std::isinf(v)) return invalid(name, fmt::format("{} = {} must not be infinite", label, v));
  return {};
}

Status validate_s_profile(std::string_view name, std::span<const double> s, std::span<const double> a) {
  if (s.size() < 2) return invalid(name, fmt::format("{} = {} must be at least {}", "`s.len()`", s.size(), 2));
  if (a.size() != s.size()) {
    return invalid(name, fmt::format("{} = {} must equal {} = {}", "`a.len()`", a.size(), "`s.len()`", s.size()));
  }
  QARN_TRY(check_finite_values(name, "s", s));
  QARN_TRY(check_finite_values(name, "a", a));
  return check_strictly_increasing(name, "s", s);
}

Status validate_a_profile(std::string_view name, std::span<const double> a) {
  QARN_TRY(check_finite_values(name, "a", a));
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] < 0) return invalid(name, fmt::format("`{}[{}]` = {} must be nonnegative", "a", i, a[i]));
  }
  for (std::size_t k = 0; k + 1 < a.size(); ++k) {
    const double root_sum = std::sqrt(a[k]) + std::sqrt(a[k + 1]);
    if (!std::isfinite(root_sum) || !(root_sum > 0)) {
      return invalid(name, fmt::format("`sqrt(a[{}]) + sqrt(a[{}])` must be finite and positive", k, k + 1));
    }
  }
  return {};
}

Status check_stationary_fits(std::string_view name, std::uint64_t s_len, std::uint64_t k0, std::uint64_t k1) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (k0 > kMax - 2 || k1 > kMax - 2 - k0) {
    return invalid(name, "`num_stationary` overflowed while checking dimensions");
  }
  const std::uint64_t needed = k0 + k1 + 2;
  if (s_len < needed) return invalid(name, fmt::format("{} = {} must be at least {}", "`s.len()`", s_len, needed));
  return {};
}

Status validate_topp3_profile(std::string_view name, std::span<const double> s, std::span<const double> a,
                              std::span<const double> b, std::uint64_t k0, std::uint64_t k1) {
  QARN_TRY(check_stationary_fits(name, s.size(), k0, k1));
  if (a.size() != s.size() || b.size() != s.size()) {
    return invalid(name, fmt::format("`a.len()` = {} and `b.len()` = {} must equal `s.len()` = {}", a.size(),
                                     b.size(), s.size()));
  }
  QARN_TRY(check_finite_values(name, "s", s));
  QARN_TRY(check_finite_values(name, "a", a));
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] < 0) return invalid(name, fmt::format("`{}[{}]` = {} must be nonnegative", "a", i, a[i]));
  }
  QARN_TRY(check_finite_values(name, "b", b));
  QARN_TRY(check_strictly_increasing(name, "s", s));
  const std::size_t n = s.size();
  QARN_TRY(check_stationary_shape(name, s, a, b, 0, static_cast<std::size_t>(k0)));
  return check_stationary_shape(name, s, a, b, n - 1, n - 1 - static_cast<std::size_t>(k1));
}

std::uint64_t saturating_floor_to_u64(double v) {
  const double f = std::floor(v);
  if (!(f > 0)) return 0;  // negative, zero or NaN
  // 2^64 is exact in double; every double below it converts without overflow.
  if (f >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(f);
}

Status check_station_times(std::string_view name, std::span<const double> t_s, std::size_t s_len) {
  if (t_s.size() != s_len) {
    return invalid(name, fmt::format("{} = {} must equal {} = {}", "`t_s.len()`", t_s.size(), "`s.len()`", s_len));
  }
  QARN_TRY(check_finite_values(name, "t_s", t_s));
  return check_strictly_increasing(name, "t_s", t_s);
}

Result<std::size_t> uniform_sample_count(std::string_view name, const UniformTimes& grid, double t_end) {
  QARN_TRY(check_finite_scalar(name, "t0", grid.t0));
  QARN_TRY(check_finite_scalar(name, "dt", grid.dt));
  if (!(grid.dt > 0)) return invalid(name, fmt::format("`dt` = {} must be positive", grid.dt));
  const double quotient = grid_quotient(grid, t_end);
  const std::uint64_t count = saturating_floor_to_u64(quotient);
  // A tiny step over a long span would ask for more samples than memory holds: refuse it
  // before anything is reserved. Beyond the integer range the quotient itself is told.
  if (count > kMaxUniformSamples) {
    const std::string asked =
        count < std::numeric_limits<std::uint64_t>::max() ? fmt::format("{}", count) : fmt::debug(std::floor(quotient));
    return invalid(name, fmt::format("`dt` = {} gives {} samples, more than the limit of {}", grid.dt, asked,
                                     kMaxUniformSamples));
  }
  return static_cast<std::size_t>(count);
}

Status check_sample_times(std::string_view name, std::span<const double> t_sample) {
  if (t_sample.empty()) return invalid(name, fmt::format("{} must not be empty", "`t_sample`"));
  QARN_TRY(check_finite_values(name, "t_sample", t_sample));
  return check_strictly_increasing(name, "t_sample", t_sample);
}

void append_final_station(std::vector<double>& samples, const UniformTimes& grid, double s_last, double t_end) {
  if (!grid.include_final) return;
  // A NaN last sample lies outside the profile's time span and appends nothing.
  const bool short_of_end = samples.empty() ? grid.t0 <= t_end : samples.back() < s_last;
  if (short_of_end) samples.push_back(s_last);
}

}  // namespace qarn

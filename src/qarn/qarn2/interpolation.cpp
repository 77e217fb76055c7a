// Second-order time conversions: on each interval a is linear in s (constant path acceleration),
// so the travel time and s(t) have closed forms; the checks run first and in a fixed order.
#include "qarn/qarn2/interpolation.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <variant>

#include "diag/format.hpp"
#include "qarn/profile_grid.hpp"

namespace qarn::qarn2 {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

CoreError invalid(std::string_view name, std::string message) {
  return CoreError::invalid_input(std::string(name), std::move(message));
}

// s at time t on interval k, under constant path acceleration from speed sqrt(a[k]), kept inside
// the interval (its time and this form round apart). The acceleration term is written with
// tau / h, about one over the speed, so that no intermediate leaves the range of doubles at
// extreme magnitudes; the two terms cancel at most to half (the speed stays non-negative).
double s_on_interval(std::span<const double> s, std::span<const double> a, std::span<const double> t_s,
                     std::size_t k, double t) {
  const double tau = t - t_s[k];
  const double h = s[k + 1] - s[k];
  const double x = tau * std::fma(a[k + 1] - a[k], (tau / h) * 0.25, std::sqrt(a[k]));
  return within(s[k] + x, s[k], s[k + 1]);
}

// One ascending pass over the intervals for ascending query times; a value below the one before
// it (both within rounding of the motion) repeats the one before.
template <class TimeAt>
void sample_into(std::vector<double>& out, std::span<const double> s, std::span<const double> a,
                 std::span<const double> t_s, std::size_t count, TimeAt time_at) {
  const std::size_t last = t_s.size() - 1;
  std::size_t k = 0;
  double latest = -std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < count; ++i) {
    const double t = time_at(i);
    if (!(t >= t_s[0])) {
      out.push_back(kNaN);
      continue;
    }
    while (k < last && !(t <= t_s[k + 1])) ++k;
    if (k == last) {
      out.push_back(kNaN);
      continue;
    }
    const double v = s_on_interval(s, a, t_s, k, t);
    if (v > latest) latest = v;
    out.push_back(latest);
  }
}

}  // namespace

Result<StationTimes> s_to_t_topp2(std::span<const double> s, std::span<const double> a, double t0) {
  constexpr std::string_view kName = "s_to_t_topp2";
  QARN_TRY(validate_s_profile(kName, s, a));
  QARN_TRY(check_finite_scalar(kName, "t0", t0));
  QARN_TRY(validate_a_profile(kName, a));
  StationTimes out;
  out.t_s.resize(s.size());
  out.t_s[0] = t0;
  bool finite = std::isfinite(t0);
  for (std::size_t k = 1; k < s.size(); ++k) {
    const double d = s[k] - s[k - 1];
    out.t_s[k] = out.t_s[k - 1] + (d + d) / (std::sqrt(a[k - 1]) + std::sqrt(a[k]));
    finite = finite && std::isfinite(out.t_s[k]);
  }
  if (!finite) return invalid(kName, "computed time profile contains NaN or infinity");
  out.t_final = out.t_s.back();
  return out;
}

Result<std::vector<double>> t_to_s_topp2(std::span<const double> s, std::span<const double> a,
                                         std::span<const double> t_s, const TimeSampling& mode) {
  constexpr std::string_view kName = "t_to_s_topp2";
  QARN_TRY(validate_s_profile(kName, s, a));
  QARN_TRY(validate_a_profile(kName, a));
  QARN_TRY(check_station_times(kName, t_s, s.size()));

  if (const auto* samples = std::get_if<SampleTimes>(&mode)) {
    QARN_TRY(check_sample_times(kName, samples->t_sample));
    return sample_s_at_times(s, a, t_s, samples->t_sample);
  }

  const UniformTimes& grid = std::get<UniformTimes>(mode);
  auto count = uniform_sample_count(kName, grid, t_s.back());
  if (!count) return std::move(count).error();
  std::vector<double> out = sample_s_uniform(s, a, t_s, grid.t0, grid.dt, *count);
  append_final_station(out, grid, s.back(), t_s.back());
  return out;
}

std::vector<double> sample_s_uniform(std::span<const double> s, std::span<const double> a,
                                     std::span<const double> t_s, double t0, double dt, std::size_t count) {
  std::vector<double> out;
  out.reserve(count + 1);
  // Each time from its integer index, so that rounding does not accumulate along the grid.
  sample_into(out, s, a, t_s, count, [&](std::size_t i) { return t0 + dt * static_cast<double>(i); });
  return out;
}

std::vector<double> sample_s_at_times(std::span<const double> s, std::span<const double> a,
                                      std::span<const double> t_s, std::span<const double> t_sample) {
  std::vector<double> out;
  out.reserve(t_sample.size() + 1);
  sample_into(out, s, a, t_s, t_sample.size(), [&](std::size_t i) { return t_sample[i]; });
  return out;
}

std::vector<double> collect_b_from_a(std::span<const double> s, std::span<const double> a, std::size_t from,
                                     std::size_t to) {
  std::vector<double> b;
  if (to <= from) return b;
  b.reserve(to - from);
  for (std::size_t k = from; k < to; ++k) b.push_back(((a[k + 1] - a[k]) * 0.5) / (s[k + 1] - s[k]));
  return b;
}

Result<std::vector<double>> a_to_b_topp2(std::span<const double> s, std::span<const double> a) {
  QARN_TRY(validate_s_profile("a_to_b_topp2", s, a));
  return collect_b_from_a(s, a, 0, s.size() - 1);
}

}  // namespace qarn::qarn2

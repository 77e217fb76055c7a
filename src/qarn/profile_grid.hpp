// Checks of a station grid s and a node profile on it, shared by the time conversions of both
// orders and by the profile audits: a profile is only converted or measured on a grid that passes.
// Also the time grids of the inverse conversions (uniform or explicit) and their checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "diag/result.hpp"

namespace qarn {

// Every failure is InvalidInput from the routine `name`.

// s has at least two finite, strictly increasing values and a is finite with the same length.
Status validate_s_profile(std::string_view name, std::span<const double> s, std::span<const double> a);
// a is finite, non-negative, and no two neighbours are both zero (the travel time stays finite).
Status validate_a_profile(std::string_view name, std::span<const double> a);
// The element checks behind both, in their order: no NaN, then no infinity; then strict increase.
Status check_finite_values(std::string_view name, std::string_view label, std::span<const double> v);
Status check_strictly_increasing(std::string_view name, std::string_view label, std::span<const double> v);
Status check_finite_scalar(std::string_view name, std::string_view label, double v);

// Local index i of the first adjacent pair with s[i] >= s[i+1] (NaN never matches), or none.
std::optional<std::size_t> find_non_increasing_s(std::span<const double> s);

// ---- third-order profiles ----

// k0 stationary stations at the start and k1 at the end leave at least one free interval on a
// grid of s_len stations; the sum is checked for overflow first.
Status check_stationary_fits(std::string_view name, std::uint64_t s_len, std::uint64_t k0, std::uint64_t k1);

// A third-order profile (a, b) with (k0, k1) stationary stations on the grid s: the counts fit,
// the lengths agree, everything is finite, a is non-negative, s strictly increasing, and the a of
// every stationary station follows the closed-form shape from its junction.
Status validate_topp3_profile(std::string_view name, std::span<const double> s, std::span<const double> a,
                              std::span<const double> b, std::uint64_t k0, std::uint64_t k1);

// ---- time grids ----

// Arrival times of a profile at its stations, the result of the s-to-t conversions.
struct StationTimes {
  double t_final = 0.0;
  std::vector<double> t_s;  // arrival time at every station
};

// Query times t0 + dt * i, i = 0 .. floor((t_s[last] - t0) / dt) - 1, a quotient within rounding
// below an integer counting as that integer; the point t0 + dt * floor(..) is never on the grid,
// even where it equals t_s[last]. `include_final` appends the last station when the grid stops
// short of it.
struct UniformTimes {
  double t0;
  double dt;
  bool include_final;
};
// Explicit, strictly increasing query times.
struct SampleTimes {
  std::span<const double> t_sample;
};
using TimeSampling = std::variant<UniformTimes, SampleTimes>;

// The largest uniform grid an inverse conversion builds; finer steps over the span are refused,
// since the result alone would exhaust memory.
inline constexpr std::uint64_t kMaxUniformSamples = std::uint64_t{1} << 28;

// floor(v) as an unsigned count: NaN and negative values give 0, values beyond the range the
// largest count (a plain conversion of such values is undefined).
std::uint64_t saturating_floor_to_u64(double v);

// v kept within [lo, hi], NaN giving lo: how the samplers keep s(t) inside its interval. Written
// with comparisons, since std::fmin and std::fmax are library calls in their hot loops.
inline double within(double v, double lo, double hi) { return v > hi ? hi : v >= lo ? v : lo; }

// The arrival times t_s on a grid of s_len stations: as many, finite and strictly increasing.
Status check_station_times(std::string_view name, std::span<const double> t_s, std::size_t s_len);
// Explicit query times: not empty, finite, strictly increasing.
Status check_sample_times(std::string_view name, std::span<const double> t_sample);
// The number of points of `grid` for the final time t_end (see UniformTimes), after the checks of
// t0 and dt; a count above kMaxUniformSamples is refused before anything is allocated.
Result<std::size_t> uniform_sample_count(std::string_view name, const UniformTimes& grid, double t_end);
// With include_final: appends s_last when the grid stopped short of the final station: its last
// sample is below s_last (a NaN one is not), or, when nothing was sampled, the grid starts no later
// than t_end.
void append_final_station(std::vector<double>& samples, const UniformTimes& grid, double s_last, double t_end);

}  // namespace qarn

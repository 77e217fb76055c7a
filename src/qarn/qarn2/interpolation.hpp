// Time conversions of a second-order profile a = (ds/dt)^2 given at the stations s: arrival
// times (s -> t), s sampled in time (t -> s) and the segment accelerations b. The grid checks
// they run are in qarn/profile_grid.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "diag/result.hpp"
#include "qarn/profile_grid.hpp"

namespace qarn::qarn2 {

// ---- conversions ----

// Exact travel times on intervals where a is linear in s.
Result<StationTimes> s_to_t_topp2(std::span<const double> s, std::span<const double> a, double t0);

// s at the query times (NaN outside [t_s[0], t_s[last]]).
Result<std::vector<double>> t_to_s_topp2(std::span<const double> s, std::span<const double> a,
                                         std::span<const double> t_s, const TimeSampling& mode);

// The samplers behind t_to_s_topp2; they assume validated input. The result has room for one
// more value (the appended final station).
std::vector<double> sample_s_uniform(std::span<const double> s, std::span<const double> a,
                                     std::span<const double> t_s, double t0, double dt, std::size_t count);
std::vector<double> sample_s_at_times(std::span<const double> s, std::span<const double> a,
                                      std::span<const double> t_s, std::span<const double> t_sample);

// b[k] = 0.5 (a[k+1] - a[k]) / (s[k+1] - s[k]) for k in [from, to); needs to < s.size().
std::vector<double> collect_b_from_a(std::span<const double> s, std::span<const double> a, std::size_t from,
                                     std::size_t to);
// The segment profile b of a validated grid: n - 1 values.
Result<std::vector<double>> a_to_b_topp2(std::span<const double> s, std::span<const double> a);

}  // namespace qarn::qarn2

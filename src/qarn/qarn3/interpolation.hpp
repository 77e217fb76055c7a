// Time conversions of a third-order profile (a = (ds/dt)^2 and b = dds/dt at the stations s, with
// k0 / k1 stationary stations at the ends): arrival times (s -> t), s sampled in time (t -> s),
// and the repair that keeps the a interpolated between stations positive.
//
// Motion model: on a free interval b varies linearly in s, so a is quadratic in s and
// s''' = kappa * s' with kappa = (b[k+1] - b[k]) / h; the stationary stations at a rest end
// follow a = a_j * x^(4/3), x the distance from the end relative to that of the junction j, or,
// where the junction's a_j / (span b_j) lies in (1.5, 2), a constant-jerk phase ending inside the
// window followed by the junction's constant b (RestWindowShape::of_junction).
#pragma once

#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "diag/result.hpp"
#include "qarn/profile_grid.hpp"
#include "qarn/qarn3/formulation.hpp"

namespace qarn::qarn3 {

// The time a stationary segment takes from rest to a station at the distance d with the value a:
// 3 d / sqrt(a), divided first so that no intermediate leaves the range of doubles.
inline double stationary_travel_time(double d, double a) { return 3 * (d / std::sqrt(a)); }

// The same for a station at the distance d (with the value a) of a window spanning `span` to its
// junction value a_j and shaped as `shape` (both distances from the rest station and positive):
// the formula above during the constant-jerk phase, the shape's time after it.
inline double stationary_travel_time(double d, double a, RestWindowShape shape, double span, double a_j) {
  const double x = d / span;
  return shape.in_phase(x) ? stationary_travel_time(d, a) : shape.time_at(x) * (span / std::sqrt(a_j));
}

// Arrival times t_s (t_s[0] = t0) of a valid profile. Fails with InvalidInput of "s_to_t_topp3"
// on invalid input, on an interval that is no valid motion (NaN: its a turns negative) or takes
// forever (+inf), naming the first such station with its neighbourhood, and on a zero duration.
Result<StationTimes> s_to_t_topp3(std::span<const double> s, const Topp3Profile& profile, double t0);

// The first station that the motion of a profile passing validate_topp3_profile never reaches
// (its time in s_to_t_topp3 +inf or NaN: an interval whose a turns negative inside or that takes
// forever, a rest at a stationary junction), or none.
std::optional<std::size_t> first_unreached_station(std::span<const double> s, const Topp3Profile& profile);

// "  [i] a = .., b = .., s = .." for the nodes max(i-1, 0) .. min(i+1, n-1), joined by "\n".
std::string format_profile_dump_lines(std::size_t i, std::span<const double> s, std::span<const double> a,
                                      std::span<const double> b);

// s at the query times (NaN outside [t_s[0], t_s[last]]), after the checks of the profile, of t_s
// and of the sampling mode; failures are InvalidInput of "t_to_s_topp3". Each value lies within
// the interval of its query time, and the values never decrease along the queries.
Result<std::vector<double>> t_to_s_topp3(std::span<const double> s, const Topp3Profile& profile,
                                         std::span<const double> t_s, const TimeSampling& mode);

// The samplers behind t_to_s_topp3; they assume validated input and ascending query times. The
// result has room for one more value (the appended final station).
std::vector<double> sample_s_uniform_topp3(std::span<const double> s, const Topp3Profile& profile,
                                           std::span<const double> t_s, double t0, double dt, std::size_t count);
std::vector<double> sample_s_at_times_topp3(std::span<const double> s, const Topp3Profile& profile,
                                            std::span<const double> t_s, std::span<const double> t_sample);

// x of m x = r for the 2x2 matrix (m00 m01; m10 m11), or none when the determinant is not
// finite or lost in its rounding error.
std::optional<std::pair<double, double>> solve_2x2_guarded(double m00, double m01, double m10, double m11, double r0,
                                                           double r1);

// Lifts (a, b) in place on every free interval whose interpolated a dips to about zero, by a
// local correction at its two stations that keeps the trapezoid relation a[k+1] - a[k] =
// (b[k] + b[k+1]) h of the neighbouring intervals. True when every such interval was corrected;
// an interval that cannot be is left unchanged and reported by a printed line. Input failures are
// InvalidInput of "force_positive_a" and change nothing.
Result<bool> force_positive_a(Topp3Profile& profile, std::span<const double> s, double a_min);

}  // namespace qarn::qarn3

// The motion over the stationary window next to a rest end, shared by the window's junction rows,
// its bounds, the closed-form profile and the time conversions.
//
// The exact time-optimal motion leaves rest (or comes to rest) at constant path jerk until its
// acceleration reaches what binds, then goes on at that acceleration. `share` is the fraction of
// the window's span covered at constant jerk: 1 is the pure constant-jerk window (a = a_j x^(4/3),
// b = a / (1.5 d)); below 1 the phase ends inside the window, which then goes on at the junction's
// b (a linear in s); 0 is what a phase tends to as it shrinks, constant acceleration from rest
// (a = a_j x, b = a / (2 d)). Units are those of the window: x = d / span (d the distance from the
// rest station, signed like span), a over the junction's a_j, time over span / sqrt(a_j).
#pragma once

#include <cmath>
#include <cstdint>
#include <utility>

namespace qarn {

struct RestWindowShape {
  // The default windows take 1 or shares below 1 - kResolution, and of_junction reads a share
  // above 1 - kResolution as 1: a pure window's junction, whose a / (span b) the solver meets only
  // to its tolerance, reads back as the pure window.
  static constexpr double kResolution = 1e-6;

  double share = 1.0;

  // a_j = ratio() * span * b_j at the junction: 1.5 for the pure window, 2 without a phase.
  double ratio() const { return 2.0 - 0.5 * share; }

  // The crossing takes time_factor() * span / sqrt(a_j): 3 for the pure window (exactly: 1.5 +
  // sqrt(2.25)), 2 without a phase.
  double time_factor() const { return ratio() + std::sqrt(1.5 * share * ratio()); }

  // A window without a phase has none, not even at the rest station.
  bool in_phase(double x) const { return x <= share && share > 0.0; }

  // a / a_j at x, computed as the pure window computes x^(4/3) when share = 1.
  double a_at(double x) const {
    if (!in_phase(x)) return (2.0 * x - 0.5 * share) / ratio();
    const double y = x / share;
    return (1.5 * share / ratio()) * (std::cbrt(y) * y);
  }

  // The divisor e of b = a / e at the distance d = x * span: 1.5 d in the phase, 2 d - span share / 2
  // after it (where b is the junction's).
  double b_divisor(double d, double span) const { return in_phase(d / span) ? d * 1.5 : 2.0 * d - 0.5 * share * span; }

  // The time from rest to x (units of span / sqrt(a_j)): 3 x / sqrt(a) in the phase, and after it
  // the whole crossing less the rest at the constant acceleration 1 / ratio.
  double time_at(double x) const {
    if (in_phase(x)) return 3.0 * (x / std::sqrt(a_at(x)));
    return time_factor() - (1.0 - std::sqrt(a_at(x))) * ratio();
  }

  // x reached at the time tau (units of span / sqrt(a_j)), 0 <= tau <= time_factor().
  double x_at_time(double tau) const {
    const double phase = std::sqrt(6.0 * share * ratio());
    if (tau < phase) {
      const double f = tau / phase;
      return share * (f * f * f);
    }
    const double u = tau - phase;
    return share + std::sqrt(1.5 * share / ratio()) * u + u * u / (2.0 * ratio());
  }

  // The window a profile's junction values describe: a_j = ratio * span * b_j with a ratio in
  // (1.5, 2) gives a phase ending inside the window, a ratio of 2 (up to kResolution / 2 above, the
  // rounding of a phase too short to resolve) none; anything else (the pure window's 1.5 up to the
  // solver's tolerance, or values no such motion has) reads as the pure window.
  static RestWindowShape of_junction(double a_j, double b_j, double span) {
    const double share = 4.0 - 2.0 * (a_j / (b_j * span));
    if (share > 0.0 && share < 1.0 - kResolution) return {share};
    if (share <= 0.0 && share >= -kResolution) return {0.0};
    return {};
  }
};

// (start, end): the shape of each rest end's window.
using RestWindowShapes = std::pair<RestWindowShape, RestWindowShape>;

// The stationary window at a rest end: k intervals and the shape over them.
struct RestPhase {
  std::uint64_t k;
  RestWindowShape shape;
};

}  // namespace qarn

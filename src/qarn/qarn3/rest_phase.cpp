// The default stationary window at a rest end: how far a motion from rest stays in its
// constant-jerk phase, read from the store's rows and the reference profile.
#include "qarn/qarn3/rest_phase.hpp"

#include <algorithm>
#include <cmath>

namespace qarn::qarn3 {
namespace {

// Where station idx stands in a motion from the rest station at the largest jerk that station
// allows (a = the cube-root bound at d = s_idx - s_rest, b = a / (1.5 d), db/ds = a / (4.5 d^2)):
// inside the constant-jerk phase the limits leave, past it because an acceleration row of the
// station binds (the optimum goes on at that acceleration; read first, as a phase much shorter than
// the interval reaches it before anything else), or past it for another reason.
enum class PhaseStep { kInside, kAccelerationBinds, kOutside };

PhaseStep constant_jerk_step(const Constraints& c, std::uint64_t rest, std::uint64_t idx, double reach) {
  const double d = c.s_at(idx) - c.s_at(rest);
  if (!(std::fabs(d) <= reach)) return PhaseStep::kOutside;
  const double a = c.jerk_cube_root_bound(rest, d).upper;
  if (!(a > 0 && std::isfinite(a))) return PhaseStep::kOutside;  // no jerk limit at the rest station: no such phase
  const double b = a / (1.5 * d);
  const double db = a / (4.5 * d * d);
  const SecondOrderRows acc = c.second_order_rows_at(idx);
  for (std::size_t i = 0; i < acc.size(); ++i) {
    if (std::isfinite(acc.acc_max[i]) && !(acc.acc_a[i] * a + acc.acc_b[i] * b <= acc.acc_max[i])) {
      return PhaseStep::kAccelerationBinds;
    }
  }
  const double amax = c.amax_at(idx);
  if (std::isfinite(amax) && !(a <= 0.25 * amax)) return PhaseStep::kOutside;
  const ThirdOrderRows jerk = c.third_order_rows_at(idx);
  for (std::size_t i = 0; i < jerk.size(); ++i) {
    const double value = std::sqrt(a) * (jerk.jerk_a[i] * a + jerk.jerk_b[i] * b + jerk.jerk_c[i] * db + jerk.jerk_d[i]);
    if (std::isfinite(jerk.jerk_max[i]) && !(value <= jerk.jerk_max[i])) return PhaseStep::kOutside;
  }
  return PhaseStep::kInside;
}

// The stations inside the phase the limits leave (at most `cap`), and what ends it at the next one.
// The count of constant_jerk_intervals is max(inside, 1).
struct LimitsPhase {
  std::uint64_t inside;
  PhaseStep next;

  std::uint64_t k() const { return std::max<std::uint64_t>(inside, 1); }
  // An acceleration limit ends the phase (the optimum goes on at that acceleration), not the speed,
  // the length of the move or a jerk limit of the station.
  bool acceleration_binds() const { return next == PhaseStep::kAccelerationBinds; }
};

LimitsPhase limits_phase(const Constraints& c, std::uint64_t rest, std::uint64_t far, std::uint64_t cap) {
  const bool forward = far > rest;
  const std::uint64_t room = forward ? far - rest : rest - far;
  const double reach = std::fabs(c.s_at(far) - c.s_at(rest)) / 12.0;
  for (std::uint64_t j = 1; j <= std::min(cap, room); ++j) {
    const PhaseStep step = constant_jerk_step(c, rest, forward ? rest + j : rest - j, reach);
    if (step != PhaseStep::kInside) return {j - 1, step};
  }
  return {std::min(cap, room), PhaseStep::kOutside};
}

}  // namespace

std::uint64_t constant_jerk_intervals(const Constraints& store, std::uint64_t rest, std::uint64_t far,
                                      std::uint64_t cap) {
  return limits_phase(store, rest, far, cap).k();
}

RestPhase constant_jerk_phase(const Constraints& store, std::span<const double> a_ref, std::uint64_t idx, bool at_end,
                              std::uint64_t cap) {
  const std::uint64_t n = a_ref.size();
  const std::uint64_t rest = at_end ? idx + n - 1 : idx;
  const LimitsPhase limits = limits_phase(store, rest, at_end ? idx : idx + n - 1, cap);
  const std::uint64_t limit = limits.k();
  const RestPhase by_limits{limit, 1.0};
  // Distance from the rest station of the station j steps towards the far end, and the reference there.
  const auto distance = [&](std::uint64_t j) { return std::fabs(store.s_at(at_end ? rest - j : rest + j) - store.s_at(rest)); };
  const auto ref = [&](std::uint64_t j) { return a_ref[static_cast<std::size_t>(at_end ? n - 1 - j : j)]; };

  const double d1 = distance(1);
  const double a1 = store.jerk_cube_root_bound(rest, d1).upper;
  if (!(a1 > 0 && std::isfinite(a1))) return by_limits;
  const double cbrt_jerk = std::cbrt(std::sqrt(a1) / (4.5 * d1)) * std::cbrt(a1 / d1);  // cbrt(a1^1.5 / (4.5 d1^2))
  // The peak: the largest b over the limits' window and on while b still rises past it.
  double peak = 0.0, previous = 0.0;
  for (std::uint64_t j = 0; j + 1 < n; ++j) {
    const double b = (ref(j + 1) - ref(j)) / (2.0 * (distance(j + 1) - distance(j)));
    if (j > limit && !(b >= previous)) break;
    if (b > peak && std::isfinite(b)) peak = b;
    previous = b;
  }
  if (!(peak > 0)) return by_limits;
  const double p = peak / (cbrt_jerk * cbrt_jerk);
  const double reach = p * p * p / 6.0;
  constexpr double kResolution = RestWindowShape::kResolution;
  if (!(reach >= d1 * (1.0 - kResolution))) {
    // A phase shorter than the first interval ends inside it where an acceleration limit ends it,
    // however short (a looser jerk limit, a shorter phase, down to constant acceleration from
    // rest). That needs the jerk the rest station allows to hold one station on: a path whose
    // derivative vanishes at the rest station, up to rounding, allows a jerk there that the next
    // station cuts by orders of magnitude, and such a rest station bounds no real jerk.
    const double a1_next = store.jerk_cube_root_bound(at_end ? rest - 1 : rest + 1, d1).upper;
    if (limits.inside == 0 && limits.acceleration_binds() && a1_next >= 0.5 * a1) return {1, reach / d1};
    return {1, 1.0};
  }
  std::uint64_t k = 1;
  while (k < limit && distance(k + 1) <= reach) ++k;
  if (k == limits.inside && limits.acceleration_binds() && k < cap && k + 1 < n && distance(k) < reach) {
    // An acceleration limit ends the phase inside the next interval: the window takes the
    // interval, the phase ending inside.
    const double share = reach / distance(k + 1);
    if (share < 1.0 - kResolution) return {k + 1, share};
  }
  return {k, 1.0};
}

}  // namespace qarn::qarn3

// The default stationary window at a rest end: how far a motion from rest stays in its
// constant-jerk phase, read from the store's rows and the speed the reference profile reaches.
#include "qarn/qarn3/rest_phase.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qarn::qarn3 {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Whether a station's acceleration rows hold at (a, b).
bool acceleration_rows_hold(const SecondOrderRows& rows, double a, double b) {
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (std::isfinite(rows.acc_max[i]) && !(rows.acc_a[i] * a + rows.acc_b[i] * b <= rows.acc_max[i])) return false;
  }
  return true;
}

// Where station idx stands in a motion from the rest station at the largest jerk that station
// allows (a = the cube-root bound at d = s_idx - s_rest, b = a / (1.5 d), db/ds = a / (4.5 d^2)):
// inside the constant-jerk phase the limits leave, past it because an acceleration row of the
// station binds (the optimum goes on at that acceleration; read first, as a phase much shorter than
// the interval reaches it before anything else), past it because the speed is past half the
// cruise's (a > cruise / 4, where the optimum turns towards its cruise), or past it for another
// reason. The cruise is the least of the station's speed limit and `top`, the a the move reaches.
enum class PhaseStep { kInside, kAccelerationBinds, kSpeedBinds, kOutside };

PhaseStep constant_jerk_step(const Constraints& c, std::uint64_t rest, std::uint64_t idx, double reach, double top) {
  const double d = c.s_at(idx) - c.s_at(rest);
  if (!(std::fabs(d) <= reach)) return PhaseStep::kOutside;
  const double a = c.jerk_cube_root_bound(rest, d).upper;
  if (!(a > 0 && std::isfinite(a))) return PhaseStep::kOutside;  // no jerk limit at the rest station: no such phase
  const double b = a / (1.5 * d);
  const double db = a / (4.5 * d * d);
  if (!acceleration_rows_hold(c.second_order_rows_at(idx), a, b)) return PhaseStep::kAccelerationBinds;
  if (!(a <= 0.25 * std::fmin(c.amax_at(idx), top))) return PhaseStep::kSpeedBinds;
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
};

LimitsPhase limits_phase(const Constraints& c, std::uint64_t rest, std::uint64_t far, std::uint64_t cap,
                         double top = kInf) {
  const bool forward = far > rest;
  const std::uint64_t room = forward ? far - rest : rest - far;
  const double reach = std::fabs(c.s_at(far) - c.s_at(rest)) / 12.0;
  for (std::uint64_t j = 1; j <= std::min(cap, room); ++j) {
    const PhaseStep step = constant_jerk_step(c, rest, forward ? rest + j : rest - j, reach, top);
    if (step != PhaseStep::kInside) return {j - 1, step};
  }
  return {std::min(cap, room), PhaseStep::kOutside};
}

// The a at which a motion at (a, b) on the station `from` comes to b = 0 turning at the path jerk
// `jerk` over the free intervals after it (b linear in s over each, b falling by at most
// jerk h / sqrt(a) over an interval h where it ends at a), walking towards lower stations where
// `backward`, over at most `count` intervals; above `cruise` it stops there.
double turned_a(const Constraints& c, std::uint64_t from, bool backward, std::uint64_t count, double a, double b,
                double jerk, double cruise) {
  for (std::uint64_t i = 0; i < count && b > 0.0 && a <= cruise; ++i) {
    const std::uint64_t here = backward ? from - i : from + i, there = backward ? here - 1 : here + 1;
    const double h = std::fabs(c.s_at(there) - c.s_at(here));
    if (jerk * h >= b * std::sqrt(a + h * b)) return a + h * b;  // b reaches 0 within the interval
    // b' = b - jerk h / u and u^2 = a + h (b + b'): the largest root of u^3 - (a + 2 h b) u + jerk h^2,
    // by Newton from above (the cubic is convex there).
    const double m = a + 2.0 * h * b;
    double u = std::sqrt(m);
    for (int k = 0; k < 60; ++k) {
      const double next = u - (u * u * u - m * u + jerk * h * h) / (3.0 * u * u - m);
      if (!(next < u)) break;
      u = next;
    }
    b -= jerk * h / u;
    a = u * u;
  }
  return a;
}

// The share of a window's span (from the rest station to `junction`, `span` signed, `a_pure` the
// cube-root bound there) that the window's motion spends at constant jerk when the limits end that
// phase inside the window's last interval. The motion rises at the path jerk j of the rest station
// to a peak b_p, holds b_p to the junction (a = |span| b_p (2 - share / 2) there) and then turns,
// as the time-optimal motion does, at jerk -j towards its cruise over the free intervals after the
// junction (turned_a, over `count` of them). The window takes the largest b_p that the
// junction's acceleration rows allow and whose turn does not carry the speed past the cruise: a
// lower peak holds the motion back over the whole window, a higher one asks for more than the
// intervals after the junction can turn in time. The cruise is the largest a the junction holds at
// b = 0, and no more than `top`.
double phase_share(const Constraints& c, std::uint64_t junction, bool backward, std::uint64_t count, double span,
                   double a_pure, double top) {
  const double d = std::fabs(span);
  const double b_pure = a_pure / (1.5 * d);  // the junction's b with the whole window at constant jerk
  const double jerk = a_pure * std::sqrt(a_pure) / (4.5 * d * d);
  const SecondOrderRows rows = c.second_order_rows_at(junction);
  double cruise = std::fmin(c.amax_at(junction), top);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (std::isfinite(rows.acc_max[i]) && rows.acc_a[i] > 0.0) cruise = std::fmin(cruise, rows.acc_max[i] / rows.acc_a[i]);
  }
  const auto holds = [&](double peak) {
    const double x = peak / b_pure;
    const double a = d * peak * (2.0 - 0.5 * x * x * x);
    return acceleration_rows_hold(rows, a, span > 0.0 ? peak : -peak) &&
           turned_a(c, junction, backward, count, a, peak, jerk, cruise) <= cruise;
  };
  if (holds(b_pure)) return 1.0;
  double lo = 0.0, hi = b_pure;  // holds(lo), not holds(hi)
  for (int i = 0; i < 100; ++i) {
    const double mid = 0.5 * (lo + hi);
    if (!(mid > lo && mid < hi)) break;
    (holds(mid) ? lo : hi) = mid;
  }
  const double x = lo / b_pure;
  return lo > 0.0 ? x * x * x : 1.0;  // no peak at all (a junction that cannot move): no phase to end
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
  double top = 0.0;  // the a the reference reaches: the speed the move turns towards
  for (const double a : a_ref) top = std::fmax(top, a);  // fmax skips a NaN value
  if (!(top > 0.0)) top = kInf;  // a reference at rest throughout sets no cruise
  const LimitsPhase limits = limits_phase(store, rest, at_end ? idx : idx + n - 1, cap, top);
  const auto station = [&](std::uint64_t j) { return at_end ? rest - j : rest + j; };
  const auto span = [&](std::uint64_t j) { return store.s_at(station(j)) - store.s_at(rest); };
  if (!(limits.inside + 2 < n && limits.inside < cap) || limits.next == PhaseStep::kOutside) return {limits.k(), 1.0};
  const std::uint64_t j = limits.inside + 1;  // the station where the limits end the phase
  const double a_pure = store.jerk_cube_root_bound(rest, span(j)).upper;
  if (!(a_pure > 0 && std::isfinite(a_pure))) return {limits.k(), 1.0};
  if (limits.next == PhaseStep::kSpeedBinds && j > 1) {
    // The whole intervals inside the phase, less the last one where the phase ends within a quarter
    // of the next interval past it: a junction at the peak of b, where the motion turns, holds the
    // intervals after it back, while a window one interval shorter costs next to nothing.
    const double cruise = std::fmin(store.amax_at(station(j)), top);
    const double end = std::fabs(span(j)) * std::pow(0.25 * cruise / a_pure, 0.75);  // a_pure grows as |d|^(4/3)
    const double past = (end - std::fabs(span(limits.inside))) / std::fabs(span(j) - span(limits.inside));
    return {past < 0.25 && limits.inside > 1 ? limits.inside - 1 : limits.inside, 1.0};
  }
  // A path whose derivative vanishes at the rest station, up to rounding, allows a jerk there that
  // the next station cuts by orders of magnitude: such a rest station bounds no real jerk.
  if (j == 1 && !(store.jerk_cube_root_bound(station(1), span(1)).upper >= 0.5 * a_pure)) return {1, 1.0};
  const double share = phase_share(store, station(j), at_end, n - 1 - j, span(j), a_pure, top);
  if (share >= 1.0 - RestWindowShape::kResolution) return {limits.k(), 1.0};
  // The phase ends inside the window's last interval, however short (a looser jerk limit, a
  // shorter phase, down to constant acceleration from rest).
  return {j, share};
}

}  // namespace qarn::qarn3

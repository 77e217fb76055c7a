// Bounds on the profile at the edge of a stationary window. A third-order profile that starts
// (or ends) at rest follows a = A * w over its first (last) k intervals, w = x^(4/3) with x the
// fraction of the window's s span (or the shape of a phase that ends inside the window, see
// rest_window.hpp); these readers bound A from every row the window's stations hold.
#include <algorithm>
#include <cmath>
#include <limits>

#include "qarn/constraints.hpp"
#include "qarn/rest_window.hpp"

namespace qarn {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr BoundPair kNoBound{kInf, 0.0};
constexpr BoundPair kImpossible{-kInf, kInf};
// Row coefficients of A closer to zero than this do not bound A.
constexpr double kCoefTol = 1e-10;

// One station of a window: d = s_j - s_rest, a = A w, b = a / e and db/ds = a / g at x = d / h
// (g = +inf where the phase has ended and b is constant), and the tangent factors
// r = 1/sqrt(max(a_ref_j, floor)), r3 = r^3 of the third-order rows.
struct WindowTerm {
  std::uint64_t idx_s;
  double d;
  double w;
  double e;
  double g;
  double r;
  double r3;
};

WindowTerm station_window_term(const Constraints& store, std::uint64_t idx_s, std::uint64_t rest, double h,
                               double a_ref, RestWindowShape shape) {
  const double d = store.s_at(idx_s) - store.s_at(rest);
  const double x = d / h;
  // fmax: a NaN reference falls back to the floor.
  const double r = 1.0 / std::sqrt(std::fmax(a_ref, store.a_linearization_floor()));
  return {idx_s, d, shape.a_at(x), shape.b_divisor(d, h), shape.in_phase(x) ? 4.5 * d * d : kInf, r, r * r * r};
}

void tighten(BoundPair& bound, double coef, double rhs) {
  if (coef > kCoefTol) {
    bound.upper = std::fmin(bound.upper, rhs / coef);
  } else if (coef < -kCoefTol) {
    bound.lower = std::fmax(bound.lower, rhs / coef);
  }
}

// One jerk row ja a + jb b + jc db/ds + jd <= jm / sqrt(a) at a = A w, b = a / e, db/ds = a / g:
// on the tangent of 1/sqrt(a) at the reference (r), as the solvers read it, or, `exact` and
// without a constant term, as it stands: A^(3/2) w^(3/2) (ja + jb / e + jc / g) <= jm.
void tighten_by_jerk_row(BoundPair& bound, const WindowTerm& t, double ja, double jb, double jc, double jd, double jm,
                         bool exact) {
  if (!std::isfinite(jm)) return;
  if (exact && jd == 0.0) {
    const double k = t.w * std::sqrt(t.w) * (jc / t.g + ja + jb / t.e);
    const double root = std::cbrt(jm / k);
    if (k > kCoefTol) bound.upper = std::fmin(bound.upper, jm < 0.0 ? 0.0 : root * root);
    if (k < -kCoefTol && jm < 0.0) bound.lower = std::fmax(bound.lower, root * root);
    return;
  }
  tighten(bound, t.w * (0.5 * t.r3 * jm + jc / t.g + ja + jb / t.e), 1.5 * t.r * jm - jd);
}

// The rows of the term's station at a = A w, b = a / e, db/ds = a / g tighten the bound on A. With
// a = A * w a first-order bound reads A <= amax / w, the same form as the rows.
void tighten_by_rows(const Constraints& store, const WindowTerm& t, BoundPair& bound) {
  const double amax = store.amax_at(t.idx_s);
  if (std::isfinite(amax)) bound.upper = std::fmin(bound.upper, amax / t.w);

  const SecondOrderRows acc = store.second_order_rows_at(t.idx_s);
  for (std::size_t i = 0; i < acc.size(); ++i) {
    if (!std::isfinite(acc.acc_max[i])) continue;
    tighten(bound, t.w * (acc.acc_a[i] + acc.acc_b[i] / t.e), acc.acc_max[i]);
  }

  const ThirdOrderRows j = store.third_order_rows_at(t.idx_s);
  for (std::size_t i = 0; i < j.size(); ++i) {
    tighten_by_jerk_row(bound, t, j.jerk_a[i], j.jerk_b[i], j.jerk_c[i], j.jerk_d[i], j.jerk_max[i], false);
  }
}

// The jerk rows at the point t between the stations lo and hi, the fraction f of the way: the
// rows of both interpolated linearly in s where the two stations hold rows alike (the same
// count), else the rows of each.
void tighten_between(const Constraints& store, std::uint64_t lo, std::uint64_t hi, double f, const WindowTerm& t,
                     BoundPair& bound) {
  const ThirdOrderRows a = store.third_order_rows_at(lo), b = store.third_order_rows_at(hi);
  const auto mix = [f](double x, double y) { return x + f * (y - x); };
  if (a.size() == b.size()) {
    for (std::size_t i = 0; i < a.size(); ++i) {
      tighten_by_jerk_row(bound, t, mix(a.jerk_a[i], b.jerk_a[i]), mix(a.jerk_b[i], b.jerk_b[i]),
                          mix(a.jerk_c[i], b.jerk_c[i]), mix(a.jerk_d[i], b.jerk_d[i]),
                          mix(a.jerk_max[i], b.jerk_max[i]), true);
    }
    return;
  }
  for (const ThirdOrderRows& r : {a, b}) {
    for (std::size_t i = 0; i < r.size(); ++i) {
      tighten_by_jerk_row(bound, t, r.jerk_a[i], r.jerk_b[i], r.jerk_c[i], r.jerk_d[i], r.jerk_max[i], true);
    }
  }
}

// Steps shared by both window ends: the cube-root bound at the rest station, then the first-,
// second- and third-order rows of the stations term_at(1) .. term_at(count). Every row only
// tightens a minimum or a maximum, so one pass per station reads them in any order.
template <class TermAt>
BoundPair rest_window_bounds(const Constraints& store, std::uint64_t rest, double h, std::uint64_t count,
                             RestWindowShape shape, TermAt&& term_at) {
  BoundPair bound = store.jerk_cube_root_bound(rest, h);
  if (bound.upper < bound.lower) return bound;
  if (shape.share == 0.0) {
    // No phase: b jumps to the junction's b_j = A / (2 h) at the rest station (a = 0), where its
    // acceleration rows hold it; the jerk of a phase far shorter than the interval bounds nothing.
    bound = kNoBound;
    const SecondOrderRows acc = store.second_order_rows_at(rest);
    for (std::size_t i = 0; i < acc.size(); ++i) {
      if (std::isfinite(acc.acc_max[i])) tighten(bound, acc.acc_b[i] / (shape.ratio() * h), acc.acc_max[i]);
    }
  } else if (shape.share != 1.0) {
    // The path jerk b_j^(3/2) / sqrt(6 share |h|) of a phase ending inside the window: its limit
    // bounds A by the pure window's bound times (ratio / 1.5) cbrt(share).
    const double f = shape.ratio() / 1.5 * std::cbrt(shape.share);
    bound = {bound.upper * f, bound.lower * f};
  }
  for (std::uint64_t j = 1; j <= count; ++j) tighten_by_rows(store, term_at(j), bound);

  if (shape.share > 0.0 && shape.share < 1.0 && count > 0) {
    // The joint jerk peaks where the phase ends (the path jerk stops there while the speed and
    // the acceleration are at their largest so far), which no station need hold: the motion there
    // under the rows between the stations on either side, a row with a constant term on the
    // tangent at the reference's junction value on the shape (any tangent of 1/sqrt(a) lies below it).
    const double d = shape.share * h;
    const double w = shape.a_at(shape.share);
    const double r = term_at(count).r / std::sqrt(w);
    std::uint64_t after = 1;
    while (after < count && std::fabs(term_at(after).d) < std::fabs(d)) ++after;
    const WindowTerm hi = term_at(after);
    const double d_lo = after == 1 ? 0.0 : term_at(after - 1).d;
    const std::uint64_t lo = after == 1 ? rest : term_at(after - 1).idx_s;
    tighten_between(store, lo, hi.idx_s, (d - d_lo) / (hi.d - d_lo), {hi.idx_s, d, w, 1.5 * d, 4.5 * d * d, r, r * r * r},
                    bound);
  }
  return bound;
}

}  // namespace

BoundPair Constraints::first_order_bounds_forward(std::span<const double> a_ref, std::uint64_t idx, std::uint64_t k,
                                                  RestWindowShape shape) const {
  if (k == 0 || k >= std::numeric_limits<std::uint64_t>::max() - idx || !contains(idx, k + 1)) return kNoBound;
  const double h = s_at(idx + k) - s_at(idx);
  const std::uint64_t count = a_ref.empty() ? 0 : std::min<std::uint64_t>(k, a_ref.size() - 1);
  return rest_window_bounds(*this, idx, h, count, shape, [&](std::uint64_t j) {
    return station_window_term(*this, idx + j, idx, h, a_ref[static_cast<std::size_t>(j)], shape);
  });
}

BoundPair Constraints::first_order_bounds_backward(std::span<const double> a_ref, std::uint64_t idx, std::uint64_t k,
                                                   RestWindowShape shape) const {
  const std::uint64_t m = a_ref.size();
  if (k == 0 || m == 0 || m > std::numeric_limits<std::uint64_t>::max() - idx || idx + m > idx_s_end()) {
    return kNoBound;
  }
  const std::uint64_t e = idx + m - 1;  // the rest station
  if (e < k || e - k < idx_s_start_) return kNoBound;
  const double h = s_at(e - k) - s_at(e);
  const std::uint64_t count = std::min<std::uint64_t>(k, m - 1);
  return rest_window_bounds(*this, e, h, count, shape, [&](std::uint64_t j) {
    return station_window_term(*this, e - j, e, h, a_ref[static_cast<std::size_t>(m - 1 - j)], shape);
  });
}

BoundPair Constraints::jerk_cube_root_bound(std::uint64_t idx_s, double h) const {
  if (!std::isfinite(h) || h == 0.0) return kImpossible;
  BoundPair bound = kNoBound;
  const double ch = std::cbrt(std::fabs(h));
  const double c45 = std::cbrt(4.5);
  const ThirdOrderRows rows = third_order_rows_at(idx_s);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const double jerk_max = rows.jerk_max[i];
    const double jerk_c = rows.jerk_c[i];
    if (jerk_max == kInf) continue;
    if (!std::isfinite(jerk_max) || !std::isfinite(jerk_c)) return kImpossible;
    if (jerk_c == 0.0) {
      if (jerk_max < 0.0) return kImpossible;
      continue;
    }
    if (jerk_c > 0.0 && jerk_max < 0.0) return kImpossible;
    if (jerk_c < 0.0 && jerk_max >= 0.0) continue;
    // (4.5 h^2 |jerk_max| / |jerk_c|)^(2/3), through cube roots to stay clear of overflow.
    const double t = ch * ch * c45 * std::cbrt(std::fabs(jerk_max)) / std::cbrt(std::fabs(jerk_c));
    const double v = t * t;
    if (jerk_c > 0.0) {
      bound.upper = std::fmin(bound.upper, v);
    } else {
      bound.lower = std::fmax(bound.lower, v);
    }
  }

  // Round outward by a margin well above the error of the cube roots, so that the rounded pair
  // never excludes a value the exact bounds admit.
  BoundPair rounded = bound;
  if (std::isfinite(bound.upper) && bound.upper > 0.0) {
    const double shrunk = bound.upper * (1.0 - 0x1p-46);
    rounded.upper = std::fmax(std::nextafter(shrunk, -kInf), 0.0);
  }
  if (std::isfinite(bound.lower) && bound.lower > 0.0) {
    rounded.lower = std::nextafter(bound.lower * (1.0 + 0x1p-46), kInf);
  }
  return rounded.lower <= rounded.upper ? rounded : bound;
}

}  // namespace qarn

// Where the fit puts knots: the chord test, the initial knots around the polyline's corners, and
// the windows refitted around knots added by refinement.
#include <algorithm>
#include <cmath>
#include <limits>

#include "path/smoothing_steps.hpp"

namespace qarn::path::smoothing {

namespace {

constexpr double kChordDeviation = 0.95;
// A line from a segment's start passes within this many tolerances of every point of the segment.
constexpr double kCorridorHalfWidth = 0.65;
// Knots are kept this far from each other and from the ends, so that every span stays resolvable.
const double kKnotSeparation = std::ldexp(1.0, -45);

// The corners of the polyline: indices 0 and n - 1 and the last point of every segment that a
// line from the segment's start can follow within the corridor.
std::vector<std::size_t> find_corners(const FitData& data) {
  const std::size_t n = data.n();
  const std::size_t m = data.m;
  constexpr double kInf = std::numeric_limits<double>::infinity();
  std::vector<double> lo(m, -kInf), hi(m, kInf);
  std::vector<std::size_t> corners{0};
  std::size_t a = 0;
  std::size_t b = 1;
  while (b < n) {
    const double du = data.u[b] - data.u[a];
    const double slack = kCorridorHalfWidth / du;
    bool accepted = true;
    for (std::size_t j = 0; j < m; ++j) {
      const double s = (data.at(b, j) - data.at(a, j)) / du;
      // Overflowing slopes give NaN bounds; fmax/fmin ignore them instead of poisoning the corridor.
      lo[j] = std::fmax(lo[j], s - slack);
      hi[j] = std::fmin(hi[j], s + slack);
      accepted = accepted && lo[j] <= s && s <= hi[j];
    }
    // The point next to a segment's start always belongs to the segment: refusing it would make
    // the start a corner again and the walk would never advance.
    if (accepted || b == a + 1) {
      ++b;
      continue;
    }
    a = b - 1;
    corners.push_back(a);
    std::fill(lo.begin(), lo.end(), -kInf);
    std::fill(hi.begin(), hi.end(), kInf);
  }
  corners.push_back(n - 1);
  return corners;
}

}  // namespace

bool exceeds_chord_deviation(const FitData& data) {
  const std::size_t last = data.n() - 1;
  for (std::size_t i = 0; i < data.n(); ++i) {
    for (std::size_t j = 0; j < data.m; ++j) {
      if (std::abs(data.at(i, j) - data.u[i] * data.at(last, j)) > kChordDeviation) return true;
    }
  }
  return false;
}

std::vector<double> place_initial_knots(const FitData& data) {
  const std::vector<std::size_t> corners = find_corners(data);
  std::vector<double> knots;
  knots.reserve(3 * corners.size());
  for (std::size_t c = 1; c + 1 < corners.size(); ++c) {
    const std::size_t p = corners[c - 1], k = corners[c], q = corners[c + 1];
    const double dl = data.u[k] - data.u[p];
    const double dr = data.u[q] - data.u[k];
    double turn = 0.0;
    for (std::size_t j = 0; j < data.m; ++j) {
      const double change =
          std::abs((data.at(q, j) - data.at(k, j)) / dr - (data.at(k, j) - data.at(p, j)) / dl);
      // Two overflowing slopes of one sign leave inf - inf = NaN: a turn too sharp to measure,
      // taken as infinite. A NaN knot would make the sort below undefined.
      turn = std::fmax(turn, std::isnan(change) ? std::numeric_limits<double>::infinity() : change);
    }
    // A C^4 blend of half-width `blend` rounds the corner off by 0.35 tolerances. Where the turn is
    // too gentle for that blend to fit between the neighbouring corners, the polyline bends rather
    // than breaks: the flanking knots would only split its segments, and a spline over dense
    // segments follows the bend without a knot of its own.
    const double room = 0.45 * std::min(dl, dr);
    const double blend = 0.35 / (0.13671875 * turn);
    if (blend > room) {
      if (std::min(k - p, q - k) <= kDensePoints) knots.push_back(data.u[k]);
      continue;
    }
    knots.insert(knots.end(), {data.u[k] - blend, data.u[k], data.u[k] + blend});
  }
  std::sort(knots.begin(), knots.end());
  std::vector<double> kept;
  kept.reserve(knots.size());
  for (const double t : knots) {
    const bool inside = t > kKnotSeparation && t < 1.0 - kKnotSeparation;
    if (inside && (kept.empty() || t - kept.back() > kKnotSeparation)) kept.push_back(t);
  }
  return kept;
}

std::vector<Window> refinement_windows(const QuinticBSpline& spline, std::span<const double> new_knots) {
  const std::size_t last = spline.n_ctrl() - 1;
  std::vector<Window> windows;
  for (const double t : new_knots) {
    const std::size_t span = find_knot_span(spline, t);
    const Window window{span > 11 ? span - 10 : 1, std::min(span + 6, last)};
    if (!windows.empty() && window.lo <= windows.back().hi + 5) {
      windows.back().hi = std::max(windows.back().hi, window.hi);
    } else {
      windows.push_back(window);
    }
  }
  return windows;
}

}  // namespace qarn::path::smoothing

// The steps the tolerance fit is made of, on its scaled data: the chord test, the initial knots,
// one windowed least-squares pass, the windows around new knots, the interval audit and the
// interpolant of the unselected axes. Internal to the fit (smoothing.cpp) and its tests.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "diag/result.hpp"
#include "path/bspline.hpp"
#include "path/spline.hpp"

namespace qarn::path::smoothing {

// A knot span or polyline segment holding more than this many waypoints is dense: the fit pins the
// curve to its points there, and a sparser one to the integral of the polyline.
inline constexpr std::size_t kDensePoints = 7;

// n strictly increasing parameters u (u[0] = 0, u[n-1] = 1) and n x m coordinates, point-major:
// y[i * m + j] is point i on fitted axis j.
struct FitData {
  std::span<const double> u;
  std::span<const double> y;
  std::size_t m;

  std::size_t n() const { return u.size(); }
  double at(std::size_t i, std::size_t j) const { return y[i * m + j]; }
};

// Whether some point lies more than 0.95 (scaled units) off the chord from the first to the last.
bool exceeds_chord_deviation(const FitData& data);

// Interior knots, ascending, at least 2^-45 apart and from the ends, at the corners of the polyline
// that slope corridors of half-width 0.65 find: three around a sharp corner, closer together at
// sharper turns; one at a gentle corner between short segments; none at a gentle corner between
// dense segments, where the refinement adds spans only where the audit asks for them.
std::vector<double> place_initial_knots(const FitData& data);

struct WindowPass {
  std::size_t rows;   // point rows plus six per integral piece
  std::size_t first;  // the data points the pass used: [first, end)
  std::size_t end;
};

// Refits control points [lo, hi) (1 <= lo < hi <= n_ctrl - 1) to the data over their support:
// point rows in spans holding more than seven points, exact integrals of the polyline elsewhere,
// and third-derivative smoothing rows weighted by lambda; the others stay as they are.
Result<WindowPass> fit_window_least_squares(QuinticBSpline& spline, const FitData& data, std::size_t lo,
                                            std::size_t hi, double lambda);

struct Window {
  std::size_t lo;
  std::size_t hi;
};

// The control-point windows to refit around the new knots (ascending, already inserted), merged
// where they come within five points of each other.
std::vector<Window> refinement_windows(const QuinticBSpline& spline, std::span<const double> new_knots);

// Per waypoint interval k: bound[k * m + j], a bound of the distance between the curve and the
// polyline on axis j, and worst[k], the middle of the piece where the largest bound was met.
struct IntervalAudit {
  std::vector<double> bound;
  std::vector<double> worst;
};

// Audits intervals [k0, k1) of the curve given by its span polynomials, without sampling: on every
// piece of an interval between breakpoints, the Bernstein coefficients of the error polynomial bound
// it. Fails on a non-finite coefficient or a piece that the parameter cannot resolve.
Status audit_intervals(const SpanPolynomials& polynomials, const FitData& data, std::size_t k0, std::size_t k1,
                       IntervalAudit& audit);

// The quintic spline through every waypoint of the given axes at parameters u, with knots at the
// interior parameters and zero first and second derivatives at both ends.
Result<SpanPolynomials> fit_unselected_interpolant(const WaypointMatrix& points, std::span<const double> u,
                                                   std::span<const std::size_t> axes);

}  // namespace qarn::path::smoothing

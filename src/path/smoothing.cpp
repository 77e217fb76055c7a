// The tolerance fit: input checks, the initial spline on the chord or the initial knots, the
// refinement loop that adds knots where the audited bound is not met and refits only the windows
// around them, and the final audit in the axes' own units.
#include "path/smoothing.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <numeric>

#include "path/smoothing_steps.hpp"
#include "path/storage.hpp"

namespace qarn::path {

namespace {

using smoothing::FitData;
using smoothing::IntervalAudit;

constexpr const char* kComponent = "fit_waypoints_with_tolerance";

// In tolerance units: a fit whose bound stays at or below kAccepted everywhere is done; intervals
// above kRefined get a knot. The margin to 1 absorbs the rounding of the final, unscaled audit.
constexpr double kAccepted = 0.99;
constexpr double kRefined = 0.9;
constexpr double kInitialLambda = 0.001;
constexpr double kLambdaDecay = 0.25;

PathError failed(std::string text) { return PathError::SmoothingFailed{std::move(text)}; }

// Noisy dense waypoints are the usual cause: below several times the noise, the curve must follow
// it and needs spans in proportion to the points.
PathError budget_exceeded(const char* stage, std::size_t spans, const SmoothingConfig& config) {
  return failed(fmt::format("{} segment budget exceeded: {} spans needed, max_segments = {}; raise `max_segments`, "
                            "or the tolerance above the noise of the waypoints",
                            stage, spans, config.max_segments));
}

double point(const WaypointMatrix& points, std::size_t i, std::size_t axis) {
  return points(static_cast<Eigen::Index>(axis), static_cast<Eigen::Index>(i));
}

// The checked inputs: selected axes, their tolerances, the physical parameters and their
// normalised form, and the coordinates in tolerance units relative to the first point.
struct FitInputs {
  std::vector<std::size_t> axes;
  std::vector<double> tol;
  std::vector<double> p;
  std::vector<double> u;
  std::vector<double> y;  // n x m, point-major
};

Result<FitInputs> check_inputs(const WaypointMatrix& points, const SmoothingConfig& config) {
  const auto dim = static_cast<std::size_t>(points.rows());
  const auto n = static_cast<std::size_t>(points.cols());
  if (dim == 0 || n < 2 || !points.allFinite()) {
    return failed("expected finite (dim, n_points) matrix, dim > 0, n_points >= 2");
  }
  FitInputs in;
  if (config.axes) {
    in.axes = *config.axes;
  } else {
    in.axes.resize(dim);
    std::iota(in.axes.begin(), in.axes.end(), std::size_t{0});
  }
  if (in.axes.empty()) return failed("axes must not be empty");
  std::vector<bool> seen(dim, false);
  for (const std::size_t axis : in.axes) {
    if (axis >= dim || seen[axis]) return failed("axes must be distinct valid indices");
    seen[axis] = true;
  }
  const std::size_t m = in.axes.size();

  if (const double* single = std::get_if<double>(&config.tolerance)) {
    in.tol.assign(m, *single);
  } else {
    in.tol = std::get<std::vector<double>>(config.tolerance);
  }
  const bool positive = std::all_of(in.tol.begin(), in.tol.end(), [](double t) { return std::isfinite(t) && t > 0.0; });
  if (in.tol.size() != m || !positive) return failed("positive tolerance required for each selected axis");

  if (config.parameters) {
    in.p = *config.parameters;
  } else {
    in.p.resize(n);
    for (std::size_t i = 0; i < n; ++i) in.p[i] = static_cast<double>(i) / static_cast<double>(n - 1);
  }
  bool increasing = in.p.size() == n && std::isfinite(in.p[0]);
  for (std::size_t i = 1; i < in.p.size() && increasing; ++i) increasing = std::isfinite(in.p[i]) && in.p[i] > in.p[i - 1];
  if (!increasing) return failed("parameters must be finite, strictly increasing and match the point count");

  // The path scales derivatives by 1 / range: a subnormal range would make them infinite.
  const double range = in.p[n - 1] - in.p[0];
  bool representable = std::isfinite(range) && std::isfinite(1.0 / range);
  in.u.resize(n);
  for (std::size_t i = 0; i < n && representable; ++i) {
    in.u[i] = (in.p[i] - in.p[0]) / range;
    representable = i == 0 || in.u[i] > in.u[i - 1];
  }
  if (!representable) return failed("parameter range cannot be represented reliably");

  in.y.resize(n * m);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < m; ++j) {
      const double v = (point(points, i, in.axes[j]) - point(points, 0, in.axes[j])) / in.tol[j];
      if (!std::isfinite(v)) return failed("coordinate/tolerance scale overflow");
      in.y[i * m + j] = v;
    }
  }
  return in;
}

// The clamped spline with the given interior knots and its control points on the chord (at their
// Greville abscissae): the straight line from the first point to the last.
Result<QuinticBSpline> chord_spline(const FitData& data, const std::vector<double>& interior) {
  std::vector<double> knots(kBasisCount, 0.0);
  knots.insert(knots.end(), interior.begin(), interior.end());
  knots.insert(knots.end(), kBasisCount, 1.0);
  const std::size_t n_ctrl = knots.size() - kBasisCount;
  const std::size_t m = data.m;
  std::vector<double> c(n_ctrl * m);
  for (std::size_t i = 0; i < n_ctrl; ++i) {
    const double g = (knots[i + 1] + knots[i + 2] + knots[i + 3] + knots[i + 4] + knots[i + 5]) / 5;
    for (std::size_t j = 0; j < m; ++j) c[i * m + j] = g * data.at(data.n() - 1, j);
  }
  return QuinticBSpline::create(std::move(knots), std::move(c), m);
}

double largest_bound(const IntervalAudit& audit) {
  double worst = 0.0;
  for (const double b : audit.bound) worst = std::fmax(worst, b);
  return worst;
}

// The middle of the knot span holding the worst point of every interval whose bound exceeds
// kRefined on some axis, ascending, without repeats.
std::vector<double> refinement_knots(const QuinticBSpline& spline, const IntervalAudit& audit, std::size_t m) {
  const std::span<const double> t = spline.knots();
  std::vector<double> knots;
  for (std::size_t k = 0; k < audit.worst.size(); ++k) {
    const auto first = audit.bound.begin() + static_cast<std::ptrdiff_t>(k * m);
    if (std::none_of(first, first + static_cast<std::ptrdiff_t>(m), [](double b) { return b > kRefined; })) continue;
    const std::size_t span = find_knot_span(spline, audit.worst[k]);
    knots.push_back((t[span] + t[span + 1]) * 0.5);
  }
  std::sort(knots.begin(), knots.end());
  knots.erase(std::unique(knots.begin(), knots.end()), knots.end());
  return knots;
}

Result<FittedPath> fit(const WaypointMatrix& points, const SmoothingConfig& config) {
  auto checked = check_inputs(points, config);
  if (!checked) return std::move(checked).error();
  FitInputs& in = *checked;
  const std::size_t n = in.u.size();
  const std::size_t m = in.axes.size();
  const FitData data{in.u, in.y, m};
  SmoothingReport report;

  const bool off_chord = smoothing::exceeds_chord_deviation(data);
  const std::vector<double> interior = off_chord ? smoothing::place_initial_knots(data) : std::vector<double>{};
  if (interior.size() >= config.max_segments) return budget_exceeded("initial", interior.size() + 1, config);
  auto created = chord_spline(data, interior);
  if (!created) return std::move(created).error();
  QuinticBSpline& spline = *created;
  if (off_chord) {
    // The end control points stay on the end points: no window contains them.
    auto pass = smoothing::fit_window_least_squares(spline, data, 1, spline.n_ctrl() - 1, kInitialLambda);
    if (!pass) return std::move(pass).error();
    report.fitting_rows = pass->rows;
  }
  SpanPolynomials polynomials = bspline_to_span_polynomials(spline);
  IntervalAudit audit{std::vector<double>((n - 1) * m), std::vector<double>(n - 1)};
  QARN_TRY(smoothing::audit_intervals(polynomials, data, 0, n - 1, audit));
  report.checked_intervals = n - 1;

  for (double worst = largest_bound(audit); worst > kAccepted; worst = largest_bound(audit)) {
    if (report.refinements == config.max_refinements) {
      return failed(fmt::format("refinement limit reached; error/tolerance={}", worst));
    }
    const std::vector<double> knots = refinement_knots(spline, audit, m);
    const std::size_t spans = spline.n_ctrl() + knots.size() - kBSplineDegree;
    if (spans > config.max_segments) return budget_exceeded("refinement", spans, config);
    QARN_TRY(insert_knots(spline, knots));
    ++report.refinements;
    const double lambda = kInitialLambda * std::pow(kLambdaDecay, static_cast<double>(report.refinements));
    polynomials = bspline_to_span_polynomials(spline);
    for (const smoothing::Window& window : smoothing::refinement_windows(spline, knots)) {
      auto pass = smoothing::fit_window_least_squares(spline, data, window.lo, window.hi, lambda);
      if (!pass) return std::move(pass).error();
      report.fitting_rows += pass->rows;
      refresh_span_polynomials(spline, polynomials, window.lo, window.hi);
      const std::size_t k0 = pass->first > 0 ? pass->first - 1 : 0;
      const std::size_t k1 = std::min(pass->end, n - 1);
      if (k0 < k1) {
        QARN_TRY(smoothing::audit_intervals(polynomials, data, k0, k1, audit));
        report.checked_intervals += k1 - k0;
      }
    }
  }

  // Back to axis units. The end control points are set to the end waypoints themselves, which the
  // scaled values reproduce only up to rounding.
  const std::span<double> c = spline.coefficients();
  const std::size_t last = spline.n_ctrl() - 1;
  for (std::size_t i = 0; i <= last; ++i) {
    for (std::size_t j = 0; j < m; ++j) c[i * m + j] = c[i * m + j] * in.tol[j] + point(points, 0, in.axes[j]);
  }
  for (std::size_t j = 0; j < m; ++j) c[last * m + j] = point(points, n - 1, in.axes[j]);
  polynomials = bspline_to_span_polynomials(spline);

  std::vector<double> physical(n * m);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < m; ++j) physical[i * m + j] = point(points, i, in.axes[j]);
  QARN_TRY(smoothing::audit_intervals(polynomials, FitData{in.u, physical, m}, 0, n - 1, audit));
  report.checked_intervals += n - 1;
  report.max_errors.assign(m, 0.0);
  for (std::size_t k = 0; k + 1 < n; ++k)
    for (std::size_t j = 0; j < m; ++j) report.max_errors[j] = std::fmax(report.max_errors[j], audit.bound[k * m + j]);
  for (std::size_t j = 0; j < m; ++j) {
    if (report.max_errors[j] > in.tol[j]) return failed("final physical-unit interval audit failed");
  }

  FittedPath out{std::move(polynomials), {}, std::nullopt, in.p.front(), in.p.back(), {}, {}, {}};
  for (std::size_t axis = 0; axis < static_cast<std::size_t>(points.rows()); ++axis) {
    out.q_first.push_back(point(points, 0, axis));
    out.q_last.push_back(point(points, n - 1, axis));
  }
  for (std::size_t axis = 0; axis < static_cast<std::size_t>(points.rows()); ++axis) {
    if (std::find(in.axes.begin(), in.axes.end(), axis) == in.axes.end()) out.unselected_axes.push_back(axis);
  }
  if (!out.unselected_axes.empty()) {
    auto interpolant = smoothing::fit_unselected_interpolant(points, in.u, out.unselected_axes);
    if (!interpolant) return std::move(interpolant).error();
    out.interpolant = std::move(*interpolant);
    report.interpolated_segments = out.interpolant->spans();
  }
  report.segments = out.fitted.spans();
  report.axes = std::move(in.axes);
  out.report = std::move(report);
  return out;
}

}  // namespace

Result<FittedPath> fit_waypoints_with_tolerance(const WaypointMatrix& points, const SmoothingConfig& config) {
  try {
    return fit(points, config);
  } catch (const std::bad_alloc&) {
    return too_large(kComponent, "the fitted spline");
  } catch (const std::length_error&) {
    return too_large(kComponent, "the fitted spline");
  }
}

}  // namespace qarn::path

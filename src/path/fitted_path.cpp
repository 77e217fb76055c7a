// The fitted kind of path: its constructor, and its evaluation (the span by bisection over the
// breakpoints, Horner's scheme per axis, derivatives scaled from the span-local variable to s).
#include "path/fitted_path.hpp"

#include <algorithm>

#include "path/path_core.hpp"

namespace qarn::path {

namespace {

void evaluate_part(const SpanPolynomials& part, std::span<const std::size_t> axes, double x, double inv,
                   std::span<double> q, std::span<double> dq, std::span<double> ddq, std::span<double> dddq) {
  const std::span<const double> b = part.breakpoints();
  const std::size_t p = part.span_at(x);
  const double h = b[p + 1] - b[p];
  const double u = (x - b[p]) / h;
  for (std::size_t r = 0; r < axes.size(); ++r) {
    const double* a = part.group(p, r);
    const std::size_t ax = axes[r];
    q[ax] = a[0] + u * (a[1] + u * (a[2] + u * (a[3] + u * (a[4] + u * a[5]))));
    if (!dq.empty()) dq[ax] = inv * (a[1] + u * (2 * a[2] + u * (3 * a[3] + u * (4 * a[4] + u * 5 * a[5])))) / h;
    if (!ddq.empty()) ddq[ax] = inv * inv * (2 * a[2] + u * (6 * a[3] + u * (12 * a[4] + u * 20 * a[5]))) / (h * h);
    if (!dddq.empty()) dddq[ax] = inv * inv * inv * (6 * a[3] + u * (24 * a[4] + u * 60 * a[5])) / (h * h * h);
  }
}

}  // namespace

void evaluate_fitted_path(const FittedPath& path, double s, std::span<double> q, std::span<double> dq,
                          std::span<double> ddq, std::span<double> dddq) {
  const double width = path.s_hi - path.s_lo;
  const double x = (s - path.s_lo) / width;
  const double inv = 1.0 / width;
  evaluate_part(path.fitted, path.report.axes, x, inv, q, dq, ddq, dddq);
  if (path.interpolant) evaluate_part(*path.interpolant, path.unselected_axes, x, inv, q, dq, ddq, dddq);
  if (s == path.s_lo) std::copy(path.q_first.begin(), path.q_first.end(), q.begin());
  if (s == path.s_hi) std::copy(path.q_last.begin(), path.q_last.end(), q.begin());
}

Result<Path> path_from_smoothing_fit(const WaypointMatrix& points, SmoothingConfig config) {
  auto fitted = fit_waypoints_with_tolerance(points, config);
  if (!fitted) return std::move(fitted).error();
  const double s_lo = fitted->s_lo;
  const double s_hi = fitted->s_hi;
  return Path(std::make_unique<const FittedPath>(std::move(*fitted)), static_cast<std::size_t>(points.rows()), s_lo,
              s_hi, config.out_of_range);
}

const SmoothingReport* Path::smoothing_report() const {
  const auto* fitted = std::get_if<std::unique_ptr<const FittedPath>>(&representation_);
  return fitted ? &(*fitted)->report : nullptr;
}

}  // namespace qarn::path

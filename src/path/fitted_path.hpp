// The tolerance-fitted path record (the span polynomials of the fit and its report) and its
// evaluation at one parameter: the value and up to three derivatives with respect to s.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "path/bspline.hpp"

namespace qarn::path {

// What the fit did, in the counts users read from `Path.smoothing_report`.
struct SmoothingReport {
  std::vector<std::size_t> axes;          // the selected axes, in tolerance order
  std::size_t segments = 0;               // spans of the fitted spline
  std::size_t interpolated_segments = 0;  // spans of the unselected-axis interpolant (0 without one)
  std::size_t refinements = 0;            // refinement passes
  std::size_t fitting_rows = 0;           // data rows of all least-squares passes (point rows + 6 per piece)
  std::size_t checked_intervals = 0;      // waypoint intervals audited, initial and final audits included
  std::vector<double> max_errors;         // per selected axis, the final error bound in its own units
};

struct FittedPath {
  SpanPolynomials fitted;                    // the selected axes, group r for axis report.axes[r]
  std::vector<std::size_t> unselected_axes;  // ascending
  std::optional<SpanPolynomials> interpolant;  // the unselected axes, group r for unselected_axes[r]
  double s_lo = 0.0;  // parameters of the first and last waypoint
  double s_hi = 1.0;
  // The end waypoints, every axis: at s_lo and s_hi the path returns them as given, which the span
  // polynomials (a solved interpolant, Horner's sum at the span's end) reproduce only up to rounding.
  std::vector<double> q_first;
  std::vector<double> q_last;
  SmoothingReport report;
};

// Writes every axis of the path at s (already inside [s_lo, s_hi]) into q and, when they are not
// empty, dq, ddq, dddq (each one value per axis).
void evaluate_fitted_path(const FittedPath& path, double s, std::span<double> q, std::span<double> dq,
                          std::span<double> ddq, std::span<double> dddq);

}  // namespace qarn::path

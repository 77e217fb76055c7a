// Clamped quintic B-splines over the normalised parameter [0, 1], the representation the tolerance
// fit works in: the knot-span search, the basis values of one parameter (a design-matrix row), the
// basis polynomial table, Boehm knot insertion, and the conversion to per-span polynomials that
// fitted paths evaluate.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "diag/result.hpp"

namespace qarn::path {

inline constexpr std::size_t kBSplineDegree = 5;
inline constexpr std::size_t kBasisCount = kBSplineDegree + 1;  // non-zero basis functions per span

// A degree-5 B-spline with the control points of all its axes interleaved. Made only by `create`
// and changed only by knot insertion and by writes into its control points, so every kernel below
// may rely on: dim >= 1, n_ctrl >= 6, n_ctrl + 6 finite non-decreasing knots, the domain
// [knots[5], knots[n_ctrl]] equal to [0, 1].
class QuinticBSpline {
 public:
  // Anything else is refused with `SmoothingFailed` "unsupported knot layout": fewer control points
  // than the degree needs would leave the span search without a valid span.
  static Result<QuinticBSpline> create(std::vector<double> knots, std::vector<double> coefficients,
                                       std::size_t dim);

  std::span<const double> knots() const { return knots_; }
  // Control point i, axis a at i * dim + a.
  std::span<const double> coefficients() const { return coefficients_; }
  std::span<double> coefficients() { return coefficients_; }
  std::size_t dim() const { return dim_; }
  std::size_t n_ctrl() const { return coefficients_.size() / dim_; }

 private:
  QuinticBSpline(std::vector<double> knots, std::vector<double> coefficients, std::size_t dim)
      : knots_(std::move(knots)), coefficients_(std::move(coefficients)), dim_(dim) {}
  friend Status insert_knots(QuinticBSpline& spline, std::span<const double> ascending);

  std::vector<double> knots_;
  std::vector<double> coefficients_;
  std::size_t dim_;
};

// One row of the design matrix: the basis functions first .. first + 5 at a parameter.
struct BasisRow {
  std::size_t first;
  std::array<double, kBasisCount> values;
};

// Entry [j][k]: coefficient of (x - s)^k of basis function span - 5 + j expanded about s, so that
// P[j][1], 2 P[j][2] and 6 P[j][3] are the first three derivatives of that function at s.
using BasisTable = std::array<std::array<double, kBasisCount>, kBasisCount>;

// The index of the last of `values` that is <= x (0 when none is, and for an empty array), by a
// bisection without early exit. NaN compares false everywhere and gives 0.
std::size_t last_at_or_below(std::span<const double> values, double x);

// The knot span of x, clamped to [5, n_ctrl - 1]: x = 1 lies in the last non-empty span.
std::size_t find_knot_span(const QuinticBSpline& spline, double x);

// The six basis values at x (Cox-de Boor), in the span of find_knot_span.
BasisRow basis_row(const QuinticBSpline& spline, double x);
// The same in a span the caller already knows to be find_knot_span(x), saving the search.
BasisRow basis_row_in_span(const QuinticBSpline& spline, std::size_t span, double x);

// The basis polynomial table about s of knot span `span` (5 <= span < n_ctrl).
BasisTable bspline_basis_table(const QuinticBSpline& spline, std::size_t span, double s);

// Inserts the knots one after another in ascending order (Boehm); each adds one control point per
// axis and leaves the curve unchanged. Unless they strictly increase and each lies strictly inside
// its knot span (finite, inside the domain, on no existing knot), nothing is inserted and the call
// fails with `SmoothingFailed` "parameter resolution exhausted". The cost is linear in the control
// points plus the knots inserted, however many knots there are.
Status insert_knots(QuinticBSpline& spline, std::span<const double> ascending);
inline Status insert_knot(QuinticBSpline& spline, double t) { return insert_knots(spline, {&t, 1}); }

// The spline as one polynomial per non-empty knot span, per axis, in the span-local variable
// u = (x - breakpoints[p]) / (breakpoints[p + 1] - breakpoints[p]) in [0, 1]. Always at least
// one span.
class SpanPolynomials {
 public:
  // Left end of every span, then the closing 1.0.
  std::span<const double> breakpoints() const { return breakpoints_; }
  // Groups of six coefficients (ascending powers of u), span by span and axis by axis.
  std::span<const double> coefficients() const { return coefficients_; }
  std::size_t dim() const { return dim_; }
  std::size_t spans() const { return breakpoints_.size() - 1; }
  // The span of x: the last breakpoint <= x, capped at the last span.
  std::size_t span_at(double x) const;
  const double* group(std::size_t span, std::size_t axis) const {
    return coefficients_.data() + (span * dim_ + axis) * kBasisCount;
  }

 private:
  friend SpanPolynomials bspline_to_span_polynomials(const QuinticBSpline& spline);
  friend void refresh_span_polynomials(const QuinticBSpline& spline, SpanPolynomials& polynomials,
                                       std::size_t ctrl_begin, std::size_t ctrl_end);
  std::vector<double> breakpoints_;
  std::vector<double> coefficients_;
  std::size_t dim_ = 0;
};

SpanPolynomials bspline_to_span_polynomials(const QuinticBSpline& spline);

// Brings `polynomials`, converted from this spline since its last knot insertion, up to date after
// control points [ctrl_begin, ctrl_end) changed: only the spans those points reach are recomputed.
void refresh_span_polynomials(const QuinticBSpline& spline, SpanPolynomials& polynomials, std::size_t ctrl_begin,
                              std::size_t ctrl_end);

}  // namespace qarn::path

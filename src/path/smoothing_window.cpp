// The least-squares passes of the fit: one window of control points refitted to the polyline, and
// the exact interpolant of the axes that are not fitted.
#include <algorithm>
#include <array>

#include "path/band_system.hpp"
#include "path/smoothing_steps.hpp"

namespace qarn::path::smoothing {

namespace {

// Gauss-Legendre rules on [0, 1].
constexpr std::array<double, 6> kNodes6 = {0.033765242898423975, 0.16939530676686776, 0.3806904069584015,
                                           0.6193095930415985,   0.8306046932331322,  0.966234757101576};
constexpr std::array<double, 6> kWeights6 = {0.08566224618958516, 0.1803807865240693, 0.2339569672863455,
                                             0.2339569672863455,  0.1803807865240693, 0.08566224618958516};
constexpr std::array<double, 3> kNodes3 = {0.1127016653792583, 0.5, 0.8872983346207417};
constexpr std::array<double, 3> kWeights3 = {5.0 / 18.0, 4.0 / 9.0, 5.0 / 18.0};

std::size_t lower_index(std::span<const double> u, double x) {
  return static_cast<std::size_t>(std::lower_bound(u.begin(), u.end(), x) - u.begin());
}
std::size_t upper_index(std::span<const double> u, double x) {
  return static_cast<std::size_t>(std::upper_bound(u.begin(), u.end(), x) - u.begin());
}

bool dense_span(const QuinticBSpline& spline, std::span<const double> u, std::size_t span) {
  const std::span<const double> t = spline.knots();
  return lower_index(u, t[span + 1]) - lower_index(u, t[span]) > kDensePoints;
}

// A point's share of the parameter range: half the distance between its neighbours.
double point_weight(std::span<const double> u, std::size_t i) {
  const std::size_t n = u.size();
  if (i == 0) return 0.5 * (u[1] - u[0]);
  if (i == n - 1) return 0.5 * (u[n - 1] - u[n - 2]);
  return 0.5 * (u[i + 1] - u[i - 1]);
}

// Six rows per piece [e, f] of a sparse span between data parameters: the polyline at the nodes.
// The piece lies in knot span `span`.
void add_piece_rows(BandSystem& system, const QuinticBSpline& spline, std::size_t span, const FitData& data,
                    double e, double f, std::vector<double>& target) {
  // No data parameter lies inside the piece, so one polyline segment covers it.
  const std::size_t k = std::min(upper_index(data.u, e) - 1, data.n() - 2);
  const double uk = data.u[k];
  const double step = data.u[k + 1] - uk;
  for (std::size_t q = 0; q < kNodes6.size(); ++q) {
    const double s = e + (f - e) * kNodes6[q];
    for (std::size_t j = 0; j < data.m; ++j) {
      target[j] = data.at(k, j) + (s - uk) / step * (data.at(k + 1, j) - data.at(k, j));
    }
    const BasisRow row = basis_row_in_span(spline, span, s);
    accumulate_band(system, row.first, row.values, target, spline.coefficients(), (f - e) * kWeights6[q]);
  }
}

}  // namespace

Result<WindowPass> fit_window_least_squares(QuinticBSpline& spline, const FitData& data, std::size_t lo,
                                            std::size_t hi, double lambda) {
  const std::span<const double> t = spline.knots();
  const std::span<const double> u = data.u;
  const std::size_t m = data.m;
  const std::size_t n_ctrl = spline.n_ctrl();
  // The support of the window's basis functions, and the data inside it.
  const double A = t[lo];
  const double B = t[hi + kBSplineDegree];
  WindowPass pass{0, lower_index(u, A), upper_index(u, B)};
  BandSystem system(lo, hi, m);

  // The points ascend, so their knot spans do: each is found by stepping on from the last.
  std::size_t span = pass.first < pass.end ? find_knot_span(spline, u[pass.first]) : 0;
  bool dense = pass.first < pass.end && dense_span(spline, u, span);
  for (std::size_t i = pass.first; i < pass.end; ++i) {
    const std::size_t previous = span;
    while (span + 1 < n_ctrl && t[span + 1] <= u[i]) ++span;
    if (span != previous) dense = dense_span(spline, u, span);
    if (!dense) continue;
    const BasisRow row = basis_row_in_span(spline, span, u[i]);
    accumulate_band(system, row.first, row.values, data.y.subspan(i * m, m), spline.coefficients(),
                    point_weight(u, i));
    ++pass.rows;
  }

  std::vector<double> target(m);
  const std::vector<double> zeros(m, 0.0);
  // Spans below lo or from hi + 5 on cannot overlap (A, B).
  for (std::size_t i = std::max(lo, kBSplineDegree); i < std::min(n_ctrl, hi + kBSplineDegree); ++i) {
    const double e0 = t[i];
    const double e1 = t[i + 1];
    if (!(e1 > e0) || !(e1 > A && e0 < B)) continue;
    if (!dense_span(spline, u, i)) {
      double e = e0;
      for (std::size_t c = upper_index(u, e0); c < lower_index(u, e1); ++c) {
        add_piece_rows(system, spline, i, data, e, u[c], target);
        e = u[c];
        pass.rows += kNodes6.size();
      }
      add_piece_rows(system, spline, i, data, e, e1, target);
      pass.rows += kNodes6.size();
    }
    const double h = e1 - e0;
    const double h7 = h * h * h * h * h * h * h;
    for (std::size_t q = 0; q < kNodes3.size(); ++q) {
      const BasisTable P = bspline_basis_table(spline, i, e0 + h * kNodes3[q]);
      std::array<double, kBasisCount> third{};
      for (std::size_t j = 0; j < kBasisCount; ++j) third[j] = 6.0 * P[j][3];
      accumulate_band(system, i - kBSplineDegree, third, zeros, spline.coefficients(), lambda * h7 * kWeights3[q]);
    }
  }

  auto correction = solve_banded_cholesky(std::move(system));
  if (!correction) return std::move(correction).error();
  const std::span<double> c = spline.coefficients();
  for (std::size_t k = 0; k < correction->size(); ++k) c[lo * m + k] += (*correction)[k];
  return pass;
}

Result<SpanPolynomials> fit_unselected_interpolant(const WaypointMatrix& points, std::span<const double> u,
                                                   std::span<const std::size_t> axes) {
  const std::size_t n = u.size();
  const std::size_t k = axes.size();
  std::vector<double> knots(kBasisCount, 0.0);
  knots.insert(knots.end(), u.begin() + 1, u.end() - 1);
  knots.insert(knots.end(), kBasisCount, 1.0);
  auto created = QuinticBSpline::create(std::move(knots), std::vector<double>((n + 4) * k, 0.0), k);
  if (!created) return std::move(created).error();
  QuinticBSpline& spline = *created;

  // The control points start at zero, so the correction is the solution itself.
  BandSystem system(0, n + 4, k);
  std::vector<double> target(k);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t r = 0; r < k; ++r) {
      target[r] = points(static_cast<Eigen::Index>(axes[r]), static_cast<Eigen::Index>(i));
    }
    const BasisRow row = basis_row(spline, u[i]);
    accumulate_band(system, row.first, row.values, target, spline.coefficients(), 1.0);
  }
  // Velocity and acceleration vanish at both ends; the rows are scaled by the end spans' widths so
  // that they weigh about as much as a point row.
  const std::vector<double> zeros(k, 0.0);
  const auto add_end_rows = [&](std::size_t span, double at, double h) {
    const BasisTable P = bspline_basis_table(spline, span, at);
    std::array<double, kBasisCount> first{}, second{};
    for (std::size_t j = 0; j < kBasisCount; ++j) {
      first[j] = P[j][1] * h;
      second[j] = 2.0 * P[j][2] * (h * h);
    }
    accumulate_band(system, span - kBSplineDegree, first, zeros, spline.coefficients(), 1.0);
    accumulate_band(system, span - kBSplineDegree, second, zeros, spline.coefficients(), 1.0);
  };
  add_end_rows(kBSplineDegree, 0.0, u[1] - u[0]);
  add_end_rows(n + 3, 1.0, u[n - 1] - u[n - 2]);

  auto solution = solve_banded_cholesky(std::move(system));
  if (!solution) return std::move(solution).error();
  std::copy(solution->begin(), solution->end(), spline.coefficients().begin());
  return bspline_to_span_polynomials(spline);
}

}  // namespace qarn::path::smoothing

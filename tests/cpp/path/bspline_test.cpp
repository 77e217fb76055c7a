// The fit's kernels against SciPy (values stored by make_bspline_reference.py): basis rows, basis
// derivatives, knot insertion, span polynomials and the banded normal-equation solve; and the
// layouts and systems they refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "bspline_reference_data.hpp"
#include "path/band_system.hpp"
#include "path/bspline.hpp"
#include "path_test_support.hpp"

namespace qarn::path {
namespace {

using namespace testing;
constexpr std::size_t kDim = kBSplineReferenceDim;

QuinticBSpline spline_of(const BSplineReferenceCase& c) {
  auto spline = QuinticBSpline::create(c.knots, c.coefficients, kDim);
  EXPECT_TRUE(spline.ok());
  return std::move(spline).value();
}

double largest_magnitude(const std::vector<double>& v) {
  double m = 0.0;
  for (const double x : v) m = std::max(m, std::abs(x));
  return m;
}

std::string smoothing_text(const CoreError& error) {
  const auto* failed = error.path() ? error.path()->get_if<PathError::SmoothingFailed>() : nullptr;
  return failed ? failed->message : "(not a smoothing failure) " + error.display();
}

TEST(BSplineKernels, BasisRowsMatchTheDesignMatrix) {
  for (const BSplineReferenceCase& c : kBSplineReferenceCases) {
    const QuinticBSpline spline = spline_of(c);
    const std::size_t n_ctrl = spline.n_ctrl();
    for (std::size_t i = 0; i < c.basis_x.size(); ++i) {
      const BasisRow row = basis_row(spline, c.basis_x[i]);
      ASSERT_LE(row.first + kBasisCount, n_ctrl);
      double sum = 0.0;
      for (std::size_t j = 0; j < kBasisCount; ++j) {
        EXPECT_NEAR(row.values[j], c.design[i * n_ctrl + row.first + j], 1e-14) << "x = " << c.basis_x[i];
        sum += row.values[j];
      }
      EXPECT_NEAR(sum, 1.0, 1e-14);
    }
    // Below the domain the first span serves, at its end the last non-empty one.
    EXPECT_EQ(basis_row(spline, -0.25).first, 0u);
    EXPECT_EQ(find_knot_span(spline, 1.0), n_ctrl - 1);
  }
}

TEST(BSplineKernels, BasisTableHoldsTheTaylorCoefficientsOfTheBasisFunctions) {
  for (const BSplineReferenceCase& c : kBSplineReferenceCases) {
    const QuinticBSpline spline = spline_of(c);
    for (std::size_t n = 0; n < c.table_spans.size(); ++n) {
      const BasisTable P = bspline_basis_table(spline, c.table_spans[n], c.table_s[n]);
      for (std::size_t j = 0; j < kBasisCount; ++j) {
        for (std::size_t k = 0; k < kBasisCount; ++k) {
          const double want = c.tables[(n * kBasisCount + j) * kBasisCount + k];
          EXPECT_NEAR(P[j][k], want, 1e-12 * std::max(1.0, std::abs(want))) << "span " << c.table_spans[n];
        }
      }
    }
  }
}

TEST(BSplineKernels, KnotInsertionMatchesSciPyAndKeepsTheCurve) {
  for (const BSplineReferenceCase& c : kBSplineReferenceCases) {
    QuinticBSpline spline = spline_of(c);
    const QuinticBSpline before = spline;
    ASSERT_TRUE(insert_knots(spline, c.inserted).ok());
    ASSERT_EQ(spline.knots().size(), c.inserted_knots.size());
    for (std::size_t i = 0; i < c.inserted_knots.size(); ++i) EXPECT_EQ(spline.knots()[i], c.inserted_knots[i]);
    const double scale = largest_magnitude(c.inserted_coefficients);
    ASSERT_EQ(spline.coefficients().size(), c.inserted_coefficients.size());
    for (std::size_t i = 0; i < c.inserted_coefficients.size(); ++i) {
      EXPECT_NEAR(spline.coefficients()[i], c.inserted_coefficients[i], 1e-12 * scale);
    }
    // One at a time gives the same spline as all at once.
    QuinticBSpline one_by_one = before;
    for (const double t : c.inserted) ASSERT_TRUE(insert_knot(one_by_one, t).ok());
    EXPECT_TRUE(std::ranges::equal(one_by_one.coefficients(), spline.coefficients()));
  }
}

TEST(BSplineKernels, SpanPolynomialsMatchPPolyFromSpline) {
  for (const BSplineReferenceCase& c : kBSplineReferenceCases) {
    const SpanPolynomials polys = bspline_to_span_polynomials(spline_of(c));
    EXPECT_TRUE(std::ranges::equal(polys.breakpoints(), c.breakpoints));
    const double scale = largest_magnitude(c.span_coefficients);
    ASSERT_EQ(polys.coefficients().size(), c.span_coefficients.size());
    for (std::size_t i = 0; i < c.span_coefficients.size(); ++i) {
      EXPECT_NEAR(polys.coefficients()[i], c.span_coefficients[i], 1e-12 * scale) << "entry " << i;
    }
  }
}

TEST(BSplineKernels, RefreshedSpansEqualAFreshConversion) {
  QuinticBSpline spline = spline_of(kBSplineReferenceCases[0]);
  SpanPolynomials polys = bspline_to_span_polynomials(spline);
  for (std::size_t k = 3 * kDim; k < 5 * kDim; ++k) spline.coefficients()[k] += 0.5;
  refresh_span_polynomials(spline, polys, 3, 5);
  EXPECT_TRUE(std::ranges::equal(polys.coefficients(), bspline_to_span_polynomials(spline).coefficients()));
}

TEST(BSplineKernels, SixControlPointsAreOneBernsteinSpan) {
  const std::vector<double> c = {1.0, -2.0, 0.5, 3.0, -1.0, 2.0};
  auto spline = QuinticBSpline::create({0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1}, c, 1);
  ASSERT_TRUE(spline.ok());
  const SpanPolynomials polys = bspline_to_span_polynomials(*spline);
  EXPECT_TRUE(std::ranges::equal(polys.breakpoints(), std::vector<double>{0.0, 1.0}));
  // Power coefficient k of a Bernstein form: C(5, k) sum_i (-1)^(k-i) C(k, i) c_i.
  const auto choose = [](int n, int k) { return std::tgamma(n + 1) / (std::tgamma(k + 1) * std::tgamma(n - k + 1)); };
  for (int k = 0; k < 6; ++k) {
    double want = 0.0;
    for (int i = 0; i <= k; ++i) want += ((k - i) % 2 ? -1.0 : 1.0) * choose(k, i) * c[static_cast<std::size_t>(i)];
    EXPECT_NEAR(polys.coefficients()[static_cast<std::size_t>(k)], choose(5, k) * want, 1e-12);
  }
}

TEST(BSplineKernels, BandedSolveMatchesSolvehBanded) {
  for (const BSplineReferenceCase& c : kBSplineReferenceCases) {
    const QuinticBSpline spline = spline_of(c);
    BandSystem system(c.window[0], c.window[1], kDim);
    for (std::size_t r = 0; r < c.row_x.size(); ++r) {
      const BasisRow row = basis_row(spline, c.row_x[r]);
      accumulate_band(system, row.first, row.values, std::span(c.row_y).subspan(r * kDim, kDim),
                      spline.coefficients(), c.row_w[r]);
    }
    const auto x = solve_banded_cholesky(std::move(system));
    ASSERT_TRUE(x.ok()) << x.error().display();
    ASSERT_EQ(x->size(), c.correction.size());
    const double scale = largest_magnitude(c.correction);
    for (std::size_t i = 0; i < x->size(); ++i) EXPECT_NEAR((*x)[i], c.correction[i], 1e-12 * scale);
  }
}

TEST(BSplineKernels, RefusedLayoutsAndSystems) {
  // Fewer than six control points: no valid span exists, so the spline cannot be made at all.
  EXPECT_EQ(smoothing_text(QuinticBSpline::create({0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1}, {1, 2, 3, 4, 5}, 1).error()),
            "unsupported knot layout");
  EXPECT_EQ(smoothing_text(QuinticBSpline::create({0, 0, 0, 0, 0, 0, 0.7, 0.3, 1, 1, 1, 1, 1, 1},
                                                  std::vector<double>(8, 0.0), 1)
                               .error()),
            "unsupported knot layout");
  EXPECT_EQ(smoothing_text(QuinticBSpline::create({0, 0, 0, 0, 0, 0, kNaN, 1, 1, 1, 1, 1, 1},
                                                  std::vector<double>(7, 0.0), 1)
                               .error()),
            "unsupported knot layout");

  // Knots must fall strictly inside a span, ascending; a refused batch inserts nothing.
  QuinticBSpline spline = spline_of(kBSplineReferenceCases[0]);
  const double existing = spline.knots()[7];
  for (const std::vector<double>& bad : {std::vector<double>{existing}, {0.0}, {1.0}, {-0.5}, {kNaN}, {0.6, 0.4},
                                         {0.3, 0.3}}) {
    EXPECT_EQ(smoothing_text(insert_knots(spline, bad).error()), "parameter resolution exhausted");
    EXPECT_EQ(spline.n_ctrl(), kBSplineReferenceCases[0].coefficients.size() / kDim);
  }

  // A window point that no row reaches.
  BandSystem untouched(0, 8, 1);
  const BasisRow row = basis_row(spline, 0.001);
  accumulate_band(untouched, row.first, row.values, std::vector<double>{1.0}, spline.coefficients(), 1.0);
  EXPECT_EQ(smoothing_text(solve_banded_cholesky(std::move(untouched)).error()), "unsupported knot layout");
  // Positive diagonal, indefinite matrix: [[1, 2], [2, 1]].
  BandSystem indefinite(0, 2, 1);
  indefinite.band = {{1, 0, 0, 0, 0, 0}, {1, 2, 0, 0, 0, 0}};
  EXPECT_EQ(smoothing_text(solve_banded_cholesky(std::move(indefinite)).error()),
            "non-positive banded factorization");
  BandSystem overflowing(0, 1, 1);
  overflowing.band = {{1e-300, 0, 0, 0, 0, 0}};
  overflowing.rhs = {1e300};
  EXPECT_EQ(smoothing_text(solve_banded_cholesky(std::move(overflowing)).error()), "non-finite coefficients");
}

}  // namespace
}  // namespace qarn::path

// Spline paths against an independent B-spline construction (SciPy's make_interp_spline, values
// stored by make_reference.py): orders 3 to 9, random waypoints, prescribed end derivatives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "path/sampling.hpp"
#include "path_test_support.hpp"
#include "spline_reference_data.hpp"

namespace qarn::path {
namespace {

using namespace testing;

Eigen::MatrixXd state_matrix(const std::vector<double>& row_major, std::size_t m) {
  Eigen::MatrixXd out(static_cast<Eigen::Index>(kReferenceDim), static_cast<Eigen::Index>(m));
  for (std::size_t a = 0; a < kReferenceDim; ++a)
    for (std::size_t r = 0; r < m; ++r)
      out(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(r)) = row_major[a * m + r];
  return out;
}

// Each quantity of each axis agrees to 1e-10 relative to its largest magnitude over the queries.
void expect_close(const SampleMatrix& got, const std::vector<double>& want, const char* what, unsigned order) {
  ASSERT_EQ(got.values.size(), want.size());
  for (std::size_t a = 0; a < kReferenceDim; ++a) {
    double scale = 0.0;
    for (std::size_t i = a; i < want.size(); i += kReferenceDim) scale = std::max(scale, std::abs(want[i]));
    for (std::size_t i = a; i < want.size(); i += kReferenceDim) {
      EXPECT_NEAR(got.values.data()[i], want[i], 1e-10 * scale)
          << what << ", order " << order << ", axis " << a << ", query " << i / kReferenceDim;
    }
  }
}

TEST(SplineReference, MatchesSciPyUpToTheThirdDerivative) {
  ASSERT_EQ(kSplineReferenceCases.size(), 4u);
  for (const SplineReferenceCase& c : kSplineReferenceCases) {
    const std::size_t m = (c.order - 1) / 2;
    Eigen::MatrixXd w(static_cast<Eigen::Index>(kReferenceDim), static_cast<Eigen::Index>(kReferencePoints));
    std::copy(c.waypoints.begin(), c.waypoints.end(), w.data());
    SplineConfig config = spline_config(c.order, kReferenceSMin, kReferenceSMax);
    config.start_state = state_matrix(c.start_state, m);
    config.end_state = state_matrix(c.end_state, m);
    const Path path = spline_path(w, std::move(config));
    const auto samples = evaluate_path_samples(path, c.queries, DerivativeOrder::UpTo3rd);
    ASSERT_TRUE(samples.ok()) << samples.error().display();
    expect_close(samples->q, c.q, "q", c.order);
    expect_close(*samples->dq, c.dq, "dq", c.order);
    expect_close(*samples->ddq, c.ddq, "ddq", c.order);
    expect_close(*samples->dddq, c.dddq, "dddq", c.order);
  }
}

}  // namespace
}  // namespace qarn::path

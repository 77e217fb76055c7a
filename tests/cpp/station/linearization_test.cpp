// Jerk linearization: the tangent of 1/sqrt(a) at a reference a* turns each jerk row linear,
// (jerk_a + 0.5 r^3 jerk_max) a + jerk_b b + jerk_c c <= 1.5 r jerk_max - jerk_d, r = 1/sqrt(a*).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "qarn/constraints.hpp"
#include "station_test_support.hpp"

namespace qarn {
namespace {

using test::column;
using test::error_text;
using test::ramp;
using test::store_with_stations;

using test::kInf;
using test::kNaN;

struct Row {
  double ja, jb, jc, jd, jm;
};

void add_rows(Constraints& c, std::uint64_t idx, std::initializer_list<Row> rows) {
  for (const Row& r : rows) {
    ASSERT_TRUE(c.add_constraint_3rd(column({r.ja}), column({r.jb}), column({r.jc}), column({r.jd}), column({r.jm}), idx, false).ok());
  }
}

// The linearized pair of a row at reference a*, computed from the tangent directly.
std::pair<double, double> tangent_row(const Row& r, double a_star) {
  const double inv_sqrt = 1.0 / std::sqrt(a_star);
  return {r.ja + 0.5 * std::pow(a_star, -1.5) * r.jm, 1.5 * inv_sqrt * r.jm - r.jd};
}

TEST(JerkLinearization, TheWorkedExample) {
  Constraints c = store_with_stations(1, 8, ramp(3));
  add_rows(c, 1, {{1.0, 7.0, 9.0, 2.0, 8.0}});
  ASSERT_TRUE(c.linearize_jerk_constraints(std::vector<double>{1.0, 4.0}, 0, 1e-10).ok());
  const LinearizedJerkRows rows = c.linearized_jerk_rows_at(1);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows.jerk_lin_a[0], 1.5);
  EXPECT_EQ(rows.jerk_lin_max[0], 4.0);
  EXPECT_EQ(rows.jerk_b[0], 7.0);
  EXPECT_EQ(rows.jerk_c[0], 9.0);
  EXPECT_EQ(c.linearized_jerk_rows_at(0).size(), 0u);
  EXPECT_EQ(c.lin_range().start, 0u);
  EXPECT_EQ(c.lin_range().end, 2u);
}

TEST(JerkLinearization, ZeroAndNaNReferencesUseTheFloor) {
  Constraints c = store_with_stations(1, 8, ramp(3));
  add_rows(c, 0, {{1.0, 0.0, 0.0, 2.0, 8.0}});
  add_rows(c, 1, {{1.0, 0.0, 0.0, 2.0, 8.0}});
  ASSERT_TRUE(c.linearize_jerk_constraints(std::vector<double>{0.0, kNaN}, 0, 1e-10).ok());
  for (std::uint64_t i : {0u, 1u}) {
    const LinearizedJerkRows rows = c.linearized_jerk_rows_at(i);
    // r = 1/sqrt(1e-10) = 1e5 and r^3 = 1e15, up to the rounding of the square root.
    EXPECT_NEAR(rows.jerk_lin_a[0], 1.0 + 0.5 * 1e15 * 8.0, 4e15 * 1e-14);
    EXPECT_NEAR(rows.jerk_lin_max[0], 1.5 * 1e5 * 8.0 - 2.0, 1.2e6 * 1e-14);
  }
  EXPECT_EQ(c.a_linearization_floor(), 1e-10);
}

TEST(JerkLinearization, InactiveRowsStayInactive) {
  Constraints c = store_with_stations(1, 8, ramp(2));
  add_rows(c, 0, {{1.0, 1.0, 1.0, 1.0, kInf}});
  ASSERT_TRUE(c.linearize_jerk_constraints(std::vector<double>{2.0}, 0, 1e-10).ok());
  EXPECT_EQ(c.linearized_jerk_rows_at(0).jerk_lin_a[0], kInf);
  EXPECT_EQ(c.linearized_jerk_rows_at(0).jerk_lin_max[0], kInf);
}

TEST(JerkLinearization, ChecksRunInOrderAndChangeNothing) {
  Constraints c = store_with_stations(1, 8, ramp(3));
  add_rows(c, 0, {{1.0, 0.0, 0.0, 0.0, 1.0}});
  ASSERT_TRUE(c.linearize_jerk_constraints(std::vector<double>{1.0, 1.0}, 0, 0.5).ok());
  const double lin_a = c.linearized_jerk_rows_at(0).jerk_lin_a[0];

  EXPECT_TRUE(c.linearize_jerk_constraints(std::vector<double>{}, 7, -1.0).ok());  // n = 0 first
  EXPECT_EQ(error_text(c.linearize_jerk_constraints(std::vector<double>{1.0, -1.0}, 2, 0.0)),
            "Some error occurred in the Constraint struct: Requested station interval is out of bounds: idx_s=2, len=2.");
  EXPECT_EQ(error_text(c.linearize_jerk_constraints(std::vector<double>{-1.0}, 0, 0.0)),
            "Some error occurred in the Constraint struct: Linearization floor must be strictly positive.");
  // A NaN floor is no positive floor either (it would be ignored and let a* = 0 through).
  EXPECT_TRUE(test::constraint_error(c.linearize_jerk_constraints(std::vector<double>{1.0}, 0, kNaN))
                  ->is<ConstraintError::NonPositiveLinearizationFloor>());
  EXPECT_TRUE(test::constraint_error(c.linearize_jerk_constraints(std::vector<double>{1.0, -1e-300}, 0, 1e-10))
                  ->is<ConstraintError::NonPositiveA>());
  EXPECT_TRUE(test::constraint_error(
                  c.linearize_jerk_constraints_with_b(std::vector<double>{1.0, 1.0}, std::vector<double>{0.0}, 0, 0, 0, 1.0))
                  ->is<ConstraintError::NoMatchDimensions>());
  EXPECT_EQ(c.a_linearization_floor(), 0.5);
  EXPECT_EQ(c.lin_range().end, 2u);
  EXPECT_EQ(c.linearized_jerk_rows_at(0).jerk_lin_a[0], lin_a);
}

TEST(JerkLinearization, RingWrapAndSeveralRuns) {
  Constraints c = test::wrapped_store(1, 8, 6, 6);  // ids 6..11 in slots 6, 7, 0, 1, 2, 3
  const Row r1{1.0, 2.0, 3.0, 0.5, 4.0}, r2{-2.0, 0.0, 1.0, 0.0, 9.0};
  add_rows(c, 7, {r1});
  add_rows(c, 8, {r2});
  add_rows(c, 9, {r1, r2});
  const std::vector<double> a_ref{1.0, 2.0, 3.0, 5.0, 7.0, 11.0};
  ASSERT_TRUE(c.linearize_jerk_constraints(a_ref, 6, 1e-10).ok());
  auto check = [&](std::uint64_t id, std::size_t row, const Row& r) {
    const auto [lin_a, lin_max] = tangent_row(r, a_ref[id - 6]);
    const LinearizedJerkRows rows = c.linearized_jerk_rows_at(id);
    EXPECT_NEAR(rows.jerk_lin_a[row], lin_a, 1e-12 * std::fabs(lin_a)) << id;
    EXPECT_NEAR(rows.jerk_lin_max[row], lin_max, 1e-12 * std::fabs(lin_max)) << id;
  };
  check(7, 0, r1);
  check(8, 0, r2);
  check(9, 0, r1);
  check(9, 1, r2);
  EXPECT_EQ(c.linearized_jerk_rows_at(10).size(), 0u);
}

TEST(JerkLinearizationWithB, ReferencePerRowFromTheLoadedMotion) {
  // Stations 0..3 at s = 0..3, one stationary interval at the start (k0 = 1, k1 = 0).
  Constraints c = store_with_stations(1, 8, ramp(4));
  ASSERT_TRUE(c.amax_substitute(std::vector<double>{10.0, 10.0, 10.0, kInf}, 0).ok());
  const Row loaded{1.0, 1.0, 2.0, 0.0, 3.0};
  const Row unloaded{-1.0, 0.0, 0.0, 0.0, 3.0};
  const Row inactive{1.0, 1.0, 1.0, 1.0, kInf};
  add_rows(c, 0, {loaded});
  add_rows(c, 1, {loaded});
  add_rows(c, 2, {loaded, unloaded, inactive});
  add_rows(c, 3, {loaded});
  const std::vector<double> a_ref{0.0, 1.0, 4.0, 4.0};
  const std::vector<double> b_ref{0.0, 0.5, 1.0, 0.5};
  ASSERT_TRUE(c.linearize_jerk_constraints_with_b(a_ref, b_ref, 0, 1, 0, 1e-10).ok());

  auto expect_row = [&](std::uint64_t id, std::size_t row, const Row& r, double a_star) {
    const auto [lin_a, lin_max] = tangent_row(r, std::fmax(a_star, 1e-10));
    const LinearizedJerkRows rows = c.linearized_jerk_rows_at(id);
    EXPECT_NEAR(rows.jerk_lin_a[row], lin_a, 1e-12 * std::fabs(lin_a)) << id << "/" << row;
    EXPECT_NEAR(rows.jerk_lin_max[row], lin_max, 1e-12 * std::fabs(lin_max)) << id << "/" << row;
  };
  // Station 0 lies in the stationary block: no db/ds candidate, a* = a_ref.
  expect_row(0, 0, loaded, 0.0);
  // Station 1: forward c = 0.5 only; val = 1 + 0.5 + 1 = 2.5, a* = sqrt(1) * 3 / 2.5.
  expect_row(1, 0, loaded, 1.2);
  // Station 2: forward c = -0.5 (val 4, a 2 * 0.75 = 1.5), backward c = 0.5 (val 6, 2 * 0.5 = 1): the smaller.
  expect_row(2, 0, loaded, 1.0);
  // An unloaded row (val <= 0) falls back to amax; an inactive row keeps a_ref.
  expect_row(2, 1, unloaded, 10.0);
  EXPECT_EQ(c.linearized_jerk_rows_at(2).jerk_lin_a[2], kInf);
  // Station 3 has no finite amax: a* = a_ref.
  expect_row(3, 0, loaded, 4.0);
  EXPECT_EQ(c.lin_range().end, 4u);
}

TEST(JerkLinearizationWithB, CandidatesCappedByAmaxAndZeroReference) {
  Constraints c = store_with_stations(1, 8, ramp(3));
  ASSERT_TRUE(c.amax_substitute(std::vector<double>{kInf, 0.5, kInf}, 0).ok());
  const Row r{0.0, 1.0, 0.0, 0.0, 2.0};
  add_rows(c, 1, {r});
  // a_ref = 0 at station 1: val = b = 1, t = 2, candidate min(t^2, amax) = 0.5.
  ASSERT_TRUE(c.linearize_jerk_constraints_with_b(std::vector<double>{1.0, 0.0, 1.0},
                                                  std::vector<double>{0.0, 1.0, 3.0}, 0, 0, 0, 1e-10)
                  .ok());
  const auto [lin_a, lin_max] = tangent_row(r, 0.5);
  EXPECT_NEAR(c.linearized_jerk_rows_at(1).jerk_lin_a[0], lin_a, 1e-12);
  EXPECT_NEAR(c.linearized_jerk_rows_at(1).jerk_lin_max[0], lin_max, 1e-12);
}

}  // namespace
}  // namespace qarn

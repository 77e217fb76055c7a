// Axial velocity, acceleration and jerk limits turned into rows from the stored path
// derivatives (torque limits are tested with the robot model).
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "qarn/constraints.hpp"
#include "station_test_support.hpp"

namespace qarn {
namespace {

using test::constant;
using test::error_text;
using test::ramp;
using test::store_with_stations;

using test::kInf;
using test::kNaN;

// Two axes over four stations with q' = dq, q'' = ddq, q''' = dddq chosen per station.
struct Derivs {
  Eigen::MatrixXd q, dq, ddq, dddq;
};

Derivs sample_derivatives(Eigen::Index n) {
  Derivs d{Eigen::MatrixXd(2, n), Eigen::MatrixXd(2, n), Eigen::MatrixXd(2, n), Eigen::MatrixXd(2, n)};
  for (Eigen::Index k = 0; k < n; ++k) {
    const double t = static_cast<double>(k);
    d.q.col(k) << t, -t;
    d.dq.col(k) << 2.0 - t, 0.5 * t - 0.5;
    d.ddq.col(k) << 0.25 * t, 1.0 - t;
    d.dddq.col(k) << 3.0, -0.5 * t;
  }
  return d;
}

Constraints filled_store(bool with_dddq) {
  Constraints c = store_with_stations(2, 16, ramp(4));
  const Derivs d = sample_derivatives(4);
  EXPECT_TRUE(c.set_q(d.q, d.dq, d.ddq, with_dddq ? std::optional<MatrixView>(d.dddq) : std::nullopt, 0).ok());
  return c;
}

std::string signed_bounds_text(const char* name) {
  return std::string("Some error occurred in the Constraint struct: `") + name +
         "` requires strict signed limits at every station: upper bound > 0 and lower bound < 0.";
}

TEST(AxialLimits, VelocityBoundsPerMovingAxis) {
  Constraints c = filled_store(false);
  // dq: station 0 (2, -0.5), station 1 (1, 0), station 2 (0, 0.5), station 3 (-1, 1).
  Eigen::MatrixXd upper(2, 4), lower(2, 4);
  upper << 3.0, 3.0, 3.0, 3.0,  //
      2.0, 2.0, 2.0, 2.0;
  lower << -1.0, -1.0, -1.0, -1.0,  //
      -1.0, -1.0, -1.0, -1.0;
  ASSERT_TRUE(c.add_velocity_limits(upper, lower, 0).ok());
  // Station 0: axis 0 (3/2)^2 = 2.25, axis 1 (-1/-0.5)^2 = 4 -> 2.25.
  EXPECT_EQ(*c.amax_values(0, 4), (std::vector<double>{2.25, 9.0, 16.0, 1.0}));

  Constraints still = store_with_stations(2, 16, ramp(1));
  const Eigen::MatrixXd zero = Eigen::MatrixXd::Zero(2, 1);
  ASSERT_TRUE(still.set_q(zero, zero, zero, std::nullopt, 0).ok());
  ASSERT_TRUE(still.add_velocity_limits(constant(2, 1, 1.0), constant(2, 1, -1.0), 0).ok());
  EXPECT_EQ(still.amax_at(0), kInf);
}

TEST(AxialLimits, AccelerationRowsBothSides) {
  Constraints c = filled_store(false);
  const Derivs d = sample_derivatives(4);
  ASSERT_TRUE(c.add_acceleration_limits(constant(2, 2, 5.0), constant(2, 2, -4.0), 1).ok());
  for (std::uint64_t i : {1u, 2u}) {
    const SecondOrderRows rows = c.second_order_rows_at(i);
    ASSERT_EQ(rows.size(), 4u);
    for (std::size_t axis = 0; axis < 2; ++axis) {
      const auto k = static_cast<Eigen::Index>(i);
      const auto ax = static_cast<Eigen::Index>(axis);
      EXPECT_EQ(rows.acc_a[axis], d.ddq(ax, k));
      EXPECT_EQ(rows.acc_b[axis], d.dq(ax, k));
      EXPECT_EQ(rows.acc_max[axis], 5.0);
      EXPECT_EQ(rows.acc_a[2 + axis], -d.ddq(ax, k));
      EXPECT_EQ(rows.acc_b[2 + axis], -d.dq(ax, k));
      EXPECT_EQ(rows.acc_max[2 + axis], 4.0);
    }
  }
  EXPECT_EQ(c.second_order_rows_at(0).size(), 0u);
}

TEST(AxialLimits, JerkRowsNeedDddq) {
  Constraints without = filled_store(false);
  EXPECT_EQ(error_text(without.add_jerk_limits(constant(2, 1, 1.0), constant(2, 1, -1.0), 0)),
            "Some error occurred in the Constraint struct: Required derivative data (`q`, `dq`, `ddq`, `dddq`) is not "
            "fully available in the requested interval.");

  Constraints c = filled_store(true);
  const Derivs d = sample_derivatives(4);
  ASSERT_TRUE(c.add_jerk_limits(constant(2, 4, 7.0), constant(2, 4, -6.0), 0).ok());
  const ThirdOrderRows rows = c.third_order_rows_at(3);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows.jerk_a[1], d.dddq(1, 3));
  EXPECT_EQ(rows.jerk_b[0], 3.0 * d.ddq(0, 3));
  EXPECT_EQ(rows.jerk_c[1], d.dq(1, 3));
  EXPECT_EQ(rows.jerk_d[0], 0.0);
  EXPECT_EQ(rows.jerk_max[0], 7.0);
  EXPECT_EQ(rows.jerk_b[2], -3.0 * d.ddq(0, 3));
  EXPECT_EQ(rows.jerk_max[3], 6.0);
}

TEST(AxialLimits, SignsAreStrictAndNothingIsWrittenOnFailure) {
  struct Case {
    AxialLimit kind;
    const char* name;
  };
  for (const Case k : {Case{AxialLimit::Velocity, "axial_velocity"}, Case{AxialLimit::Acceleration, "axial_acceleration"},
                       Case{AxialLimit::Jerk, "axial_jerk"}}) {
    Constraints c = filled_store(true);
    Eigen::MatrixXd upper = constant(2, 3, 1.0), lower = constant(2, 3, -1.0);
    upper(1, 2) = 0.0;
    Eigen::MatrixXd lower_nan = lower;
    lower_nan(0, 1) = kNaN;
    auto add = [&](const Eigen::MatrixXd& u, const Eigen::MatrixXd& l) {
      switch (k.kind) {
        case AxialLimit::Velocity: return c.add_velocity_limits(u, l, 1);
        case AxialLimit::Acceleration: return c.add_acceleration_limits(u, l, 1);
        default: return c.add_jerk_limits(u, l, 1);
      }
    };
    EXPECT_EQ(error_text(add(upper, lower)), signed_bounds_text(k.name));
    EXPECT_EQ(error_text(add(constant(2, 3, 1.0), lower_nan)), signed_bounds_text(k.name));
    EXPECT_EQ(std::string(bound_name(k.kind)), k.name);
    EXPECT_EQ(*c.amax_values(0, 4), (std::vector<double>(4, kInf)));
    EXPECT_EQ(c.acc_runs().rows_in_range(0, 4), 0u);
    EXPECT_EQ(c.jerk_runs().rows_in_range(0, 4), 0u);
    // Zero stations inside the window: success without writing.
    EXPECT_TRUE(add(Eigen::MatrixXd(2, 0), Eigen::MatrixXd(2, 0)).ok());
  }
  EXPECT_EQ(std::string(bound_name(AxialLimit::Torque)), "axial_torque");
}

TEST(AxialLimits, ChecksRunInOrder) {
  Constraints c = store_with_stations(2, 16, ramp(4));  // no q stored
  const Eigen::MatrixXd bad_sign = constant(2, 2, -1.0);
  EXPECT_TRUE(test::constraint_error(c.add_velocity_limits(constant(3, 2, 1.0), constant(3, 2, -1.0), 9))
                  ->is<ConstraintError::NoMatchDimensions>());
  EXPECT_TRUE(test::constraint_error(c.add_velocity_limits(constant(2, 2, 1.0), constant(2, 3, -1.0), 9))
                  ->is<ConstraintError::NoMatchDimensions>());
  EXPECT_TRUE(test::constraint_error(c.add_velocity_limits(bad_sign, bad_sign, 3))->is<ConstraintError::OutOfSBounds>());
  EXPECT_TRUE(test::constraint_error(c.add_acceleration_limits(bad_sign, bad_sign, 0))->is<ConstraintError::NoGivenQInfo>());
  const Eigen::MatrixXd q = constant(2, 1, 1.0);
  ASSERT_TRUE(c.set_q(q, q, q, std::nullopt, 0).ok());
  EXPECT_TRUE(test::constraint_error(c.add_acceleration_limits(bad_sign, bad_sign, 0))
                  ->is<ConstraintError::NoGivenQInfo>());  // station 1 has no q
  EXPECT_TRUE(test::constraint_error(c.add_acceleration_limits(constant(2, 1, -1.0), constant(2, 1, -1.0), 0))
                  ->is<ConstraintError::InvalidSignedBounds>());
}

TEST(AxialLimits, WrappedWindowGivesTheRowsOfAnUnwrappedStore) {
  const Derivs d = sample_derivatives(4);
  Constraints flat = store_with_stations(2, 16, ramp(4));
  Constraints ring = test::wrapped_store(2, 6, 4, 4);  // ids 4..7 in slots 4, 5, 0, 1
  ASSERT_TRUE(flat.set_q(d.q, d.dq, d.ddq, MatrixView(d.dddq), 0).ok());
  ASSERT_TRUE(ring.set_q(d.q, d.dq, d.ddq, MatrixView(d.dddq), 4).ok());
  Eigen::MatrixXd upper(2, 4), lower(2, 4);
  upper << 1, 2, 3, 4, 5, 6, 7, 8;
  lower = -2.0 * upper;
  for (Constraints* c : {&flat, &ring}) {
    const std::uint64_t first = c->idx_s_start();
    ASSERT_TRUE(c->add_velocity_limits(upper, lower, first).ok());
    ASSERT_TRUE(c->add_acceleration_limits(upper, lower, first).ok());
    ASSERT_TRUE(c->add_jerk_limits(upper, lower, first).ok());
  }
  for (std::uint64_t k = 0; k < 4; ++k) {
    EXPECT_EQ(flat.amax_at(k), ring.amax_at(4 + k));
    const SecondOrderRows f2 = flat.second_order_rows_at(k), r2 = ring.second_order_rows_at(4 + k);
    EXPECT_EQ(std::vector<double>(f2.acc_a.begin(), f2.acc_a.end()), std::vector<double>(r2.acc_a.begin(), r2.acc_a.end()));
    EXPECT_EQ(std::vector<double>(f2.acc_max.begin(), f2.acc_max.end()),
              std::vector<double>(r2.acc_max.begin(), r2.acc_max.end()));
    const ThirdOrderRows f3 = flat.third_order_rows_at(k), r3 = ring.third_order_rows_at(4 + k);
    EXPECT_EQ(std::vector<double>(f3.jerk_b.begin(), f3.jerk_b.end()), std::vector<double>(r3.jerk_b.begin(), r3.jerk_b.end()));
    EXPECT_EQ(std::vector<double>(f3.jerk_max.begin(), f3.jerk_max.end()),
              std::vector<double>(r3.jerk_max.begin(), r3.jerk_max.end()));
  }
}

}  // namespace
}  // namespace qarn

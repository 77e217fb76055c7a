// Torque terms of the robot model: coefficients recovered from four inverse-dynamics calls per
// station, checked against a two-axis arm whose M, c and g are known in closed form, and the
// torque limits and torque evaluations built on them.
#include "robot/robot_core.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "../station/station_test_support.hpp"

namespace qarn {
namespace {

using test::constant;
using test::error_text;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// tau = M(q) qdd + c(q, qd) + g(q) with c quadratic in qd.
struct Arm {
  static Eigen::Matrix2d mass(const double* q) {
    Eigen::Matrix2d m;
    m << 2.0 + std::cos(q[1]), 0.5 + 0.25 * std::cos(q[1]), 0.5 + 0.25 * std::cos(q[1]), 1.0;
    return m;
  }
  static Eigen::Vector2d coriolis(const double* q, const double* qd) {
    const double h = 0.7 * std::sin(q[1]);
    return {-h * (2.0 * qd[0] * qd[1] + qd[1] * qd[1]), h * qd[0] * qd[0]};
  }
  static Eigen::Vector2d gravity(const double* q) { return {9.81 * std::cos(q[0]), 2.0 * std::sin(q[0] + q[1])}; }
};

class ArmDynamics final : public InverseDynamics {
 public:
  std::optional<std::string> call(std::span<const double> q, std::span<const double> qd, std::span<const double> qdd,
                                  std::span<double> tau) override {
    ++calls;
    const Eigen::Vector2d t =
        Arm::mass(q.data()) * Eigen::Vector2d(qdd[0], qdd[1]) + Arm::coriolis(q.data(), qd.data()) + Arm::gravity(q.data());
    tau[0] = t[0];
    tau[1] = t[1];
    return std::nullopt;
  }
  int calls = 0;
};

// Fails, or writes a NaN into component `component`, at call number `at` (0-based).
class FaultyDynamics final : public InverseDynamics {
 public:
  FaultyDynamics(int at, bool return_text, std::size_t component) : at_(at), text_(return_text), component_(component) {}
  std::optional<std::string> call(std::span<const double>, std::span<const double>, std::span<const double> qdd,
                                  std::span<double> tau) override {
    std::copy(qdd.begin(), qdd.end(), tau.begin());
    if (calls_++ != at_) return std::nullopt;
    if (text_) return std::string("the model is broken");
    tau[component_] = kNaN;
    return std::nullopt;
  }

 private:
  int at_;
  bool text_;
  std::size_t component_;
  int calls_ = 0;
};

struct Path {
  Eigen::MatrixXd q, dq, ddq;
};

Path arm_path(Eigen::Index n) {
  Path p{Eigen::MatrixXd(2, n), Eigen::MatrixXd(2, n), Eigen::MatrixXd(2, n)};
  for (Eigen::Index k = 0; k < n; ++k) {
    const double t = 0.3 * static_cast<double>(k);
    p.q.col(k) << std::sin(t), 0.5 + t;
    p.dq.col(k) << std::cos(t), 1.0 - 0.2 * t;
    p.ddq.col(k) << -std::sin(t), -0.2 + 0.1 * t;
  }
  return p;
}

// A robot of 2 axes holding the arm path at n stations s = 0.5 * id. With first > 0 the stations
// are ids first .. first + n - 1 starting at slot first mod capacity (n <= capacity - 1), so
// that they can pass the ring's end.
Robot arm_robot(Eigen::Index n, std::shared_ptr<InverseDynamics> provider, std::size_t capacity = 32,
                std::size_t first = 0) {
  Robot robot(2, capacity, std::move(provider));
  Constraints& c = robot.constraints();
  if (first > 0) {
    c = test::wrapped_store(2, capacity, first, static_cast<std::size_t>(n));
  } else {
    EXPECT_TRUE(c.append_s(test::ramp(static_cast<std::size_t>(n), 0.0, 0.5)).ok());
  }
  const Path p = arm_path(n);
  EXPECT_TRUE(c.set_q(p.q, p.dq, p.ddq, std::nullopt, c.idx_s_start()).ok());
  return robot;
}

TEST(TorqueCoefficients, PointMassIsAccelerationExactly) {
  Robot robot(2, 16);
  EXPECT_FALSE(robot.has_inverse_dynamics());
  Constraints& c = robot.constraints();
  ASSERT_TRUE(c.append_s(test::ramp(3)).ok());
  const Path p = arm_path(3);
  ASSERT_TRUE(c.set_q(p.q, p.dq, p.ddq, std::nullopt, 0).ok());
  const Result<TorqueCoefficients> t = robot.torque_coefficients(0, 3);
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(t->coeff_a, p.ddq);
  EXPECT_EQ(t->coeff_b, p.dq);
  EXPECT_EQ(t->coeff_g, Eigen::MatrixXd::Zero(2, 3));
}

TEST(TorqueCoefficients, MatchTheArmInClosedForm) {
  auto arm = std::make_shared<ArmDynamics>();
  const Robot robot = arm_robot(5, arm);
  const Result<TorqueCoefficients> t = robot.torque_coefficients(1, 4);
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(arm->calls, 16);
  const Path p = arm_path(5);
  for (Eigen::Index k = 0; k < 4; ++k) {
    const Eigen::Index i = k + 1;
    const double* q = p.q.col(i).data();
    const Eigen::Vector2d a = Arm::mass(q) * p.ddq.col(i) + Arm::coriolis(q, p.dq.col(i).data());
    const Eigen::Vector2d b = Arm::mass(q) * p.dq.col(i);
    const Eigen::Vector2d g = Arm::gravity(q);
    for (int j = 0; j < 2; ++j) {
      EXPECT_NEAR(t->coeff_a(j, k), a[j], 1e-12);
      EXPECT_NEAR(t->coeff_b(j, k), b[j], 1e-12);
      EXPECT_NEAR(t->coeff_g(j, k), g[j], 1e-12);
    }
  }
}

TEST(TorqueCoefficients, WrappedWindowMatchesAnUnwrappedStore) {
  const Robot flat = arm_robot(4, std::make_shared<ArmDynamics>());
  const Robot ring = arm_robot(4, std::make_shared<ArmDynamics>(), 6, 4);  // ids 4..7 in slots 4, 5, 0, 1
  ASSERT_EQ(ring.constraints().capacity(), 6u);
  ASSERT_EQ(ring.constraints().slot_of(7), 1u);
  const Result<TorqueCoefficients> a = flat.torque_coefficients(0, 4), b = ring.torque_coefficients(4, 4);
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(a->coeff_a, b->coeff_a);
  EXPECT_EQ(a->coeff_b, b->coeff_b);
  EXPECT_EQ(a->coeff_g, b->coeff_g);
}

TEST(TorqueCoefficients, FailuresNameTheStationAndTheStep) {
  // Third station of the window (id 3), third evaluation: call 2*4 + 2.
  const Robot robot = arm_robot(5, std::make_shared<FaultyDynamics>(10, false, 1));
  const Result<TorqueCoefficients> t = robot.torque_coefficients(1, 4);
  ASSERT_FALSE(t.ok());
  EXPECT_EQ(t.error().kind(), CoreError::Kind::RobotDynamics);
  EXPECT_EQ(error_text(t),
            "Robot dynamics error: inverse_dynamics returned non-finite tau[1] = NaN at idx_s=3 during tau(q, sqrt(2) "
            "* dq, 2 * ddq)");

  const Robot failing = arm_robot(3, std::make_shared<FaultyDynamics>(0, true, 0));
  EXPECT_EQ(error_text(failing.torque_coefficients(0, 3)),
            "Robot dynamics error: inverse_dynamics failed at idx_s=0 during tau(q, 0, 0): the model is broken");
  const Robot late = arm_robot(3, std::make_shared<FaultyDynamics>(5, true, 0));
  EXPECT_EQ(error_text(late.torque_coefficients(0, 3)),
            "Robot dynamics error: inverse_dynamics failed at idx_s=1 during tau(q, 0, dq): the model is broken");
  const Robot last = arm_robot(3, std::make_shared<FaultyDynamics>(3, false, 0));
  EXPECT_EQ(error_text(last.torque_coefficients(0, 3)),
            "Robot dynamics error: inverse_dynamics returned non-finite tau[0] = NaN at idx_s=0 during tau(q, dq, ddq)");
  EXPECT_TRUE(robot.torque_coefficients(4, 2).error().constraint()->is<ConstraintError::OutOfSBounds>());
}

TEST(TorqueLimitRows, EqualTheInverseDynamicsOfTheMotion) {
  // With a = sdot^2 and b = sddot the joint velocity is dq sdot and the acceleration ddq a + dq b.
  auto arm = std::make_shared<ArmDynamics>();
  const Robot robot = arm_robot(4, arm);
  const std::vector<double> a{0.5, 2.0, 1.5, 0.0}, b{1.0, -0.5, 0.25, 3.0};
  const Result<Eigen::MatrixXd> tau = robot.torque_limit_rows(a, b, 0);
  ASSERT_TRUE(tau.ok());
  ASSERT_EQ(tau->rows(), 2);
  ASSERT_EQ(tau->cols(), 4);
  const Path p = arm_path(4);
  for (Eigen::Index k = 0; k < 4; ++k) {
    const double sdot = std::sqrt(a[static_cast<std::size_t>(k)]);
    const Eigen::Vector2d qd = p.dq.col(k) * sdot;
    const Eigen::Vector2d qdd = p.ddq.col(k) * a[static_cast<std::size_t>(k)] + p.dq.col(k) * b[static_cast<std::size_t>(k)];
    std::array<double, 2> expected{};
    ArmDynamics direct;
    ASSERT_FALSE(direct.call({p.q.col(k).data(), 2}, {qd.data(), 2}, {qdd.data(), 2}, expected).has_value());
    EXPECT_NEAR((*tau)(0, k), expected[0], 1e-12);
    EXPECT_NEAR((*tau)(1, k), expected[1], 1e-12);
  }
}

TEST(TorqueLimitRows, ChecksBeforeAnyEvaluation) {
  auto arm = std::make_shared<ArmDynamics>();
  Robot robot = arm_robot(4, arm);
  const Result<Eigen::MatrixXd> empty = robot.torque_limit_rows({}, {}, 99);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->rows(), 2);
  EXPECT_EQ(empty->cols(), 0);
  // Lengths come before the window.
  EXPECT_TRUE(test::constraint_error(robot.torque_limit_rows(std::vector<double>{1.0}, std::vector<double>{}, 99))
                  ->is<ConstraintError::NoMatchDimensions>());
  EXPECT_EQ(error_text(robot.torque_limit_rows(std::vector<double>(2, 1.0), std::vector<double>(2, 0.0), 3)),
            "Some error occurred in the Constraint struct: Requested station interval is out of bounds: idx_s=3, len=2.");
  ASSERT_TRUE(robot.constraints().append_s(std::vector<double>{9.0}).ok());  // id 4 without q
  EXPECT_TRUE(test::constraint_error(robot.torque_limit_rows(std::vector<double>(2, 1.0), std::vector<double>(2, 0.0), 3))
                  ->is<ConstraintError::NoGivenQInfo>());
  EXPECT_EQ(arm->calls, 0);
}

TEST(Torque2Coefficients, NodeProfileTorquePerInterval) {
  auto arm = std::make_shared<ArmDynamics>();
  const Robot robot = arm_robot(5, arm);
  const Result<Torque2Coefficients> t = robot.torque2_coeff_a(1, 3);
  ASSERT_TRUE(t.ok());
  const std::vector<double> a{0.4, 1.1, 0.7, 2.0};  // node profile at stations 1..4
  const double h = 0.5;
  for (Eigen::Index k = 0; k < 3; ++k) {
    const auto uk = static_cast<std::size_t>(k);
    const double b = 0.5 * (a[uk + 1] - a[uk]) / h;
    const Result<Eigen::MatrixXd> direct =
        robot.torque_limit_rows(std::vector<double>{a[uk]}, std::vector<double>{b}, 1 + static_cast<std::uint64_t>(k));
    ASSERT_TRUE(direct.ok());
    for (int j = 0; j < 2; ++j) {
      const double tau = t->current(j, k) * a[uk] + t->next(j, k) * a[uk + 1] + t->constant(j, k);
      EXPECT_NEAR(tau, (*direct)(j, 0), 1e-12);
    }
  }
}

TEST(Torque2Coefficients, StationsWithoutDerivativesAreRefusedBeforeAnyEvaluation) {
  // Stations 0..3 hold the arm path; 4..6 were appended after it and never received q, so their
  // slots hold nothing the model should be asked about.
  auto arm = std::make_shared<ArmDynamics>();
  Robot robot = arm_robot(4, arm);
  ASSERT_TRUE(robot.constraints().append_s(std::vector<double>{2.0, 2.5, 3.0}).ok());
  const Result<Torque2Coefficients> t = robot.torque2_coeff_a(2, 3);
  ASSERT_FALSE(t.ok());
  EXPECT_EQ(error_text(t),
            "Some error occurred in the Constraint struct: Required derivative data (`q`, `dq`, `ddq`, `dddq`) is not "
            "fully available in the requested interval.");
  EXPECT_TRUE(test::constraint_error(robot.torque_coefficients(3, 2))->is<ConstraintError::NoGivenQInfo>());
  EXPECT_EQ(arm->calls, 0);
  // The last station of the interval window only lends its s: it needs no q.
  ASSERT_TRUE(robot.torque2_coeff_a(2, 2).ok());
  EXPECT_EQ(arm->calls, 8);
}

TEST(Torque2Coefficients, AWindowOutsideTheStoreIsAFault) {
  const Robot robot = arm_robot(4, nullptr);
  try {
    (void)robot.torque2_coeff_a(2, 3);
    FAIL() << "expected a fault";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "torque2_coeff_a: s interval must be in bounds: OutOfSBounds { idx_s: 2, len: 4 }");
  }
  EXPECT_THROW((void)robot.torque2_coeff_a(std::numeric_limits<std::uint64_t>::max(), 0), std::logic_error);
  EXPECT_THROW((void)robot.torque2_coeff_a(1, std::numeric_limits<std::uint64_t>::max()), std::logic_error);
}

TEST(TorqueLimits, PointMassRowsEqualAccelerationRows) {
  Robot torque(2, 16), accel(2, 16);
  for (Robot* r : {&torque, &accel}) {
    ASSERT_TRUE(r->constraints().append_s(test::ramp(3)).ok());
    const Path p = arm_path(3);
    ASSERT_TRUE(r->constraints().set_q(p.q, p.dq, p.ddq, std::nullopt, 0).ok());
  }
  Eigen::MatrixXd upper(2, 3), lower(2, 3);
  upper << 1, 2, 3, 4, 5, 6;
  lower = -upper;
  ASSERT_TRUE(torque.add_torque_limits(upper, lower, 0).ok());
  ASSERT_TRUE(accel.add_acceleration_limits(upper, lower, 0).ok());
  for (std::uint64_t i = 0; i < 3; ++i) {
    const SecondOrderRows t = torque.constraints().second_order_rows_at(i), a = accel.constraints().second_order_rows_at(i);
    ASSERT_EQ(t.size(), 4u);
    for (std::size_t r = 0; r < 4; ++r) {
      EXPECT_EQ(t.acc_a[r], a.acc_a[r]);
      EXPECT_EQ(t.acc_b[r], a.acc_b[r]);
      EXPECT_EQ(t.acc_max[r], a.acc_max[r]);
    }
  }
}

TEST(TorqueLimits, RowsBoundTheArmTorqueFromBothSides) {
  Robot robot = arm_robot(3, std::make_shared<ArmDynamics>());
  ASSERT_TRUE(robot.add_torque_limits(constant(2, 2, 20.0), constant(2, 2, -15.0), 1).ok());
  const Result<TorqueCoefficients> t = robot.torque_coefficients(1, 2);
  for (std::uint64_t i : {1u, 2u}) {
    const SecondOrderRows rows = robot.constraints().second_order_rows_at(i);
    ASSERT_EQ(rows.size(), 4u);
    const auto k = static_cast<Eigen::Index>(i - 1);
    for (std::size_t j = 0; j < 2; ++j) {
      const auto jj = static_cast<Eigen::Index>(j);
      EXPECT_EQ(rows.acc_a[j], t->coeff_a(jj, k));
      EXPECT_EQ(rows.acc_b[j], t->coeff_b(jj, k));
      EXPECT_EQ(rows.acc_max[j], 20.0 - t->coeff_g(jj, k));
      EXPECT_EQ(rows.acc_a[2 + j], -t->coeff_a(jj, k));
      EXPECT_EQ(rows.acc_max[2 + j], -(-15.0 - t->coeff_g(jj, k)));
    }
  }
}

TEST(TorqueLimits, ErrorsAndTheirKinds) {
  Robot robot = arm_robot(3, std::make_shared<FaultyDynamics>(2, true, 0));
  const Status dyn = robot.add_torque_limits(constant(2, 2, 1.0), constant(2, 2, -1.0), 0);
  ASSERT_FALSE(dyn.ok());
  EXPECT_EQ(dyn.error().kind(), CoreError::Kind::RobotDynamics);
  EXPECT_EQ(robot.constraints().acc_runs().rows_in_range(0, 3), 0u);
  const Status sign = robot.add_torque_limits(constant(2, 2, 1.0), constant(2, 2, 1.0), 0);
  EXPECT_EQ(error_text(sign),
            "Some error occurred in the Constraint struct: `axial_torque` requires strict signed limits at every "
            "station: upper bound > 0 and lower bound < 0.");
  EXPECT_EQ(sign.error().kind(), CoreError::Kind::Constraint);
  EXPECT_TRUE(robot.add_torque_limits(Eigen::MatrixXd(2, 0), Eigen::MatrixXd(2, 0), 3).ok());
  robot.clear_inverse_dynamics();
  EXPECT_TRUE(robot.add_torque_limits(constant(2, 2, 1.0), constant(2, 2, -1.0), 0).ok());
}

}  // namespace
}  // namespace qarn

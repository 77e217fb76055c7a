// The robot model: its station store and its inverse-dynamics provider, and the torque terms
// that write the joint torque along the path as coeff_a * a + coeff_b * b + coeff_g per station
// (a = (ds/dt)^2, b = dds/dt), derived from nothing but inverse-dynamics evaluations.
#pragma once

#include <Eigen/Core>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "diag/result.hpp"
#include "qarn/constraints.hpp"

namespace qarn {

// tau = ID(q, qd, qdd): the robot's joint torques. The Python bridge implements it around the
// user's callback; without one the robot is a point mass.
class InverseDynamics {
 public:
  virtual ~InverseDynamics() = default;
  // Writes dim torques into tau (every span has dim entries). Returns a failure text, or
  // nothing on success.
  virtual std::optional<std::string> call(std::span<const double> q, std::span<const double> qd,
                                          std::span<const double> qdd, std::span<double> tau) = 0;
};

// Point mass: torque equals acceleration.
class PointMassDynamics final : public InverseDynamics {
 public:
  std::optional<std::string> call(std::span<const double> q, std::span<const double> qd,
                                  std::span<const double> qdd, std::span<double> tau) override;
};

// Per station k: tau = coeff_a(:, k) * a + coeff_b(:, k) * b + coeff_g(:, k); dim x n each.
struct TorqueCoefficients {
  Eigen::MatrixXd coeff_a;  // M(q) q'' + c(q, q')
  Eigen::MatrixXd coeff_b;  // M(q) q'
  Eigen::MatrixXd coeff_g;  // g(q)
};

// Per interval k of a second-order node profile a (b taken as the segment value
// 0.5 (a[k+1] - a[k]) / (s[k+1] - s[k])): tau(:, k) = current(:, k) a[k] + next(:, k) a[k+1] + constant(:, k).
struct Torque2Coefficients {
  Eigen::MatrixXd current;
  Eigen::MatrixXd next;
  Eigen::MatrixXd constant;
};

class Robot {
 public:
  // A robot of `dim` axes whose store has `capacity` ring slots; `provider` null means point mass.
  // Throws OutOfMemory when the store's full ring would need more memory than the process can hold.
  Robot(std::size_t dim, std::size_t capacity, std::shared_ptr<InverseDynamics> provider = nullptr);

  std::size_t dim() const { return constraints_.dim(); }
  Constraints& constraints() { return constraints_; }
  const Constraints& constraints() const { return constraints_; }

  bool has_inverse_dynamics() const { return provider_ != nullptr; }
  const std::shared_ptr<InverseDynamics>& inverse_dynamics() const { return provider_; }
  void set_inverse_dynamics(std::shared_ptr<InverseDynamics> provider) { provider_ = std::move(provider); }
  void clear_inverse_dynamics() { provider_.reset(); }

  // One evaluation through the provider, then a scan for non-finite torques; failures are
  // CoreError::RobotDynamics naming idx_s and the step label.
  Status call_inverse_dynamics_checked(std::uint64_t idx_s, const char* label, std::span<const double> q,
                                       std::span<const double> qd, std::span<const double> qdd,
                                       std::span<double> tau_out) const;

  // Torque coefficients of stations idx_s_from .. idx_s_from + n - 1 (4 evaluations each). A
  // window outside the store is OutOfSBounds, one with a station lacking q, dq or ddq
  // NoGivenQInfo, both before any evaluation; evaluation failures are CoreError::RobotDynamics,
  // and so is a model whose velocity term is not quadratic in the joint velocity, which the
  // coefficients cannot express (named by station and axis).
  Result<TorqueCoefficients> torque_coefficients(std::uint64_t idx_s_from, std::uint64_t n) const;
  // Torque coefficients per interval of stations idx_s_from .. idx_s_from + n. The stations must
  // be stored (a broken precondition is a fault: std::logic_error); errors as torque_coefficients.
  Result<Torque2Coefficients> torque2_coeff_a(std::uint64_t idx_s_from, std::uint64_t n) const;
  // The dim x n torques at stations idx_s_from + k for the per-station values a[k], b[k].
  Result<Eigen::MatrixXd> torque_limit_rows(std::span<const double> a, std::span<const double> b,
                                            std::uint64_t idx_s_from) const;

  // Axial limits; velocity, acceleration and jerk are the store's builders, torque needs the
  // inverse dynamics (lower <= coeff_a a + coeff_b b + coeff_g <= upper).
  Status add_velocity_limits(const MatrixView& upper, const MatrixView& lower, std::uint64_t idx_s) {
    return constraints_.add_velocity_limits(upper, lower, idx_s);
  }
  Status add_acceleration_limits(const MatrixView& upper, const MatrixView& lower, std::uint64_t idx_s) {
    return constraints_.add_acceleration_limits(upper, lower, idx_s);
  }
  Status add_jerk_limits(const MatrixView& upper, const MatrixView& lower, std::uint64_t idx_s) {
    return constraints_.add_jerk_limits(upper, lower, idx_s);
  }
  Status add_torque_limits(const MatrixView& upper, const MatrixView& lower, std::uint64_t idx_s);

  // Whether stored stations hold torque rows, which were computed with the provider of their time
  // and stay so when the provider changes. Tracked as the hull of the stations that received them;
  // whoever removes stations from the store calls forget_removed_torque_rows() afterwards, so that
  // stations appended later under the same ids do not count.
  bool holds_torque_rows() const { return torque_rows_.start < torque_rows_.end; }
  void forget_removed_torque_rows();

 private:
  InverseDynamics& provider() const;

  Constraints constraints_;
  std::shared_ptr<InverseDynamics> provider_;
  StationRange torque_rows_{0, 0};
};

}  // namespace qarn

// Per-axis velocity, acceleration and jerk limits turned into the store's rows, using the path
// derivatives stored at the stations: velocity q' sdot gives a first-order bound on a = sdot^2,
// acceleration q'' a + q' b second-order rows, jerk q''' sdot^3 + 3 q'' sdot sddot + q' sdddot
// third-order rows. (Torque limits need the inverse dynamics and live with the robot model.)
#include <cmath>
#include <limits>

#include "qarn/constraints.hpp"

namespace qarn {

const char* bound_name(AxialLimit kind) {
  switch (kind) {
    case AxialLimit::Velocity: return "axial_velocity";
    case AxialLimit::Acceleration: return "axial_acceleration";
    case AxialLimit::Jerk: return "axial_jerk";
    case AxialLimit::Torque: return "axial_torque";
  }
  return "axial_limit";
}

bool Constraints::has_derivatives(std::uint64_t idx_s, std::uint64_t n, bool with_dddq) const {
  if (!contains(idx_s, n)) return false;
  const auto all_written = [&](const StationRunMap& map) {
    for (const StationRun& run : map.runs_overlapping(idx_s, idx_s + n)) {
      if (run.rows != dim_) return false;
    }
    return true;
  };
  return all_written(q_runs_) && (!with_dddq || all_written(dddq_runs_));
}

Status Constraints::check_axial_limits(AxialLimit kind, const MatrixView& upper, const MatrixView& lower,
                                       std::uint64_t idx_s) const {
  if (static_cast<std::size_t>(upper.rows()) != dim_ || lower.rows() != upper.rows() || lower.cols() != upper.cols()) {
    return ConstraintError::NoMatchDimensions{};
  }
  const std::uint64_t n = static_cast<std::uint64_t>(upper.cols());
  if (!contains(idx_s, n)) return ConstraintError::OutOfSBounds{idx_s, n};
  if (!has_derivatives(idx_s, n, kind == AxialLimit::Jerk)) return ConstraintError::NoGivenQInfo{};
  // Strict signs; a NaN fails both tests.
  if (!(upper.array() > 0.0).all() || !(lower.array() < 0.0).all()) {
    return ConstraintError::InvalidSignedBounds{bound_name(kind)};
  }
  return {};
}

namespace {

// Columns of one derivative (q_at / dq_at / ...) for stations idx_s .. idx_s + n - 1, in order.
template <class Column>
Eigen::MatrixXd station_columns(std::size_t dim, std::uint64_t idx_s, Eigen::Index n, Column&& column) {
  Eigen::MatrixXd out(static_cast<Eigen::Index>(dim), n);
  for (Eigen::Index k = 0; k < n; ++k) {
    const std::span<const double> col = column(idx_s + static_cast<std::uint64_t>(k));
    for (std::size_t i = 0; i < dim; ++i) out(static_cast<Eigen::Index>(i), k) = col[i];
  }
  return out;
}

}  // namespace

Status Constraints::add_velocity_limits(const MatrixView& upper, const MatrixView& lower, std::uint64_t idx_s) {
  QARN_TRY(check_axial_limits(AxialLimit::Velocity, upper, lower, idx_s));
  const Eigen::Index n = upper.cols();
  if (n == 0) return {};
  // Axis i bounds sdot by upper / dq (dq > 0) or lower / dq (dq < 0); an axis that does not move
  // (dq = 0, or NaN) bounds nothing.
  Eigen::MatrixXd bound = Eigen::MatrixXd::Constant(upper.rows(), n, std::numeric_limits<double>::infinity());
  for (Eigen::Index k = 0; k < n; ++k) {
    const std::span<const double> dq = dq_at(idx_s + static_cast<std::uint64_t>(k));
    for (Eigen::Index i = 0; i < upper.rows(); ++i) {
      const double d = dq[static_cast<std::size_t>(i)];
      if (d > 0.0) {
        const double t = upper(i, k) / d;
        bound(i, k) = t * t;
      } else if (d < 0.0) {
        const double t = lower(i, k) / d;
        bound(i, k) = t * t;
      }
    }
  }
  return add_constraint_1st(bound, idx_s);
}

Status Constraints::add_acceleration_limits(const MatrixView& upper, const MatrixView& lower, std::uint64_t idx_s) {
  QARN_TRY(check_axial_limits(AxialLimit::Acceleration, upper, lower, idx_s));
  const Eigen::Index n = upper.cols();
  if (n == 0) return {};
  const Eigen::MatrixXd acc_a = station_columns(dim_, idx_s, n, [&](std::uint64_t i) { return ddq_at(i); });
  const Eigen::MatrixXd acc_b = station_columns(dim_, idx_s, n, [&](std::uint64_t i) { return dq_at(i); });
  return add_constraint_2nd_pair(acc_a, acc_b, upper, lower, idx_s);
}

Status Constraints::add_jerk_limits(const MatrixView& upper, const MatrixView& lower, std::uint64_t idx_s) {
  QARN_TRY(check_axial_limits(AxialLimit::Jerk, upper, lower, idx_s));
  const Eigen::Index n = upper.cols();
  if (n == 0) return {};
  const Eigen::MatrixXd jerk_a = station_columns(dim_, idx_s, n, [&](std::uint64_t i) { return dddq_at(i); });
  const Eigen::MatrixXd jerk_b =
      station_columns(dim_, idx_s, n, [&](std::uint64_t i) { return ddq_at(i); }) * 3.0;
  const Eigen::MatrixXd jerk_c = station_columns(dim_, idx_s, n, [&](std::uint64_t i) { return dq_at(i); });
  const Eigen::MatrixXd jerk_d = Eigen::MatrixXd::Zero(upper.rows(), n);
  return add_constraint_3rd_pair(jerk_a, jerk_b, jerk_c, jerk_d, upper, lower, idx_s);
}

}  // namespace qarn

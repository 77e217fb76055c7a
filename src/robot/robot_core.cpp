// Robot model and torque terms. The joint torque along the path is
//   tau = M(q) (q'' a + q' b) + c(q, q') a + g(q) = coeff_a a + coeff_b b + coeff_g,
// and four inverse-dynamics evaluations per station recover the three coefficients: with c
// quadratic in the velocity, ID(q, sqrt(2) q', 2 q'') = 2 (M q'' + c) + g, so subtracting
// ID(q, q', q'') leaves coeff_a, and ID(q, 0, q') - ID(q, 0, 0) = M q' = coeff_b. The same four
// evaluations tell a model without that form apart, so that it is refused instead of giving rows
// that hold a different torque.
#include "robot/robot_core.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "diag/format.hpp"

namespace qarn {

std::optional<std::string> PointMassDynamics::call(std::span<const double>, std::span<const double>,
                                                   std::span<const double> qdd, std::span<double> tau) {
  std::copy(qdd.begin(), qdd.end(), tau.begin());
  return std::nullopt;
}

Robot::Robot(std::size_t dim, std::size_t capacity, std::shared_ptr<InverseDynamics> provider)
    : constraints_(Constraints::with_capacity(dim, capacity)), provider_(std::move(provider)) {}

InverseDynamics& Robot::provider() const {
  // Stateless, so one shared instance serves every robot without a provider.
  static PointMassDynamics point_mass;
  return provider_ ? *provider_ : point_mass;
}

Status Robot::call_inverse_dynamics_checked(std::uint64_t idx_s, const char* label, std::span<const double> q,
                                            std::span<const double> qd, std::span<const double> qdd,
                                            std::span<double> tau_out) const {
  if (std::optional<std::string> failure = provider().call(q, qd, qdd, tau_out)) {
    return DynamicsError{fmt::format("inverse_dynamics failed at idx_s={} during {}: {}", idx_s, label, *failure)};
  }
  for (std::size_t i = 0; i < tau_out.size(); ++i) {
    if (!std::isfinite(tau_out[i])) {
      return DynamicsError{fmt::format("inverse_dynamics returned non-finite tau[{}] = {} at idx_s={} during {}", i,
                                       tau_out[i], idx_s, label)};
    }
  }
  return {};
}

namespace {

std::span<double> column(Eigen::MatrixXd& m, Eigen::Index k) {
  return {m.data() + k * m.rows(), static_cast<std::size_t>(m.rows())};
}

// How far, relative to the station's largest evaluated torque, ID(q, sqrt(2) q', 2 q'') + ID(q, 0, 0)
// may miss 2 ID(q, q', q''). A velocity term quadratic in q' meets it up to rounding: a six-axis
// rigid-body model (Newton-Euler with gravity) misses by at most 8e-15 over random states and paths
// in double precision and by 5.4e-6 in single precision (JAX's default), which must pass too. A
// term linear in q', such as viscous friction D q', misses by (2 - sqrt(2)) D q', typically 1e-2 of
// the torques for the friction of a real arm, and the rows would put it into their coefficients of
// a and of 1 instead of sqrt(a); Coulomb friction F sign(q') misses by the whole of F sign(q').
// Below 1e-4 of the torques the error is beneath any torque limit's precision.
constexpr double kVelocityTermTolerance = 1e-4;

// The four evaluations of a station, before they are combined: rest = ID(q, 0, 0),
// push = ID(q, 0, q'), doubled = ID(q, sqrt(2) q', 2 q''), once = ID(q, q', q'').
Status check_quadratic_velocity_term(std::uint64_t idx_s, std::span<const double> rest, std::span<const double> push,
                                     std::span<const double> doubled, std::span<const double> once) {
  double scale = 0.0;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    scale = std::max({scale, std::fabs(rest[i]), std::fabs(push[i]), std::fabs(doubled[i]), std::fabs(once[i])});
  }
  for (std::size_t i = 0; i < rest.size(); ++i) {
    const double miss = (doubled[i] + rest[i]) - (once[i] + once[i]);
    if (std::fabs(miss) > kVelocityTermTolerance * scale) {
      return DynamicsError{fmt::format(
          "inverse_dynamics is not quadratic in the joint velocity at idx_s={} on axis {}: tau(q, sqrt(2) * dq, 2 * "
          "ddq) + tau(q, 0, 0) - 2 * tau(q, dq, ddq) = {}, not 0 up to {} of the station's largest torque {}; the "
          "torque rows express tau = M(q) ddq + c(q, dq) + g(q) with c quadratic in dq (Coriolis and centrifugal "
          "terms), not a velocity term of another form such as viscous friction (linear in dq) or Coulomb friction "
          "(the sign of dq)",
          idx_s, i, miss, kVelocityTermTolerance, scale)};
    }
  }
  return {};
}

}  // namespace

Result<TorqueCoefficients> Robot::torque_coefficients(std::uint64_t idx_s_from, std::uint64_t n) const {
  const Constraints& store = constraints_;
  if (!store.contains(idx_s_from, n)) return ConstraintError::OutOfSBounds{idx_s_from, n};
  // Stations without q would feed the model whatever their slots last held: a plausible but
  // wrong torque, so a missing derivative is refused here, where every torque user passes.
  if (!store.has_derivatives(idx_s_from, n, false)) return ConstraintError::NoGivenQInfo{};
  const std::size_t d = dim();
  const auto rows = static_cast<Eigen::Index>(d);
  const auto cols = static_cast<Eigen::Index>(n);
  TorqueCoefficients t{Eigen::MatrixXd::Zero(rows, cols), Eigen::MatrixXd::Zero(rows, cols),
                       Eigen::MatrixXd::Zero(rows, cols)};
  const std::vector<double> zero(d, 0.0);
  std::vector<double> s1(d), s2(d), rest(d);

  for (Eigen::Index k = 0; k < cols; ++k) {
    const std::uint64_t idx_s = idx_s_from + static_cast<std::uint64_t>(k);
    const std::span<const double> q = store.q_at(idx_s), dq = store.dq_at(idx_s), ddq = store.ddq_at(idx_s);
    const std::span<double> a = column(t.coeff_a, k), b = column(t.coeff_b, k), g = column(t.coeff_g, k);

    QARN_TRY(call_inverse_dynamics_checked(idx_s, "tau(q, 0, 0)", q, zero, zero, rest));
    QARN_TRY(call_inverse_dynamics_checked(idx_s, "tau(q, 0, dq)", q, zero, dq, b));
    for (std::size_t i = 0; i < d; ++i) {
      s1[i] = 1.4142135623730951 * dq[i];
      s2[i] = ddq[i] + ddq[i];
    }
    QARN_TRY(call_inverse_dynamics_checked(idx_s, "tau(q, sqrt(2) * dq, 2 * ddq)", q, s1, s2, a));
    QARN_TRY(call_inverse_dynamics_checked(idx_s, "tau(q, dq, ddq)", q, dq, ddq, g));
    QARN_TRY(check_quadratic_velocity_term(idx_s, rest, b, a, g));
    for (std::size_t i = 0; i < d; ++i) b[i] -= rest[i];
    for (std::size_t i = 0; i < d; ++i) a[i] -= g[i];
    for (std::size_t i = 0; i < d; ++i) g[i] -= a[i];
  }
  return t;
}

Result<Torque2Coefficients> Robot::torque2_coeff_a(std::uint64_t idx_s_from, std::uint64_t n) const {
  const std::uint64_t to = idx_s_from + n + 1;
  Result<std::vector<double>> s = to > idx_s_from ? constraints_.s_values(idx_s_from, to)
                                                  : Result<std::vector<double>>(ConstraintError::OutOfSBounds{idx_s_from, n});
  if (!s) {
    // Callers pass validated problem windows; anything else is a fault, not an input error.
    throw std::logic_error("torque2_coeff_a: s interval must be in bounds: " + s.error().constraint()->debug());
  }
  const std::vector<double> f = collect_torque2_terms(*s);
  Result<TorqueCoefficients> t = torque_coefficients(idx_s_from, n);
  if (!t) return std::move(t).error();

  Torque2Coefficients out{Eigen::MatrixXd(t->coeff_a.rows(), t->coeff_a.cols()),
                          Eigen::MatrixXd(t->coeff_a.rows(), t->coeff_a.cols()), std::move(t->coeff_g)};
  for (Eigen::Index k = 0; k < t->coeff_a.cols(); ++k) {
    out.next.col(k) = f[static_cast<std::size_t>(k)] * t->coeff_b.col(k);
    out.current.col(k) = t->coeff_a.col(k) - out.next.col(k);
  }
  return out;
}

Result<Eigen::MatrixXd> Robot::torque_limit_rows(std::span<const double> a, std::span<const double> b,
                                                 std::uint64_t idx_s_from) const {
  if (a.size() != b.size()) return CoreError(ConstraintError::NoMatchDimensions{});
  const std::uint64_t n = a.size();
  if (n == 0) return Eigen::MatrixXd(static_cast<Eigen::Index>(dim()), 0);
  Result<TorqueCoefficients> t = torque_coefficients(idx_s_from, n);
  if (!t) return std::move(t).error();
  Eigen::MatrixXd tau(t->coeff_a.rows(), t->coeff_a.cols());
  for (Eigen::Index k = 0; k < tau.cols(); ++k) {
    const double ak = a[static_cast<std::size_t>(k)], bk = b[static_cast<std::size_t>(k)];
    for (Eigen::Index i = 0; i < tau.rows(); ++i) {
      tau(i, k) = (t->coeff_a(i, k) * ak + t->coeff_g(i, k)) + t->coeff_b(i, k) * bk;
    }
  }
  return tau;
}

Status Robot::add_torque_limits(const MatrixView& upper, const MatrixView& lower, std::uint64_t idx_s) {
  QARN_TRY(constraints_.check_axial_limits(AxialLimit::Torque, upper, lower, idx_s));
  const std::uint64_t n = static_cast<std::uint64_t>(upper.cols());
  if (n == 0) return {};
  Result<TorqueCoefficients> t = torque_coefficients(idx_s, n);
  if (!t) return std::move(t).error();
  const Eigen::MatrixXd upper_rows = upper - t->coeff_g;
  const Eigen::MatrixXd lower_rows = lower - t->coeff_g;
  QARN_TRY(constraints_.add_constraint_2nd_pair(t->coeff_a, t->coeff_b, upper_rows, lower_rows, idx_s));
  torque_rows_ = holds_torque_rows()
                     ? StationRange{std::min(torque_rows_.start, idx_s), std::max(torque_rows_.end, idx_s + n)}
                     : StationRange{idx_s, idx_s + n};
  return {};
}

void Robot::forget_removed_torque_rows() {
  const std::uint64_t start = std::max(torque_rows_.start, constraints_.idx_s_start());
  const std::uint64_t end = std::min(torque_rows_.end, constraints_.idx_s_end());
  torque_rows_ = start < end ? StationRange{start, end} : StationRange{0, 0};
}

}  // namespace qarn

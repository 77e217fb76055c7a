// Objective terms of a second-order profile. Torques are taken per interval, at station k with the
// segment value b_k, as the conic encoding reads them.
#include "qarn/qarn2/opt2/objective_terms.hpp"

#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "qarn/profile_grid.hpp"
#include "qarn/qarn2/interpolation.hpp"
#include "robot/robot_core.hpp"

namespace qarn::qarn2 {
namespace {

ObjectiveTerms failure(std::size_t count) {
  return {std::numeric_limits<double>::infinity(), std::vector<double>(count, 0.0)};
}

// 2 h_k / (sqrt(a_k) + sqrt(a_(k+1))): the exact traversal time of an interval on which a is linear in s.
double interval_time(std::span<const double> s, std::span<const double> a, std::size_t k) {
  return 2.0 * (s[k + 1] - s[k]) / (std::sqrt(a[k]) + std::sqrt(a[k + 1]));
}

double time_term(std::span<const double> s, std::span<const double> a) {
  double sum = 0.0;
  for (std::size_t k = 0; k + 1 < a.size(); ++k) sum += interval_time(s, a, k);
  return sum;
}

double linear_term(const ObjectiveView& o, std::span<const double> s, std::span<const double> a) {
  const std::size_t n = a.size() - 1;
  double sum = 0.0;
  for (std::size_t k = 0; k < std::min(o.alpha().size(), a.size()); ++k) sum += o.alpha()[k] * a[k];
  for (std::size_t k = 0; k < std::min(o.beta().size(), n); ++k) {
    sum += 0.5 * o.beta()[k] * (a[k + 1] - a[k]) / (s[k + 1] - s[k]);
  }
  return sum;
}

double thermal_term(std::span<const double> normalize, const Eigen::MatrixXd& tau, std::span<const double> s,
                    std::span<const double> a) {
  double sum = 0.0;
  for (Eigen::Index k = 0; k < tau.cols(); ++k) {
    double squares = 0.0;
    for (Eigen::Index j = 0; j < tau.rows(); ++j) {
      const double t = normalize[static_cast<std::size_t>(j)] * tau(j, k);
      squares += t * t;
    }
    sum += interval_time(s, a, static_cast<std::size_t>(k)) * squares;
  }
  return sum;
}

double total_variation_term(std::span<const double> normalize, const Eigen::MatrixXd& tau) {
  double sum = 0.0;
  for (Eigen::Index k = 0; k + 1 < tau.cols(); ++k) {
    for (Eigen::Index j = 0; j < tau.rows(); ++j) {
      sum += normalize[static_cast<std::size_t>(j)] * std::abs(tau(j, k + 1) - tau(j, k));
    }
  }
  return sum;
}

}  // namespace

ObjectiveTerms qarn2_objective_terms(const Robot& robot, std::uint64_t idx_s_start,
                                     std::span<const ObjectiveView> objectives, std::span<const double> a) {
  if (a.size() > std::numeric_limits<std::uint64_t>::max() - idx_s_start) return failure(objectives.size());
  Result<std::vector<double>> s_read = robot.constraints().s_values(idx_s_start, idx_s_start + a.size());
  if (!s_read) return failure(objectives.size());
  const std::vector<double>& s = *s_read;
  if (s.size() != a.size() || !validate_s_profile("a_to_b_topp2", s, a)) return failure(objectives.size());

  std::optional<Eigen::MatrixXd> tau;  // dim x n, one column per interval
  for (const ObjectiveView& o : objectives) {
    if (o.kind != ObjectiveKind::ThermalEnergy && o.kind != ObjectiveKind::TotalVariationTorque) continue;
    if (o.normalize().size() != robot.dim()) return failure(objectives.size());
    if (!tau) {
      const std::size_t n = a.size() - 1;
      const std::vector<double> b = collect_b_from_a(s, a, 0, n);
      Result<Eigen::MatrixXd> t = robot.torque_limit_rows(a.first(n), b, idx_s_start);
      if (!t) return failure(objectives.size());
      tau = std::move(*t);
    }
  }

  ObjectiveTerms out;
  out.objective_terms.reserve(objectives.size());
  for (const ObjectiveView& o : objectives) {
    double term = 0.0;
    switch (o.kind) {
      case ObjectiveKind::Time: term = time_term(s, a); break;
      case ObjectiveKind::Linear: term = linear_term(o, s, a); break;
      case ObjectiveKind::ThermalEnergy: term = thermal_term(o.normalize(), *tau, s, a); break;
      case ObjectiveKind::TotalVariationTorque: term = total_variation_term(o.normalize(), *tau); break;
      default: return failure(objectives.size());
    }
    out.objective_terms.push_back(term);
    out.objective_value += o.weight * term;
  }
  return out;
}

}  // namespace qarn::qarn2

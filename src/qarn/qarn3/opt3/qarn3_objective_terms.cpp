// Objective terms of a third-order profile. Traversal times are W_i / sqrt(a_i) with the weights of
// the conic encoding, so the terms are the encoding's costs at u = sqrt(a).
#include "qarn/qarn3/opt3/qarn3_objective_terms.hpp"

#include <Eigen/Core>
#include <cmath>
#include <limits>
#include <optional>

#include "math/numerical/maxnum.hpp"
#include "math/numerical/saturating.hpp"
#include "qarn/qarn3/opt3/time_weights.hpp"
#include "robot/robot_core.hpp"

namespace qarn::qarn3 {
namespace {

using qarn2::ObjectiveTerms;

ObjectiveTerms failure(std::size_t count) {
  return {std::numeric_limits<double>::infinity(), std::vector<double>(count, 0.0)};
}

bool all_finite(const std::vector<double>& v) {
  for (const double x : v) {
    if (!std::isfinite(x)) return false;
  }
  return true;
}

// sum_d (normalize_d x_d)^2 of one torque column, or of the mean of two.
double squared_norm(std::span<const double> normalize, const Eigen::MatrixXd& tau, Eigen::Index i,
                    std::optional<Eigen::Index> other) {
  double sum = 0.0;
  for (Eigen::Index d = 0; d < tau.rows(); ++d) {
    const double nd = normalize[static_cast<std::size_t>(d)];
    const double t = other ? 0.5 * nd * (tau(d, *other) + tau(d, i)) : nd * tau(d, i);
    sum += t * t;
  }
  return sum;
}

double variation(std::span<const double> normalize, const Eigen::MatrixXd& tau, Eigen::Index from, Eigen::Index to) {
  double sum = 0.0;
  for (Eigen::Index d = 0; d < tau.rows(); ++d) {
    sum += normalize[static_cast<std::size_t>(d)] * std::abs(tau(d, to) - tau(d, from));
  }
  return sum;
}

}  // namespace

ObjectiveTerms qarn3_objective_terms(const Qarn3Problem& problem, const Topp3Profile& profile) {
  const std::size_t count = problem.objectives.size();
  const std::size_t n = problem.s_len();
  const std::vector<double>& a = profile.a;
  const std::vector<double>& b = profile.b;
  // A non-finite value would carry NaN into the value; such a profile is not measured.
  if (a.size() != n || b.size() != n || !all_finite(a) || !all_finite(b)) return failure(count);
  Result<std::vector<double>> s_read =
      problem.constraints.s_values(problem.idx_s_start, saturating_add(problem.idx_s_start, n));
  if (!s_read) return failure(count);
  const std::vector<double>& s = *s_read;
  const auto [k0, k1] = problem.num_stationary;
  const std::size_t j = n - 1 - static_cast<std::size_t>(k1);
  const std::size_t lo = first_time_station(k0);
  const std::size_t hi = lo + time_term_count(n, k0, k1);  // one past the last inner station

  // 1 / sqrt(a), NaN-ignoring floor: a negative a gives a NaN root, which yields to the floor.
  std::vector<double> r(n);
  for (std::size_t i = 0; i < n; ++i) r[i] = 1.0 / nan_max(std::sqrt(a[i]), 1e-16);
  const std::vector<double> weights = time_objective_weights(s, n, k0, k1, problem.window_shapes);
  const std::vector<double> split = time_objective_weights_split(s, n, k0, k1, problem.window_shapes);

  std::optional<Eigen::MatrixXd> tau;  // dim x n, one column per station
  for (const ObjectiveView& o : problem.objectives) {
    if (o.kind != ObjectiveKind::ThermalEnergy && o.kind != ObjectiveKind::TotalVariationTorque) continue;
    if (o.normalize().size() != problem.robot.dim()) return failure(count);
    if (!tau) {
      Result<Eigen::MatrixXd> t = problem.robot.torque_limit_rows(a, b, problem.idx_s_start);
      if (!t) return failure(count);
      tau = std::move(*t);
    }
  }

  ObjectiveTerms out;
  out.objective_terms.reserve(count);
  for (const ObjectiveView& o : problem.objectives) {
    double term = 0.0;
    switch (o.kind) {
      case ObjectiveKind::Linear:
        if (o.alpha().size() < n || o.beta().size() < n) return failure(count);
        for (std::size_t i = 0; i < n; ++i) term += o.alpha()[i] * a[i];
        for (std::size_t i = 0; i < n; ++i) term += o.beta()[i] * b[i];
        break;
      case ObjectiveKind::Time:
        for (std::size_t i = lo; i < hi; ++i) term += weights[i] * r[i];
        break;
      case ObjectiveKind::ThermalEnergy: {
        const auto col = [](std::size_t i) { return static_cast<Eigen::Index>(i); };
        if (k0 >= 1) term += split[0] * r[k0] * squared_norm(o.normalize(), *tau, col(k0), col(0));
        if (k1 >= 1) term += split[n - 1] * r[j] * squared_norm(o.normalize(), *tau, col(j), col(n - 1));
        for (std::size_t i = lo; i < hi; ++i) term += split[i] * r[i] * squared_norm(o.normalize(), *tau, col(i), {});
        break;
      }
      case ObjectiveKind::TotalVariationTorque: {
        const auto col = [](std::size_t i) { return static_cast<Eigen::Index>(i); };
        if (k0 >= 1) term += variation(o.normalize(), *tau, 0, col(k0));
        if (k1 >= 1) term += variation(o.normalize(), *tau, col(j), col(n - 1));
        for (std::size_t i = k0; i < j; ++i) term += variation(o.normalize(), *tau, col(i), col(i + 1));
        break;
      }
      default:
        return failure(count);
    }
    out.objective_terms.push_back(term);
    out.objective_value += o.weight * term;
  }
  return out;
}

}  // namespace qarn::qarn3

// QARN2 objective assembly. Notation: N = n + 1 stations, h_k = s_(k+1) - s_k, r_k in column N + k
// bounds sqrt(a_k) from below, and the torque of joint j over interval k is
// tau_(j,k) = C1[j,k] a_k + C2[j,k] a_(k+1) + C3[j,k], scaled by normalize[j] where an objective says so.
#include "qarn/qarn2/opt2/objective_assembly.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include "qarn/conic/encodings.hpp"
#include "robot/robot_core.hpp"

namespace qarn::qarn2 {
namespace {

constexpr const char* kComponent = "qarn2_socp";

bool any_of_kind(std::span<const ObjectiveView> objectives, ObjectiveKind k1, ObjectiveKind k2) {
  for (const ObjectiveView& o : objectives) {
    if (o.kind == k1 || o.kind == k2) return true;
  }
  return false;
}

// The two rows shared by Time and ThermalEnergy: with v = r_k + r_(k+1) their slacks are v + t
// and v - t, so a cone that also holds a term w gives (v + t)^2 - (v - t)^2 = 4 v t >= |w|^2.
void push_time_rows(std::size_t big_n, std::size_t k, std::size_t t_col, ClarabelTriplets& tr) {
  for (const double t_sign : {-1.0, 1.0}) {
    const std::size_t r = tr.row_count();
    tr.push_entry(r, big_n + k, -1.0);
    tr.push_entry(r, big_n + k + 1, -1.0);
    tr.push_entry(r, t_col, t_sign);
    tr.b.push_back(0.0);
  }
}

// n variables t_k costing 8 w h_k: at the optimum t_k = |w_k|^2 / (4 v_k), so the cost is
// w * 2 h_k / v_k * |w_k|^2, traversal time of the interval times the squared term.
std::size_t push_time_variables(double weight, std::span<const double> s, std::vector<double>& q) {
  const std::size_t first = q.size();
  for (std::size_t k = 0; k + 1 < s.size(); ++k) q.push_back(8.0 * weight * (s[k + 1] - s[k]));
  return first;
}

void add_time(double weight, std::span<const double> s, ClarabelTriplets& tr, std::vector<double>& q) {
  const std::size_t n = s.size() - 1;
  const std::size_t t0 = push_time_variables(weight, s, q);
  for (std::size_t k = 0; k < n; ++k) {
    push_time_rows(n + 1, k, t0 + k, tr);
    tr.b.push_back(1.0);  // constant slack 1: t_k >= 1 / (4 v)
  }
  for (std::size_t k = 0; k < n; ++k) tr.cones.push_back(SecondOrderCone(3));
}

void add_thermal_energy(double weight, std::span<const double> normalize, std::span<const double> s,
                        const Torque2Coefficients& c, ClarabelTriplets& tr, std::vector<double>& q) {
  const std::size_t n = s.size() - 1;
  const std::size_t dim = normalize.size();
  const std::size_t t0 = push_time_variables(weight, s, q);
  for (std::size_t k = 0; k < n; ++k) {
    push_time_rows(n + 1, k, t0 + k, tr);
    for (std::size_t j = 0; j < dim; ++j) {  // slack -tau'_(j,k)
      const std::size_t r = tr.row_count();
      tr.push_entry(r, k, normalize[j] * c.current(j, k));
      tr.push_entry(r, k + 1, normalize[j] * c.next(j, k));
      tr.b.push_back(-(normalize[j] * c.constant(j, k)));
    }
  }
  for (std::size_t k = 0; k < n; ++k) tr.cones.push_back(SecondOrderCone(dim + 2));
}

// u_(k,j) >= |tau'_(j,k+1) - tau'_(j,k)| as two nonnegative rows per pair, costing w each.
void add_total_variation(double weight, std::span<const double> normalize, std::size_t n,
                         const Torque2Coefficients& c, ClarabelTriplets& tr, std::vector<double>& q) {
  const std::size_t dim = normalize.size();
  const std::size_t first_row = tr.row_count();
  for (std::size_t k = 0; k + 1 < n; ++k) {
    const std::size_t u0 = q.size();
    for (std::size_t j = 0; j < dim; ++j) {
      const double nj = normalize[j];
      // D = -C1'[j,k] a_k + (C1'[j,k+1] - C2'[j,k]) a_(k+1) + C2'[j,k+1] a_(k+2) + (C3'[j,k+1] - C3'[j,k])
      const double d_k = -(nj * c.current(j, k));
      const double d_k1 = nj * c.current(j, k + 1) - nj * c.next(j, k);
      const double d_k2 = nj * c.next(j, k + 1);
      const double rhs = nj * c.constant(j, k) - nj * c.constant(j, k + 1);
      const std::pair<std::size_t, double> c[] = {{k, d_k}, {k + 1, d_k1}, {k + 2, d_k2}};
      push_absolute_value_rows(c, rhs, u0 + j, tr);
    }
    q.insert(q.end(), dim, weight);
  }
  tr.cones.push_back(NonnegativeCone(tr.row_count() - first_row));
}

// w (alpha . a + beta . b) with b_k = (a_(k+1) - a_k) / (2 h_k): cost only.
void add_linear(double weight, std::span<const double> alpha, std::span<const double> beta,
                std::span<const double> s, std::vector<double>& q) {
  for (std::size_t k = 0; k < alpha.size(); ++k) q[k] += weight * alpha[k];
  for (std::size_t k = 0; k < beta.size(); ++k) {
    const double c = 0.5 * weight * beta[k] / (s[k + 1] - s[k]);
    q[k] -= c;
    q[k + 1] += c;
  }
}

}  // namespace

bool needs_sqrt_a(std::span<const ObjectiveView> objectives) {
  return any_of_kind(objectives, ObjectiveKind::Time, ObjectiveKind::ThermalEnergy);
}

bool needs_torque(std::span<const ObjectiveView> objectives) {
  return any_of_kind(objectives, ObjectiveKind::ThermalEnergy, ObjectiveKind::TotalVariationTorque);
}

bool time_alone(std::span<const ObjectiveView> objectives) {
  bool time = false;
  for (const ObjectiveView& o : objectives) {
    if (o.kind == ObjectiveKind::Time && o.weight > 0) {
      time = true;
    } else if (o.weight != 0) {
      return false;
    }
  }
  return time;
}

std::size_t add_sqrt_a_stage(std::size_t n, std::span<const ObjectiveView> objectives, ClarabelTriplets& triplets,
                             double a_start, double a_final) {
  const std::size_t big_n = n + 1;
  if (!needs_sqrt_a(objectives)) return big_n;
  ClarabelTriplets& t = triplets;

  // The end stations' r are the exact square roots of the fixed boundary values.
  t.push_entry(t.row_count(), big_n, 1.0);
  t.b.push_back(std::sqrt(a_start));
  t.push_entry(t.row_count(), big_n + n, 1.0);
  t.b.push_back(std::sqrt(a_final));
  t.cones.push_back(ZeroCone(2));

  for (std::size_t k = 1; k < n; ++k) {
    t.push_entry(t.row_count(), big_n + k, -1.0);
    t.b.push_back(0.0);
  }
  t.cones.push_back(NonnegativeCone(n - 1));

  for (std::size_t k = 1; k < n; ++k) push_sqrt_bound_rows(k, big_n + k, 0.25, t);
  for (std::size_t k = 1; k < n; ++k) t.cones.push_back(SecondOrderCone(3));
  return 2 * big_n;
}

Status clarabel_objective_qarn2(const Qarn2Problem& problem, Qarn2Context& context, ClarabelTriplets& triplets,
                                std::vector<double>& q) {
  const std::size_t n = problem.idx_s_final - problem.idx_s_start;
  Result<std::vector<double>> s_read =
      problem.robot.constraints().s_values(problem.idx_s_start, problem.idx_s_final + 1);
  if (!s_read) return std::move(s_read).error();
  context.s = std::move(*s_read);
  const std::vector<double>& s = context.s;

  std::optional<Torque2Coefficients>& torque = context.torque;
  if (needs_torque(problem.objectives)) {
    Result<Torque2Coefficients> c = problem.robot.torque2_coeff_a(problem.idx_s_start, n);
    if (!c) return std::move(c).error();
    torque = std::move(*c);
  }
  const auto torque_rows = [&] { return static_cast<std::size_t>(torque->current.rows()); };

  for (const ObjectiveView& o : problem.objectives) {
    switch (o.kind) {
      case ObjectiveKind::Time:
        if (o.weight < 0.0) return CoreError::invalid_input(kComponent, "Invalid Time objective.");
        add_time(o.weight, s, triplets, q);
        break;
      case ObjectiveKind::ThermalEnergy:
        if (o.weight < 0.0 || o.normalize().size() != torque_rows()) {
          return CoreError::invalid_input(kComponent, "Invalid ThermalEnergy objective.");
        }
        add_thermal_energy(o.weight, o.normalize(), s, *torque, triplets, q);
        break;
      case ObjectiveKind::TotalVariationTorque:
        if (o.weight < 0.0 || o.normalize().size() != torque_rows()) {
          return CoreError::invalid_input(kComponent, "Invalid TotalVariationTorque objective.");
        }
        add_total_variation(o.weight, o.normalize(), n, *torque, triplets, q);
        break;
      case ObjectiveKind::Linear:
        if (o.alpha().size() != n + 1 || o.beta().size() != n) {
          return CoreError::invalid_input(kComponent, "Invalid Linear objective.");
        }
        add_linear(o.weight, o.alpha(), o.beta(), s, q);
        break;
      default:
        return CoreError::invalid_input(kComponent, "Unknown objective kind.");
    }
  }
  return {};
}

std::vector<double> qarn2_column_scales(const Qarn2Problem& problem, const Qarn2Context& context,
                                        const ProfileReference& reference) {
  const std::size_t n = problem.idx_s_final - problem.idx_s_start;
  const std::vector<double>& a = reference.a;
  std::vector<double> scales(a.begin(), a.end());
  std::vector<double> r(n + 1);
  for (std::size_t k = 0; k <= n; ++k) r[k] = std::sqrt(a[k]);
  if (needs_sqrt_a(problem.objectives)) scales.insert(scales.end(), r.begin(), r.end());
  // The scaled torque of interval k at the reference.
  const auto torque = [&](std::span<const double> normalize, std::size_t j, std::size_t k) {
    const Torque2Coefficients& c = *context.torque;
    const auto ej = static_cast<Eigen::Index>(j), ek = static_cast<Eigen::Index>(k);
    return normalize[j] * (c.current(ej, ek) * a[k] + c.next(ej, ek) * a[k + 1] + c.constant(ej, ek));
  };
  for (const ObjectiveView& o : problem.objectives) {
    const std::size_t first = scales.size();
    switch (o.kind) {
      case ObjectiveKind::Time:  // t_k >= 1 / (4 (r_k + r_(k+1)))
        for (std::size_t k = 0; k < n; ++k) scales.push_back(0.25 / (r[k] + r[k + 1]));
        break;
      case ObjectiveKind::ThermalEnergy:  // t_k >= |tau'_k|^2 / (4 (r_k + r_(k+1)))
        for (std::size_t k = 0; k < n; ++k) {
          double squared = 0.0;
          for (std::size_t j = 0; j < o.normalize().size(); ++j) squared += std::pow(torque(o.normalize(), j, k), 2);
          scales.push_back(0.25 * squared / (r[k] + r[k + 1]));
        }
        break;
      case ObjectiveKind::TotalVariationTorque:  // u_(k,j) >= |tau'_(j,k+1) - tau'_(j,k)|
        for (std::size_t k = 0; k + 1 < n; ++k) {
          for (std::size_t j = 0; j < o.normalize().size(); ++j) {
            scales.push_back(std::fabs(torque(o.normalize(), j, k + 1) - torque(o.normalize(), j, k)));
          }
        }
        break;
      default:  // Linear: cost only
        break;
    }
    floor_relative(std::span<double>(scales).subspan(first));
  }
  return scales;
}

}  // namespace qarn::qarn2

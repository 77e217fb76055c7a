// QARN3 objective assembly. The joint torque at station i is tau_i = A_i a_i + B_i b_i + C_i (the
// torque coefficients, scaled per axis by normalize where an objective says so); at a rest station
// a = b = 0 and tau = C.
#include "qarn/qarn3/opt3/qarn3_objectives.hpp"

#include <Eigen/Core>
#include <cmath>
#include <optional>
#include <utility>

#include "math/numerical/saturating.hpp"
#include "qarn/conic/encodings.hpp"
#include "qarn/qarn2/opt2/objective_assembly.hpp"
#include "qarn/qarn3/opt3/time_weights.hpp"
#include "robot/robot_core.hpp"

namespace qarn::qarn3 {
namespace {

constexpr const char* kComponent = "clarabel_objective_qarn3";

// The window's layout, shared by every objective.
struct Layout {
  std::size_t n;   // stations
  std::size_t k0;  // start junction
  std::size_t j;   // end junction n-1-k1
  std::size_t lo;  // first inner station
  std::size_t m;   // inner stations lo ..= lo + m - 1
  bool start_rest() const { return k0 > 0; }
  bool end_rest() const { return j < n - 1; }
  std::size_t u_col(std::size_t i) const { return 2 * n + (i - lo); }
};

// The torque coefficients with every row d scaled by normalize[d].
struct ScaledTorque {
  Eigen::MatrixXd a, b, c;
};

ScaledTorque scaled(const TorqueCoefficients& t, std::span<const double> normalize) {
  const Eigen::Map<const Eigen::VectorXd> f(normalize.data(), static_cast<Eigen::Index>(normalize.size()));
  return {f.asDiagonal() * t.coeff_a, f.asDiagonal() * t.coeff_b, f.asDiagonal() * t.coeff_g};
}

// w (alpha . a + beta . b) over every station; a stationary station's a and b are fixed multiples
// of its junction's a, by the window's shape (x^(4/3) and x^(4/3) / (1.5 d) wholly at constant jerk).
void add_linear(const Layout& l, double w, std::span<const double> alpha, std::span<const double> beta,
                std::span<const double> s, const Topp3Problem& problem, std::vector<double>& q) {
  const auto fold = [&](std::size_t i, std::size_t edge, std::size_t junction, RestWindowShape shape) {
    const double d = s[i] - s[edge];
    const double span = s[junction] - s[edge];
    q[junction] += w * shape.a_at(d / span) * (alpha[i] + beta[i] / shape.b_divisor(d, span));
  };
  for (std::size_t i = 1; i < l.k0; ++i) fold(i, 0, l.k0, problem.start_window());
  for (std::size_t i = l.j + 1; i + 1 < l.n; ++i) fold(i, l.n - 1, l.j, problem.end_window());
  for (std::size_t i = l.k0; i <= l.j; ++i) q[i] += w * alpha[i];
  for (std::size_t i = l.k0; i <= l.j; ++i) q[l.n + i] += w * beta[i];
}

// tau_t >= 1 / u_t at every inner station, costing w W_i.
void add_time(const Layout& l, double w, std::span<const double> weights, ClarabelTriplets& t,
              std::vector<double>& q) {
  const std::size_t c0 = q.size();
  for (std::size_t k = 0; k < l.m; ++k) {
    t.push_entry(t.row_count(), c0 + k, -1.0);
    t.b.push_back(0.0);
  }
  t.cones.push_back(NonnegativeCone(l.m));
  for (std::size_t k = 0; k < l.m; ++k) push_reciprocal_rows(l.u_col(l.lo + k), c0 + k, t);
  t.cones.insert(t.cones.end(), l.m, SecondOrderCone(3));
  for (std::size_t k = 0; k < l.m; ++k) q.push_back(w * weights[l.lo + k]);
}

// One block e + u >= |(e - u, tau')|, that is 4 e u >= |tau'|^2, with tau' the torque at station
// i plus, for a stationary segment, the rest torque C at station p.
void push_energy_block(const Layout& l, const ScaledTorque& tq, std::size_t i, std::optional<std::size_t> p,
                       std::size_t u_col, std::size_t e_col, ClarabelTriplets& t) {
  const std::size_t r = t.row_count();
  t.push_entry(r, e_col, -1.0);
  t.push_entry(r + 1, e_col, -1.0);
  t.push_entry(r, u_col, -1.0);
  t.push_entry(r + 1, u_col, 1.0);
  t.b.insert(t.b.end(), {0.0, 0.0});
  const auto dim = tq.a.rows();
  const auto ci = static_cast<Eigen::Index>(i);
  for (Eigen::Index d = 0; d < dim; ++d) t.push_entry(r + 2 + static_cast<std::size_t>(d), i, tq.a(d, ci));
  for (Eigen::Index d = 0; d < dim; ++d) t.push_entry(r + 2 + static_cast<std::size_t>(d), l.n + i, tq.b(d, ci));
  for (Eigen::Index d = 0; d < dim; ++d) {
    t.b.push_back(p ? -(tq.c(d, static_cast<Eigen::Index>(*p)) + tq.c(d, ci)) : -tq.c(d, ci));
  }
}

// Time spent times the squared scaled torque: a block per stationary segment (its rest and
// junction torques averaged, weight V at the rest station) and one per inner station.
void add_thermal_energy(const Layout& l, double w, const ScaledTorque& tq, std::span<const double> split,
                        ClarabelTriplets& t, std::vector<double>& q) {
  const std::size_t dim = static_cast<std::size_t>(tq.a.rows());
  if (l.start_rest()) {
    push_energy_block(l, tq, l.k0, 0, l.u_col(l.lo), q.size(), t);
    t.cones.push_back(SecondOrderCone(dim + 2));
    q.push_back(w * split[0]);
  }
  if (l.end_rest()) {
    push_energy_block(l, tq, l.j, l.n - 1, l.u_col(l.lo + l.m - 1), q.size(), t);
    t.cones.push_back(SecondOrderCone(dim + 2));
    q.push_back(w * split[l.n - 1]);
  }
  const std::size_t e0 = q.size();
  for (std::size_t k = 0; k < l.m; ++k) push_energy_block(l, tq, l.lo + k, std::nullopt, l.u_col(l.lo + k), e0 + k, t);
  t.cones.insert(t.cones.end(), l.m, SecondOrderCone(dim + 2));
  for (std::size_t k = 0; k < l.m; ++k) q.push_back(4.0 * w * split[l.lo + k]);
}

// v >= |change of the scaled torque| per axis over each stationary segment and free interval,
// costing w each; all rows in one NonnegativeCone.
void add_total_variation(const Layout& l, double w, const ScaledTorque& tq, ClarabelTriplets& t,
                         std::vector<double>& q) {
  const auto dim = tq.a.rows();
  const std::size_t first_row = t.row_count();
  const auto segment = [&](std::size_t junction, std::size_t edge) {
    const auto cj = static_cast<Eigen::Index>(junction), ce = static_cast<Eigen::Index>(edge);
    for (Eigen::Index d = 0; d < dim; ++d) {
      const std::pair<std::size_t, double> c[] = {{junction, tq.a(d, cj)}, {l.n + junction, tq.b(d, cj)}};
      push_absolute_value_rows(c, tq.c(d, ce) - tq.c(d, cj), q.size(), t);
      q.push_back(w);
    }
  };
  if (l.start_rest()) segment(l.k0, 0);
  if (l.end_rest()) segment(l.j, l.n - 1);
  for (std::size_t i = l.k0; i < l.j; ++i) {
    const auto c0 = static_cast<Eigen::Index>(i), c1 = c0 + 1;
    for (Eigen::Index d = 0; d < dim; ++d) {
      const std::pair<std::size_t, double> c[] = {
          {i, -tq.a(d, c0)}, {i + 1, tq.a(d, c1)}, {l.n + i, -tq.b(d, c0)}, {l.n + i + 1, tq.b(d, c1)}};
      push_absolute_value_rows(c, tq.c(d, c0) - tq.c(d, c1), q.size(), t);
      q.push_back(w);
    }
  }
  t.cones.push_back(NonnegativeCone(t.row_count() - first_row));
}

Layout layout_of(std::size_t n, std::uint64_t k0, std::uint64_t k1) {
  return {n, static_cast<std::size_t>(k0), n - 1 - static_cast<std::size_t>(k1), first_time_station(k0),
          time_term_count(n, k0, k1)};
}

}  // namespace

std::size_t add_sqrt_a_stage_qarn3(std::size_t intervals, std::span<const ObjectiveView> objectives,
                                   ClarabelTriplets& triplets, std::uint64_t k0, std::uint64_t k1) {
  const std::size_t n = intervals + 1;
  if (!qarn2::needs_sqrt_a(objectives)) return 2 * n;
  const Layout l = layout_of(n, k0, k1);
  for (std::size_t k = 0; k < l.m; ++k) {
    triplets.push_entry(triplets.row_count(), l.u_col(l.lo + k), -1.0);
    triplets.b.push_back(0.0);
  }
  triplets.cones.push_back(NonnegativeCone(l.m));
  for (std::size_t k = 0; k < l.m; ++k) push_sqrt_bound_rows(l.lo + k, l.u_col(l.lo + k), 0.25, triplets);
  triplets.cones.insert(triplets.cones.end(), l.m, SecondOrderCone(3));
  return 2 * n + l.m;
}

Status clarabel_objective_qarn3(const Qarn3Problem& problem, std::span<const double> s,
                                std::optional<TorqueCoefficients>& torque, ClarabelTriplets& triplets,
                                std::vector<double>& q) {
  const std::size_t n = problem.s_len();
  const auto [k0, k1] = problem.num_stationary;
  const Layout l = layout_of(n, k0, k1);

  // Computed once, and only when an objective needs them.
  std::vector<double> weights, split;
  for (const ObjectiveView& o : problem.objectives) {
    if (o.kind == ObjectiveKind::Time && weights.empty()) weights = time_objective_weights(s, n, k0, k1, problem.window_shapes);
    if (o.kind == ObjectiveKind::ThermalEnergy && split.empty()) split = time_objective_weights_split(s, n, k0, k1, problem.window_shapes);
  }
  if (qarn2::needs_torque(problem.objectives)) {
    Result<TorqueCoefficients> c = problem.robot.torque_coefficients(problem.idx_s_start, n);
    if (!c) return std::move(c).error();
    torque = std::move(*c);
  }
  const auto valid_normalize = [&](const ObjectiveView& o) {
    return o.weight >= 0.0 && o.normalize().size() == static_cast<std::size_t>(torque->coeff_a.rows());
  };

  for (const ObjectiveView& o : problem.objectives) {
    switch (o.kind) {
      case ObjectiveKind::Linear:
        if (o.alpha().size() != n || o.beta().size() != n) {
          return CoreError::invalid_input(kComponent, "Invalid Linear objective");
        }
        add_linear(l, o.weight, o.alpha(), o.beta(), s, problem, q);
        break;
      case ObjectiveKind::Time:
        if (o.weight < 0.0) return CoreError::invalid_input(kComponent, "Invalid Time objective");
        add_time(l, o.weight, weights, triplets, q);
        break;
      case ObjectiveKind::ThermalEnergy:
        if (!valid_normalize(o)) return CoreError::invalid_input(kComponent, "Invalid ThermalEnergy objective");
        add_thermal_energy(l, o.weight, scaled(*torque, o.normalize()), split, triplets, q);
        break;
      case ObjectiveKind::TotalVariationTorque:
        if (!valid_normalize(o)) return CoreError::invalid_input(kComponent, "Invalid TotalVariationTorque objective");
        add_total_variation(l, o.weight, scaled(*torque, o.normalize()), triplets, q);
        break;
      default:
        return CoreError::invalid_input(kComponent, "Unknown objective kind");
    }
  }
  return {};
}

Qarn3ObjectiveCapacity qarn3_objective_capacity(std::size_t n, std::size_t dim,
                                                std::span<const ObjectiveView> objectives) {
  // N intervals, D axes; sums saturate (the factors count stored data, but nothing may wrap).
  const std::uint64_t big_n = n == 0 ? 0 : n - 1;
  const std::uint64_t d = dim;
  const auto mul = [](std::uint64_t x, std::uint64_t y) { return saturating_mul(x, y); };
  Qarn3ObjectiveCapacity e;
  const auto add = [&](std::uint64_t values, std::uint64_t rhs, std::uint64_t cones, std::uint64_t variables) {
    e.values = saturating_add(e.values, values);
    e.rhs = saturating_add(e.rhs, rhs);
    e.cones = saturating_add(e.cones, cones);
    e.variables = saturating_add(e.variables, variables);
  };
  add(0, 0, 0, saturating_add(mul(2, big_n), 2));
  if (qarn2::needs_sqrt_a(objectives)) add(mul(4, big_n), mul(4, big_n), big_n, 0);
  for (const ObjectiveView& o : objectives) {
    switch (o.kind) {
      case ObjectiveKind::Time: add(mul(5, big_n), mul(4, big_n), big_n, big_n); break;
      case ObjectiveKind::ThermalEnergy:
        add(mul(saturating_add(mul(2, d), 4), n), mul(saturating_add(d, 2), n), n, n);
        break;
      case ObjectiveKind::TotalVariationTorque:
        add(mul(mul(10, d), big_n), mul(mul(2, d), big_n), 1, mul(d, big_n));
        break;
      default: break;  // Linear: cost only
    }
  }
  return e;
}

void qarn3_column_scales(const Qarn3Problem& problem, const std::optional<TorqueCoefficients>& torque,
                         const ProfileReference& reference, std::vector<double>& scales) {
  const std::size_t n = problem.s_len();
  const Layout l = layout_of(n, problem.num_stationary.first, problem.num_stationary.second);
  const std::vector<double>& a = reference.a;
  const std::vector<double>& b = reference.b;
  const auto root = [&](std::size_t i) { return std::sqrt(a[i]); };
  // The scaled torque at station i of the reference, plus the rest torque at station p for a
  // stationary segment (as the energy blocks take it).
  const auto torque_at = [&](std::span<const double> normalize, Eigen::Index d, std::size_t i) {
    const auto ci = static_cast<Eigen::Index>(i);
    return normalize[static_cast<std::size_t>(d)] *
           (torque->coeff_a(d, ci) * a[i] + torque->coeff_b(d, ci) * b[i] + torque->coeff_g(d, ci));
  };
  const auto rest_torque = [&](std::span<const double> normalize, Eigen::Index d, std::size_t p) {
    return normalize[static_cast<std::size_t>(d)] * torque->coeff_g(d, static_cast<Eigen::Index>(p));
  };
  const auto energy = [&](std::span<const double> normalize, std::size_t i, std::optional<std::size_t> p,
                          std::size_t u_station) {
    double squared = 0.0;
    for (Eigen::Index d = 0; d < torque->coeff_a.rows(); ++d) {
      const double tau = torque_at(normalize, d, i) + (p ? rest_torque(normalize, d, *p) : 0.0);
      squared += tau * tau;
    }
    return 0.25 * squared / root(u_station);
  };
  if (qarn2::needs_sqrt_a(problem.objectives)) {
    for (std::size_t k = 0; k < l.m; ++k) scales.push_back(root(l.lo + k));
  }
  for (const ObjectiveView& o : problem.objectives) {
    const std::size_t first = scales.size();
    switch (o.kind) {
      case ObjectiveKind::Time:  // tau >= 1 / u
        for (std::size_t k = 0; k < l.m; ++k) scales.push_back(1.0 / root(l.lo + k));
        break;
      case ObjectiveKind::ThermalEnergy:  // e >= |tau|^2 / (4 u), in the order of the energy blocks
        if (l.start_rest()) scales.push_back(energy(o.normalize(), l.k0, 0, l.lo));
        if (l.end_rest()) scales.push_back(energy(o.normalize(), l.j, l.n - 1, l.lo + l.m - 1));
        for (std::size_t k = 0; k < l.m; ++k) scales.push_back(energy(o.normalize(), l.lo + k, std::nullopt, l.lo + k));
        break;
      case ObjectiveKind::TotalVariationTorque: {  // v >= |change of torque|, in the order of the rows
        const auto change = [&](std::size_t from, std::size_t to, bool to_rest) {
          for (Eigen::Index d = 0; d < torque->coeff_a.rows(); ++d) {
            const double end = to_rest ? rest_torque(o.normalize(), d, to) : torque_at(o.normalize(), d, to);
            scales.push_back(std::fabs(end - torque_at(o.normalize(), d, from)));
          }
        };
        if (l.start_rest()) change(l.k0, 0, true);
        if (l.end_rest()) change(l.j, l.n - 1, true);
        for (std::size_t i = l.k0; i < l.j; ++i) change(i, i + 1, false);
        break;
      }
      default:  // Linear: cost only
        break;
    }
    floor_relative(std::span<double>(scales).subspan(first));
  }
}

}  // namespace qarn::qarn3

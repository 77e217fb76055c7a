// Checks of the second-order problem records and of the QARN objective lists; they run before
// every solve, so every message names the component and the offending value.
#include "qarn/problem2.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "diag/format.hpp"

namespace qarn {

ObjectiveView ObjectiveSpec::view() const {
  struct Visitor {
    ObjectiveView operator()(const Time& t) const { return {ObjectiveKind::Time, t.weight, {}, {}}; }
    ObjectiveView operator()(const Linear& l) const { return {ObjectiveKind::Linear, l.weight, l.alpha, l.beta}; }
    ObjectiveView operator()(const ThermalEnergy& t) const {
      return {ObjectiveKind::ThermalEnergy, t.weight, t.normalize, {}};
    }
    ObjectiveView operator()(const TotalVariationTorque& t) const {
      return {ObjectiveKind::TotalVariationTorque, t.weight, t.normalize, {}};
    }
  };
  return std::visit(Visitor{}, value);
}

std::vector<ObjectiveView> objective_views(std::span<const ObjectiveSpec> specs) {
  std::vector<ObjectiveView> views;
  views.reserve(specs.size());
  for (const ObjectiveSpec& spec : specs) views.push_back(spec.view());
  return views;
}

namespace {

bool finite_non_negative(double v) { return std::isfinite(v) && v >= 0.0; }

// A boundary value of a: a number, finite, and >= 0 (-0.0 passes).
Status check_boundary_a(const char* component, const char* label, double value) {
  if (std::isnan(value)) return CoreError::invalid_options(component, fmt::format("{} = {} must not be NaN", label, value));
  if (std::isinf(value)) {
    return CoreError::invalid_options(component, fmt::format("{} = {} must not be infinite", label, value));
  }
  if (value < 0.0) {
    return CoreError::invalid_options(component, fmt::format("{} = {} must be strictly non-negative", label, value));
  }
  return {};
}

Status check_window(const char* component, const Constraints& store, std::size_t idx_s_start, std::size_t idx_s_final,
                    double a_start, double a_final) {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  if (idx_s_start > kMax - 2 || idx_s_final < idx_s_start + 2) {
    return CoreError::invalid_input(
        component, fmt::format("The final index {} must be at least two positions after the start index {} in Topp2Problem.",
                               idx_s_final, idx_s_start));
  }
  // idx_s_final >= idx_s_start + 2 here, so the station count only overflows at the very top.
  const std::size_t span = idx_s_final - idx_s_start;
  const std::size_t s_len = span == kMax ? kMax : span + 1;
  if (span == kMax || !store.contains(idx_s_start, s_len)) return ConstraintError::OutOfSBounds{idx_s_start, s_len};
  QARN_TRY(check_boundary_a(component, "a_start (a_boundary.0)", a_start));
  return check_boundary_a(component, "a_final (a_boundary.1)", a_final);
}

// Objective checks of both orders; `linear_beta_len` is the expected beta length.
Status check_objectives(const std::string& component, std::span<const ObjectiveView> objectives, std::size_t dim,
                        std::size_t alpha_len, std::size_t beta_len) {
  using fmt::format;
  if (objectives.empty()) return CoreError::invalid_input(component, "objectives must not be empty");
  for (std::size_t i = 0; i < objectives.size(); ++i) {
    const ObjectiveView& o = objectives[i];
    switch (o.kind) {
      case ObjectiveKind::Time:
        if (!finite_non_negative(o.weight)) {
          return CoreError::invalid_input(
              component, format("objectives[{}]::Time(weight={}) must be finite and non-negative", i, o.weight));
        }
        break;
      case ObjectiveKind::ThermalEnergy:
      case ObjectiveKind::TotalVariationTorque: {
        if (!finite_non_negative(o.weight)) {
          return CoreError::invalid_input(component,
                                          format("objectives[{}] weight={} must be finite and non-negative", i, o.weight));
        }
        const std::span<const double> normalize = o.normalize();
        if (normalize.size() != dim) {
          return CoreError::invalid_input(
              component, format("objectives[{}] normalize.len()={} must equal robot dim={}", i, normalize.size(), dim));
        }
        for (std::size_t j = 0; j < normalize.size(); ++j) {
          if (!finite_non_negative(normalize[j])) {
            return CoreError::invalid_input(
                component,
                format("objectives[{}] normalize[{}]={} must be finite and non-negative", i, j, normalize[j]));
          }
        }
        break;
      }
      case ObjectiveKind::Linear:
        if (!finite_non_negative(o.weight)) {
          return CoreError::invalid_input(
              component, format("objectives[{}]::Linear(weight={}) must be finite and non-negative", i, o.weight));
        }
        if (o.alpha().size() != alpha_len || o.beta().size() != beta_len) {
          return CoreError::invalid_input(
              component, format("objectives[{}]::Linear length mismatch: alpha.len()={}, beta.len()={}, expected "
                                "alpha.len()={}, beta.len()={}",
                                i, o.alpha().size(), o.beta().size(), alpha_len, beta_len));
        }
        break;
    }
  }
  return {};
}

}  // namespace

Status Topp2ProblemBuilder::build(const Topp2Problem& problem) {
  return check_window("Topp2ProblemBuilder", problem.store, problem.idx_s_start, problem.idx_s_final, problem.a_start,
                      problem.a_final);
}

Status Qarn2ProblemBuilder::build(const Qarn2Problem& problem) {
  QARN_TRY(check_window("Qarn2ProblemBuilder", problem.robot.constraints(), problem.idx_s_start, problem.idx_s_final,
                        problem.a_start, problem.a_final));
  return validate_objectives(problem.objectives, problem.robot.dim(), problem.idx_s_final - problem.idx_s_start + 1);
}

Status Qarn2ProblemBuilder::validate_objectives(std::span<const ObjectiveView> objectives, std::size_t dim,
                                                std::size_t s_len) {
  return check_objectives("Qarn2ProblemBuilder", objectives, dim, s_len, s_len == 0 ? 0 : s_len - 1);
}

Status validate_qarn3_objectives(std::span<const ObjectiveView> objectives, std::size_t dim, std::size_t n,
                                 std::string_view component) {
  return check_objectives(std::string(component), objectives, dim, n, n);
}

}  // namespace qarn

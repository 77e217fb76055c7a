// Third-order problem builders and the stationary boundary shape. The checks run in a fixed order
// and only the first failure is reported; the linearization, the builders' one write to the store,
// comes last.
#include "qarn/qarn3/formulation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "diag/format.hpp"
#include "math/numerical/saturating.hpp"
#include "qarn/conic/references.hpp"
#include "qarn/profile_grid.hpp"
#include "qarn/profile_scale.hpp"
#include "qarn/qarn3/rest_phase.hpp"

namespace qarn::qarn3 {
namespace {

constexpr const char* kTopp3Builder = "Topp3ProblemBuilder";
constexpr const char* kQarn3Builder = "Qarn3ProblemBuilder";

Status check_finite_boundary(std::string_view component, const char* label, double value) {
  if (std::isnan(value)) {
    return CoreError::invalid_input(std::string(component), fmt::format("{} = {} must not be NaN", label, value));
  }
  if (std::isinf(value)) {
    return CoreError::invalid_input(std::string(component), fmt::format("{} = {} must not be infinite", label, value));
  }
  return {};
}

// The effective stationary windows: their counts and shapes.
struct RestWindows {
  NumStationary k{0, 0};
  RestWindowShapes shapes{};
};

// Builder steps 1 to 11, everything before the linearization; gives the effective windows. The
// QARN3 builder checks the window against the store here (`check_window`), the TOPP3 builder
// leaves it to the linearization.
Result<RestWindows> check_inputs(const char* component, const Problem3Inputs& in, const Constraints& store,
                                 bool check_window) {
  const auto [a_start, a_final] = in.a_boundary;
  const auto [b_start, b_final] = in.b_boundary;
  QARN_TRY(check_boundary_values(component, a_start, a_final, b_start, b_final));

  const std::size_t n = in.a_linearization.size();
  if (n == 0) return CoreError::invalid_input(component, "a_linearization cannot be empty");
  // The jerk rows are linearized around these values: a NaN one would be taken as the floor without
  // a word, an infinite one as infinite speed.
  QARN_TRY(check_finite_values(component, "a_linearization", in.a_linearization));
  if (in.b_linearization) QARN_TRY(check_finite_values(component, "b_linearization", *in.b_linearization));
  QARN_TRY(check_index_span(component, in.idx_s_start, n));
  if (check_window && !store.contains(in.idx_s_start, n)) {
    return ConstraintError::OutOfSBounds{in.idx_s_start, n};
  }
  if (!std::isfinite(in.a_linearization_floor)) {
    // A NaN floor would reach the linearization unnamed, an infinite one take every reference as
    // infinite speed, as an infinite reference would.
    return CoreError::invalid_input(component,
                                    fmt::format("a_linearization_floor must be finite, got {}", in.a_linearization_floor));
  }
  if (in.a_linearization_floor <= 0.0) {
    return CoreError::invalid_input(component,
                                    fmt::format("a_linearization_floor must be positive, got {}", in.a_linearization_floor));
  }
  // -0.0 counts as a rest value, as it does in the sign checks.
  const bool start_rest = a_start == 0.0 && b_start == 0.0;
  const bool end_rest = a_final == 0.0 && b_final == 0.0;
  RestWindows w;
  NumStationary& k = w.k;
  if (in.num_stationary_max) {
    k = {start_rest ? in.num_stationary_max->first : 0, end_rest ? in.num_stationary_max->second : 0};
  } else if (store.contains(in.idx_s_start, n)) {
    // A quarter of the intervals at most, so that free intervals remain between two long phases.
    const std::uint64_t cap = std::max<std::size_t>(1, (n - 1) / 4);
    for (const bool at_end : {false, true}) {
      if (!(at_end ? end_rest : start_rest)) continue;
      const RestPhase phase = constant_jerk_phase(store, in.a_linearization, in.idx_s_start, at_end, cap);
      (at_end ? k.second : k.first) = phase.k;
      (at_end ? w.shapes.second : w.shapes.first) = phase.shape;
    }
  } else {
    k = {start_rest ? 1 : 0, end_rest ? 1 : 0};  // a window outside the store fails in the linearization
  }
  QARN_TRY(check_station_intervals(component, n, k.first, k.second));
  QARN_TRY(check_b_linearization_len(component, n, in.b_linearization));
  return w;
}

// The floor in the units of a: relative to the reference profile's largest value, so that a
// problem scaled in time or space is linearized alike (an absolute floor of 1e-10 is far above a
// reference of a slow motion near its rest ends, and far below that of a fast one); relative to the
// window's limits where the reference is zero throughout.
double floor_in_units_of_a(const Constraints& store, const Problem3Inputs& in) {
  double largest = 0.0;
  for (const double a : in.a_linearization) {
    if (std::isfinite(a)) largest = std::fmax(largest, a);
  }
  const std::size_t n = in.a_linearization.size();
  if (!(largest > 0) && store.contains(in.idx_s_start, n)) largest = profile_scale(store, in.idx_s_start, n).a;
  return in.a_linearization_floor * (largest > 0 ? largest : 1.0);
}

// Step 12: the window's jerk rows linearized in the store around the reference profile; a failure
// is wrapped by `wrap`.
Status linearize(Constraints& store, const Problem3Inputs& in, NumStationary k,
                 CoreError (*wrap)(const ConstraintError&)) {
  const double floor = floor_in_units_of_a(store, in);
  const std::vector<double> a_ref = linearization_reference(in.a_linearization);
  Status done = in.b_linearization
                    ? store.linearize_jerk_constraints_with_b(a_ref, *in.b_linearization, in.idx_s_start, k.first,
                                                              k.second, floor)
                    : store.linearize_jerk_constraints(a_ref, in.idx_s_start, floor);
  if (done) return {};
  const ConstraintError* error = done.error().constraint();
  return error != nullptr ? wrap(*error) : std::move(done).error();
}

Topp3Problem record_of(const Constraints& store, const Problem3Inputs& in, const RestWindows& w) {
  return {store,
          in.a_linearization,
          in.idx_s_start,
          in.a_boundary.first,
          in.a_boundary.second,
          in.b_boundary.first,
          in.b_boundary.second,
          w.k,
          w.shapes};
}

CoreError linearization_error(const char* component, const ConstraintError& error) {
  return CoreError::invalid_input(component, fmt::format("linearize_constraint_3order failed: {}", error));
}

}  // namespace

Status check_boundary_values(std::string_view component, double a_start, double a_final, double b_start,
                             double b_final) {
  QARN_TRY(check_finite_boundary(component, "initial a", a_start));
  QARN_TRY(check_finite_boundary(component, "terminal a", a_final));
  QARN_TRY(check_finite_boundary(component, "initial b", b_start));
  QARN_TRY(check_finite_boundary(component, "terminal b", b_final));
  const auto refuse = [&](std::string message) {
    return CoreError::invalid_input(std::string(component), std::move(message));
  };
  if (a_start < 0.0) return refuse(fmt::format("The initial a = {} must be non-negative.", a_start));
  if (a_final < 0.0) return refuse(fmt::format("The terminal a = {} must be non-negative.", a_final));
  if (a_start == 0.0 && b_start < 0.0) {
    return refuse(fmt::format("The initial a = {} is zero, so the initial b = {} must be non-negative.", a_start, b_start));
  }
  if (a_final == 0.0 && b_final > 0.0) {
    return refuse(
        fmt::format("The terminal a = {} is zero, so the terminal b = {} must be non-positive.", a_final, b_final));
  }
  return {};
}

std::vector<double> linearization_reference(std::span<const double> a_ref) {
  std::vector<double> lifted(a_ref.begin(), a_ref.end());
  if (std::find_if(lifted.begin(), lifted.end(), [](double a) { return a < 0.0; }) != lifted.end()) return lifted;
  hold_within_neighbours(lifted);
  return lifted;
}

Status check_index_span(std::string_view component, std::uint64_t idx_s_start, std::size_t n) {
  if (n >= 3) return {};
  // The final index of an empty window would lie before the start; it is printed as the start.
  const std::uint64_t idx_s_final = n == 0 ? idx_s_start : saturating_add(idx_s_start, n - 1);
  return CoreError::invalid_input(
      std::string(component),
      fmt::format("The final index {} must be at least two positions after the start index {} in Topp2Problem.",
                  idx_s_final, idx_s_start));
}

Status check_station_intervals(std::string_view component, std::size_t n, std::uint64_t k0, std::uint64_t k1) {
  const std::uint64_t intervals = n == 0 ? 0 : n - 1;
  const std::uint64_t needed = saturating_add(std::max<std::uint64_t>(k0, 1), std::max<std::uint64_t>(k1, 1));
  if (intervals > needed) return {};
  return CoreError::invalid_input(
      std::string(component),
      fmt::format("{} station intervals must exceed num_stationary.0.max(1) + num_stationary.1.max(1) = {} "
                  "(num_stationary = {})",
                  intervals, needed, NumStationary{k0, k1}));
}

Status check_b_linearization_len(std::string_view component, std::size_t n,
                                 const std::optional<std::span<const double>>& b_linearization) {
  if (!b_linearization || b_linearization->size() == n) return {};
  return CoreError::invalid_input(
      std::string(component),
      fmt::format("b_linearization.len() = {} must equal a_linearization.len() = {}", b_linearization->size(), n));
}

CoreError topp3_linearization_error(const ConstraintError& error) { return linearization_error(kTopp3Builder, error); }
CoreError qarn3_linearization_error(const ConstraintError& error) { return linearization_error(kQarn3Builder, error); }

Result<Topp3Problem> Topp3ProblemBuilder::build_with_linearization() const {
  const Result<RestWindows> w = check_inputs(kTopp3Builder, inputs, constraints, false);
  if (!w) return w.error();
  QARN_TRY(linearize(constraints, inputs, w->k, topp3_linearization_error));
  return record_of(constraints, inputs, *w);
}

Result<Qarn3Problem> Qarn3ProblemBuilder::build_with_linearization() const {
  Constraints& store = robot.constraints();
  const Result<RestWindows> w = check_inputs(kQarn3Builder, inputs, store, true);
  if (!w) return w.error();
  QARN_TRY(linearize(store, inputs, w->k, qarn3_linearization_error));
  return Qarn3Problem{record_of(store, inputs, *w), robot, objectives};
}

void stationary_start_profile(std::span<const double> s, std::span<double> a, std::span<double> b, std::size_t k,
                              double a_k, RestWindowShape shape) {
  if (k == 0) return;
  const double span = s[k] - s[0];
  a[0] = 0.0;
  b[0] = 0.0;
  a[k] = a_k;
  b[k] = a_k / (span * shape.ratio());
  for (std::size_t i = 1; i < k; ++i) {
    const double d = s[i] - s[0];
    a[i] = a_k * shape.a_at(d / span);
    b[i] = a[i] / shape.b_divisor(d, span);
  }
}

void stationary_end_profile(std::span<const double> s, std::span<double> a, std::span<double> b, std::size_t k,
                            double a_j, RestWindowShape shape) {
  if (k == 0) return;
  // Each array is indexed from its own end: offset o is entry size - 1 - o.
  const auto at = [](auto v, std::size_t o) -> decltype(v[0]) { return v[v.size() - 1 - o]; };
  const double edge = at(s, 0);
  const double span = at(s, k) - edge;  // negative
  at(a, 0) = 0.0;
  at(b, 0) = 0.0;
  at(a, k) = a_j;
  at(b, k) = a_j / (span * shape.ratio());
  for (std::size_t o = 1; o < k; ++o) {
    const double d = at(s, o) - edge;
    at(a, o) = a_j * shape.a_at(d / span);
    at(b, o) = at(a, o) / shape.b_divisor(d, span);
  }
}

}  // namespace qarn::qarn3

// Third-order problems: the records the jerk-limited solvers read, the builders that validate the
// caller's inputs and linearize the window's jerk rows in the store, and the closed-form shape of
// a profile over the stationary stations next to a rest end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "diag/result.hpp"
#include "qarn/constraints.hpp"
#include "qarn/problem2.hpp"
#include "qarn/rest_window.hpp"
#include "robot/robot_core.hpp"

namespace qarn::qarn3 {

// (start, end): numbers of stationary intervals at the start and at the end of a profile.
using NumStationary = std::pair<std::uint64_t, std::uint64_t>;

// A third-order node profile: a = (ds/dt)^2 and b = dds/dt at every station of a window.
struct Topp3Profile {
  std::vector<double> a;
  std::vector<double> b;
  NumStationary num_stationary{0, 0};
};

// A built jerk-limited problem over stations idx_s_start .. idx_s_start + n - 1, n the length of
// the reference profile a_linearization. The store holds jerk rows linearized around that profile
// for the window; the record is meaningful only while it keeps them. Invariants: the boundary
// values are finite, a_start, a_final >= 0, a rest end has a b that points into the path, n >= 3,
// n - 1 > max(k0, 1) + max(k1, 1), k0 / k1 > 0 only at an end where a = b = 0, and each shape's
// share in [0, 1].
struct Topp3Problem {
  const Constraints& constraints;
  std::span<const double> a_linearization;
  std::uint64_t idx_s_start;
  double a_start;
  double a_final;
  double b_start;
  double b_final;
  NumStationary num_stationary;
  RestWindowShapes window_shapes{};

  RestWindowShape start_window() const { return window_shapes.first; }
  RestWindowShape end_window() const { return window_shapes.second; }

  std::size_t s_len() const { return a_linearization.size(); }
  std::uint64_t idx_s_final() const { return idx_s_start + (s_len() - 1); }
};

// The same window with the robot whose store it uses and the objectives of a QARN3 solve.
struct Qarn3Problem : Topp3Problem {
  const Robot& robot;
  std::span<const ObjectiveView> objectives;
};

// The inputs both builders take besides the store, with the defaults of the Python problem classes.
struct Problem3Inputs {
  std::span<const double> a_linearization{};  // reference a, one value per station of the window
  std::uint64_t idx_s_start = 0;
  std::pair<double, double> a_boundary{0.0, 0.0};  // (a_start, a_final)
  std::pair<double, double> b_boundary{0.0, 0.0};  // (b_start, b_final)
  // Stationary intervals at a rest end: the pair asked for (each window wholly at constant jerk),
  // or nothing for the constant-jerk phase of each rest end (qarn3::constant_jerk_phase),
  // which the Python problem classes take by default.
  std::optional<NumStationary> num_stationary_max = NumStationary{1, 1};
  double a_linearization_floor = 1e-10;  // relative to the reference's largest value (see the builders)
  std::optional<std::span<const double>> b_linearization = std::nullopt;  // reference b, lowers a* where it loads a row
};

// Checks the inputs in a fixed order, then linearizes the window's jerk rows in the store (the one
// write; nothing is written when a check before it fails). Errors: InvalidInput from the builder's
// own name (boundary values, empty or short reference, floor, station intervals, b length, a failed
// linearization, which also covers a window outside the store).
struct Topp3ProblemBuilder {
  Constraints& constraints;
  Problem3Inputs inputs;

  Result<Topp3Problem> build_with_linearization() const;
};

// The same, with the window checked against the robot's store first (Constraint OutOfSBounds).
// The objectives are checked apart (validate_qarn3_objectives).
struct Qarn3ProblemBuilder {
  Robot& robot;
  std::span<const ObjectiveView> objectives;
  Problem3Inputs inputs;

  Result<Qarn3Problem> build_with_linearization() const;
};

// The boundary checks every third-order build and solve runs first: each value a number, then the
// signs: a_start, a_final >= 0, and at a zero a the b must not point out of the path. InvalidInput
// from `component`, the builder or the solver that checks.
Status check_boundary_values(std::string_view component, double a_start, double a_final, double b_start,
                             double b_final);

// The reference the builders linearize the jerk rows around (and the TOPP3 LP weighs a by): the
// caller's a_linearization, each value held within 16 times its neighbours'. The tangent at a
// reference a* bounds a by 3 a*, so a station where one pass left a near zero (a reference far
// above the result makes the linearized jerk rows that conservative) stayed there in every later
// pass, and the motion never got past it; any a* > 0 gives a tangent below the jerk's true bound,
// so lifting a dip keeps every profile safe. A reference with a negative value is returned as it
// is, for the linearization to refuse.
std::vector<double> linearization_reference(std::span<const double> a_ref);

// The window of n stations from idx_s_start spans at least two intervals (n >= 3).
Status check_index_span(std::string_view component, std::uint64_t idx_s_start, std::size_t n);

// n - 1 intervals must exceed max(k0, 1) + max(k1, 1) (the sum saturates).
Status check_station_intervals(std::string_view component, std::size_t n, std::uint64_t k0, std::uint64_t k1);

// b_linearization, when given, has one value per station.
Status check_b_linearization_len(std::string_view component, std::size_t n,
                                 const std::optional<std::span<const double>>& b_linearization);

// A failed linearization as the builder reports it.
CoreError topp3_linearization_error(const ConstraintError& error);
CoreError qarn3_linearization_error(const ConstraintError& error);

// The stationary shape next to a rest end: over the k stations between the rest station and the
// junction, a grows as (s - s_edge)^(4/3) to the junction value and b = a / (1.5 (s - s_edge));
// with a share below 1 that holds over that share of the span, and a grows linearly after it at
// the junction's b = a_k / (ratio (s_k - s_edge)) (RestWindowShape). The start form writes
// stations 0 ..= k from a_k at the junction k; the end form writes the last k + 1 stations from
// a_j at the junction m - k (m the last index; its b is negative). k = 0 writes nothing; k must be
// below the array lengths.
void stationary_start_profile(std::span<const double> s, std::span<double> a, std::span<double> b, std::size_t k,
                              double a_k, RestWindowShape shape = {});
void stationary_end_profile(std::span<const double> s, std::span<double> a, std::span<double> b, std::size_t k,
                            double a_j, RestWindowShape shape = {});

}  // namespace qarn::qarn3

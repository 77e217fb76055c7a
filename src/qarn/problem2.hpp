// The second-order problem records read by the reachability and QARN2 solvers, the objective
// records of the QARN problems (owned `ObjectiveSpec`, borrowed `ObjectiveView`), and the checks
// that run before every solve.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "diag/result.hpp"
#include "qarn/constraints.hpp"
#include "robot/robot_core.hpp"

namespace qarn {

// Stations idx_s_start ..= idx_s_final of `store`, with a = a_start / a_final at the ends.
struct Topp2Problem {
  const Constraints& store;
  std::size_t idx_s_start;
  std::size_t idx_s_final;
  double a_start;
  double a_final;
};

// The kind numbers the solver cores read; they differ from the variant order of ObjectiveSpec.
enum class ObjectiveKind : std::size_t { Time = 0, ThermalEnergy = 1, TotalVariationTorque = 2, Linear = 3 };

// One objective term as the solvers read it, borrowing the arrays of the `ObjectiveSpec` it was made from.
struct ObjectiveView {
  ObjectiveKind kind;
  double weight;
  std::span<const double> first;   // ThermalEnergy / TotalVariationTorque: normalize; Linear: alpha
  std::span<const double> second;  // Linear: beta

  std::span<const double> normalize() const { return first; }
  std::span<const double> alpha() const { return first; }
  std::span<const double> beta() const { return second; }
};

// One objective term as a problem owns it.
struct ObjectiveSpec {
  struct Time {
    double weight;
  };
  struct Linear {
    std::vector<double> alpha;  // one value per station
    std::vector<double> beta;   // one per interval (second order) or per station (third order)
    double weight;
  };
  struct ThermalEnergy {
    std::vector<double> normalize;  // one value per axis
    double weight;
  };
  struct TotalVariationTorque {
    std::vector<double> normalize;
    double weight;
  };

  std::variant<Time, Linear, ThermalEnergy, TotalVariationTorque> value;

  // The borrowed view; it must not outlive this spec.
  ObjectiveView view() const;
};

// Views of every spec, same order and length.
std::vector<ObjectiveView> objective_views(std::span<const ObjectiveSpec> specs);

// Stations idx_s_start ..= idx_s_final of the robot's store, the objectives to minimise and the
// boundary values of a.
struct Qarn2Problem {
  const Robot& robot;
  std::span<const ObjectiveView> objectives;
  std::size_t idx_s_start;
  std::size_t idx_s_final;
  double a_start;
  double a_final;
};

// Checks of a second-order problem, in order: at least three stations, the window stored, then
// a_start and a_final finite and non-negative. Errors name the component "Topp2ProblemBuilder".
struct Topp2ProblemBuilder {
  static Status build(const Topp2Problem& problem);
};

// The same checks under "Qarn2ProblemBuilder", then the objective checks.
struct Qarn2ProblemBuilder {
  static Status build(const Qarn2Problem& problem);
  // Non-empty list; weights and normalize entries finite and non-negative; normalize of robot
  // dim entries; Linear alpha of s_len and beta of s_len - 1 entries.
  static Status validate_objectives(std::span<const ObjectiveView> objectives, std::size_t dim, std::size_t s_len);
};

// The objective checks of a third-order QARN problem of n stations (Linear beta has n entries),
// reported under `component`: "Qarn3Problem" for the problem objects, "qarn3_socp" in the solve.
Status validate_qarn3_objectives(std::span<const ObjectiveView> objectives, std::size_t dim, std::size_t n,
                                 std::string_view component = "Qarn3Problem");

}  // namespace qarn

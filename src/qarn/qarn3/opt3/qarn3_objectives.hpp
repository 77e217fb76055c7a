// The QARN3 objectives made conic over a third-order profile: a square-root stage (u_i with
// u_i^2 <= a_i at the inner stations) for the objectives that cost traversal time, then per
// objective its epigraph variables, linear cost, rows and cones. The quadratic cost stays empty.
//
// Notation: n stations, junctions k0 and j = n-1-k1, inner stations lo = max(k0, 1) ..= hi =
// n-1-max(k1, 1) (m of them), u_i in column 2n + (i - lo). The stationary stations are written in
// terms of their junction's a (their closed-form shape), so every objective covers them too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "diag/result.hpp"
#include "qarn/conic/program.hpp"
#include "qarn/conic/references.hpp"
#include "qarn/problem2.hpp"
#include "qarn/qarn3/formulation.hpp"
#include "robot/robot_core.hpp"

namespace qarn::qarn3 {

// Returns the variable count after the stage: 2n (= 2 intervals + 2) when no objective costs
// traversal time (Time, ThermalEnergy); otherwise 2n + m, with u_i >= 0 (one NonnegativeCone(m))
// and u_i^2 <= a_i (m SecondOrderCone(3)).
std::size_t add_sqrt_a_stage_qarn3(std::size_t intervals, std::span<const ObjectiveView> objectives,
                                   ClarabelTriplets& triplets, std::uint64_t k0, std::uint64_t k1);

// Walks the objectives in order, appending their variables (with their cost to q, which holds one
// entry per existing variable on entry), rows and cones, over the window's path parameters s; the
// torque coefficients, when an objective reads torques, are kept in `torque`. Errors: the
// robot-dynamics error of the torque coefficients, and InvalidInput "Invalid <Kind> objective"
// from "clarabel_objective_qarn3"; the record keeps what was appended before the failure.
Status clarabel_objective_qarn3(const Qarn3Problem& problem, std::span<const double> s,
                                std::optional<TorqueCoefficients>& torque, ClarabelTriplets& triplets,
                                std::vector<double>& q);

// Upper bounds of what the sqrt-a and objective stages append (entries, right-hand sides, cones)
// and the variable estimate n_vars, of a window of n stations and `dim` axes.
struct Qarn3ObjectiveCapacity {
  std::uint64_t values = 0;
  std::uint64_t rhs = 0;
  std::uint64_t cones = 0;
  std::uint64_t variables = 0;
};
Qarn3ObjectiveCapacity qarn3_objective_capacity(std::size_t n, std::size_t dim,
                                                std::span<const ObjectiveView> objectives);

// Appends the magnitudes of the columns beyond a and b at the reference profile, for the scale
// stage: u ~ sqrt(a), then each objective's variables in list order as their cones give them at the
// reference (a time bound 1 / u, a torque's square over 4 u, a torque change).
void qarn3_column_scales(const Qarn3Problem& problem, const std::optional<TorqueCoefficients>& torque,
                         const ProfileReference& reference, std::vector<double>& scales);

}  // namespace qarn::qarn3

// The QARN2 objectives made conic: a square-root stage (r_k with r_k^2 <= a_k) for the objectives
// that need traversal times, then per objective its auxiliary variables, linear cost, rows and cones.
// The quadratic cost stays empty.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "diag/result.hpp"
#include "qarn/conic_program.hpp"
#include "qarn/conic_scaling.hpp"
#include "qarn/problem2.hpp"

namespace qarn::qarn2 {

// True when an objective of the list costs traversal time (Time, ThermalEnergy).
bool needs_sqrt_a(std::span<const ObjectiveView> objectives);
// True when an objective of the list reads joint torques (ThermalEnergy, TotalVariationTorque).
bool needs_torque(std::span<const ObjectiveView> objectives);

// Returns the number of variables after the stage: N = n + 1 when no objective needs sqrt(a);
// otherwise 2N, with r_k in column N + k fixed to sqrt(a_start) / sqrt(a_final) at the ends,
// r_k >= 0 and r_k^2 <= a_k in between.
std::size_t add_sqrt_a_stage(std::size_t n, std::span<const ObjectiveView> objectives, ClarabelTriplets& triplets,
                             double a_start, double a_final);

// Walks the objectives in order, appending their variables (with their cost to q, which holds one
// entry per existing variable on entry), rows and cones. Errors: the constraint error of reading s,
// the robot-dynamics error of the torque coefficients, and InvalidInput "Invalid <Kind> objective."
// from "qarn2_socp"; the record keeps what was appended before the failure.
Status clarabel_objective_qarn2(const Qarn2Problem& problem, ClarabelTriplets& triplets, std::vector<double>& q);

// The magnitudes of the program's columns for the scale stage: a, then r = sqrt(a) when present,
// then each objective's auxiliaries in list order (dim = the robot's joint count).
std::vector<ColumnClass> qarn2_column_classes(std::size_t n, std::size_t dim, std::span<const ObjectiveView> objectives);

}  // namespace qarn::qarn2

// The QARN2 objectives made conic: a square-root stage (r_k with r_k^2 <= a_k) for the objectives
// that need traversal times, then per objective its auxiliary variables, linear cost, rows and cones.
// The quadratic cost stays empty.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "diag/result.hpp"
#include "qarn/conic/program.hpp"
#include "qarn/conic/references.hpp"
#include "qarn/problem2.hpp"
#include "robot/robot_core.hpp"

namespace qarn::qarn2 {

// True when an objective of the list costs traversal time (Time, ThermalEnergy).
bool needs_sqrt_a(std::span<const ObjectiveView> objectives);
// True when an objective of the list reads joint torques (ThermalEnergy, TotalVariationTorque).
bool needs_torque(std::span<const ObjectiveView> objectives);
// True when a Time term of positive weight is in the list: the objective is then infinite on a
// profile that never arrives, which the other objectives may well prefer (their least is at rest).
bool weighs_time(std::span<const ObjectiveView> objectives);
// True when the objective is the traversal time alone: a Time term of positive weight and no
// other term of nonzero weight. Only then is a window whose a no limit bounds without an optimum
// the solver could report (the time falls towards 0 and is never reached).
bool time_alone(std::span<const ObjectiveView> objectives);

// Returns the number of variables after the stage: N = n + 1 when no objective needs sqrt(a);
// otherwise 2N, with r_k in column N + k fixed to sqrt(a_start) / sqrt(a_final) at the ends,
// r_k >= 0 and r_k^2 <= a_k in between.
std::size_t add_sqrt_a_stage(std::size_t n, std::span<const ObjectiveView> objectives, ClarabelTriplets& triplets,
                             double a_start, double a_final);

// What the objective stage reads once and the later stages of a solve read again: the window's
// path parameters and, when an objective reads torques, the torque coefficients.
struct Qarn2Context {
  std::vector<double> s;
  std::optional<Torque2Coefficients> torque;
};

// Walks the objectives in order, appending their variables (with their cost to q, which holds one
// entry per existing variable on entry), rows and cones, and keeps s and the torque coefficients in
// `context`. Errors: the constraint error of reading s, the robot-dynamics error of the torque
// coefficients, and InvalidInput "Invalid <Kind> objective." from "qarn2_socp"; the record keeps
// what was appended before the failure.
Status clarabel_objective_qarn2(const Qarn2Problem& problem, Qarn2Context& context, ClarabelTriplets& triplets,
                                std::vector<double>& q);

// The magnitude of every column of the program at the reference profile, for the scale stage: a,
// then r = sqrt(a) when present, then each objective's auxiliaries in list order, each as the
// value its cone gives it at the reference (a time bound 1 / (4 (r_k + r_(k+1))), a torque's
// square over the same, a torque change).
std::vector<double> qarn2_column_scales(const Qarn2Problem& problem, const Qarn2Context& context,
                                        const ProfileReference& reference);

}  // namespace qarn::qarn2

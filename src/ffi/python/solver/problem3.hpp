// The third-order problem descriptors `Topp3Problem` and `Qarn3Problem`: the inputs of the
// third-order builders (reference profile, window, boundary values, stationary bounds, floor and,
// for QARN3, the objectives) and a robot state whose store they linearize. The built record
// borrows the store, so it is rebuilt under the robot lock at construction, on `validate()` and at
// the start of every solve.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "ffi/python/class_def.hpp"
#include "ffi/python/robot_state.hpp"
#include "ffi/python/solver/problem_memory.hpp"
#include "qarn/problem2.hpp"
#include "qarn/qarn3/formulation.hpp"

namespace qarn::py {

// Everything the builders take besides the robot, owned.
struct Problem3Setup {
  std::vector<double> a_linearization;
  std::optional<std::vector<double>> b_linearization;
  std::uint64_t idx_s_start = 0;
  std::pair<double, double> a_boundary{0.0, 0.0};
  std::pair<double, double> b_boundary{0.0, 0.0};
  std::optional<qarn3::NumStationary> num_stationary_max;  // None: the constant-jerk phase at each rest end
  double a_linearization_floor = 1e-10;

  // The builders' view of these inputs; it borrows the arrays.
  qarn3::Problem3Inputs inputs() const;
  // The doubles of the references.
  std::uint64_t reference_values() const {
    return a_linearization.size() + (b_linearization ? b_linearization->size() : 0);
  }
};

struct PyTopp3Problem {
  Ref constraints;  // the Constraints object given to the constructor
  RobotHandle state;
  Problem3Setup setup;
};

struct PyQarn3Problem {
  std::vector<ObjectiveSpec> objectives;
  Ref robot;  // the Robot object given to the constructor
  RobotHandle state;
  Problem3Setup setup;
};

void define(ClassDef<PyTopp3Problem>& c);
void define(ClassDef<PyQarn3Problem>& c);

inline int traverse_refs(const PyTopp3Problem& problem, visitproc visit, void* arg) {
  Py_VISIT(problem.constraints.get());
  return problem.state.traverse(visit, arg);
}
inline int traverse_refs(const PyQarn3Problem& problem, visitproc visit, void* arg) {
  Py_VISIT(problem.robot.get());
  return problem.state.traverse(visit, arg);
}

// The TOPP3 record over a locked robot's store, its jerk rows linearized for `setup` (which it
// borrows). A failure raises the converted core error.
qarn3::Topp3Problem built_topp3(Robot& robot, const Problem3Setup& setup);

// With `robot` (of `state`) locked: empties the state's error slot, builds the objective views and
// the QARN3 record (linearizing the store), checks the objectives and calls body(const
// Qarn3Problem&). A failure raises the Python exception that an inverse-dynamics callback left in
// the slot, else the converted core error; `body` reports its own failures the same way.
template <class F>
decltype(auto) with_built_qarn3(SharedRobotState& state, Robot& robot, std::span<const ObjectiveSpec> specs,
                                const Problem3Setup& setup, F&& body) {
  state.err_slot.clear();
  const auto building = [&](auto&& step) -> decltype(auto) {
    return building_record("Qarn3Problem", setup.a_linearization.size(),
                           setup.reference_values() + objective_values(specs), step);
  };
  const std::vector<ObjectiveView> views = building([&] { return objective_views(specs); });
  const qarn3::Qarn3Problem problem = building([&] {
    return check(qarn3::Qarn3ProblemBuilder{robot, views, setup.inputs()}.build_with_linearization(), &state.err_slot);
  });
  building([&] { check(validate_qarn3_objectives(views, robot.dim(), problem.s_len()), &state.err_slot); });
  return std::forward<F>(body)(problem);
}

}  // namespace qarn::py

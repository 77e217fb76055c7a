// The second-order problem descriptors `Topp2Problem` and `Qarn2Problem`: a robot state, a closed
// station interval, the boundary values of a and (QARN2) the objectives, checked against the store
// at construction, on `validate()` and at the start of every solve.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "ffi/python/class_def.hpp"
#include "ffi/python/robot_state.hpp"
#include "ffi/python/solver/problem_memory.hpp"
#include "qarn/problem2.hpp"

namespace qarn::py {

// The closed station interval and the boundary values of a.
struct ProblemWindow {
  std::uint64_t idx_s_start = 0;
  std::uint64_t idx_s_final = 0;
  double a_start = 0.0;
  double a_final = 0.0;

  // The stations of the closed interval; none when it is reversed, and no stored window is as long
  // as the largest count, which a full span saturates to.
  std::uint64_t stations() const {
    const std::uint64_t span = idx_s_final > idx_s_start ? idx_s_final - idx_s_start : 0;
    return span == std::numeric_limits<std::uint64_t>::max() ? span : span + 1;
  }
};

struct PyTopp2Problem {
  Ref constraints;  // the Constraints object given to the constructor
  RobotHandle state;
  ProblemWindow window;
};

struct PyQarn2Problem {
  std::vector<ObjectiveSpec> objectives;
  Ref robot;  // the Robot object given to the constructor
  RobotHandle state;
  ProblemWindow window;
};

void define(ClassDef<PyTopp2Problem>& c);
void define(ClassDef<PyQarn2Problem>& c);

inline int traverse_refs(const PyTopp2Problem& problem, visitproc visit, void* arg) {
  Py_VISIT(problem.constraints.get());
  return problem.state.traverse(visit, arg);
}
inline int traverse_refs(const PyQarn2Problem& problem, visitproc visit, void* arg) {
  Py_VISIT(problem.robot.get());
  return problem.state.traverse(visit, arg);
}

// The TOPP2 record over a locked robot's store, after its checks passed.
Topp2Problem checked_topp2(const Robot& robot, const ProblemWindow& window);

// With `robot` (of `state`) locked: empties the state's error slot, builds the objective views, runs
// the QARN2 checks and calls body(const Qarn2Problem&). A failure raises the Python exception that
// an inverse-dynamics callback left in the slot, else the converted core error; `body` reports its
// own failures through `state.err_slot` the same way.
template <class F>
decltype(auto) with_checked_qarn2(SharedRobotState& state, const Robot& robot, std::span<const ObjectiveSpec> specs,
                                  const ProblemWindow& window, F&& body) {
  state.err_slot.clear();
  const auto building = [&](auto&& step) -> decltype(auto) {
    return building_record("Qarn2Problem", window.stations(), objective_values(specs), step);
  };
  const std::vector<ObjectiveView> views = building([&] { return objective_views(specs); });
  const Qarn2Problem problem{robot, views, window.idx_s_start, window.idx_s_final, window.a_start, window.a_final};
  building([&] { check(Qarn2ProblemBuilder::build(problem), &state.err_slot); });
  return std::forward<F>(body)(problem);
}

}  // namespace qarn::py

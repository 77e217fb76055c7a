// The Python classes over a shared robot state: `Robot` (the robot model with its station store
// and inverse-dynamics callback) and `Constraints` (a view of the store alone), and the store
// attributes that both report through one implementation each.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "ffi/python/class_def.hpp"
#include "ffi/python/robot_state.hpp"

namespace qarn::py {

struct PyRobot {
  RobotHandle state;
};

struct PyConstraints {
  RobotHandle state;
};

void define(ClassDef<PyRobot>& c);
void define(ClassDef<PyConstraints>& c);

inline int traverse_refs(const PyRobot& robot, visitproc visit, void* arg) { return robot.state.traverse(visit, arg); }
inline int traverse_refs(const PyConstraints& constraints, visitproc visit, void* arg) {
  return constraints.state.traverse(visit, arg);
}

// Store attributes shared by Robot and Constraints, each read under the state lock.
template <class T>
std::uint64_t store_dim(Shared<T> self) {
  return lock_robot_state(*self->state, [](const Robot& robot) { return std::uint64_t{robot.dim()}; });
}
template <class T>
std::uint64_t store_len(Shared<T> self) {
  return lock_robot_state(*self->state, [](const Robot& robot) { return std::uint64_t{robot.constraints().len()}; });
}
template <class T>
std::uint64_t store_capacity(Shared<T> self) {
  return lock_robot_state(*self->state,
                          [](const Robot& robot) { return std::uint64_t{robot.constraints().capacity()}; });
}
template <class T>
bool store_is_empty(Shared<T> self) {
  return lock_robot_state(*self->state, [](const Robot& robot) { return robot.constraints().is_empty(); });
}
template <class T>
std::pair<std::uint64_t, std::uint64_t> store_idx_s_range(Shared<T> self) {
  return lock_robot_state(*self->state, [](const Robot& robot) {
    return std::pair{robot.constraints().idx_s_start(), robot.constraints().idx_s_end()};
  });
}

// Registers the five store attributes on a class over a robot state.
template <class T>
void define_store_attributes(ClassDef<T>& c, const char* dim_doc) {
  c.template getter<store_dim<T>>("dim", dim_doc)
      .template getter<store_len<T>>("len", "Return the number of station samples currently stored.")
      .template getter<store_capacity<T>>("capacity", "Return the allocated station-buffer capacity.")
      .template getter<store_is_empty<T>>("is_empty", "Return whether the constraint buffer contains no stations.")
      .template getter<store_idx_s_range<T>>(
          "idx_s_range", "Return the active global station-id range ``(idx_s_start, idx_s_end)``.");
}

}  // namespace qarn::py

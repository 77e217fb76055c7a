// `SharedRobotState`: the robot model (dimension, station store, inverse-dynamics provider) shared
// by reference-counted handles between a Robot, its Constraints views and the problems built on
// it, guarded by one poisoning mutex; and the ways to reach it: `lock_robot_state` for one
// operation, `solve_locked` for a solver body that may run with the interpreter lock released.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "ffi/python/error.hpp"
#include "ffi/python/poison_mutex.hpp"
#include "robot/robot_core.hpp"

namespace qarn::py {

class SharedRobotState {
 public:
  // `inverse_dynamics`: an accepted Python callback object, or null for a point mass.
  SharedRobotState(std::size_t dim, std::size_t capacity, Ref inverse_dynamics);

  const std::size_t dim;
  // Where the inverse-dynamics bridge parks a Python exception; it has its own mutex, so a bridge
  // can fill it while a solve holds the state.
  PyErrSlot err_slot;

  // For the garbage collector, which runs under the interpreter lock and must not wait for the
  // mutex: the callback is only replaced by a thread holding both locks, and a solve that gives the
  // interpreter lock up only reads it. `traverse` visits the callback and a parked exception;
  // `clear_python_objects` drops both, on a state that no thread can reach any more.
  int traverse(visitproc visit, void* arg) const;
  void clear_python_objects() noexcept;

 private:
  template <class F>
  friend decltype(auto) lock_robot_state(SharedRobotState& state, F&& body);

  PoisonMutex mutex_;
  Robot robot_;  // guarded by mutex_
};

// A counted handle on a shared robot state. The state lives in a Python object of its own (not a
// module name), so that the collector sees the state's references once however many Robots,
// Constraints and problems share it, and a callback that refers back to its robot makes a cycle it
// can collect. Copies and drops need the interpreter lock (a drop without it is deferred).
class RobotHandle {
 public:
  RobotHandle() = default;
  SharedRobotState& operator*() const noexcept { return *state_; }
  SharedRobotState* operator->() const noexcept { return state_; }
  // What a holder reports to the collector: its reference to the state's owner.
  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(owner_.get());
    return 0;
  }

 private:
  friend RobotHandle make_robot_handle(std::unique_ptr<SharedRobotState> state);
  Ref owner_;
  SharedRobotState* state_ = nullptr;
};

// The type of the objects that own shared robot states (not a module name).
PyTypeObject* robot_state_type();

// The shared constructor of Robot and Constraints objects: a robot with an empty store of
// `capacity` stations (1000 when absent) and the given inverse-dynamics callback (None or null:
// a point mass). Refuses, in this order, dim 0 and capacity 0 with ValueError, then a callback
// object that `resolve_inverse_dynamics` refuses.
RobotHandle robot_new_core(std::size_t dim, std::optional<std::size_t> capacity,
                           PyObject* inverse_dynamics = nullptr);

// Installs (or, with a null callback, removes) the inverse-dynamics callback of a locked robot
// whose state is `state`; returns the provider it replaced, which the caller drops after
// unlocking, so that no finalizer of the old callback runs while the state is locked.
std::shared_ptr<InverseDynamics> replace_inverse_dynamics(SharedRobotState& state, Robot& robot, Ref callback);

// Runs body(Robot&) holding the state's mutex: the only way to reach the robot. Raises
// RuntimeError for a poisoned state and for re-entry from the thread that holds it.
template <class F>
decltype(auto) lock_robot_state(SharedRobotState& state, F&& body) {
  return with_lock(state.mutex_, [&]() -> decltype(auto) { return std::forward<F>(body)(state.robot_); });
}

// Whether a solver body gives the interpreter lock up while it runs.
enum class SolveGil {
  Release,                 // always: the core never calls Python
  ReleaseWithoutCallback,  // unless the robot has an inverse-dynamics callback, which needs Python
};

// Runs a solver body `body(Robot&)` with the state locked for the whole body. Everything the body
// needs from Python objects must be copied before; the body must create no Python object (error
// values are built as text), and Python objects it drops are released once the lock is back.
// With ReleaseWithoutCallback the choice is made under the same lock that runs the body, so a
// callback installed or removed by another thread cannot slip between the decision and the solve.
// The interpreter lock is then taken back before the state is unlocked; that cannot deadlock,
// since a thread that waits for the state waits without the interpreter lock.
template <class F>
decltype(auto) solve_locked(SharedRobotState& state, SolveGil gil, F&& body) {
  if (gil == SolveGil::Release) {
    return gil::without([&]() -> decltype(auto) { return lock_robot_state(state, std::forward<F>(body)); });
  }
  return lock_robot_state(state, [&](Robot& robot) -> decltype(auto) {
    if (robot.has_inverse_dynamics()) return body(robot);
    return gil::without([&]() -> decltype(auto) { return body(robot); });
  });
}

}  // namespace qarn::py

// Private names for the test suite, registered only when QARN_PY_TEST_HOOKS=1 at import and never
// listed in __all__: a way to raise a C++ fault through the entry frame, a probe of a shared robot
// state (poisoning, re-entry, waiting, releases without the interpreter lock), and direct access
// to the argument binder and the array conversions.
#include <chrono>
#include <stdexcept>
#include <thread>

#include "ffi/python/binding.hpp"

namespace qarn::py {
namespace {

// Throws a fault; without a message, one that is not even a std::exception.
void fault(std::optional<std::string> message) {
  if (message) throw std::runtime_error(*message);
  throw 42;
}

// Binds a representative signature and echoes the converted values.
std::tuple<double, double, bool, std::optional<std::uint64_t>> echo_args(double x, double y, bool flag,
                                                                         std::optional<std::uint64_t> count) {
  return {x, y, flag, count};
}

std::vector<double> to_f64_1d(std::vector<double> x) { return x; }
Matrix to_f64_2d(Matrix x) { return x; }
std::vector<double> objective_array(PyObject* x) { return extract_f64_array("alpha", x); }

struct PyRobotStateProbe {
  RobotHandle state;
};

PyRobotStateProbe probe_new(std::uint64_t dim, std::optional<std::uint64_t> capacity) {
  return {robot_new_core(dim, capacity)};
}

std::uint64_t probe_len(Shared<PyRobotStateProbe> self) {
  return lock_robot_state(*self->state, [](Robot& robot) { return robot.constraints().len(); });
}

void probe_fault_while_locked(Shared<PyRobotStateProbe> self, std::string message) {
  lock_robot_state(*self->state, [&](Robot&) { throw std::runtime_error(message); });
}

// Calls fn() holding the state and the interpreter lock, as a solve with a Python callback does.
Ref probe_call_while_locked(Shared<PyRobotStateProbe> self, PyObject* fn) {
  return lock_robot_state(*self->state, [&](Robot&) { return new_ref(PyObject_CallNoArgs(fn)); });
}

// Holds the state for `seconds` with the interpreter lock released, as a long solve does.
void probe_hold_released(Shared<PyRobotStateProbe> self, double seconds) {
  solve_locked(*self->state, SolveGil::Release, [&](Robot&) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  });
}

// Drops a reference to `object` while the interpreter lock is released.
void probe_drop_released(Shared<PyRobotStateProbe>, PyObject* object) {
  Ref held = Ref::borrow(object);
  gil::without([&] { held.reset(); });
}

// Parks `exception` in the error slot, as the inverse-dynamics bridge does.
void probe_park_error(Shared<PyRobotStateProbe> self, PyObject* exception) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception);
  self->state->err_slot.store(Error::fetch());
}

// Empties the error slot inside a released solve body.
void probe_clear_slot_released(Shared<PyRobotStateProbe> self) {
  solve_locked(*self->state, SolveGil::Release, [&](Robot&) { self->state->err_slot.clear(); });
}

// Fails like a core operation that called the callback: the parked exception wins.
void probe_fail_with_slot(Shared<PyRobotStateProbe> self) {
  check(Status(CoreError::infeasible("probe", "core failure")), &self->state->err_slot);
}

}  // namespace

void define(ClassDef<PyRobotStateProbe>& c) {
  c.name("_RobotStateProbe", "Test probe of a shared robot state.")
      .init<probe_new>("_RobotStateProbe(dim, *, capacity=None)")
      .method<probe_len>("len($self)", "Number of stored stations, read under the state lock.")
      .method<probe_fault_while_locked>("fault_while_locked($self, message)", "Fault inside the lock.")
      .method<probe_call_while_locked>("call_while_locked($self, fn)", "Call fn() inside the lock.")
      .method<probe_hold_released>("hold_released($self, seconds)", "Hold the lock without the GIL.")
      .method<probe_drop_released>("drop_released($self, obj)", "Drop a reference without the GIL.")
      .method<probe_park_error>("park_error($self, exc)", "Park an exception in the error slot.")
      .method<probe_clear_slot_released>("clear_slot_released($self)", "Clear the slot without the GIL.")
      .method<probe_fail_with_slot>("fail_with_slot($self)", "Fail, preferring the parked exception.");
}

void register_test_hooks(Module& m) {
  m.add_private_function<fault>("_fault(message=None)", "Raise a C++ fault through the entry frame.");
  m.add_private_function<echo_args>("_echo_args(x, y=1.5, *, flag=False, count=None)", "Echo bound arguments.");
  m.add_private_function<to_f64_1d>("_to_f64_1d(x)", "Round trip through the 1-D conversion.");
  m.add_private_function<to_f64_2d>("_to_f64_2d(x)", "Round trip through the 2-D conversion.");
  m.add_private_function<objective_array>("_extract_f64_array(x)", "Round trip through the objective conversion.");
  m.add_private_class<PyRobotStateProbe>();
}

}  // namespace qarn::py

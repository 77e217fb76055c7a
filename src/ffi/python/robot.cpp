// The Robot class: construction, the inverse-dynamics callback, station samples and path
// derivatives, and the four axial limits.
#include "ffi/python/robot.hpp"

#include <optional>
#include <vector>

#include "ffi/python/array.hpp"
#include "ffi/python/inverse_dynamics.hpp"
#include "ffi/python/module.hpp"
#include "ffi/python/path.hpp"
#include "ffi/python/station_input.hpp"

namespace qarn::py {
namespace {

PyRobot robot_new(std::uint64_t dim, std::optional<std::uint64_t> capacity, PyObject* inverse_dynamics) {
  return {robot_new_core(dim, capacity, inverse_dynamics)};
}

PyRobot robot_point_mass(std::uint64_t dim, std::optional<std::uint64_t> capacity) {
  return {robot_new_core(dim, capacity)};
}

// Torque rows already stored were computed with the model they were added under and stay so; a
// change of model says so with a RuntimeWarning, before anything changes (a warning turned into
// an error leaves the robot as it was).
void warn_if_torque_rows_stay(SharedRobotState& state, const char* method) {
  if (!lock_robot_state(state, [](const Robot& robot) { return robot.holds_torque_rows(); })) return;
  const std::string message = fmt::format(
      "Robot.{}: the store holds torque limits computed with the previous dynamics model, and they are "
      "not recomputed; change the model before adding torque limits, or rebuild the store",
      method);
  if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) < 0) throw Error::fetch();
}

// The replaced callback is dropped only after the state is unlocked, so its finalizer cannot
// meet the locked state.
void robot_set_inverse_dynamics(Shared<PyRobot> self, PyObject* inverse_dynamics) {
  Ref callback = resolve_inverse_dynamics(inverse_dynamics);
  warn_if_torque_rows_stay(*self->state, "set_inverse_dynamics");
  const std::shared_ptr<InverseDynamics> previous = lock_robot_state(
      *self->state, [&](Robot& robot) { return replace_inverse_dynamics(*self->state, robot, std::move(callback)); });
}

void robot_clear_inverse_dynamics(Shared<PyRobot> self) {
  warn_if_torque_rows_stay(*self->state, "clear_inverse_dynamics");
  const std::shared_ptr<InverseDynamics> previous =
      lock_robot_state(*self->state, [&](Robot& robot) { return replace_inverse_dynamics(*self->state, robot, {}); });
}

bool robot_has_inverse_dynamics(Shared<PyRobot> self) {
  return lock_robot_state(*self->state, [](const Robot& robot) { return robot.has_inverse_dynamics(); });
}

PyConstraints robot_constraints(Shared<PyRobot> self) { return {self->state}; }

std::string robot_repr(Shared<PyRobot> self) {
  return lock_robot_state(*self->state, [](const Robot& robot) {
    const Constraints& store = robot.constraints();
    return fmt::format("Robot(dim={}, len={}, capacity={}, has_inverse_dynamics={})", robot.dim(), store.len(),
                       store.capacity(), robot.has_inverse_dynamics());
  });
}

void robot_append_s(Shared<PyRobot> self, std::vector<double> s) {
  lock_robot_state(*self->state, [&](Robot& robot) { check(robot.constraints().append_s(s)); });
}

void robot_set_q(Shared<PyRobot> self, PyObject* q, PyObject* dq, PyObject* ddq, std::uint64_t idx_s, PyObject* dddq,
                 PyMatrixLayout layout) {
  const std::size_t dim = lock_robot_state(*self->state, [](const Robot& robot) { return robot.dim(); });
  const StationColumns q_m = matrix_with_layout("q", q, layout.value, dim);
  const StationColumns dq_m = matrix_with_layout("dq", dq, layout.value, dim);
  const StationColumns ddq_m = matrix_with_layout("ddq", ddq, layout.value, dim);
  std::optional<StationColumns> dddq_m;
  if (dddq != Py_None) dddq_m = matrix_with_layout("dddq", dddq, layout.value, dim);
  lock_robot_state(*self->state, [&](Robot& robot) {
    std::optional<MatrixView> dddq_view;
    if (dddq_m) dddq_view.emplace(dddq_m->view());
    check(robot.constraints().set_q(q_m.view(), dq_m.view(), ddq_m.view(), dddq_view, idx_s));
  });
}

// Samples the path at the stored stations [idx_s_from, idx_s_to) and writes the derivatives. The
// state is not locked while the path is evaluated (an evaluator runs Python code, which must not
// meet the locked state), so the write first checks, under the lock, that those stations still
// have the s values that were sampled: stations replaced meanwhile are sampled again, and a window
// that no longer holds them fails as if the call had come after the change. Stations that keep
// changing fail the call after a few attempts, with nothing written.
template <path::DerivativeOrder Order>
void robot_set_q_from_path(Shared<PyRobot> self, Shared<PyPath> path, std::uint64_t idx_s_from,
                           std::uint64_t idx_s_to) {
  constexpr int kAttempts = 3;
  const auto s_values = [&](const Robot& robot) {
    return check(robot.constraints().s_values(idx_s_from, idx_s_to));
  };
  std::vector<double> s = lock_robot_state(*self->state, s_values);
  for (int attempt = 1;; ++attempt) {
    const path::DerivativeSamples samples = sample_path(*path, s, Order);
    std::optional<std::vector<double>> moved = lock_robot_state(*self->state, [&](Robot& robot) {
      std::optional<std::vector<double>> now = s_values(robot);
      if (*now != s) return now;
      std::optional<MatrixView> dddq;
      if (samples.dddq) dddq.emplace(samples.dddq->view());
      check(robot.constraints().set_q(samples.q.view(), samples.dq->view(), samples.ddq->view(), dddq, idx_s_from));
      return std::optional<std::vector<double>>();
    });
    if (!moved) return;
    if (attempt == kAttempts) {
      throw Error::runtime(fmt::format("the stations [{}, {}) were replaced while the path was sampled, {} times; "
                                       "nothing was written",
                                       idx_s_from, idx_s_to, kAttempts));
    }
    s = std::move(*moved);
  }
}

// The common body of the four limit methods. The arguments are converted without the lock
// (conversion may run Python code, which must not meet the locked state); under it the window is
// checked before a vector limit is repeated over it, so a window past the store's end is refused
// without building its matrix, and the builder runs (it checks everything again).
template <AxialLimit Kind>
void robot_add_limits(Shared<PyRobot> self, PyObject* upper, PyObject* lower, std::uint64_t start_idx_s,
                      std::optional<std::uint64_t> length, PyMatrixLayout layout) {
  SharedRobotState& state = *self->state;
  LimitInput upper_in = LimitInput::read("upper", upper, state.dim, length, layout.value);
  LimitInput lower_in = LimitInput::read("lower", lower, state.dim, length, layout.value);
  lock_robot_state(state, [&](Robot& robot) {
    // An exception left by an earlier callback failure must not be raised for this call.
    state.err_slot.clear();
    const Constraints& store = robot.constraints();
    const std::uint64_t end = store.idx_s_end();
    const std::uint64_t default_count = end > start_idx_s ? end - start_idx_s : 0;
    const std::uint64_t n = upper_in.stations(default_count);
    // Differing counts are the builder's dimension error, which comes first.
    if (lower_in.stations(default_count) == n && !store.contains(start_idx_s, n)) {
      check(Status(ConstraintError::OutOfSBounds{start_idx_s, n}));
    }
    const StationColumns upper_m = std::move(upper_in).columns(default_count);
    const StationColumns lower_m = std::move(lower_in).columns(default_count);
    const auto add = [&] {
      switch (Kind) {
        case AxialLimit::Velocity: return robot.add_velocity_limits(upper_m.view(), lower_m.view(), start_idx_s);
        case AxialLimit::Acceleration:
          return robot.add_acceleration_limits(upper_m.view(), lower_m.view(), start_idx_s);
        case AxialLimit::Jerk: return robot.add_jerk_limits(upper_m.view(), lower_m.view(), start_idx_s);
        case AxialLimit::Torque: return robot.add_torque_limits(upper_m.view(), lower_m.view(), start_idx_s);
      }
      return Status();
    };
    check(add(), &state.err_slot);
  });
}

constexpr const char* kLimitArgs = "($self, upper, lower, *, start_idx_s, length=None, layout='sample_major')";

}  // namespace

void define(ClassDef<PyRobot>& c) {
  static const std::string velocity = std::string("add_velocity_limits") + kLimitArgs;
  static const std::string acceleration = std::string("add_acceleration_limits") + kLimitArgs;
  static const std::string jerk = std::string("add_jerk_limits") + kLimitArgs;
  static const std::string torque = std::string("add_torque_limits") + kLimitArgs;
  c.name("Robot", "Python-owned robot wrapper backed by [`RustRobot`].")
      .init<robot_new>("Robot(dim, *, capacity=None, inverse_dynamics=None)")
      .static_method<robot_point_mass>("point_mass(dim, *, capacity=None)",
                                       "Construct an explicit point-mass robot, where ``tau = ddq``.")
      .method<robot_set_inverse_dynamics>(
          "set_inverse_dynamics($self, inverse_dynamics)",
          "Install a Python inverse-dynamics callback: a callable ``f(q, dq, ddq)`` or an object with an "
          "``inverse_dynamics(q, dq, ddq)`` method, returning ``dim`` joint torques.\n\n"
          "Torque limits already stored keep the model they were computed with; a RuntimeWarning says so.")
      .method<robot_clear_inverse_dynamics>("clear_inverse_dynamics($self)",
                                            "Clear the Python inverse-dynamics callback and restore point dynamics.\n\n"
                                            "Torque limits already stored keep the model they were computed with; a "
                                            "RuntimeWarning says so.")
      .method<robot_append_s>("append_s($self, s)", "Append strictly increasing station samples to the robot.")
      .method<robot_set_q>("set_q($self, q, dq, ddq, idx_s, *, dddq=None, layout='sample_major')",
                           "Store discrete path derivatives over an existing station interval.")
      .method<robot_set_q_from_path<path::DerivativeOrder::UpTo2nd>>(
          "set_q_from_path_2nd($self, path, idx_s_from, idx_s_to)",
          "Sample a path and store derivatives up to second order.")
      .method<robot_set_q_from_path<path::DerivativeOrder::UpTo3rd>>(
          "set_q_from_path_3rd($self, path, idx_s_from, idx_s_to)",
          "Sample a path and store derivatives up to third order.")
      .method<robot_add_limits<AxialLimit::Velocity>>(velocity.c_str(),
                                                      "Add axial velocity limits over an existing station interval.")
      .method<robot_add_limits<AxialLimit::Acceleration>>(
          acceleration.c_str(), "Add axial acceleration limits over an existing station interval.")
      .method<robot_add_limits<AxialLimit::Jerk>>(jerk.c_str(),
                                                  "Add axial jerk limits over an existing station interval.")
      .method<robot_add_limits<AxialLimit::Torque>>(torque.c_str(),
                                                    "Add axial torque limits using point or Python inverse dynamics.")
      .getter<robot_has_inverse_dynamics>("has_inverse_dynamics",
                                          "Return whether a Python inverse-dynamics callback is installed.")
      .getter<robot_constraints>("constraints", "Return a lightweight proxy for raw constraint-buffer operations.")
      .len<store_len<PyRobot>>()
      .repr<robot_repr>();
  define_store_attributes(c, "Return the robot dimension.");
}

void add_robot_classes(Module& module) {
  module.add_class<PyRobot>();
  module.add_class<PyConstraints>();
}

}  // namespace qarn::py

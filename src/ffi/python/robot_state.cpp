// Construction of shared robot states.
#include "ffi/python/robot_state.hpp"

#include "ffi/python/class_def.hpp"
#include "ffi/python/inverse_dynamics.hpp"

namespace qarn::py {

// The Python object that owns a shared robot state.
struct PyRobotStateOwner {
  std::unique_ptr<SharedRobotState> state;
};

int traverse_refs(const PyRobotStateOwner& owner, visitproc visit, void* arg) {
  return owner.state ? owner.state->traverse(visit, arg) : 0;
}
void clear_refs(PyRobotStateOwner& owner) {
  if (owner.state) owner.state->clear_python_objects();
}

void define(ClassDef<PyRobotStateOwner>& c) {
  c.name("_RobotState", "The robot state shared by a Robot, its Constraints views and its problems.");
}

PyTypeObject* robot_state_type() { return type_of<PyRobotStateOwner>(); }

RobotHandle make_robot_handle(std::unique_ptr<SharedRobotState> state) {
  RobotHandle handle;
  handle.state_ = state.get();
  handle.owner_ = make_instance(PyRobotStateOwner{std::move(state)});
  return handle;
}

namespace {

std::shared_ptr<InverseDynamics> provider_for(Ref callback, PyErrSlot& slot) {
  if (!callback) return nullptr;
  return python_inverse_dynamics(std::move(callback), slot);
}

}  // namespace

// err_slot is declared before robot_, so it exists when the provider takes its address.
SharedRobotState::SharedRobotState(std::size_t dim, std::size_t capacity, Ref inverse_dynamics)
    : dim(dim), robot_(dim, capacity, provider_for(std::move(inverse_dynamics), err_slot)) {}

RobotHandle robot_new_core(std::size_t dim, std::optional<std::size_t> capacity, PyObject* inverse_dynamics) {
  if (dim == 0) throw Error::value("`dim` must be a positive integer");
  if (capacity && *capacity == 0) throw Error::value("`capacity` must be a positive integer or None");
  Ref callback;
  if (inverse_dynamics != nullptr && inverse_dynamics != Py_None) callback = resolve_inverse_dynamics(inverse_dynamics);
  constexpr std::size_t kDefaultCapacity = 1000;
  return make_robot_handle(
      std::make_unique<SharedRobotState>(dim, capacity.value_or(kDefaultCapacity), std::move(callback)));
}

int SharedRobotState::traverse(visitproc visit, void* arg) const {
  Py_VISIT(python_callback(robot_.inverse_dynamics().get()));
  return err_slot.traverse(visit, arg);
}

void SharedRobotState::clear_python_objects() noexcept {
  const std::shared_ptr<InverseDynamics> callback = robot_.inverse_dynamics();  // dropped last
  robot_.clear_inverse_dynamics();
  err_slot.clear();
}

std::shared_ptr<InverseDynamics> replace_inverse_dynamics(SharedRobotState& state, Robot& robot, Ref callback) {
  std::shared_ptr<InverseDynamics> previous = robot.inverse_dynamics();
  robot.set_inverse_dynamics(provider_for(std::move(callback), state.err_slot));
  return previous;
}

}  // namespace qarn::py

// Private names of the test-only extension, never listed in __all__: a way to raise a C++ fault through the entry frame, a probe of a shared robot
// state (poisoning, re-entry, waiting, releases without the interpreter lock), torque terms run
// without the interpreter lock, the stored path derivatives, and direct access to the argument
// binder, the array conversions and the objective parser.
#include <chrono>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>

#include "hooks/test_hooks.hpp"

#include "ffi/python/binding.hpp"
#include "ffi/python/objectives.hpp"
#include "ffi/python/robot.hpp"
#include "ffi/python/path_enums.hpp"
#include "ffi/python/solver/enums.hpp"
#include "ffi/python/solver/profile3.hpp"

namespace qarn::py {
namespace {

// Throws a fault of the given kind: "runtime" (a std::runtime_error carrying `message`), "alloc"
// (an allocation failure) or "unknown" (not even a std::exception).
void fault(std::string message, std::string kind) {
  if (kind == "alloc") throw std::bad_alloc();
  if (kind == "unknown") throw 42;
  throw std::runtime_error(message);
}

// Raises a core error of kind `kind` (the CoreError::Kind numbering) through error_to_pyerr.
void raise_core_error(std::uint64_t kind) {
  const auto error = [&]() -> CoreError {
    switch (kind) {
      case 0: return CoreError::io("disk on fire");
      case 1: return ConstraintError::NoMatchDimensions{};
      case 2: return PathError::DimensionMismatch{};
      case 3: return DynamicsError{"tau went missing"};
      case 4: return CoreError::infeasible("probe", "no room");
      case 5: return CoreError::unbounded("probe", "no floor");
      case 6: return CoreError::invalid_input("probe", "bad input");
      case 7: return CoreError::invalid_options("probe", "bad options");
      case 8: return CoreError::clarabel("probe", "solver said no");
      case 9: return CoreError::clarabel_status("probe", SolverStatus::MaxIterations);
      default: return CoreError::other("probe", "something else");
    }
  }();
  check(Status(error));
}

// Binds a representative signature and echoes the converted values.
std::tuple<double, double, bool, std::optional<std::uint64_t>> echo_args(double x, double y, bool flag,
                                                                         std::optional<std::uint64_t> count) {
  return {x, y, flag, count};
}

// Parses `value` with the parser of the parameter `kind` and returns the member.
Ref parse_enum_argument(std::string kind, PyObject* value) {
  if (kind == "layout") return to_py(parse_enum<MatrixLayoutEnum>(value));
  if (kind == "out_of_range") return to_py(parse_enum<OutOfRangeModeEnum>(value));
  if (kind == "parametrization") return to_py(parse_enum<ParametrizationEnum>(value));
  if (kind == "verbosity") return to_py(parse_enum<VerbosityEnum>(value));
  if (kind == "direct_solve_method") return to_py(parse_enum<DirectSolveMethodEnum>(value));
  throw Error::value("unknown enum parameter " + kind);
}

std::vector<double> to_f64_1d(std::vector<double> x) { return x; }
Matrix to_f64_2d(Matrix x) { return x; }
std::vector<double> objective_array(PyObject* x) { return extract_f64_array("alpha", x); }

// x as a result array whose buffer owner cannot be allocated, as when memory runs out: that
// allocation alone fails, so nothing else under memory pressure reaches it first.
Ref array_with_failing_owner(std::vector<double> x) {
  struct FailingAlloc {
    PyTypeObject* type = owned_buffer_type();
    allocfunc alloc = std::exchange(type->tp_alloc, [](PyTypeObject*, Py_ssize_t) { return PyErr_NoMemory(); });
    ~FailingAlloc() { type->tp_alloc = alloc; }
  } failing;
  return vector_to_numpy(std::move(x));
}

// The parsed objective specs as tuples: ("time", weight), ("linear", weight, alpha, beta),
// ("thermal_energy" or "total_variation_torque", weight, normalize), arrays as lists.
Ref parse_objectives_hook(PyObject* objectives) {
  const auto list = [](const std::vector<double>& values) {
    Ref out = new_ref(PyList_New(0));
    for (const double v : values) {
      if (PyList_Append(out.get(), to_py(v).get()) < 0) throw Error::fetch();
    }
    return out;
  };
  Ref out = new_ref(PyList_New(0));
  for (const ObjectiveSpec& spec : parse_objectives(objectives)) {
    const Ref item = std::visit(
        [&](const auto& term) -> Ref {
          using Term = std::decay_t<decltype(term)>;
          if constexpr (std::is_same_v<Term, ObjectiveSpec::Time>) {
            return to_py(std::tuple{std::string("time"), term.weight});
          } else if constexpr (std::is_same_v<Term, ObjectiveSpec::Linear>) {
            return to_py(std::tuple{std::string("linear"), term.weight, list(term.alpha), list(term.beta)});
          } else if constexpr (std::is_same_v<Term, ObjectiveSpec::ThermalEnergy>) {
            return to_py(std::tuple{std::string("thermal_energy"), term.weight, list(term.normalize)});
          } else {
            return to_py(std::tuple{std::string("total_variation_torque"), term.weight, list(term.normalize)});
          }
        },
        spec.value);
    if (PyList_Append(out.get(), item.get()) < 0) throw Error::fetch();
  }
  return out;
}

// The torque terms of stations [idx_s_from, idx_s_from + n) computed with the interpreter lock
// released, as a solve body runs them, so that the inverse-dynamics bridge has to take the lock
// back itself. Returns coeff_a (dim x n); a parked callback exception wins over the core error.
Matrix torque_coeff_a_released(Shared<PyRobot> robot, std::uint64_t idx_s_from, std::uint64_t n) {
  SharedRobotState& state = *robot->state;
  state.err_slot.clear();
  Result<TorqueCoefficients> terms = gil::without([&] {
    return lock_robot_state(state, [&](const Robot& r) { return r.torque_coefficients(idx_s_from, n); });
  });
  const Eigen::MatrixXd coeff_a = check(std::move(terms), &state.err_slot).coeff_a;
  Matrix out{static_cast<std::size_t>(coeff_a.rows()), static_cast<std::size_t>(coeff_a.cols()), {}};
  for (Eigen::Index i = 0; i < coeff_a.rows(); ++i) {
    for (Eigen::Index j = 0; j < coeff_a.cols(); ++j) out.values.push_back(coeff_a(i, j));
  }
  return out;
}

// The stored q, dq, ddq, dddq of stations [idx_s_from, idx_s_from + n), each (n, dim), one row per
// station, as the store holds them; ValueError when a station has no derivatives.
std::tuple<Matrix, Matrix, Matrix, Matrix> stored_derivatives(Shared<PyRobot> robot, std::uint64_t idx_s_from,
                                                              std::uint64_t n) {
  return lock_robot_state(*robot->state, [&](const Robot& r) {
    const Constraints& store = r.constraints();
    if (!store.has_derivatives(idx_s_from, n, false)) throw Error::value("stations without derivatives");
    const auto rows = [&](std::span<const double> (Constraints::*at)(std::uint64_t) const) {
      Matrix out{n, r.dim(), {}};
      for (std::uint64_t k = 0; k < n; ++k) {
        const std::span<const double> values = (store.*at)(idx_s_from + k);
        if (values.size() != r.dim()) throw Error::value("station outside the window");
        out.values.insert(out.values.end(), values.begin(), values.end());
      }
      return out;
    };
    return std::tuple{rows(&Constraints::q_at), rows(&Constraints::dq_at), rows(&Constraints::ddq_at),
                      rows(&Constraints::dddq_at)};
  });
}

struct PyRobotStateProbe {
  RobotHandle state;
  double tag = 0.0;  // a plain settable attribute, for the setter and borrow paths
};

int traverse_refs(const PyRobotStateProbe& probe, visitproc visit, void* arg) {
  return probe.state.traverse(visit, arg);
}

PyRobotStateProbe probe_new(std::uint64_t dim, std::optional<std::uint64_t> capacity) {
  return {robot_new_core(dim, capacity)};
}

std::uint64_t probe_dim(Shared<PyRobotStateProbe> self) { return self->state->dim; }
double probe_tag(Shared<PyRobotStateProbe> self) { return self->tag; }
void probe_set_tag(Exclusive<PyRobotStateProbe> self, double tag) { self->tag = tag; }

// Calls fn(object) while `object` (a probe, Robot, Constraints or Profile3rd) is exclusively
// borrowed, as a setter converting a value would.
template <class T>
Ref call_while_exclusive(PyObject* object, PyObject* fn) {
  Exclusive<T> borrowed(object);
  return new_ref(PyObject_CallOneArg(fn, object));
}
Ref probe_call_while_exclusive(PyObject* object, PyObject* fn) {
  if (is_instance<PyRobot>(object)) return call_while_exclusive<PyRobot>(object, fn);
  if (is_instance<PyConstraints>(object)) return call_while_exclusive<PyConstraints>(object, fn);
  if (is_instance<PyProfile3rd>(object)) return call_while_exclusive<PyProfile3rd>(object, fn);
  (void)extract<Shared<PyRobotStateProbe>>(object, "probe");  // the instance check of arguments
  return call_while_exclusive<PyRobotStateProbe>(object, fn);
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
      .getter<probe_dim>("dim", "Robot dimension.")
      .property<probe_tag, probe_set_tag>("tag", "A settable float.")
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
  m.add_private_function<fault>("_fault(message='', *, kind='runtime')", "Raise a C++ fault through the frame.");
  m.add_private_function<raise_core_error>("_raise_core_error(kind)", "Raise a core error of the given kind.");
  m.add_private_function<probe_call_while_exclusive>("_call_while_exclusive(probe, fn)",
                                                     "Call fn(obj) while obj is exclusively borrowed.");
  m.add_private_function<echo_args>("_echo_args(x, y=1.5, *, flag=False, count=None)", "Echo bound arguments.");
  m.add_private_function<parse_enum_argument>("_parse_enum(kind, value)", "Parse an enum argument.");
  m.add_private_function<to_f64_1d>("_to_f64_1d(x)", "Round trip through the 1-D conversion.");
  m.add_private_function<to_f64_2d>("_to_f64_2d(x)", "Round trip through the 2-D conversion.");
  m.add_private_function<objective_array>("_extract_f64_array(x)", "Round trip through the objective conversion.");
  m.add_private_function<array_with_failing_owner>("_array_with_failing_owner(x)",
                                                   "A result array whose owner's allocation fails.");
  m.add_private_function<parse_objectives_hook>("_parse_objectives(objectives)",
                                                 "Parse an objectives argument into tuples.");
  m.add_private_function<torque_coeff_a_released>("_torque_coeff_a_released(robot, idx_s_from, n)",
                                                    "Torque terms computed without the interpreter lock.");
  m.add_private_function<stored_derivatives>("_stored_derivatives(robot, idx_s_from, n)",
                                              "The stored path derivatives of n stations, (n, dim) each.");
  m.add_private_class<PyRobotStateProbe>();
}

}  // namespace qarn::py

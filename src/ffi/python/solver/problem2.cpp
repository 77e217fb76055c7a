// The Topp2Problem and Qarn2Problem classes.
#include "ffi/python/solver/problem2.hpp"

#include <string>

#include "ffi/python/objectives.hpp"
#include "ffi/python/robot.hpp"

namespace qarn::py {
namespace {

ProblemWindow window_of(std::pair<std::uint64_t, std::uint64_t> idx_s_interval, std::pair<double, double> a_boundary) {
  return {idx_s_interval.first, idx_s_interval.second, a_boundary.first, a_boundary.second};
}

void check_topp2(SharedRobotState& state, const ProblemWindow& window) {
  lock_robot_state(state, [&](const Robot& robot) { checked_topp2(robot, window); });
}

void check_qarn2(SharedRobotState& state, std::span<const ObjectiveSpec> objectives, const ProblemWindow& window) {
  lock_robot_state(state, [&](const Robot& robot) {
    with_checked_qarn2(state, robot, objectives, window, [](const Qarn2Problem&) {});
  });
}

// ---- shared by both classes ----

template <class T>
std::pair<std::uint64_t, std::uint64_t> problem_idx_s_interval(Shared<T> self) {
  return {self->window.idx_s_start, self->window.idx_s_final};
}
template <class T>
std::pair<double, double> problem_a_boundary(Shared<T> self) {
  return {self->window.a_start, self->window.a_final};
}
template <class T>
std::uint64_t problem_s_len(Shared<T> self) {
  return self->window.stations();
}

std::string window_repr(const ProblemWindow& w) {
  return fmt::format("idx_s_interval=({}, {}), a_boundary=({}, {})", w.idx_s_start, w.idx_s_final, w.a_start,
                     w.a_final);
}

template <class T>
void define_window_attributes(ClassDef<T>& c) {
  c.template getter<problem_idx_s_interval<T>>("idx_s_interval", "Return the closed station-index interval.")
      .template getter<problem_a_boundary<T>>("a_boundary", "Return endpoint values `(a_start, a_final)`.")
      .template getter<problem_s_len<T>>("s_len", "Return the number of station samples in the closed interval.");
}

// ---- Topp2Problem ----

PyTopp2Problem topp2_problem_new(Shared<PyConstraints> constraints,
                                 std::pair<std::uint64_t, std::uint64_t> idx_s_interval,
                                 std::pair<double, double> a_boundary) {
  PyTopp2Problem problem{Ref::borrow(constraints.object()), constraints->state, window_of(idx_s_interval, a_boundary)};
  check_topp2(*problem.state, problem.window);
  return problem;
}

void topp2_problem_validate(Shared<PyTopp2Problem> self) { check_topp2(*self->state, self->window); }
std::string topp2_problem_repr(Shared<PyTopp2Problem> self) {
  return fmt::format("Topp2Problem({})", window_repr(self->window));
}

// ---- Qarn2Problem ----

// The interval and boundary are converted (by the entry frame) before the objectives are parsed.
PyQarn2Problem qarn2_problem_new(Shared<PyRobot> robot, PyObject* objectives,
                                 std::pair<std::uint64_t, std::uint64_t> idx_s_interval,
                                 std::pair<double, double> a_boundary) {
  RobotHandle state = robot->state;
  PyQarn2Problem problem{parse_objectives(objectives), Ref::borrow(robot.object()), std::move(state),
                         window_of(idx_s_interval, a_boundary)};
  check_qarn2(*problem.state, problem.objectives, problem.window);
  return problem;
}

void qarn2_problem_validate(Shared<PyQarn2Problem> self) {
  check_qarn2(*self->state, self->objectives, self->window);
}
std::uint64_t qarn2_problem_objective_count(Shared<PyQarn2Problem> self) { return self->objectives.size(); }
std::string qarn2_problem_repr(Shared<PyQarn2Problem> self) {
  return fmt::format("Qarn2Problem({}, objective_count={})", window_repr(self->window), self->objectives.size());
}

}  // namespace

Topp2Problem checked_topp2(const Robot& robot, const ProblemWindow& window) {
  const Topp2Problem problem{robot.constraints(), window.idx_s_start, window.idx_s_final, window.a_start,
                             window.a_final};
  building_record("Topp2Problem", window.stations(), 0, [&] { check(Topp2ProblemBuilder::build(problem)); });
  return problem;
}

void define(ClassDef<PyTopp2Problem>& c) {
  c.name("Topp2Problem", "Python descriptor for a TOPP2 problem.")
      .init<topp2_problem_new>("Topp2Problem(constraints, idx_s_interval, a_boundary=(0.0, 0.0))")
      .method<topp2_problem_validate>("validate($self)",
                                      "Validate the descriptor against the currently referenced constraints.")
      .field<&PyTopp2Problem::constraints>("constraints",
                                           "Return the constraint proxy referenced by this problem descriptor.")
      .repr<topp2_problem_repr>();
  define_window_attributes(c);
}

void define(ClassDef<PyQarn2Problem>& c) {
  c.name("Qarn2Problem", "Python descriptor for a QARN2 problem.")
      .init<qarn2_problem_new>("Qarn2Problem(robot, objectives, idx_s_interval, a_boundary=(0.0, 0.0))")
      .method<qarn2_problem_validate>("validate($self)",
                                      "Validate the descriptor against the current robot and objectives.")
      .field<&PyQarn2Problem::robot>("robot", "Return the robot referenced by this problem descriptor.")
      .getter<qarn2_problem_objective_count>("objective_count",
                                             "Return the number of objectives stored in this descriptor.")
      .repr<qarn2_problem_repr>();
  define_window_attributes(c);
}

}  // namespace qarn::py

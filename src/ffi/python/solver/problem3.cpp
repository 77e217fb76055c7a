// The Topp3Problem and Qarn3Problem classes.
#include "ffi/python/solver/problem3.hpp"

#include <limits>
#include <string>

#include "ffi/python/array.hpp"
#include "ffi/python/objectives.hpp"
#include "ffi/python/robot.hpp"
#include "math/numerical/saturating.hpp"

namespace qarn::py {
namespace {

// The `num_stationary_max` argument: None (the constant-jerk phase at each rest end), one count for
// both ends, or a (start, end) tuple.
struct NumStationaryMax {
  std::optional<qarn3::NumStationary> value;
};

}  // namespace

template <>
struct FromPy<NumStationaryMax> {
  // The conversion errors of both forms are dropped for the one message.
  static NumStationaryMax convert(PyObject* object, std::string_view) {
    if (object == Py_None) return {std::nullopt};
    try {
      const std::uint64_t both = index_to_u64(object);
      return {qarn3::NumStationary{both, both}};
    } catch (const Error&) {
    }
    if (PyTuple_Check(object) && PyTuple_GET_SIZE(object) == 2) {
      try {
        const std::uint64_t start = index_to_u64(PyTuple_GET_ITEM(object, 0));
        return {qarn3::NumStationary{start, index_to_u64(PyTuple_GET_ITEM(object, 1))}};
      } catch (const Error&) {
      }
    }
    throw Error::value("`num_stationary_max` must be an integer, a pair of integers or None");
  }
};

namespace {

// A rest end (a = b = 0) needs its closed-form interval: over free intervals a profile that starts
// (or ends) with a = b = 0 never leaves (never reaches) rest, its traversal time is infinite.
void check_rest_ends(const Problem3Setup& setup) {
  if (!setup.num_stationary_max) return;
  const auto [k0, k1] = *setup.num_stationary_max;
  const auto at_rest = [](double a, double b) { return a == 0.0 && b == 0.0; };
  const char* end = k0 == 0 && at_rest(setup.a_boundary.first, setup.b_boundary.first)    ? "start"
                    : k1 == 0 && at_rest(setup.a_boundary.second, setup.b_boundary.second) ? "end"
                                                                                           : nullptr;
  if (end == nullptr) return;
  throw Error::value(fmt::format(
      "`num_stationary_max` = ({}, {}) leaves the rest {} (a = b = 0) without a stationary interval: a profile "
      "from rest over free intervals takes infinite time; give it at least 1 there, or None",
      k0, k1, end));
}

// The scalars come converted by the entry frame; the arrays are read after them.
Problem3Setup setup_of(PyObject* a_linearization, PyObject* b_linearization, std::uint64_t idx_s_start,
                       std::pair<double, double> a_boundary, std::pair<double, double> b_boundary,
                       NumStationaryMax num_stationary_max, double a_linearization_floor) {
  Problem3Setup setup;
  setup.a_linearization = to_contiguous_f64_1d("a_linearization", a_linearization);
  if (b_linearization != Py_None) setup.b_linearization = to_contiguous_f64_1d("b_linearization", b_linearization);
  setup.idx_s_start = idx_s_start;
  setup.a_boundary = a_boundary;
  setup.b_boundary = b_boundary;
  setup.num_stationary_max = num_stationary_max.value;
  setup.a_linearization_floor = a_linearization_floor;
  check_rest_ends(setup);
  return setup;
}

void check_topp3(SharedRobotState& state, const Problem3Setup& setup) {
  lock_robot_state(state, [&](Robot& robot) { built_topp3(robot, setup); });
}

void check_qarn3(SharedRobotState& state, std::span<const ObjectiveSpec> objectives, const Problem3Setup& setup) {
  lock_robot_state(state, [&](Robot& robot) {
    with_built_qarn3(state, robot, objectives, setup, [](const qarn3::Qarn3Problem&) {});
  });
}

// ---- shared by both classes ----

template <class T>
std::uint64_t problem_s_len(Shared<T> self) {
  return self->setup.a_linearization.size();
}
// An empty reference counts as one station (no constructed problem has one).
template <class T>
std::uint64_t problem_idx_s_final(Shared<T> self) {
  const std::size_t n = self->setup.a_linearization.size();
  return saturating_add(self->setup.idx_s_start, n == 0 ? 0 : n - 1);
}

std::string setup_repr(const Problem3Setup& s) {
  const std::string k = s.num_stationary_max
                            ? fmt::format("({}, {})", s.num_stationary_max->first, s.num_stationary_max->second)
                            : std::string("None");
  return fmt::format("idx_s_start={}, s_len={}, a_boundary=({}, {}), b_boundary=({}, {}), num_stationary_max={}",
                     s.idx_s_start, s.a_linearization.size(), s.a_boundary.first, s.a_boundary.second,
                     s.b_boundary.first, s.b_boundary.second, k);
}

template <class T>
void define_setup_attributes(ClassDef<T>& c, const char* s_len_doc) {
  using S = Problem3Setup;
  c.template field<&T::setup, &S::a_linearization>("a_linearization", "Return a copy of the linearization reference profile.")
      .template field<&T::setup, &S::idx_s_start>("idx_s_start",
                                                   "Return the start station index of the optimization interval.")
      .template getter<problem_idx_s_final<T>>("idx_s_final", "Return the final station index implied by `a_linearization`.")
      .template field<&T::setup, &S::a_boundary>("a_boundary", "Return boundary values `(a_start, a_final)`.")
      .template field<&T::setup, &S::b_boundary>("b_boundary", "Return boundary values `(b_start, b_final)`.")
      .template field<&T::setup, &S::num_stationary_max>("num_stationary_max",
                                                          "Return the stationary intervals asked for at the rest ends, `(start, end)`, or `None` "
                                                          "for the constant-jerk phase of the reference at each rest end.")
      .template field<&T::setup, &S::a_linearization_floor>(
          "a_linearization_floor",
          "Return the floor of the reference a in the jerk linearization, relative to the reference profile's "
          "largest value.")
      .template field<&T::setup, &S::b_linearization>(
          "b_linearization", "Return a copy of the adaptive-linearization `b` profile, if present.")
      .template getter<problem_s_len<T>>("s_len", s_len_doc);
}

// ---- Topp3Problem ----

PyTopp3Problem topp3_problem_new(Shared<PyConstraints> constraints, PyObject* a_linearization,
                                 std::uint64_t idx_s_start, std::pair<double, double> a_boundary,
                                 std::pair<double, double> b_boundary, NumStationaryMax num_stationary_max,
                                 double a_linearization_floor, PyObject* b_linearization) {
  PyTopp3Problem problem{Ref::borrow(constraints.object()), constraints->state,
                         setup_of(a_linearization, b_linearization, idx_s_start, a_boundary, b_boundary,
                                  num_stationary_max, a_linearization_floor)};
  check_topp3(*problem.state, problem.setup);
  return problem;
}

void topp3_problem_validate(Shared<PyTopp3Problem> self) { check_topp3(*self->state, self->setup); }

std::string topp3_problem_repr(Shared<PyTopp3Problem> self) {
  return fmt::format("Topp3Problem({}, a_linearization_floor={})", setup_repr(self->setup),
                     self->setup.a_linearization_floor);
}

// ---- Qarn3Problem ----

// The objectives are parsed after the arrays.
PyQarn3Problem qarn3_problem_new(Shared<PyRobot> robot, PyObject* objectives, PyObject* a_linearization,
                                 std::uint64_t idx_s_start, std::pair<double, double> a_boundary,
                                 std::pair<double, double> b_boundary, NumStationaryMax num_stationary_max,
                                 double a_linearization_floor, PyObject* b_linearization) {
  Problem3Setup setup = setup_of(a_linearization, b_linearization, idx_s_start, a_boundary, b_boundary,
                                 num_stationary_max, a_linearization_floor);
  PyQarn3Problem problem{parse_objectives(objectives), Ref::borrow(robot.object()), robot->state, std::move(setup)};
  check_qarn3(*problem.state, problem.objectives, problem.setup);
  return problem;
}

void qarn3_problem_validate(Shared<PyQarn3Problem> self) {
  check_qarn3(*self->state, self->objectives, self->setup);
}
std::uint64_t qarn3_problem_objective_count(Shared<PyQarn3Problem> self) { return self->objectives.size(); }

std::string qarn3_problem_repr(Shared<PyQarn3Problem> self) {
  return fmt::format("Qarn3Problem({}, objective_count={})", setup_repr(self->setup), self->objectives.size());
}

constexpr const char* kKeywords =
    "*, idx_s_start=0, a_boundary=(0.0, 0.0), b_boundary=(0.0, 0.0), num_stationary_max=None, "
    "a_linearization_floor=1e-10, b_linearization=None)";

}  // namespace

qarn3::Problem3Inputs Problem3Setup::inputs() const {
  qarn3::Problem3Inputs in;
  in.a_linearization = a_linearization;
  in.idx_s_start = idx_s_start;
  in.a_boundary = a_boundary;
  in.b_boundary = b_boundary;
  in.num_stationary_max = num_stationary_max;
  in.a_linearization_floor = a_linearization_floor;
  if (b_linearization) in.b_linearization = std::span<const double>(*b_linearization);
  return in;
}

qarn3::Topp3Problem built_topp3(Robot& robot, const Problem3Setup& setup) {
  return building_record("Topp3Problem", setup.a_linearization.size(), setup.reference_values(), [&] {
    return check(qarn3::Topp3ProblemBuilder{robot.constraints(), setup.inputs()}.build_with_linearization());
  });
}

void define(ClassDef<PyTopp3Problem>& c) {
  static const std::string signature = std::string("Topp3Problem(constraints, a_linearization, ") + kKeywords;
  c.name("Topp3Problem",
         "Python descriptor for a TOPP3 problem.\n\n"
         "Construction copies the linearization reference profile and immediately calls the third-order "
         "builder, which linearizes the cached jerk constraints inside the referenced constraint buffer. "
         "``validate()`` and every solve rebuild the problem, so they see the buffer's current limits.")
      .init<topp3_problem_new>(signature.c_str())
      .method<topp3_problem_validate>("validate($self)",
                                      "Rebuild the problem and refresh the cached jerk linearization.")
      .field<&PyTopp3Problem::constraints>("constraints",
                                           "Return the constraint proxy referenced by this problem descriptor.")
      .repr<topp3_problem_repr>();
  define_setup_attributes(c, "Return the number of station samples in this TOPP3 interval.");
}

void define(ClassDef<PyQarn3Problem>& c) {
  static const std::string signature = std::string("Qarn3Problem(robot, objectives, a_linearization, ") + kKeywords;
  c.name("Qarn3Problem",
         "Python descriptor for a QARN3 problem.\n\n"
         "Construction copies the linearization reference profile, owns the objective descriptors and "
         "immediately calls the third-order builder, which linearizes the cached jerk constraints inside "
         "the referenced robot's constraint buffer. ``validate()`` and every solve rebuild the problem.")
      .init<qarn3_problem_new>(signature.c_str())
      .method<qarn3_problem_validate>("validate($self)",
                                      "Rebuild the problem and refresh the cached jerk linearization.")
      .field<&PyQarn3Problem::robot>("robot", "Return the robot referenced by this problem descriptor.")
      .getter<qarn3_problem_objective_count>("objective_count",
                                             "Return the number of objectives stored in this descriptor.")
      .repr<qarn3_problem_repr>();
  define_setup_attributes(c, "Return the number of station samples in this QARN3 interval.");
}

}  // namespace qarn::py

// The Constraints class: a view of a robot state's station store with the raw store operations
// (stations, first-order bounds, raw constraint rows, windowing, profile audits).
#include <optional>
#include <tuple>
#include <vector>

#include "ffi/python/array.hpp"
#include "ffi/python/robot.hpp"
#include "ffi/python/solver/profile3.hpp"
#include "ffi/python/station_input.hpp"
#include "qarn/profile_violation.hpp"

namespace qarn::py {
namespace {

// Runs body(Constraints&) with the state locked.
template <class F>
decltype(auto) with_store(const PyConstraints& self, F&& body) {
  return lock_robot_state(*self.state, [&](Robot& robot) -> decltype(auto) { return body(robot.constraints()); });
}

PyConstraints constraints_new(std::uint64_t dim, std::optional<std::uint64_t> capacity) {
  return {robot_new_core(dim, capacity)};
}

std::string constraints_repr(Shared<PyConstraints> self) {
  return with_store(*self, [](const Constraints& store) {
    return fmt::format("Constraints(dim={}, len={}, capacity={})", store.dim(), store.len(), store.capacity());
  });
}

void constraints_append_s(Shared<PyConstraints> self, std::vector<double> s) {
  with_store(*self, [&](Constraints& store) { check(store.append_s(s)); });
}

// The half-open id range [from, to), the window's ends standing in for absent bounds.
template <Result<std::vector<double>> (Constraints::*Read)(std::uint64_t, std::uint64_t) const>
std::vector<double> constraints_read(Shared<PyConstraints> self, std::optional<std::uint64_t> idx_s_from,
                                     std::optional<std::uint64_t> idx_s_to) {
  return with_store(*self, [&](const Constraints& store) {
    return check((store.*Read)(idx_s_from.value_or(store.idx_s_start()), idx_s_to.value_or(store.idx_s_end())));
  });
}

// Bounds are stored as given, without a sign check, but not NaN or -inf, which the conic solvers
// and the audits would read as no bound: nothing is written then.
void constraints_amax_substitute(Shared<PyConstraints> self, std::vector<double> amax, std::uint64_t idx_s) {
  require_upper_bounds("amax", amax);
  with_store(*self, [&](Constraints& store) { check(store.amax_substitute(amax, idx_s)); });
}

// Runs body(Constraints&), which removes stations, with the state locked; the robot then forgets
// the torque rows of the removed stations.
template <class F>
void remove_stations(const PyConstraints& self, F&& body) {
  lock_robot_state(*self.state, [&](Robot& robot) {
    body(robot.constraints());
    robot.forget_removed_torque_rows();
  });
}

void constraints_clear(Shared<PyConstraints> self, bool keep_idx_s) {
  remove_stations(*self, [&](Constraints& store) { store.clear(keep_idx_s); });
}

template <PopMode Mode>
void constraints_pop_front(Shared<PyConstraints> self, std::uint64_t value) {
  remove_stations(*self, [&](Constraints& store) { store.pop_front(Mode, value); });
}

template <PopMode Mode>
void constraints_pop_back(Shared<PyConstraints> self, std::uint64_t value) {
  remove_stations(*self, [&](Constraints& store) { store.pop_back(Mode, value); });
}

// The bound of a raw row: `<= max`, or `>= max` with is_negative.
RowPart bound_part(bool is_negative) { return is_negative ? RowPart::LowerBound : RowPart::UpperBound; }

void constraints_add_1st(Shared<PyConstraints> self, PyObject* amax, std::uint64_t idx_s, PyMatrixLayout layout) {
  const StationColumns amax_m = matrix_with_layout("amax", amax, layout.value);
  require_row_values("amax", amax_m, layout.value, RowPart::UpperBound);
  with_store(*self, [&](Constraints& store) { check(store.add_constraint_1st(amax_m.view(), idx_s)); });
}

void constraints_add_2nd(Shared<PyConstraints> self, PyObject* acc_a, PyObject* acc_b, PyObject* acc_max,
                         std::uint64_t idx_s, bool is_negative, PyMatrixLayout layout) {
  const StationColumns a = matrix_with_layout("acc_a", acc_a, layout.value);
  const StationColumns b = matrix_with_layout("acc_b", acc_b, layout.value);
  const StationColumns max = matrix_with_layout("acc_max", acc_max, layout.value);
  require_row_values("acc_a", a, layout.value, RowPart::Coefficient);
  require_row_values("acc_b", b, layout.value, RowPart::Coefficient);
  require_row_values("acc_max", max, layout.value, bound_part(is_negative));
  with_store(*self, [&](Constraints& store) {
    check(store.add_constraint_2nd(a.view(), b.view(), max.view(), idx_s, is_negative));
  });
}

void constraints_add_3rd(Shared<PyConstraints> self, PyObject* jerk_a, PyObject* jerk_b, PyObject* jerk_c,
                         PyObject* jerk_d, PyObject* jerk_max, std::uint64_t idx_s, bool is_negative,
                         PyMatrixLayout layout) {
  const StationColumns a = matrix_with_layout("jerk_a", jerk_a, layout.value);
  const StationColumns b = matrix_with_layout("jerk_b", jerk_b, layout.value);
  const StationColumns c = matrix_with_layout("jerk_c", jerk_c, layout.value);
  const StationColumns d = matrix_with_layout("jerk_d", jerk_d, layout.value);
  const StationColumns max = matrix_with_layout("jerk_max", jerk_max, layout.value);
  require_row_values("jerk_a", a, layout.value, RowPart::Coefficient);
  require_row_values("jerk_b", b, layout.value, RowPart::Coefficient);
  require_row_values("jerk_c", c, layout.value, RowPart::Coefficient);
  require_row_values("jerk_d", d, layout.value, RowPart::Coefficient);
  require_row_values("jerk_max", max, layout.value, bound_part(is_negative));
  with_store(*self, [&](Constraints& store) {
    check(store.add_constraint_3rd(a.view(), b.view(), c.view(), d.view(), max.view(), idx_s, is_negative));
  });
}

// `idx_s_start` is converted before `a`.
std::tuple<double, double> constraints_exceed_topp2(Shared<PyConstraints> self, PyObject* a,
                                                    std::uint64_t idx_s_start) {
  const std::vector<double> profile = to_contiguous_f64_1d("a", a);
  const Exceed2 exceed = with_store(*self, [&](const Constraints& store) {
    return exceed_topp2(store, idx_s_start, profile);
  });
  return {exceed.exceed_1st, exceed.exceed_2nd};
}

// `a` is a Profile3rd (or an instance of a subclass) alone, or the arrays a and b with their
// stationary counts; num_stationary and idx_s_start are converted first.
std::tuple<double, double, double> constraints_exceed_topp3(Shared<PyConstraints> self, PyObject* a, PyObject* b,
                                                            std::optional<qarn3::NumStationary> num_stationary,
                                                            std::uint64_t idx_s_start) {
  qarn3::Topp3Profile profile;
  if (is_instance<PyProfile3rd>(a)) {
    if (b != Py_None || num_stationary) {
      throw Error::value("pass either a `Profile3rd` or `a`, `b`, and `num_stationary`, not both");
    }
    profile = Shared<PyProfile3rd>(a)->profile;
  } else {
    if (b == Py_None) throw Error::value("`b` is required unless `a` is a `Profile3rd`");
    profile.a = to_contiguous_f64_1d("a", a);
    profile.b = to_contiguous_f64_1d("b", b);
    profile.num_stationary = num_stationary.value_or(qarn3::NumStationary{0, 0});
  }
  const auto [k0, k1] = profile.num_stationary;
  const Exceed3 exceed = with_store(*self, [&](const Constraints& store) {
    return exceed_topp3(store, idx_s_start, profile.a, profile.b, k0, k1);
  });
  return {exceed.exceed_1st, exceed.exceed_2nd, exceed.exceed_3rd};
}

}  // namespace

void define(ClassDef<PyConstraints>& c) {
  c.name("Constraints", "Raw constraint-buffer proxy returned by [`PyRobot::constraints`].")
      .init<constraints_new>("Constraints(dim, *, capacity=None)")
      .method<constraints_append_s>("append_s($self, s)",
                                    "Append strictly increasing station samples to the constraint buffer.\n\n"
                                    "``s`` is a one-dimensional array of real values.")
      .method<constraints_read<&Constraints::s_values>>(
          "s_values($self, idx_s_from=None, idx_s_to=None)",
          "Export station samples over a half-open station-id interval.")
      .method<constraints_read<&Constraints::amax_values>>(
          "amax_values($self, idx_s_from=None, idx_s_to=None)",
          "Export first-order upper bounds over a half-open station-id interval.")
      .method<constraints_amax_substitute>("amax_substitute($self, amax, idx_s)",
                                           "Overwrite first-order bounds over a station interval.\n\n"
                                           "``amax`` holds one real value per station from ``idx_s`` on, "
                                           "stored as given (+inf for no bound, no sign check); NaN and -inf "
                                           "raise ValueError naming the entry, and nothing is written.")
      .method<constraints_clear>("clear($self, *, keep_idx_s=False)", "Clear all stored constraints and station data.")
      .method<constraints_pop_front<PopMode::Count>>("pop_front_n($self, n_cols)",
                                                     "Remove ``n_cols`` station samples from the front.")
      .method<constraints_pop_back<PopMode::Count>>("pop_back_n($self, n_cols)",
                                                    "Remove ``n_cols`` station samples from the back.")
      .method<constraints_pop_front<PopMode::Until>>(
          "pop_front_until($self, idx_s_cut)", "Remove front samples until the kept window starts at ``idx_s_cut``.")
      .method<constraints_pop_back<PopMode::Until>>(
          "pop_back_until($self, idx_s_cut)", "Remove back samples until the kept window ends before ``idx_s_cut``.")
      .method<constraints_add_1st>("add_constraint_1st($self, amax, idx_s, *, layout='sample_major')",
                                   "Add or tighten first-order raw constraints.\n\n"
                                   "``amax`` is a matrix of bounds on ``a``, one row per station with the "
                                   "sample-major ``layout`` (one column per station with the dim-major one); "
                                   "each station's bound becomes the least of its values and the stored one. "
                                   "Values are positive, +inf for no bound; NaN and -inf raise ValueError naming the entry.")
      .method<constraints_add_2nd>(
          "add_constraint_2nd($self, acc_a, acc_b, acc_max, idx_s, *, is_negative=False, layout='sample_major')",
          "Add second-order raw constraints.\n\n"
          "Each row ``acc_a * a + acc_b * b <= acc_max`` (``>=`` with ``is_negative``) joins the rows of "
          "its station. The three matrices have one row per station with the sample-major ``layout`` (one "
          "column per station with the dim-major one) and one entry per row. The coefficients ``acc_a`` "
          "and ``acc_b`` must be finite; a bound ``acc_max`` of +inf (-inf with ``is_negative``) leaves its "
          "row inactive, and NaN and the other infinity, which no value holds, are refused. A refused value "
          "raises ValueError naming the entry, and nothing is stored.")
      .method<constraints_add_3rd>(
          "add_constraint_3rd($self, jerk_a, jerk_b, jerk_c, jerk_d, jerk_max, idx_s, *, is_negative=False, "
          "layout='sample_major')",
          "Add third-order raw constraints.\n\n"
          "Each row ``jerk_a * a + jerk_b * b + jerk_c * c + jerk_d <= jerk_max / sqrt(a)`` (``>=`` with "
          "``is_negative``), where ``c = db/ds``, joins the rows of its station. The five matrices have "
          "one row per station with the sample-major ``layout`` (one column per station with the "
          "dim-major one) and one entry per row. The coefficients ``jerk_a`` to ``jerk_d`` must be "
          "finite; a bound ``jerk_max`` of +inf (-inf with ``is_negative``) leaves its row inactive, and NaN "
          "and the other infinity, which no value holds, are refused. A refused value raises ValueError "
          "naming the entry, and nothing is stored.")
      .method<constraints_exceed_topp2>(
          "exceed_topp2($self, a, *, idx_s_start=0)",
          "Evaluate maximum TOPP2 constraint violations of an ``a`` profile.\n\n"
          "Returns ``(exceed_1st, exceed_2nd)``, each at most 0 when the profile is feasible. No value is ever "
          "below 0, so a feasible profile gives 0: ``exceed_1st`` starts at -0.0 and keeps it unless an ``a`` "
          "meets its first-order bound exactly (then 0.0), ``exceed_2nd`` starts at 0.0; a positive value is "
          "the largest excess, in the units of the rows. Both values are NaN when the station range is "
          "unavailable, fewer than two stations are given, the station grid is not strictly increasing, or "
          "``a`` holds non-finite values.")
      .method<constraints_exceed_topp3>(
          "exceed_topp3($self, a, b=None, *, num_stationary=None, idx_s_start=0)",
          "Evaluate maximum TOPP3 constraint violations of an ``(a, b)`` profile.\n\n"
          "``a`` is a ``Profile3rd`` (then ``b`` and ``num_stationary`` must be omitted), or the node "
          "profile ``a`` with ``b`` and the stationary interval counts ``num_stationary`` (default "
          "``(0, 0)``). Returns ``(exceed_1st, exceed_2nd, exceed_3rd)``, each at most 0 when the profile "
          "is feasible (0.0 then, as no value is ever below 0; a positive value is the largest excess, in the "
          "units of the rows); the jerk term uses the nonlinear ``sqrt(a)`` form and skips the stationary "
          "boundary intervals. All values are NaN when fewer than two stations are given, the station "
          "range is unavailable, the grid is not strictly increasing, ``a`` and ``b`` differ in length, "
          "or a value is non-finite.")
      .repr<constraints_repr>();
  define_store_attributes(c, "Return the robot/path dimension.");
}

}  // namespace qarn::py

// The ClarabelSettings class, generated field by field from the settings list.
#include "ffi/python/solver/clarabel_settings.hpp"

#include <cmath>
#include <cstdint>
#include <utility>

#include "diag/format.hpp"
#include "qarn/conic/options.hpp"

namespace qarn::py {
namespace {

struct SettingDoc {
  std::string_view name;
  const char* doc;
};

// The attribute docstrings, in the order of the settings list (checked below).
constexpr std::array<SettingDoc, 39> kSettingDocs{{
    {"max_iter", "Maximum number of interior-point iterations."},
    {"time_limit", "Maximum solve time in seconds."},
    {"verbose", "Enable Clarabel's internal solver log."},
    {"max_step_fraction", "Maximum interior-point step length."},
    {"tol_gap_abs", "Absolute duality-gap tolerance."},
    {"tol_gap_rel", "Relative duality-gap tolerance."},
    {"tol_feas", "Primal/dual feasibility tolerance."},
    {"tol_infeas_abs", "Absolute infeasibility tolerance."},
    {"tol_infeas_rel", "Relative infeasibility tolerance."},
    {"tol_ktratio", "Kappa/tau tolerance."},
    {"reduced_tol_gap_abs", "Reduced absolute duality-gap tolerance for almost-solved status."},
    {"reduced_tol_gap_rel", "Reduced relative duality-gap tolerance for almost-solved status."},
    {"reduced_tol_feas", "Reduced feasibility tolerance for almost-solved status."},
    {"reduced_tol_infeas_abs", "Reduced absolute infeasibility tolerance for almost-solved status."},
    {"reduced_tol_infeas_rel", "Reduced relative infeasibility tolerance for almost-solved status."},
    {"reduced_tol_ktratio", "Reduced kappa/tau tolerance for almost-solved status."},
    {"equilibrate_enable", "Enable data equilibration before solving."},
    {"equilibrate_max_iter", "Maximum number of equilibration iterations."},
    {"equilibrate_min_scaling", "Minimum equilibration scaling."},
    {"equilibrate_max_scaling", "Maximum equilibration scaling."},
    {"linesearch_backtrack_step", "Backtracking factor used by the line search."},
    {"min_switch_step_length", "Minimum step length for asymmetric-cone switching."},
    {"min_terminate_step_length", "Minimum step length for termination checks."},
    {"max_threads", "Maximum solver threads. `0` lets Clarabel choose."},
    {"direct_kkt_solver", "Whether to use a direct KKT solver. Clarabel currently requires `true`."},
    {"direct_solve_method",
     "Return the direct linear-solver method.\n\nSet the direct linear-solver method from an enum value or string."},
    {"static_regularization_enable", "Enable static KKT regularization."},
    {"static_regularization_constant", "Static KKT regularization constant."},
    {"static_regularization_proportional", "Static KKT regularization proportional term."},
    {"dynamic_regularization_enable", "Enable dynamic KKT regularization."},
    {"dynamic_regularization_eps", "Dynamic regularization threshold."},
    {"dynamic_regularization_delta", "Dynamic regularization shift."},
    {"iterative_refinement_enable", "Enable iterative refinement for direct solves."},
    {"iterative_refinement_reltol", "Iterative-refinement relative tolerance."},
    {"iterative_refinement_abstol", "Iterative-refinement absolute tolerance."},
    {"iterative_refinement_max_iter", "Iterative-refinement maximum iterations."},
    {"iterative_refinement_stop_ratio", "Iterative-refinement stalling ratio."},
    {"presolve_enable", "Enable Clarabel presolve."},
    {"input_sparse_dropzeros", "Drop structural zeros from sparse inputs before solving."},
}};

constexpr bool docs_follow_the_settings_list() {
  constexpr std::array<std::string_view, 39> names{{
#define QARN_PY_SETTINGS_NAME(type, name) #name,
      QARN_CLARABEL_SETTINGS_FIELDS(QARN_PY_SETTINGS_NAME)
#undef QARN_PY_SETTINGS_NAME
  }};
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] != kSettingDocs[i].name) return false;
  }
  return true;
}
static_assert(docs_follow_the_settings_list(), "one docstring per setting, in the order of the settings list");

template <auto Member>
using FieldType = std::remove_cvref_t<decltype(std::declval<PyClarabelSettings&>().*Member)>;

// Calls f(doc, std::integral_constant<member pointer>) for every setting in order.
template <class F>
void for_each_setting(F&& f) {
  std::size_t i = 0;
#define QARN_PY_SETTINGS_VISIT(type, name) \
  f(kSettingDocs[i++], std::integral_constant<decltype(&PyClarabelSettings::name), &PyClarabelSettings::name>{});
  QARN_CLARABEL_SETTINGS_FIELDS(QARN_PY_SETTINGS_VISIT)
#undef QARN_PY_SETTINGS_VISIT
}

// The Python-facing value of a stored field, and back.
template <class T>
struct PythonValue {
  using type = T;
  static T wrap(T v) { return v; }
  static T unwrap(T v) { return v; }
};
template <>
struct PythonValue<DirectSolveMethod> {
  using type = PyClarabelDirectSolveMethod;
  static PyClarabelDirectSolveMethod wrap(DirectSolveMethod v) { return {v}; }
  static DirectSolveMethod unwrap(PyClarabelDirectSolveMethod v) { return v.value; }
};

template <auto Member>
typename PythonValue<FieldType<Member>>::type get_setting(Shared<PyClarabelSettings> self) {
  return PythonValue<FieldType<Member>>::wrap((*self).*Member);
}

// The value is converted before the object is borrowed (by the entry frame), naming the attribute.
template <auto Member>
void set_setting(Exclusive<PyClarabelSettings> self, typename PythonValue<FieldType<Member>>::type value) {
  (*self).*Member = PythonValue<FieldType<Member>>::unwrap(std::move(value));
}

// None is a given value for every field but the method, where it means AUTO; the parser of each
// type decides, so the fields are simply converted in order.
PyClarabelSettings settings_new(BoundArgs args) {
  PyClarabelSettings settings;
  for_each_setting([&](const SettingDoc& doc, auto member) {
    constexpr auto M = decltype(member)::value;
    using Value = PythonValue<FieldType<M>>;
    settings.*M = Value::unwrap(args.get<typename Value::type>(doc.name));
  });
  return settings;
}

// ---- text forms ----

// A default as a Python literal: the debug digits read back exactly; infinity has no literal.
void append_literal(std::string& out, double v) {
  if (std::isinf(v)) {
    out += v > 0 ? "1e999" : "-1e999";
  } else {
    fmt::append_debug(out, v);
  }
}
void append_literal(std::string& out, std::uint32_t v) { out += std::to_string(v); }
void append_literal(std::string& out, bool v) { out += v ? "True" : "False"; }
void append_literal(std::string& out, DirectSolveMethod v) {
  out += '\'';
  out += solver_method_name(v);
  out += '\'';
}

void append_debug_value(std::string& out, double v) { fmt::append_debug(out, v); }
void append_debug_value(std::string& out, std::uint32_t v) { out += std::to_string(v); }
void append_debug_value(std::string& out, bool v) { out += v ? "true" : "false"; }
void append_debug_value(std::string& out, DirectSolveMethod v) { out += PyClarabelDirectSolveMethod{v}.display(); }

// "ClarabelSettings(*, max_iter=200, time_limit=1e999, ...)" from the actual defaults.
std::string constructor_signature() {
  const PyClarabelSettings defaults = default_clarabel_settings();
  std::string text = "ClarabelSettings(*";
  for_each_setting([&](const SettingDoc& doc, auto member) {
    text += ", ";
    text += doc.name;
    text += '=';
    append_literal(text, defaults.*decltype(member)::value);
  });
  return text + ")";
}

std::string settings_repr(Shared<PyClarabelSettings> self) {
  return fmt::format("ClarabelSettings(max_iter={}, time_limit={}, tol_gap_rel={}, tol_feas={}, "
                     "direct_solve_method={})",
                     self->max_iter, self->time_limit, self->tol_gap_rel, self->tol_feas,
                     PyClarabelDirectSolveMethod{self->direct_solve_method}.display());
}

template <class T>
T to_solver(T v) {
  return v;
}
std::string to_solver(DirectSolveMethod v) { return solver_method_name(v); }

template <class T>
T from_solver(T v) {
  return v;
}
DirectSolveMethod from_solver(const std::string& name) { return method_from_solver_name(name); }

}  // namespace

DirectSolveMethod method_from_solver_name(std::string_view name) {
  for (const EnumSpelling& spelling : DirectSolveMethodEnum::spellings) {
    if (name == spelling.text) return static_cast<DirectSolveMethod>(spelling.value);
  }
  return DirectSolveMethod::Auto;
}

PyClarabelSettings default_clarabel_settings() {
  const clarabel::Settings solver = ClarabelOptions::default_settings();
  PyClarabelSettings settings;
#define QARN_PY_SETTINGS_FROM_SOLVER(type, name) settings.name = from_solver(solver.name);
  QARN_CLARABEL_SETTINGS_FIELDS(QARN_PY_SETTINGS_FROM_SOLVER)
#undef QARN_PY_SETTINGS_FROM_SOLVER
  return settings;
}

clarabel::Settings to_solver_settings(const PyClarabelSettings& settings, Verbosity verbosity) {
  clarabel::Settings solver;
#define QARN_PY_SETTINGS_TO_SOLVER(type, name) solver.name = to_solver(settings.name);
  QARN_CLARABEL_SETTINGS_FIELDS(QARN_PY_SETTINGS_TO_SOLVER)
#undef QARN_PY_SETTINGS_TO_SOLVER
  solver.verbose = settings.verbose && verbosity >= Verbosity::Debug;
  return solver;
}

std::string settings_debug_form(const PyClarabelSettings& settings) {
  std::string out = "PyClarabelSettings { ";
  bool first = true;
  for_each_setting([&](const SettingDoc& doc, auto member) {
    if (!first) out += ", ";
    first = false;
    out += doc.name;
    out += ": ";
    append_debug_value(out, settings.*decltype(member)::value);
  });
  return out + " }";
}

void define(ClassDef<PyClarabelSettings>& c) {
  static const std::string signature = constructor_signature();
  c.name("ClarabelSettings",
         "Python-owned raw Clarabel numerical settings.\n\n"
         "Every attribute mirrors the Clarabel setting of the same name. The defaults are Clarabel's, "
         "except ``equilibrate_max_iter`` (20) and ``verbose`` (False). Values are stored as given, "
         "without validation; ``ClarabelOptions`` keeps its own copy.")
      .init<settings_new>(signature.c_str())
      .repr<settings_repr>();
  for_each_setting([&](const SettingDoc& doc, auto member) {
    constexpr auto M = decltype(member)::value;
    c.template property<&get_setting<M>, &set_setting<M>>(doc.name.data(), doc.doc);
  });
}

}  // namespace qarn::py

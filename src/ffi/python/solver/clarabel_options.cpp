// The ClarabelOptions class and the extraction of a solver call's options.
#include "ffi/python/solver/clarabel_options.hpp"

#include <array>
#include <string>

#include "ffi/python/module.hpp"
#include "ffi/python/solver/conic_results.hpp"

namespace qarn::py {
namespace {

struct FlagDoc {
  const char* name;
  bool PyClarabelOptions::*member;
  const char* doc;  // getter, then setter
};

constexpr std::array<FlagDoc, 5> kFlags{{
    {"allow_almost_solved", &PyClarabelOptions::allow_almost_solved,
     "Return whether `AlmostSolved` is accepted as usable.\n\nSet whether `AlmostSolved` is accepted as usable."},
    {"allow_max_iterations", &PyClarabelOptions::allow_max_iterations,
     "Return whether `MaxIterations` is accepted as usable.\n\nSet whether `MaxIterations` is accepted as usable."},
    {"allow_max_time", &PyClarabelOptions::allow_max_time,
     "Return whether `MaxTime` is accepted as usable.\n\nSet whether `MaxTime` is accepted as usable."},
    {"allow_callback_terminated", &PyClarabelOptions::allow_callback_terminated,
     "Return whether `CallbackTerminated` is accepted as usable.\n\n"
     "Set whether `CallbackTerminated` is accepted as usable."},
    {"allow_insufficient_progress", &PyClarabelOptions::allow_insufficient_progress,
     "Return whether `InsufficientProgress` is accepted as usable.\n\n"
     "Set whether `InsufficientProgress` is accepted as usable."},
}};

PyClarabelOptions options_new(PyVerbosity verbosity, bool allow_almost_solved, bool allow_max_iterations,
                              bool allow_max_time, bool allow_callback_terminated, bool allow_insufficient_progress,
                              std::optional<Shared<PyClarabelSettings>> clarabel_settings) {
  return {verbosity.value,
          allow_almost_solved,
          allow_max_iterations,
          allow_max_time,
          allow_callback_terminated,
          allow_insufficient_progress,
          clarabel_settings ? **clarabel_settings : default_clarabel_settings()};
}

template <std::size_t I>
bool get_flag(Shared<PyClarabelOptions> self) {
  return (*self).*kFlags[I].member;
}
// A refused value is reported under the setter's own parameter name, `value`.
template <std::size_t I>
void set_flag(Exclusive<PyClarabelOptions> self, PyObject* value) {
  (*self).*kFlags[I].member = extract<bool>(value, "value");
}

// A copy: changing the returned object leaves the options as they are.
PyClarabelSettings get_settings(Shared<PyClarabelOptions> self) { return self->settings; }
void set_settings(Exclusive<PyClarabelOptions> self, PyObject* value) {
  self->settings = *extract<Shared<PyClarabelSettings>>(value, "value");
}

std::string options_repr(Shared<PyClarabelOptions> self) {
  return fmt::format(
      "ClarabelOptions(verbosity={}, allow_almost_solved={}, allow_max_iterations={}, allow_max_time={}, "
      "allow_callback_terminated={}, allow_insufficient_progress={}, clarabel_settings={})",
      PyVerbosity{self->verbosity}.display(), self->allow_almost_solved, self->allow_max_iterations,
      self->allow_max_time, self->allow_callback_terminated, self->allow_insufficient_progress,
      settings_debug_form(self->settings));
}

template <std::size_t... I>
void define_flags(ClassDef<PyClarabelOptions>& c, std::index_sequence<I...>) {
  (c.property<&get_flag<I>, &set_flag<I>>(kFlags[I].name, kFlags[I].doc), ...);
}

}  // namespace

ClarabelOptions extract_clarabel_options(std::optional<Shared<PyClarabelOptions>> options) {
  if (!options) return ClarabelOptionsBuilder().build();
  const PyClarabelOptions& o = **options;
  return ClarabelOptionsBuilder()
      .settings(to_solver_settings(o.settings, o.verbosity))
      .allow_almost_solved(o.allow_almost_solved)
      .allow_max_iterations(o.allow_max_iterations)
      .allow_max_time(o.allow_max_time)
      .allow_callback_terminated(o.allow_callback_terminated)
      .allow_insufficient_progress(o.allow_insufficient_progress)
      .verbosity(o.verbosity)
      .build();
}

void define(ClassDef<PyClarabelOptions>& c) {
  c.name("ClarabelOptions",
         "Python-owned shared options for Clarabel-backed SOCP solvers.\n\n"
         "``verbosity`` sets the solver's diagnostic output (Clarabel's own log, the settings' "
         "``verbose``, is printed only at DEBUG and TRACE). The ``allow_*`` flags name the non-optimal "
         "Clarabel statuses whose solution is still used; ``Solved`` always is. ``clarabel_settings`` is "
         "a private copy: read it, change it and assign it back.\n\n"
         "The solvers hand Clarabel their program scaled to the problem's own units (variables, rows "
         "and cost near one), so the tolerances of the settings, such as ``tol_feas``, act relative to "
         "the problem's scale. An accepted profile must also hold every stored limit to 1e-6 relative "
         "to the size of the limit's terms (or to ``tol_feas`` when that is looser); otherwise the "
         "solve fails with the Clarabel error naming the limit.")
      .init<options_new>(
          "ClarabelOptions(*, verbosity='silent', allow_almost_solved=True, allow_max_iterations=False, "
          "allow_max_time=False, allow_callback_terminated=False, allow_insufficient_progress=False, "
          "clarabel_settings=None)")
      .repr<options_repr>();
  define_verbosity_property<&PyClarabelOptions::verbosity>(c);
  define_flags(c, std::make_index_sequence<kFlags.size()>{});
  c.property<get_settings, set_settings>("clarabel_settings",
                                        "Return a copy of the raw Clarabel numerical settings.\n\n"
                                        "Replace the raw Clarabel numerical settings.");
}

// The conic solver classes that follow the solver enums; the third-order expert result joins them.
void register_clarabel_classes(Module& module) {
  module.add_class<PyClarabelLinearSolverInfo>();
  module.add_class<PyClarabelSettings>();
  module.add_class<PyClarabelOptions>();
  module.add_class<PyQarn3ClarabelResult>();
}

}  // namespace qarn::py

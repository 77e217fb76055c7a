// `ClarabelSettings`: the Python-owned copy of the conic solver's 39 numerical settings. One field
// list (the bridge's X-macro) drives the record, the constructor signature, the attributes, the
// repr, the debug form and both conversions, so none of them can miss or reorder a field.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

#include "ffi/python/class_def.hpp"
#include "ffi/python/solver/enums.hpp"
#include "qarn/clarabel_bridge.hpp"

namespace qarn::py {

// The Python-side type of a setting: the solver's method string is held as the enum value.
template <class T>
struct SettingStorage {
  using type = T;
};
template <>
struct SettingStorage<std::string> {
  using type = DirectSolveMethod;
};

struct PyClarabelSettings {
#define QARN_PY_SETTINGS_DECLARE(T, name) typename SettingStorage<T>::type name{};
  QARN_CLARABEL_SETTINGS_FIELDS(QARN_PY_SETTINGS_DECLARE)
#undef QARN_PY_SETTINGS_DECLARE
};

void define(ClassDef<PyClarabelSettings>& c);

// Clarabel's defaults as this system uses them (20 equilibration passes, no solver log).
PyClarabelSettings default_clarabel_settings();

// The record the solver receives. Clarabel's own log (`verbose`) is let through only at the
// detailed diagnostic levels, so it never prints alone.
clarabel::Settings to_solver_settings(const PyClarabelSettings& settings, Verbosity verbosity);

// "PyClarabelSettings { max_iter: 200, time_limit: inf, ... }", used inside other reprs.
std::string settings_debug_form(const PyClarabelSettings& settings);

// The method for a solver's method name: exact lower-case names; anything else is AUTO.
DirectSolveMethod method_from_solver_name(std::string_view name);

}  // namespace qarn::py

// `Module`: the module object under construction, with the one add step that every addition goes
// through (append the name to `__all__`, then set the attribute), and the registration groups that
// fill it at import, in import order.
#pragma once

#include <string_view>

#include "ffi/python/class_def.hpp"

namespace qarn::py {

class Module {
 public:
  explicit Module(PyObject* module) : module_(module) {}

  // The add step: `name` is appended to `__all__`, then the attribute is set.
  void add(std::string_view name, Ref value);

  template <class T>
  void add_class() {
    add_type(type_of<T>(), true);
  }
  // A function named by its signature, e.g. "a_to_b_topp2(s, a)".
  template <auto Impl>
  void add_function(const char* signature, const char* doc) {
    add_function_def(function_def<Impl>(signature, doc), true);
  }

  // Private names: set as attributes but not listed in `__all__` (the test-only extension's hooks).
  template <class T>
  void add_private_class() {
    add_type(type_of<T>(), false);
  }
  template <auto Impl>
  void add_private_function(const char* signature, const char* doc) {
    add_function_def(function_def<Impl>(signature, doc), false);
  }

 private:
  template <auto Impl>
  static PyMethodDef* function_def(const char* signature, const char* doc) {
    static PyMethodDef* def = nullptr;  // built once under the interpreter lock, kept for reimports
    if (def == nullptr) def = new PyMethodDef(method_def(function_entry<ModuleFunctions, Impl>(signature, doc, false), ""));
    return def;
  }
  void add_type(PyTypeObject* type, bool listed);
  void add_function_def(PyMethodDef* def, bool listed);
  void set(std::string_view name, Ref value, bool listed);

  PyObject* module_;
};

// ---- registration groups, called by the module body in this order ----

void register_exceptions(Module& module);  // QarnError, ConstraintError, PathError
// Profile3rd, a_to_b_topp2, s_to_t_topp2, t_to_s_topp2_uniform, t_to_s_topp2_samples, t_to_s_topp2,
// s_to_t_topp3, t_to_s_topp3_uniform, t_to_s_topp3_samples, t_to_s_topp3
void register_interpolation_functions(Module& module);
void add_path_enums(Module& module);       // OutOfRangeMode, Parametrization, MatrixLayout
// The enums above, then SplineConfig, PathDerivatives, Path.
void add_path_classes(Module& module);
void register_objective_classes(Module& module);  // Time, Linear, ThermalEnergy, TotalVariationTorque
void add_robot_classes(Module& module);           // Robot, Constraints
void register_verbosity(Module& module);   // Verbosity
void add_clarabel_enums(Module& module);   // ClarabelDirectSolveMethod, ClarabelSolverStatus
// ClarabelLinearSolverInfo, ClarabelSettings, ClarabelOptions, Qarn3ClarabelResult
void register_clarabel_classes(Module& module);
// ReachSet2Options, ReachSet2, Topp2Problem, reach_set2_backward, reach_set2_bidirectional, topp2_ra
void register_topp2_items(Module& module);
// Topp3Problem, topp3_lp, topp3_lp_expert, topp3_socp, topp3_socp_expert
void register_topp3_items(Module& module);
// Qarn2Problem, Qarn2SocpResult, qarn2_socp, qarn2_socp_expert
void register_qarn2_items(Module& module);
// Qarn3Problem, qarn3_socp, qarn3_socp_expert
void register_qarn3_items(Module& module);

// Creates the process-wide objects the module uses but does not name: PanicException, the owner
// type of output buffers and the owner type of shared robot states.
void create_unlisted_types();

// Every name of the module, in import order; each group stops the import at its first error.
void module_body(Module& module);

// The execution slot of a module built from these objects: refuses anything but a module, then
// runs `body` inside the entry frame; 0 on success, -1 with the exception set.
int execute_module(PyObject* module, void (*body)(Module&)) noexcept;

}  // namespace qarn::py

// The CPython extension module qarn_py._native: multi-phase initialisation, the module body that
// registers every name in import order, and the add step shared by all registrations.
#include "ffi/python/module.hpp"

#include "ffi/python/array.hpp"
#include "ffi/python/robot_state.hpp"

namespace qarn::py {
namespace {

constexpr const char* kVersion = "0.2.3";

constexpr const char* kModuleDoc =
    "Python bindings for qarn-py.\n"
    "\n"
    "The public package is meant to be imported as ``import qarn_py as qarn``.\n"
    "\n"
    "This extension module holds the low-level bindings for path construction, robot and constraint "
    "modelling, interpolation utilities, objective terms, Clarabel-backed optimisation helpers and the "
    "TOPP/QARN solver families. Users should work with the namespaces ``qarn.path``, ``qarn.robot``, "
    "``qarn.constraints``, ``qarn.objective``, ``qarn.interpolation``, ``qarn.clarabel`` and "
    "``qarn.solver.*`` instead of importing this module directly.\n"
    "\n"
    "Numerical inputs accept NumPy-compatible ArrayLike values and are copied into contiguous float64 "
    "buffers at the wrapper boundary. Every float input, array or scalar, must be real: a complex "
    "value (of any complex type or dtype) raises ValueError naming the argument and the entry. Format "
    "errors (wrong dimensionality, mutually exclusive keyword "
    "arguments, unknown enum strings) are reported as ValueError; errors returned by the core library "
    "are raised as ``qarn.QarnError`` or its typed subclasses ``qarn.PathError`` and "
    "``qarn.ConstraintError``.";

std::string_view version() { return kVersion; }

int exec_module(PyObject* module) { return execute_module(module, module_body); }

// The module needs no interpreter lock. CPython has the slot that says so from 3.13 on, and a
// build against such headers must carry it (`make test` builds against 3.13 for this).
#if PY_VERSION_HEX >= 0x030D0000 && !defined(Py_mod_gil)
#error "CPython 3.13+ headers without Py_mod_gil: the module could not declare that it needs no GIL"
#endif
PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "Native core of qarn_py. Every Python-facing class and function is registered when the module "
    "is executed at import, and this placeholder is then replaced by the full module docstring.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

void module_body(Module& m) {
  m.add("__doc__", to_py(std::string_view(kModuleDoc)));
  m.add("__version__", to_py(std::string_view(kVersion)));
  register_exceptions(m);
  m.add_function<version>("version()", "Return the package version compiled into the native extension.");
  register_interpolation_functions(m);
  add_path_classes(m);
  register_objective_classes(m);
  add_robot_classes(m);
  register_verbosity(m);
  add_clarabel_enums(m);
  register_clarabel_classes(m);
  register_topp2_items(m);
  register_topp3_items(m);
  register_qarn2_items(m);
  register_qarn3_items(m);
  // Objects the module uses without naming them are created here too, so that no later first use
  // creates one: on a free-threaded interpreter two first uses could race.
  create_unlisted_types();
}

void create_unlisted_types() {
  panic_exception_type();
  owned_buffer_type();
  robot_state_type();
}

int execute_module(PyObject* module, void (*body)(Module&)) noexcept {
  return frame<int>(-1, [&] {
    if (!PyModule_Check(module)) {
      throw Error::type(fmt::format("'{}' object cannot be converted to 'PyModule'", type_name(module)));
    }
    Module m(module);
    body(m);
    return 0;
  });
}

void Module::add(std::string_view name, Ref value) { set(name, std::move(value), true); }

void Module::add_type(PyTypeObject* type, bool listed) {
  Ref name = new_ref(PyType_GetName(type));
  const char* text = PyUnicode_AsUTF8(name.get());
  if (text == nullptr) throw Error::fetch();
  set(text, Ref::borrow(reinterpret_cast<PyObject*>(type)), listed);
}

void Module::add_function_def(PyMethodDef* def, bool listed) {
  Ref module_name = new_ref(PyModule_GetNameObject(module_));
  Ref function = new_ref(PyCMethod_New(def, module_, module_name.get(), nullptr));
  set(def->ml_name, std::move(function), listed);
}

void Module::set(std::string_view name, Ref value, bool listed) {
  Ref key = to_py(name);
  if (listed) {
    PyObject* all = PyObject_GetAttrString(module_, "__all__");
    if (all == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw Error::fetch();
      PyErr_Clear();
      all = PyList_New(0);
      if (all == nullptr || PyObject_SetAttrString(module_, "__all__", all) < 0) {
        Py_XDECREF(all);
        throw Error::fetch();
      }
    }
    Ref names = Ref::steal(all);
    if (!PyList_Check(all)) {
      throw Error::type(fmt::format("'{}' object cannot be converted to 'PyList'", type_name(all)));
    }
    if (PyList_Append(all, key.get()) < 0) {
      PyErr_Clear();
      throw Fault("could not append __name__ to __all__");
    }
  }
  if (PyObject_SetAttr(module_, key.get(), value.get()) < 0) throw Error::fetch();
}

}  // namespace qarn::py

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&qarn::py::module_def); }

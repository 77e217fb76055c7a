// qarn_py._native_test_hooks: the module body of qarn_py._native, built from the same binding
// objects, followed by the private test hooks. It is staged beside the package in the build tree
// for the Python tests and never installed, so the shipped module carries no hooks.
#include "hooks/test_hooks.hpp"

namespace qarn::py {
namespace {

void hooks_module_body(Module& m) {
  module_body(m);
  register_test_hooks(m);
}

int exec_hooks_module(PyObject* module) { return execute_module(module, hooks_module_body); }

PyModuleDef_Slot hooks_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_hooks_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef hooks_module_def = {
    PyModuleDef_HEAD_INIT,
    "_native_test_hooks",
    "The native module with private test hooks; built for the test suite only.",
    0,
    nullptr,
    hooks_module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace qarn::py

PyMODINIT_FUNC PyInit__native_test_hooks() { return PyModuleDef_Init(&qarn::py::hooks_module_def); }

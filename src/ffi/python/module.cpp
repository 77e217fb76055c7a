// The CPython extension module qarn_py._native: multi-phase initialisation and registration.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

constexpr const char* kVersion = "0.2.3";

PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString(kVersion); }

PyMethodDef module_functions[] = {
    {"version", version, METH_NOARGS, "version()\n--\n\nThe version of the native module."},
    {nullptr, nullptr, 0, nullptr},
};

int add(PyObject* module, PyObject* all, const char* name, PyObject* value) {
  if (value == nullptr) return -1;
  if (PyModule_AddObjectRef(module, name, value) < 0) {
    Py_DECREF(value);
    return -1;
  }
  Py_DECREF(value);
  PyObject* key = PyUnicode_FromString(name);
  if (key == nullptr) return -1;
  const int rc = PyList_Append(all, key);
  Py_DECREF(key);
  return rc;
}

int exec_module(PyObject* module) {
  PyObject* all = PyList_New(0);
  if (all == nullptr) return -1;
  int rc = add(module, all, "__doc__",
               PyUnicode_FromString("Time-optimal and convex-objective path parameterization."));
  if (rc == 0) rc = add(module, all, "__version__", PyUnicode_FromString(kVersion));
  if (rc == 0) rc = add(module, all, "version", PyObject_GetAttrString(module, "version"));
  if (rc == 0) rc = PyModule_AddObjectRef(module, "__all__", all);
  Py_DECREF(all);
  return rc;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_native", nullptr, 0, module_functions, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&module_def); }

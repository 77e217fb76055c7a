// The one include of the CPython headers for the binding layer, with the size convention it uses.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

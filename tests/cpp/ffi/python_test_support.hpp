// Small helpers for tests that build Python objects and inspect raised exceptions.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ffi/python/error.hpp"

namespace qarn::py::testing {

inline Ref number(double value) { return new_ref(PyFloat_FromDouble(value)); }
inline Ref integer(long long value) { return new_ref(PyLong_FromLongLong(value)); }
inline Ref text(const char* value) { return new_ref(PyUnicode_FromString(value)); }

// The type name and message of the pending Python exception, which is cleared.
inline std::pair<std::string, std::string> take_exception() {
  if (!PyErr_Occurred()) return {"", ""};
  const std::string type = reinterpret_cast<PyTypeObject*>(PyErr_Occurred())->tp_name;
  return {type, Error::fetch().message()};
}

// Runs `call` expecting an Error; returns it (or fails the test).
template <class F>
Error expect_error(F&& call) {
  try {
    call();
  } catch (Error& error) {
    return std::move(error);
  }
  ADD_FAILURE() << "expected an Error";
  return Error::value("");
}

}  // namespace qarn::py::testing

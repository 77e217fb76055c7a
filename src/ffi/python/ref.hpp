// `Ref`: one owned reference to a Python object, released when the owner goes. A release on a
// thread that does not hold the interpreter lock is deferred until a thread holds it, so that a
// handle dropped inside a released solve never touches a reference count unlocked.
#pragma once

#include <utility>

#include "ffi/python/gil.hpp"
#include "ffi/python/python.hpp"

namespace qarn::py {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (may be null).
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Adds a reference to a borrowed one (may be null). Needs the interpreter lock.
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  // Copying adds a reference and so needs the interpreter lock; moving never touches Python.
  Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() { reset(); }

  void reset() noexcept {
    PyObject* object = std::exchange(object_, nullptr);
    if (object == nullptr) return;
    if (gil::held()) {
      Py_DECREF(object);
    } else {
      gil::release_later(object);
    }
  }

  PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller (a C API return value).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace qarn::py

// Type objects and instances of the module's classes: `type_of<T>()` gives the one process-wide
// type whose payload is T (creating it on first demand from the class description, see
// class_def.hpp), `make_instance` wraps a payload value in a new object of that type.
#pragma once

#include <concepts>
#include <new>
#include <type_traits>
#include <utility>

#include "ffi/python/borrow.hpp"
#include "ffi/python/ref.hpp"

namespace qarn::py {

template <class T>
class ClassDef;

// A payload type is one whose class description `define(ClassDef<T>&)` is visible.
template <class T>
concept PyClass = requires(ClassDef<T>& def) { define(def); };

// A payload that holds Python objects (directly or through shared records) takes part in garbage
// collection: `traverse_refs(payload, visit, arg)`, declared beside the payload, visits each
// reference the payload owns exactly once, and an optional `clear_refs(payload)` drops the ones
// that may close a reference cycle. The payload must stay usable after clear_refs.
template <class T>
concept TracesReferences = requires(const T& payload, visitproc visit, void* arg) {
  { traverse_refs(payload, visit, arg) } -> std::same_as<int>;
};
template <class T>
concept ClearsReferences = TracesReferences<T> && requires(T& payload) { clear_refs(payload); };

// The type object of the class with payload T. Defined in class_def.hpp.
template <class T>
PyTypeObject* type_of();

template <class T>
bool is_instance(PyObject* object) {
  return PyObject_TypeCheck(object, type_of<T>()) != 0;
}

// A new object of `type` (T's type or a subtype of it) holding `value`.
template <class T>
Ref make_instance(PyTypeObject* type, T value) {
  static_assert(std::is_nothrow_move_constructible_v<T>, "payloads move into place without failing");
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) Error::throw_allocation_failure();
  // The collector must not meet the payload before it is built.
  const bool collected = PyType_IS_GC(type);
  if (collected) PyObject_GC_UnTrack(object);
  Instance<T>* instance = instance_of<T>(object);
  new (&instance->flag) BorrowFlag();
  new (&instance->value) T(std::move(value));
  if (collected) PyObject_GC_Track(object);
  return Ref::steal(object);
}

template <class T>
Ref make_instance(T value) {
  return make_instance<T>(type_of<T>(), std::move(value));
}

}  // namespace qarn::py

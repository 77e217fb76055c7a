// Python-visible errors of the binding layer: `Error` (a Python exception to raise, either kept as
// type + text until it is raised, or one already raised by Python), `Fault` (an internal failure,
// raised as PanicException by the entry frame), the module's own exception types, the conversion of
// core errors, and the error slot in which callback bridges park a Python exception.
#pragma once

#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "diag/result.hpp"
#include "ffi/python/ref.hpp"

namespace qarn::py {

// An internal fault: a broken invariant, never a user error. Raised as PanicException.
class Fault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Type objects of the exceptions the module raises, created on first demand. Creation needs the
// interpreter lock; the module creates them at import, so later demands only read them.
PyObject* qarn_error_type();
PyObject* constraint_error_type();
PyObject* path_error_type();
PyObject* panic_exception_type();  // a BaseException subclass, not part of the module's names

class Error {
 public:
  using TypeGetter = PyObject* (*)();

  // A not-yet-raised exception: its type and message text. Building one touches no Python object,
  // so it may happen while the interpreter lock is released.
  Error(TypeGetter type, std::string message) : lazy_type_(type), message_(std::move(message)) {}

  static Error value(std::string message);
  static Error type(std::string message);
  static Error runtime(std::string message);
  static Error overflow(std::string message);
  static Error attribute(std::string message);

  // Takes the current Python exception (the caller saw a failure return). Needs the lock.
  static Error fetch();
  // Throws the current Python exception after an allocation of the module's own objects failed:
  // its MemoryError as std::bad_alloc, which the entry frame names after the call, else as fetch().
  [[noreturn]] static void throw_allocation_failure();

  // Makes this the current Python exception. Needs the lock.
  void restore() &&;

  // Whether the exception is an instance of `type` (or a subclass). Needs the lock.
  bool is(PyObject* type) const;
  // The exception's message, str(exc) for a raised one. Needs the lock for a raised one.
  std::string message() const;

  // Visits the objects of a raised exception, for the garbage collector.
  int traverse(visitproc visit, void* arg) const;

 private:
  Error() = default;
  TypeGetter lazy_type_ = nullptr;
  std::string message_;
  Ref type_, value_, traceback_;  // a raised exception, normalised
};

// A new reference from the C API, or the pending exception thrown as `Error` when it is null.
Ref new_ref(PyObject* object);

// The Python error for a core error: ConstraintError, PathError, or QarnError for every other kind,
// with the error's display text; MemoryError for memory that could not be had. Touches no Python
// object.
Error error_to_pyerr(const CoreError& error);

// A mutex-guarded optional Python exception. Callback bridges store the exception that a Python
// callback raised (the last one stored wins); the operation that started the callback takes it
// out and raises it in preference to the core error the bridge reported.
class PyErrSlot {
 public:
  void store(Error error);
  std::optional<Error> take();
  void clear();

  // Visits a stored exception, for the garbage collector of the slot's owner. The slot's mutex is
  // taken: a bridge may store into it without the interpreter lock.
  int traverse(visitproc visit, void* arg) const;

 private:
  mutable std::mutex mutex_;
  std::optional<Error> stored_;
};

// The error to raise for a failed core operation: the exception parked in `slot` when there is
// one, else the converted core error.
Error resolve_error(const CoreError& error, PyErrSlot* slot = nullptr);

// Unwraps a core result, throwing `resolve_error` of its error.
template <class T>
T check(Result<T>&& result, PyErrSlot* slot = nullptr) {
  if (!result) throw resolve_error(result.error(), slot);
  return std::move(result).value();
}
inline void check(Status&& status, PyErrSlot* slot = nullptr) {
  if (!status) throw resolve_error(status.error(), slot);
}

}  // namespace qarn::py

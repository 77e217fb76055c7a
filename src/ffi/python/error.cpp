// Exception types of the module, raising of error values, and the error slot.
#include "ffi/python/error.hpp"

#include <new>

#include "ffi/python/module.hpp"

namespace qarn::py {
namespace {

// One process-wide exception type; created under the interpreter lock, never released.
PyObject* exception_type(PyObject*& cell, const char* name, const char* doc, PyObject* base) {
  if (cell == nullptr) {
    PyObject* created = PyErr_NewExceptionWithDoc(name, doc, base, nullptr);
    if (created == nullptr) {
      PyErr_Clear();
      throw Fault("Failed to initialize new exception type.");
    }
    cell = created;
  }
  return cell;
}

PyObject* qarn_error_cell = nullptr;
PyObject* constraint_error_cell = nullptr;
PyObject* path_error_cell = nullptr;
PyObject* panic_exception_cell = nullptr;

}  // namespace

PyObject* qarn_error_type() {
  return exception_type(qarn_error_cell, "qarn_py.QarnError",
                        "Base exception for errors reported by the QARN core library.\n\n"
                        "Python wrapper argument errors, such as invalid dtype or mutually exclusive "
                        "keyword arguments, use standard Python exceptions like ValueError. This exception "
                        "is reserved for errors returned by the underlying QARN library.",
                        PyExc_Exception);
}

PyObject* constraint_error_type() {
  return exception_type(constraint_error_cell, "qarn_py.ConstraintError",
                        "Error reported by the core's constraint storage and query operations.\n\n"
                        "This is a subclass of QarnError.",
                        qarn_error_type());
}

PyObject* path_error_type() {
  return exception_type(path_error_cell, "qarn_py.PathError",
                        "Error reported by the core's path construction and evaluation operations.\n\n"
                        "This is a subclass of QarnError.",
                        qarn_error_type());
}

PyObject* panic_exception_type() {
  return exception_type(panic_exception_cell, "qarn_py.PanicException",
                        "An internal fault of the native module.\n\n"
                        "It derives from BaseException, so that `except Exception` does not hide it.",
                        PyExc_BaseException);
}

Error Error::value(std::string message) { return {[] { return PyExc_ValueError; }, std::move(message)}; }
Error Error::type(std::string message) { return {[] { return PyExc_TypeError; }, std::move(message)}; }
Error Error::runtime(std::string message) {
  return {[] { return PyExc_RuntimeError; }, std::move(message)};
}
Error Error::overflow(std::string message) {
  return {[] { return PyExc_OverflowError; }, std::move(message)};
}
Error Error::attribute(std::string message) {
  return {[] { return PyExc_AttributeError; }, std::move(message)};
}

Error Error::fetch() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    return {[] { return PyExc_SystemError; }, "error return without exception set"};
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  Error error;
  error.type_ = Ref::steal(type);
  error.value_ = Ref::steal(value);
  error.traceback_ = Ref::steal(traceback);
  return error;
}

void Error::throw_allocation_failure() {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    throw std::bad_alloc();
  }
  throw fetch();
}

void Error::restore() && {
  if (type_) {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    return;
  }
  PyObject* text = PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size()));
  if (text == nullptr) return;  // the decoding error is the exception now
  PyErr_SetObject(lazy_type_(), text);
  Py_DECREF(text);
}

bool Error::is(PyObject* type) const {
  return PyErr_GivenExceptionMatches(type_ ? type_.get() : lazy_type_(), type) != 0;
}

std::string Error::message() const {
  if (!type_) return message_;
  PyObject* text = PyObject_Str(value_.get());
  const char* utf8 = text != nullptr ? PyUnicode_AsUTF8(text) : nullptr;
  std::string result = utf8 != nullptr ? std::string(utf8) : std::string("<unprintable exception>");
  if (utf8 == nullptr) PyErr_Clear();
  Py_XDECREF(text);
  return result;
}

int Error::traverse(visitproc visit, void* arg) const {
  Py_VISIT(type_.get());
  Py_VISIT(value_.get());
  Py_VISIT(traceback_.get());
  return 0;
}

Ref new_ref(PyObject* object) {
  if (object == nullptr) throw Error::fetch();
  return Ref::steal(object);
}

Error error_to_pyerr(const CoreError& error) {
  if (error.is_out_of_memory()) return {[] { return PyExc_MemoryError; }, error.display()};
  switch (error.kind()) {
    case CoreError::Kind::Constraint:
      return {constraint_error_type, error.display()};
    case CoreError::Kind::Path:
      return {path_error_type, error.display()};
    default:
      return {qarn_error_type, error.display()};
  }
}

void PyErrSlot::store(Error error) {
  std::optional<Error> previous;  // dropped after the slot is unlocked
  const std::lock_guard lock(mutex_);
  previous = std::exchange(stored_, std::move(error));
}

std::optional<Error> PyErrSlot::take() {
  const std::lock_guard lock(mutex_);
  return std::exchange(stored_, std::nullopt);
}

void PyErrSlot::clear() { (void)take(); }

int PyErrSlot::traverse(visitproc visit, void* arg) const {
  const std::lock_guard lock(mutex_);
  return stored_ ? stored_->traverse(visit, arg) : 0;
}

Error resolve_error(const CoreError& error, PyErrSlot* slot) {
  if (slot != nullptr) {
    if (std::optional<Error> parked = slot->take()) return std::move(*parked);
  }
  return error_to_pyerr(error);
}

void register_exceptions(Module& module) {
  module.add("QarnError", Ref::borrow(qarn_error_type()));
  module.add("ConstraintError", Ref::borrow(constraint_error_type()));
  module.add("PathError", Ref::borrow(path_error_type()));
}

}  // namespace qarn::py

// The entry frame's exception dispatch: error values, allocation failures and faults.
#include "ffi/python/frame.hpp"

#include <exception>
#include <new>
#include <string>

#include "diag/out_of_memory.hpp"

namespace qarn::py {
namespace {

void raise_panic(const char* text) { PyErr_SetString(panic_exception_type(), text); }

// A MemoryError that names what the frame ran; PyErr_NoMemory's empty one where it has no name or
// the text itself cannot be had.
void raise_memory_error(FrameName running) {
  const Signature* sig = running.signature != nullptr ? *running.signature : nullptr;
  if (sig == nullptr && running.attribute == nullptr) {
    PyErr_NoMemory();
    return;
  }
  try {
    const std::string text = sig != nullptr
                                 ? fmt::format("{}: not enough memory to complete the call", sig->full_name())
                                 : fmt::format("`{}`: not enough memory for the attribute", running.attribute);
    PyErr_SetString(PyExc_MemoryError, text.c_str());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
}

}  // namespace

void raise_current_exception(FrameName running) noexcept {
  try {
    try {
      throw;
    } catch (Error& error) {
      std::move(error).restore();
    } catch (const OutOfMemory& failure) {
      PyErr_SetString(PyExc_MemoryError, failure.what());
    } catch (const std::bad_alloc&) {
      raise_memory_error(running);
    } catch (const std::exception& fault) {
      raise_panic(fault.what());
    } catch (...) {
      raise_panic("native code failed with an unknown fault");
    }
  } catch (...) {
    Py_FatalError("uncaught panic at ffi boundary");
  }
}

PyObject* BoundArgs::raw(std::string_view name) const {
  for (std::size_t i = 0; i < sig_.size(); ++i) {
    if (sig_.param(i).name == name) return bound_[i];
  }
  throw Fault(fmt::format("`{}` has no parameter `{}`", sig_.text(), name));
}

}  // namespace qarn::py

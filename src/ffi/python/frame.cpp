// The entry frame's exception dispatch: error values, allocation failures and faults.
#include "ffi/python/frame.hpp"

#include <exception>
#include <new>

#include "diag/out_of_memory.hpp"

namespace qarn::py {
namespace {

void raise_panic(const char* text) { PyErr_SetString(panic_exception_type(), text); }

}  // namespace

void raise_current_exception() noexcept {
  try {
    try {
      throw;
    } catch (Error& error) {
      std::move(error).restore();
    } catch (const OutOfMemory& failure) {
      PyErr_SetString(PyExc_MemoryError, failure.what());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
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

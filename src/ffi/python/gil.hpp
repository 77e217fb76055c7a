// Who holds the interpreter lock on this thread, and the scopes that take, mark or give it up.
// The binding layer keeps its own per-thread count instead of asking CPython, so that a Python
// object dropped while the lock is released can be recognised and its release deferred.
#pragma once

#include <type_traits>
#include <utility>

#include "ffi/python/python.hpp"

namespace qarn::py::gil {

// True while this thread runs binding code holding the interpreter lock.
bool held() noexcept;

// Queues one reference release for the next moment a thread holds the lock (used when a Python
// object is dropped on a thread that does not hold it); `apply_deferred` performs the queue.
void release_later(PyObject* object) noexcept;
void apply_deferred() noexcept;

// Marks that this thread holds the interpreter lock for the scope (every entry from Python).
class Hold {
 public:
  Hold() noexcept;
  ~Hold();
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;
};

// Gives the interpreter lock up for the scope, with the hold count saved and zeroed; takes it back
// (and applies the deferred releases) on every exit, unwinding included.
class Released {
 public:
  Released() noexcept;
  ~Released();
  Released(const Released&) = delete;
  Released& operator=(const Released&) = delete;

 private:
  PyThreadState* state_;
  int saved_;
};

// Takes the interpreter lock for the scope when this thread does not hold it (callback bridges).
class Attach {
 public:
  Attach() noexcept;
  ~Attach();
  Attach(const Attach&) = delete;
  Attach& operator=(const Attach&) = delete;

 private:
  bool ensured_;
  PyGILState_STATE state_{};
};

// Runs `body` with the interpreter lock released. The body must not touch Python objects.
template <class F>
decltype(auto) without(F&& body) {
  Released released;
  return std::forward<F>(body)();
}

}  // namespace qarn::py::gil

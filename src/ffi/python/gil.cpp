// Per-thread interpreter-lock bookkeeping and the queue of deferred reference releases.
#include "ffi/python/gil.hpp"

#include <atomic>
#include <mutex>
#include <vector>

namespace qarn::py::gil {
namespace {

thread_local int hold_count = 0;

// Releases queued by threads that dropped a Python object without holding the lock.
std::mutex deferred_mutex;
std::vector<PyObject*> deferred;
std::atomic<bool> deferred_pending{false};

}  // namespace

bool held() noexcept { return hold_count > 0; }

void release_later(PyObject* object) noexcept {
  const std::lock_guard lock(deferred_mutex);
  try {
    deferred.push_back(object);
  } catch (...) {
    // Out of memory for the queue: leaking one reference is the only safe choice left.
    return;
  }
  deferred_pending.store(true, std::memory_order_release);
}

void apply_deferred() noexcept {
  if (!deferred_pending.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> batch;
  {
    const std::lock_guard lock(deferred_mutex);
    batch.swap(deferred);
    deferred_pending.store(false, std::memory_order_relaxed);
  }
  // A release may run arbitrary finalizers, which may queue further releases; they are seen by
  // the next call.
  for (PyObject* object : batch) Py_DECREF(object);
}

Hold::Hold() noexcept {
  ++hold_count;
  apply_deferred();
}

Hold::~Hold() { --hold_count; }

Released::Released() noexcept : saved_(hold_count) {
  hold_count = 0;
  state_ = PyEval_SaveThread();
}

Released::~Released() {
  PyEval_RestoreThread(state_);
  hold_count = saved_;
  apply_deferred();
}

Attach::Attach() noexcept : ensured_(!held()) {
  if (ensured_) state_ = PyGILState_Ensure();
  ++hold_count;
  if (ensured_) apply_deferred();
}

Attach::~Attach() {
  --hold_count;
  if (ensured_) PyGILState_Release(state_);
}

}  // namespace qarn::py::gil

// Locking of the robot-state mutex: re-entry detection, waiting without the interpreter lock,
// and the poisoned state.
#include "ffi/python/poison_mutex.hpp"

namespace qarn::py {

void PoisonMutex::lock() {
  const std::thread::id self = std::this_thread::get_id();
  if (owner_.load(std::memory_order_relaxed) == self) {
    throw Error::runtime(
        "the robot state is already locked by this thread: a callback must not use the robot it serves");
  }
  if (!mutex_.try_lock()) {
    if (gil::held()) {
      gil::Released released;  // the holder may need the interpreter lock to finish
      mutex_.lock();
    } else {
      mutex_.lock();
    }
  }
  if (poisoned()) {
    mutex_.unlock();
    throw Error::runtime("internal robot state lock was poisoned");
  }
  owner_.store(self, std::memory_order_relaxed);
}

void PoisonMutex::unlock() noexcept {
  owner_.store(std::thread::id(), std::memory_order_relaxed);
  mutex_.unlock();
}

void PoisonMutex::poison_and_unlock() noexcept {
  poisoned_.store(true, std::memory_order_release);
  unlock();
}

}  // namespace qarn::py

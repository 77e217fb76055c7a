// The mutex of a shared robot state. Three properties set it apart from std::mutex:
//  - a thread that holds the interpreter lock and finds the mutex busy waits with the interpreter
//    lock released, so it cannot deadlock against the holder when the holder calls Python;
//  - locking it again from the owning thread (a Python callback touching the robot it serves) is a
//    RuntimeError instead of a hang;
//  - a fault (any C++ exception other than a Python error value or an allocation failure)
//    unwinding out of a locked scope poisons it for good: the state may be half-written, so every
//    later lock fails. An allocation failure is an ordinary result, like an error value: every
//    writer of the state allocates what it needs before it writes anything.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "ffi/python/error.hpp"

namespace qarn::py {

class PoisonMutex {
 public:
  // Blocks until locked. Throws RuntimeError on re-entry and when the mutex is poisoned.
  void lock();
  void unlock() noexcept;
  void poison_and_unlock() noexcept;
  bool poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }

  // The lock for a scope: unlocks on exit, poisoning when a fault unwinds through it. An `Error`
  // or a std::bad_alloc leaving the scope is an ordinary result and must be passed through
  // `error_leaving()` first.
  class Held {
   public:
    explicit Held(PoisonMutex& mutex) : mutex_(mutex), exceptions_(std::uncaught_exceptions()) { mutex_.lock(); }
    ~Held() {
      if (std::uncaught_exceptions() > exceptions_ && !error_leaving_) {
        mutex_.poison_and_unlock();
      } else {
        mutex_.unlock();
      }
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    void error_leaving() noexcept { error_leaving_ = true; }

   private:
    PoisonMutex& mutex_;
    int exceptions_;
    bool error_leaving_ = false;
  };

 private:
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
  std::atomic<bool> poisoned_{false};
};

// Runs `body` holding `mutex`.
template <class F>
decltype(auto) with_lock(PoisonMutex& mutex, F&& body) {
  PoisonMutex::Held held(mutex);
  try {
    return std::forward<F>(body)();
  } catch (const Error&) {
    held.error_leaving();
    throw;
  } catch (const std::bad_alloc&) {
    held.error_leaving();
    throw;
  }
}

}  // namespace qarn::py

// The per-instance borrow flag and the object layout of every class: any number of shared
// borrows or one exclusive borrow at a time, checked atomically and never waited for, so two
// threads touching one object get an error instead of a data race. `Shared<T>` and `Exclusive<T>`
// are the scoped borrows through which implementations reach an instance's payload.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "ffi/python/error.hpp"
#include "ffi/python/python.hpp"

namespace qarn::py {

class BorrowFlag {
 public:
  bool try_shared() noexcept {
    std::uintptr_t state = state_.load(std::memory_order_relaxed);
    do {
      if (state >= kExclusive - 1) return false;  // exclusively held (or, absurdly, saturated)
    } while (!state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
  }
  void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

  bool try_exclusive() noexcept {
    std::uintptr_t expected = 0;
    return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

 private:
  static constexpr std::uintptr_t kExclusive = ~std::uintptr_t{0};
  std::atomic<std::uintptr_t> state_{0};
};

// The memory layout of an instance of a class whose payload is T.
template <class T>
struct Instance {
  PyObject_HEAD
  BorrowFlag flag;
  T value;
};

template <class T>
Instance<T>* instance_of(PyObject* object) noexcept {
  return reinterpret_cast<Instance<T>*>(object);
}

// A borrow of an instance's payload for the scope: `Shared<T>` (any number at a time, read-only)
// or `Exclusive<T>` (alone, writable). The caller keeps the object alive.
template <class T, bool Exclusively>
class Borrow {
 public:
  using Payload = std::conditional_t<Exclusively, T, const T>;

  explicit Borrow(PyObject* object) : instance_(instance_of<T>(object)) {
    if constexpr (Exclusively) {
      if (!instance_->flag.try_exclusive()) throw Error::runtime("Already borrowed");
    } else {
      if (!instance_->flag.try_shared()) throw Error::runtime("Already mutably borrowed");
    }
  }
  Borrow(Borrow&& other) noexcept : instance_(std::exchange(other.instance_, nullptr)) {}
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  Borrow& operator=(Borrow&&) = delete;
  ~Borrow() {
    if (instance_ == nullptr) return;
    if constexpr (Exclusively) {
      instance_->flag.release_exclusive();
    } else {
      instance_->flag.release_shared();
    }
  }

  Payload& operator*() const noexcept { return instance_->value; }
  Payload* operator->() const noexcept { return &instance_->value; }
  PyObject* object() const noexcept { return reinterpret_cast<PyObject*>(instance_); }

 private:
  Instance<T>* instance_;
};

template <class T>
using Shared = Borrow<T, false>;
template <class T>
using Exclusive = Borrow<T, true>;

}  // namespace qarn::py

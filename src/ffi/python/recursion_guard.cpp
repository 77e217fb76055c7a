// Recursion guard: CPython's recursion counter, and the room left on this thread's C stack.
#include "ffi/python/recursion_guard.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace qarn::py {
namespace {

// The lowest address of this thread's stack and the room the guard keeps free above it; none
// (0, 0) where the platform does not tell.
struct StackFloor {
  std::uintptr_t lowest = 0;
  std::size_t reserve = 0;
};

// One level of recursion through the module (Python frames, the entry frame, a NumPy conversion,
// the bridge) takes some tens of KiB, several times that under AddressSanitizer; the reserve is
// a quarter of the stack, at most 1 MiB, so that small thread stacks keep most of their room.
constexpr std::size_t kMaxReserve = std::size_t{1} << 20;

StackFloor this_thread_stack_floor() {
#if defined(__linux__)
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return {};
  void* lowest = nullptr;
  std::size_t size = 0;
  const int status = pthread_attr_getstack(&attributes, &lowest, &size);
  pthread_attr_destroy(&attributes);
  if (status != 0) return {};
  return {reinterpret_cast<std::uintptr_t>(lowest), std::min(size / 4, kMaxReserve)};
#else
  return {};
#endif
}

// Whether the C stack still has its reserve free. The stack grows downwards on every platform the
// module is built for.
bool stack_has_room() {
  thread_local const StackFloor floor = this_thread_stack_floor();
  if (floor.lowest == 0) return true;
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  return here > floor.lowest && here - floor.lowest > floor.reserve;
}

}  // namespace

RecursionGuard::RecursionGuard(const char* where) {
  if (!stack_has_room()) {
    throw Error([] { return PyExc_RecursionError; }, fmt::format("maximum recursion depth exceeded{}", where));
  }
  if (Py_EnterRecursiveCall(where) != 0) throw Error::fetch();
}

RecursionGuard::~RecursionGuard() { Py_LeaveRecursiveCall(); }

}  // namespace qarn::py

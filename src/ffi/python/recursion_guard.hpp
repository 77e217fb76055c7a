// The guard on calls from native code into Python (path evaluators, inverse dynamics): such a call
// may come back into the module and call Python again, without end. CPython counts the guarded
// calls against its recursion limit, and the guard also refuses a call while the thread's C stack
// is nearly used up, so that runaway recursion raises RecursionError at any recursion limit
// instead of overflowing the stack: each level through the module costs far more C stack than a
// level of Python code, which the limit was chosen for.
#pragma once

#include "ffi/python/error.hpp"

namespace qarn::py {

class RecursionGuard {
 public:
  // `where` completes the message "maximum recursion depth exceeded", as in " while calling a
  // Python path evaluator". Throws the RecursionError as an Error. Needs the interpreter lock.
  explicit RecursionGuard(const char* where);
  ~RecursionGuard();
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace qarn::py

// `OutOfMemory`: an allocation failure that says what could not be had. It is a std::bad_alloc,
// so every handler of allocation failures takes it; the Python face raises its text as MemoryError.
#pragma once

#include <new>
#include <string>
#include <utility>

namespace qarn {

class OutOfMemory : public std::bad_alloc {
 public:
  explicit OutOfMemory(std::string text) : text_(std::move(text)) {}
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

}  // namespace qarn

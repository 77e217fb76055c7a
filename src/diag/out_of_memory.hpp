// `OutOfMemory`: an allocation failure that says what could not be had. It is a std::bad_alloc,
// so every handler of allocation failures takes it; the Python face raises its text as MemoryError.
#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace qarn {

class OutOfMemory : public std::bad_alloc {
 public:
  explicit OutOfMemory(std::string text) : text_(std::move(text)) {}
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

// "<component>: not enough memory <doing>: about <size> are needed for <what>", the size in MiB,
// KiB or bytes, rounded up.
std::string not_enough_memory(std::string_view component, std::string_view doing, std::uint64_t bytes,
                              std::string_view what);

// Runs `stage`. An allocation failure inside it that says nothing (a plain std::bad_alloc) leaves
// as an OutOfMemory with the text `describe()` gives, which is formatted only then, once the
// stage's own memory is released; an OutOfMemory passes unchanged, it already names its need.
template <class Describe, class Stage>
decltype(auto) naming_memory_failure(Describe&& describe, Stage&& stage) {
  try {
    return std::forward<Stage>(stage)();
  } catch (const OutOfMemory&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw OutOfMemory(describe());
  }
}

}  // namespace qarn

// Verbosity-gated diagnostic lines on standard output, and the elapsed-time text they carry.
// Solver cores are instantiated once per verbosity level (`with_verbosity`), so the SILENT
// instance contains no clock read, no formatting and no string building.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace qarn {

enum class Verbosity : std::uint8_t { Silent = 0, Summary = 1, Debug = 2, Trace = 3 };

// Writes `line` and one '\n' to file descriptor 1 as one unit; write errors are ignored,
// a diagnostic must never make the operation that prints it fail.
void log_line(std::string_view line);

// "1.500 s", "12.3 ms", "111 h": unit by magnitude, 3/1/0 decimals for values <10 / <100 / >=100.
std::string format_elapsed(std::uint64_t seconds, std::uint32_t nanoseconds);
std::string format_elapsed(std::chrono::steady_clock::duration d);

template <Verbosity V>
using VerbosityTag = std::integral_constant<Verbosity, V>;

// Calls f(VerbosityTag<V>{}) with V the given level (values above TRACE count as TRACE), so that
// `if constexpr (V >= Verbosity::Debug)` removes the logging of the levels not asked for.
template <class F>
decltype(auto) with_verbosity(Verbosity level, F&& f) {
  switch (level) {
    case Verbosity::Silent: return f(VerbosityTag<Verbosity::Silent>{});
    case Verbosity::Summary: return f(VerbosityTag<Verbosity::Summary>{});
    case Verbosity::Debug: return f(VerbosityTag<Verbosity::Debug>{});
    default: return f(VerbosityTag<Verbosity::Trace>{});
  }
}

// A monotonic start time, read only above SILENT.
template <Verbosity V>
class Stopwatch {
 public:
  Stopwatch() {
    if constexpr (V > Verbosity::Silent) start_ = std::chrono::steady_clock::now();
  }

  std::string elapsed() const {
    if constexpr (V > Verbosity::Silent) return format_elapsed(std::chrono::steady_clock::now() - start_);
    return {};
  }

 private:
  std::chrono::steady_clock::time_point start_{};
};

}  // namespace qarn

// Diagnostic output: whole lines straight to descriptor 1, and the elapsed-time format.
#include "diag/log.hpp"

#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "diag/format.hpp"

namespace qarn {

void log_line(std::string_view line) {
  std::string buf;
  buf.reserve(line.size() + 1);
  buf.append(line);
  buf += '\n';
  // One lock for the process keeps lines of concurrent solves from interleaving.
  static std::mutex stdout_lock;
  std::lock_guard guard(stdout_lock);
  const char* p = buf.data();
  std::size_t left = buf.size();
  while (left > 0) {
    const ssize_t n = ::write(STDOUT_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // closed or full output: the line is dropped, the caller carries on
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

std::string format_elapsed(std::uint64_t seconds, std::uint32_t nanoseconds) {
  const double t = static_cast<double>(nanoseconds) / 1e9 + static_cast<double>(seconds);
  double v;
  const char* unit;
  if (t < 1e-6) {
    v = t * 1e9, unit = "ns";
  } else if (t < 1e-3) {
    v = t * 1e6, unit = "us";
  } else if (t < 1.0) {
    v = t * 1000.0, unit = "ms";
  } else if (t < 60.0) {
    v = t, unit = "s";
  } else if (t < 3600.0) {
    v = t / 60.0, unit = "min";
  } else {
    v = t / 3600.0, unit = "h";
  }
  // Decimals are chosen from the unrounded value: 99.96 ms prints as 100.0 ms.
  const int decimals = v >= 100.0 ? 0 : (v >= 10.0 ? 1 : 3);
  std::string out = fmt::fixed(v, decimals);
  out += ' ';
  out += unit;
  return out;
}

std::string format_elapsed(std::chrono::steady_clock::duration d) {
  using namespace std::chrono;
  if (d < steady_clock::duration::zero()) d = steady_clock::duration::zero();
  const auto secs = duration_cast<seconds>(d);
  const auto nanos = duration_cast<nanoseconds>(d - secs);
  return format_elapsed(static_cast<std::uint64_t>(secs.count()), static_cast<std::uint32_t>(nanos.count()));
}

}  // namespace qarn

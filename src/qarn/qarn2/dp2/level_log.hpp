// Diagnostic lines of the reachability solvers, compiled in only for the verbosity levels that
// print them: at SILENT nothing is formatted.
#pragma once

#include <string_view>

#include "diag/format.hpp"
#include "diag/log.hpp"

namespace qarn::qarn2 {

// Prints the formatted line when the solver's level V is at least `Level`.
template <Verbosity V, Verbosity Level, class... Args>
inline void log_at(std::string_view tmpl, const Args&... args) {
  if constexpr (V >= Level) log_line(fmt::format(tmpl, args...));
}

// A failure as each level reports it: DEBUG and above print the whole error, SUMMARY one short
// line made by `summary()`, SILENT nothing.
template <Verbosity V, class Summary>
inline CoreError report_failure(CoreError error, Summary&& summary) {
  if constexpr (V >= Verbosity::Debug) {
    log_line(error.display());
  } else if constexpr (V == Verbosity::Summary) {
    log_line(summary());
  }
  return error;
}

}  // namespace qarn::qarn2

// The options of every conic solver: Clarabel's settings, the statuses accepted besides Solved and
// the diagnostic level, with the rule that decides which solver statuses give a profile.
#pragma once

#include <utility>

#include "diag/log.hpp"
#include "diag/solver_status.hpp"
#include "qarn/clarabel_bridge.hpp"

namespace qarn {

// Options of every conic solver: Clarabel's settings, the statuses accepted besides Solved, and the
// diagnostic level of the solver core.
struct ClarabelOptions {
  clarabel::Settings settings = default_settings();
  bool allow_almost_solved = true;
  bool allow_max_iterations = false;
  bool allow_max_time = false;
  bool allow_callback_terminated = false;
  bool allow_insufficient_progress = false;
  Verbosity verbosity = Verbosity::Silent;

  // Clarabel's own defaults (read from the linked crate), except 20 equilibration passes instead
  // of Clarabel's 10 and no solver log unless asked for.
  static clarabel::Settings default_settings();

  // Whether a solution with this status may be turned into a profile.
  bool allow(SolverStatus status) const;

  // The relative tolerance to which an accepted profile must hold the stored limits: 1e-6, or the
  // settings' tol_feas when the caller chose a looser one.
  double profile_tolerance() const;

  // The settings handed to Clarabel: Clarabel prints its own log only together with the core's
  // detailed diagnostics (DEBUG and TRACE), whatever `settings.verbose` says.
  clarabel::Settings solver_settings() const;
};

// Builds `ClarabelOptions` from the defaults above.
class ClarabelOptionsBuilder {
 public:
  ClarabelOptionsBuilder() = default;
  ClarabelOptionsBuilder& settings(clarabel::Settings v) { o_.settings = std::move(v); return *this; }
  ClarabelOptionsBuilder& allow_almost_solved(bool v) { o_.allow_almost_solved = v; return *this; }
  ClarabelOptionsBuilder& allow_max_iterations(bool v) { o_.allow_max_iterations = v; return *this; }
  ClarabelOptionsBuilder& allow_max_time(bool v) { o_.allow_max_time = v; return *this; }
  ClarabelOptionsBuilder& allow_callback_terminated(bool v) { o_.allow_callback_terminated = v; return *this; }
  ClarabelOptionsBuilder& allow_insufficient_progress(bool v) { o_.allow_insufficient_progress = v; return *this; }
  ClarabelOptionsBuilder& verbosity(Verbosity v) { o_.verbosity = v; return *this; }
  ClarabelOptions build() const { return o_; }

 private:
  ClarabelOptions o_;
};

}  // namespace qarn

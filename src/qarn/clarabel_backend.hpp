// The options of every conic solver and the rule that decides which solver statuses give a profile.
// The conic layer's other stages live beside it: conic_program (assembly), conic_solve (the guarded
// solver call), conic_log (the shared diagnostic lines).
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "diag/log.hpp"
#include "diag/solver_status.hpp"
#include "qarn/clarabel_bridge.hpp"
#include "qarn/constraints.hpp"
#include "qarn/qarn3/formulation.hpp"

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

// The profile values a of an accepted solution: x[0 .. count) with every entry that is not
// positive (an interior point a hair below zero, -0.0, NaN) made +0.0.
std::vector<double> nonnegative_profile(std::span<const double> x, std::size_t count);

// Stations whose first-order bound is zero rest there: a = 0 exactly. The solver stops within its
// tolerance of that bound, on either side, and any a above a zero bound breaks it entirely.
void rest_where_bound_is_zero(const Constraints& store, std::uint64_t idx_s_start, std::span<double> a);

// The third-order profile of an accepted solution x (a in columns 0 .. n-1, b in n .. 2n-1, n the
// problem's station count) on the window's path parameters s: the solver's values from junction to
// junction, a clamped at +0.0 as above, the stationary stations filled with the closed-form shape
// from the junction's a, and the fixed boundary values written exactly (the solver meets its
// equality rows only to its tolerance, and the conversions test the rest ends exactly).
qarn3::Topp3Profile split_ab_solution(const qarn3::Topp3Problem& problem, std::span<const double> x,
                                      std::span<const double> s);

}  // namespace qarn

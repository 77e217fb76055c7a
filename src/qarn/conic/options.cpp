// Options of the conic solvers and their status-acceptance rule.
#include "qarn/conic/options.hpp"

#include <cmath>

namespace qarn {

clarabel::Settings ClarabelOptions::default_settings() {
  clarabel::Settings s = clarabel::Settings::defaults();
  s.equilibrate_max_iter = 20;
  s.verbose = false;
  return s;
}

bool ClarabelOptions::allow(SolverStatus status) const {
  switch (status) {
    case SolverStatus::Solved: return true;
    case SolverStatus::AlmostSolved: return allow_almost_solved;
    case SolverStatus::MaxIterations: return allow_max_iterations;
    case SolverStatus::MaxTime: return allow_max_time;
    case SolverStatus::InsufficientProgress: return allow_insufficient_progress;
    case SolverStatus::CallbackTerminated: return allow_callback_terminated;
    default: return false;
  }
}

double ClarabelOptions::profile_tolerance() const {
  return std::fmax(1e-6, settings.tol_feas);  // fmax ignores a NaN tol_feas
}

clarabel::Settings ClarabelOptions::solver_settings() const {
  clarabel::Settings s = settings;
  s.verbose = settings.verbose && verbosity >= Verbosity::Debug;
  return s;
}

}  // namespace qarn

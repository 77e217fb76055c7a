// Options of the conic solvers and their status-acceptance rule.
#include "qarn/clarabel_backend.hpp"

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

namespace {

double nonnegative(double v) { return v > 0.0 ? v : 0.0; }

}  // namespace

std::vector<double> nonnegative_profile(std::span<const double> x, std::size_t count) {
  std::vector<double> a(count);
  for (std::size_t k = 0; k < count; ++k) a[k] = nonnegative(x[k]);
  return a;
}

void rest_where_bound_is_zero(const Constraints& store, std::uint64_t idx_s_start, std::span<double> a) {
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (store.amax_at(idx_s_start + k) == 0.0) a[k] = 0.0;
  }
}

qarn3::Topp3Profile split_ab_solution(const qarn3::Topp3Problem& problem, std::span<const double> x,
                                      std::span<const double> s) {
  const std::size_t n = problem.s_len();
  const auto [k0, k1] = problem.num_stationary;
  const std::size_t first = static_cast<std::size_t>(k0);
  const std::size_t last = n - 1 - static_cast<std::size_t>(k1);
  qarn3::Topp3Profile profile{std::vector<double>(n, 0.0), std::vector<double>(n, 0.0), problem.num_stationary};
  std::vector<double>& a = profile.a;
  std::vector<double>& b = profile.b;
  qarn3::stationary_start_profile(s, a, b, first, nonnegative(x[first]), problem.start_window());
  qarn3::stationary_end_profile(s, a, b, static_cast<std::size_t>(k1), nonnegative(x[last]), problem.end_window());
  for (std::size_t i = first; i <= last; ++i) {
    a[i] = nonnegative(x[i]);
    b[i] = x[n + i];
  }
  if (k0 == 0) {
    a[0] = nonnegative(problem.a_start);
    b[0] = problem.b_start;
  }
  if (k1 == 0) {
    a[n - 1] = nonnegative(problem.a_final);
    b[n - 1] = problem.b_final;
  }
  return profile;
}

}  // namespace qarn

// Diagnostic lines shared by the conic solve flows.
#include "qarn/conic/log.hpp"

#include <cmath>
#include <limits>

#include "diag/format.hpp"

namespace qarn {

std::pair<double, double> value_range(std::span<const double> v) {
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  for (const double x : v) {
    lo = std::fmin(lo, x);
    hi = std::fmax(hi, x);
  }
  return {lo, hi};
}

std::string options_snapshot_line(std::string_view name, const ClarabelOptions& options) {
  return fmt::format(
      "{}: options snapshot -> allow(almost={}, max_iter={}, max_time={}, callback_term={}, "
      "insufficient_progress={}), tol_gap_rel={}, tol_feas={}, max_iter={}, verbose={}",
      name, options.allow_almost_solved, options.allow_max_iterations, options.allow_max_time,
      options.allow_callback_terminated, options.allow_insufficient_progress, options.settings.tol_gap_rel,
      options.settings.tol_feas, options.settings.max_iter, options.settings.verbose);
}

std::string triplet_delta(const TripletLengths& d) {
  return fmt::format("+{}/+{}/+{}/+{}/+{}", d.rows, d.cols, d.vals, d.b, d.cones);
}

std::string block_lengths_line(std::string_view name, std::string_view label, const ClarabelTriplets& triplets) {
  const TripletLengths l = triplets.lengths();
  return fmt::format("{}[{}]: row={}, col={}, val={}, b={}, cones={}", name, label, l.rows, l.cols, l.vals, l.b,
                     l.cones);
}

std::string capacities_line(std::string_view name, const ClarabelTriplets& triplets) {
  const TripletLengths c = triplets.capacities();
  return fmt::format("{}: allocated capacities row/col/val/b/cones <= {}/{}/{}/{}/{}", name, c.rows, c.cols, c.vals,
                     c.b, c.cones);
}

std::string sqrt_stage_line(std::string_view name, const TripletLengths& delta, std::size_t n_var) {
  return fmt::format("{}: sqrt-a stage delta row/col/val/b/cones = {}, n_var_old={}", name, triplet_delta(delta), n_var);
}

std::string objective_stage_line(std::string_view name, const TripletLengths& delta, std::size_t q_added,
                                 std::span<const double> q) {
  const auto [q_min, q_max] = value_range(q);
  return fmt::format("{}: objective stage delta row/col/val/b/cones/q = {}/+{}, q_range=[{}, {}]", name,
                     triplet_delta(delta), q_added, q_min, q_max);
}

std::string after_objective_line(std::string_view name, const TripletLengths& l, std::size_t q_len) {
  return fmt::format("{}: after objective assembly row={}, col={}, val={}, b={}, cones={}, q={}", name, l.rows, l.cols,
                     l.vals, l.b, l.cones, q_len);
}

std::string ready_to_solve_line(std::string_view name, const TripletLengths& l, std::size_t n_var) {
  return fmt::format("{}: ready to solve with row/col/val/b/cones = {}/{}/{}/{}/{} and n_var = {}.", name, l.rows,
                     l.cols, l.vals, l.b, l.cones, n_var);
}

std::string matrix_built_line(std::string_view name, const ConicProgram& program) {
  return fmt::format("{}: matrix built with m={}, n={}, A.nnz={}, P.nnz={}", name, program.A.m, program.A.n,
                     program.A.nzval.size(), program.P.nzval.size());
}

std::string solve_done_line(std::string_view name, SolverStatus status, std::string_view elapsed) {
  return fmt::format("{}: solve done, status = {}, elapsed = {}.", name, status_name(status), elapsed);
}

std::string solution_line(std::string_view name, std::span<const double> x) {
  return fmt::format("{}: solution x_len={}, head={:?}", name, x.size(), solution_head(x));
}

std::string acceptance_line(std::string_view name, bool usable, std::string_view profile) {
  return fmt::format("{}: allow(status)={}, extracted_profile={}", name, usable, profile);
}

}  // namespace qarn

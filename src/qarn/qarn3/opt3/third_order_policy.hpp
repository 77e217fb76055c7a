// What the three third-order conic solvers (TOPP3 LP, TOPP3 SOCP, QARN3) share on the conic flow
// (conic/flow.hpp): their checks, the standard constraints with their share of the capacity
// estimate, the profile references, the split of a solution into a `Topp3Profile`. Each solver
// derives its policy from `ThirdOrderPolicy<Solver>` and adds its name, start line, extra capacity
// and stages:
//   static constexpr bool kSpanCheckFirst;     // index-span check before (true) or after the start line
//   static std::string started_line(const Problem&);
//   static Status validate(const Problem&);    // checks after the index span
//   static bool time_alone(const Problem&);    // the objective is the traversal time alone
//   template <Verbosity V> static void reserve(const Problem&, Assembly&);
//   template <Verbosity V> static Status assemble_own(const Problem&, Context&, Assembly&);
//   static void append_column_scales(const Problem&, const Context&, const ProfileReference&, std::vector<double>&);
// The two conic ones also give estimated_units_cost (conic/flow.hpp) as kThirdOrderConicCost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "diag/format.hpp"
#include "diag/log.hpp"
#include "diag/result.hpp"
#include "math/numerical/saturating.hpp"
#include "qarn/arrival.hpp"
#include "qarn/conic/flow.hpp"
#include "qarn/conic/log.hpp"
#include "qarn/conic/options.hpp"
#include "qarn/conic/program.hpp"
#include "qarn/conic/references.hpp"
#include "qarn/qarn2/dp2/unreachable_ends.hpp"
#include "qarn/qarn3/formulation.hpp"
#include "qarn/qarn3/opt3/clarabel_constraints.hpp"
#include "qarn/qarn3/opt3/end_rows.hpp"
#include "robot/robot_core.hpp"

namespace qarn::qarn3 {

// The result of every third-order conic solve: the solver's vectors and statistics whatever the
// status, and the profile only when the options accept the status and it passes its audit.
using Qarn3SocpResult = ConicOutcome<Topp3Profile>;

// The standard constraints' share over a window of n stations holding r2 second-order and r3
// third-order rows: 15 (n-1) + 2 r2 + 6 r3 + 4 entries, 7 (n-1) + r2 + 2 r3 + 4 right-hand
// sides, 2 cones, and the 2n variables a and b.
Reserve standard_capacity3(std::size_t n, std::uint64_t r2, std::uint64_t r3);
// The standard share of a problem's window, its row counts read from the store's run maps.
Reserve standard_capacity3(const Topp3Problem& problem);

// "\n<name> started: <first> <= idx_s <= <last>, s_len = <n>, num_stationary=(<k0>, <k1>)." of the
// two time-optimal solvers.
inline std::string topp3_started_line(std::string_view name, const Topp3Problem& problem) {
  return fmt::format("\n{} started: {} <= idx_s <= {}, s_len = {}, num_stationary={}.", name, problem.idx_s_start,
                     problem.idx_s_final(), problem.s_len(), problem.num_stationary);
}

// What the assembly of a third-order program reads once and the later stages read again: the
// window's path parameters and, for objectives that read torques, the torque coefficients.
struct ThirdOrderContext {
  std::vector<double> s;
  std::optional<TorqueCoefficients> torque;
};

// Whether the window's jerk rows bound anything: without a finite one, nothing but the first- and
// second-order rows bounds a from above.
bool has_finite_jerk_row(const Topp3Problem& problem);

// A window whose a no stored limit bounds has no time-optimal profile (the solver would drift
// upwards): Unbounded from `component` before anything is assembled.
Status check_bounded3(std::string_view component, const Topp3Problem& problem);

// The references of a third-order solve. The reference profile of the linearization is the best
// estimate there is (the linearized pair of jerk rows bounds a by three times it), capped by what
// the first- and second-order limits let a reach (`reachable`, reachable_a of the window).
ProfileReference third_order_reference(const Topp3Problem& problem, std::span<const double> s,
                                       std::span<const double> reachable);

// The third-order reference bounds a from above (reachability ignores the jerk limits, the
// linearized jerk rows allow three times the linearization's reference), and the jerk limits may
// hold the motion far below it: 149 times on the 5,000-station reproducer. The time and energy
// costs of TOPP3 SOCP and QARN3 steepen as a^(-3/2) there, so their first solve sizes the cost by
// the objective's total (scaling.hpp); the TOPP3 LP's cost is linear, its slopes do not depend on
// where the profile lies.
inline constexpr CostScale kThirdOrderConicCost = CostScale::Objective;

// The magnitudes of the a and b columns (2n of them).
std::vector<double> profile_column_scales(const ProfileReference& reference);

// The third-order profile of an accepted solution x (a in columns 0 .. n-1, b in n .. 2n-1, n the
// problem's station count) on the window's path parameters s: the solver's values from junction to
// junction, a made nonnegative, the stationary stations filled with the closed-form shape from the
// junction's a, and the fixed boundary values written exactly (the solver meets its equality rows
// only to its tolerance, and the conversions test the rest ends exactly).
Topp3Profile split_ab_solution(const Topp3Problem& problem, std::span<const double> x, std::span<const double> s);

// The profile of a solution (split_ab_solution), stations whose bound is zero at rest, and every
// other free interior station that the solution leaves at rest between moving neighbours passed
// at a speed below the solver's accuracy (pass_single_rests).
Topp3Profile third_order_profile(const Topp3Problem& problem, std::span<const double> s,
                                 const clarabel::SolveOutput& out);

// A linear program's optimum may rest at one interior station between moving neighbours (a = 0
// within the solver's tolerance, a hair below zero made zero). No third-order motion passes a
// station at rest: the interval after it needs b >= 0 there, the one before it b <= 0, and b = 0
// takes forever. Each such station whose bound is not zero gets a = 1e-9 of its faster
// neighbour's (no more than its bound), a change within the solver's accuracy like the clamp
// itself, and the b that keeps the trapezoid relation of the interval before it exactly (at the
// last free station, of the interval after it, whose time runs back from the end, the b before
// taking up the interval before); where b was zero by rounding, the motion then passes the
// station. The audit checks the rows afterwards, the arrival check the motion.
void pass_single_rests(const Topp3Problem& problem, std::span<const double> s, Topp3Profile& profile);

// Why the motion of a profile on the window's path parameters s never arrives, naming the interval
// of the first station it does not reach, or none.
std::optional<std::string> where_third_order_stops(const Topp3Problem& problem, std::span<const double> s,
                                                   const Topp3Profile& profile);

template <class Solver>
struct ThirdOrderPolicy {
  using Profile = Topp3Profile;
  using Context = ThirdOrderContext;
  static constexpr const char* kSomeProfile = "Some(Topp3Profile)";
  static constexpr bool kReadyBeforeMatrix = false;

  // The window as the second-order checks read it.
  static Topp2Problem window(const Topp3Problem& problem) {
    return {problem.constraints, problem.idx_s_start, problem.idx_s_final(), problem.a_start, problem.a_final};
  }
  template <Verbosity V, class Problem>
  static Status begin(const Problem& problem, const ClarabelOptions& options) {
    constexpr const char* kName = Solver::kName;
    if constexpr (V >= Verbosity::Trace) log_line(options_snapshot_line(kName, options));
    QARN_TRY(check_boundary_values(kName, problem.a_start, problem.a_final, problem.b_start, problem.b_final));
    const std::size_t n = problem.s_len();
    if constexpr (Solver::kSpanCheckFirst) QARN_TRY(check_index_span(kName, problem.idx_s_start, n));
    if constexpr (V >= Verbosity::Summary) log_line(Solver::started_line(problem));
    if constexpr (!Solver::kSpanCheckFirst) QARN_TRY(check_index_span(kName, problem.idx_s_start, n));
    // Built records always pass; a record made by hand must not send the stages past the window.
    QARN_TRY(check_station_intervals(kName, n, problem.num_stationary.first, problem.num_stationary.second));
    QARN_TRY(Solver::validate(problem));
    QARN_TRY(check_end_rows3(kName, problem));
    if (Solver::time_alone(problem)) QARN_TRY(check_bounded3(kName, problem));
    return {};
  }

  // The window's s, the standard constraints, then the solver's own stages.
  template <Verbosity V, class Problem>
  static Status assemble(const Problem& problem, Context& context, Assembly& assembly) {
    Result<std::vector<double>> s =
        problem.constraints.s_values(problem.idx_s_start, saturating_add(problem.idx_s_start, problem.s_len()));
    if (!s) return std::move(s).error();
    context.s = std::move(*s);
    const TripletLengths before = assembly.triplets.lengths();
    QARN_TRY(clarabel_standard_constraint_topp3<V>(problem, context.s, assembly.triplets,
                                                   problem.num_stationary.first, problem.num_stationary.second));
    assembly.constraint_rows = assembly.triplets.row_count();
    if constexpr (V >= Verbosity::Trace) {
      log_line(fmt::format("{}: standard-constraints delta row/col/val/b/cones = {}", Solver::kName,
                           triplet_delta(assembly.triplets.lengths() - before)));
    }
    return Solver::template assemble_own<V>(problem, context, assembly);
  }

  template <class Problem>
  static std::size_t stations(const Problem& problem) {
    return problem.s_len();
  }
  template <class Problem>
  static ProfileReference reference(const Problem& problem, const Context& context, std::span<const double> reachable) {
    return third_order_reference(problem, context.s, reachable);
  }
  template <class Problem>
  static ProfileReference reference_from(const Problem&, const Context& context, const Profile& profile,
                                         const ProfileReference& earlier) {
    return reference_of_profile(context.s, profile.a, profile.b, earlier);
  }
  template <class Problem>
  static std::vector<double> column_scales(const Problem& problem, const Context& context,
                                           const ProfileReference& reference) {
    std::vector<double> scales = profile_column_scales(reference);
    Solver::append_column_scales(problem, context, reference, scales);
    return scales;
  }
  template <class Problem>
  static Profile split(const Problem& problem, const Context& context, const clarabel::SolveOutput& out) {
    return third_order_profile(problem, context.s, out);
  }
  template <class Problem>
  static std::optional<CoreError> explain_unsolved(const Problem& problem, SolverStatus status) {
    return qarn2::unreachable_ends(Solver::kName, window(problem), status);
  }
  template <class Problem>
  static std::optional<std::string> where_it_stops(const Problem& problem, const Context& context,
                                                   const Profile& profile) {
    return where_third_order_stops(problem, context.s, profile);
  }
  static std::span<const double> profile_a(const Profile& profile) { return profile.a; }
  static std::vector<double> audit_values(const Profile& profile) {
    std::vector<double> x(profile.a.begin(), profile.a.end());
    x.insert(x.end(), profile.b.begin(), profile.b.end());
    return x;
  }
};

}  // namespace qarn::qarn3

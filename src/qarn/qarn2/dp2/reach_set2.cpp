// The backward and forward reachability passes. Each station solves the LP of one station
// interval unless a cheap test makes it unnecessary: a single-point neighbour interval bounds the
// station directly, and a witness point can prove that a bound needs no optimisation.
#include "qarn/qarn2/dp2/reach_set2.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <string>

#include "diag/error.hpp"
#include "math/numerical/lp.hpp"
#include "math/numerical/maxnum.hpp"
#include "qarn/qarn2/dp2/empty_interval.hpp"
#include "qarn/qarn2/dp2/level_log.hpp"
#include "qarn/qarn2/dp2/one_variable_bounds.hpp"

namespace qarn::qarn2 {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::string_view kComponent = "reach_set2";

// The magnitude a relative tolerance may scale with: an unbounded value (inf) has none, else the
// tolerance would be infinite and every comparison with it "approximately equal".
double finite_magnitude(double x) { return std::isfinite(x) ? std::fabs(x) : 0.0; }

// Bounds of the current station; NaN when no value fits.
struct Bounds {
  double max;
  double min;
};

// The interval of one variable with the other fixed, over rows 2.. (rows 0 and 1 bound the
// neighbouring station itself); an inversion within the slack collapses to its midpoint.
template <bool kFreeIsY>
std::optional<Interval> bound_with_other_fixed(std::span<const Lp2dRow> rows, double fixed, double tol) {
  auto v = bound_free_variable<kFreeIsY>(rows.subspan(2), fixed, tol);
  if (!v) return std::nullopt;
  const double slack = nan_max(tol, 1e-13 * (std::fabs(v->lo) + std::fabs(v->hi)));
  if (!(v->lo <= v->hi + slack)) return std::nullopt;
  if (v->lo > v->hi) v->lo = v->hi = (v->lo + v->hi) * 0.5;
  return v;
}

// Bounds of y when the neighbouring interval is the single point x0.
Bounds fixed_x_bounds(std::span<const Lp2dRow> rows, double x0, double tol) {
  const auto y = bound_with_other_fixed<true>(rows, x0, tol);
  return y ? Bounds{y->hi, y->lo} : Bounds{kNaN, kNaN};
}

// True when the largest x that the rows allow at height y0 lies in the neighbouring interval
// [lo_nb, hi_nb]: then (x, y0) is a feasible point and the bound at y0 needs no LP.
bool witness_passes(std::span<const Lp2dRow> rows, double y0, double lo_nb, double hi_nb, double tol) {
  if (!std::isfinite(y0)) return false;
  const auto x = bound_with_other_fixed<false>(rows, y0, tol);
  if (!x) return false;
  return !std::isnan(x->hi) && !std::isnan(x->lo) && lo_nb <= x->hi && x->hi <= hi_nb;
}

// True when y grows without bound over the rows (rows 0..2 included): some direction (dx, 1)
// keeps every row with a finite right-hand side, a*dx + b <= 0. A station without an upper bound
// next to a neighbour without one has no finite maximum, and the LP, which works in a bounded
// box, must not be asked for it.
bool unbounded_above(std::span<const Lp2dRow> rows) {
  double lo = -kInf, hi = kInf;
  for (const Lp2dRow& row : rows) {
    if (!std::isfinite(row.c)) continue;  // a row at infinity restricts no direction
    if (row.a > 0) {
      hi = nan_min(hi, -row.b / row.a);
    } else if (row.a < 0) {
      lo = nan_max(lo, -row.b / row.a);
    } else if (row.b > 0) {
      return false;
    }
  }
  return lo <= hi;
}

// Where the LP starts in the neighbouring interval: its middle, or its lower end when it has no
// upper one.
double lp_hint(double lo_nb, double hi_nb) { return std::isfinite(hi_nb) ? (hi_nb + lo_nb) * 0.5 : lo_nb; }

// The LP needs a finite upper end of the neighbouring interval (row 0). Where it has none, an x
// beyond every vertex of the other rows stands in: cutting the interval there removes no vertex,
// so neither bound of y changes.
void cap_unbounded_neighbour(std::span<Lp2dRow> rows) {
  if (std::isfinite(rows[0].c)) return;
  double far = std::fabs(rows[1].c);
  for (std::size_t i = 1; i < rows.size(); ++i) {
    for (std::size_t j = i + 1; j < rows.size(); ++j) {
      const Lp2dRow& p = rows[i];
      const Lp2dRow& r = rows[j];
      const double det = p.a * r.b - r.a * p.b;
      const double x = (p.c * r.b - r.c * p.b) / det;
      if (std::isfinite(x)) far = nan_max(far, std::fabs(x));
    }
  }
  rows[0].c = 2.0 * far + 1.0;
}

// The bounds that a witness could not settle come from the LP, the others are the `known` ones.
// The minimising LPs negate the rows, which are rebuilt at the next station anyway.
Bounds bounds_by_lp(std::span<Lp2dRow> rows, double mid, double tol, bool need_max, bool need_min, Bounds known) {
  if (need_max && need_min) {
    const auto [max, min] = lp_2d_max_min(rows, mid, tol);
    return {max, min};
  }
  if (need_max) return {lp_2d_max(rows, mid, tol), known.min};
  if (need_min) return {known.max, lp_2d_min(rows, mid, tol)};
  return known;
}

// Rows 0..2 (the neighbour's interval and the station's first-order bound) then the interval rows.
// Everything in working units.
template <bool kForward>
void prepare_rows(std::vector<Lp2dRow>& rows, const Constraints& store, const AUnits& units, std::uint64_t idx_s,
                  double lo_nb, double hi_nb) {
  rows.clear();
  rows.push_back({1.0, 0.0, hi_nb});
  rows.push_back({-1.0, 0.0, -lo_nb});
  rows.push_back({0.0, 1.0, units.in(store.amax_at(idx_s))});
  if constexpr (kForward) {
    store.interval_rows_bidirectional(rows, idx_s - 1);
  } else {
    store.interval_rows(rows, idx_s);
  }
  const std::span<Lp2dRow> interval = std::span<Lp2dRow>(rows).subspan(3);
  units.rows_in(interval);
  // Rows 0..2 already have unit normals; scaling them by 1 would change nothing.
  normalize_rows(interval);
}

// The working state of one call. Values of a are held in working units; lines and messages show
// them in the caller's (u).
template <Verbosity V>
struct Pass {
  const Topp2Problem& problem;
  const ReachSet2Options& options;
  const AUnits& units;
  std::size_t n;  // intervals in the window
  std::vector<Lp2dRow> rows;
  ReachSet2 set;

  double u(double a) const { return units.out(a); }

  template <class Summary>
  CoreError fail(std::string message, Summary&& summary) const {
    return report_failure<V>(CoreError::infeasible(std::string(kComponent), std::move(message)),
                             std::forward<Summary>(summary));
  }

  // An empty set at station idx_s of the "backward" or "forward" pass.
  CoreError empty_at(const char* pass, std::uint64_t idx_s, std::string message) const {
    return fail(std::move(message), [&] {
      return fmt::format("reach_set2: the {} pass failed at index {} due to infeasibility.", pass, idx_s);
    });
  }

  double tol(double u, double v) const { return a_tolerance(options, u, v); }

  Status start(bool bidirectional) {
    log_at<V, Verbosity::Summary>("reach_set2 started: {} <= idx_s <= {}, a_start = {}, a_final = {}.",
                                  problem.idx_s_start, problem.idx_s_final, problem.a_start, problem.a_final);
    log_at<V, Verbosity::Summary>(bidirectional ? "Bidirectional reachable set will be computed."
                                                : "Backward reachable set will be computed.");
    for (const bool initial : {true, false}) {
      if (auto excess = end_state_excess(problem, initial, options, units)) {
        const std::uint64_t idx_s = initial ? problem.idx_s_start : problem.idx_s_final;
        return fail(std::move(*excess), [&] {
          return fmt::format("reach_set2: the backward pass failed at index {} due to infeasibility of the {} state.",
                             idx_s, initial ? "initial" : "final");
        });
      }
    }
    set.a_max.assign(n + 1, kInf);
    set.a_min.assign(n + 1, 0.0);
    set.a_max[n] = set.a_min[n] = units.in(problem.a_final);
    // Room for the three bound rows and the rows of both stations of an interval.
    rows.reserve(2 * problem.store.max_second_order_rows() + 3);
    return {};
  }

  Status backward() {
    log_at<V, Verbosity::Debug>("Backward pass started.");
    const Constraints& store = problem.store;
    const double lp_tol = options.lp_feas_tol;
    double hi_next = units.in(problem.a_final);
    double lo_next = hi_next;
    for (std::size_t k = n; k-- > 0;) {
      const std::uint64_t idx_s = problem.idx_s_start + k;
      log_at<V, Verbosity::Trace>("\tBackward pass at k = {} (idx_s = {}) to compute a[k]: {} <= a[k+1] <= {}.", k,
                                  idx_s, u(lo_next), u(hi_next));
      const double amax = units.in(store.amax_at(idx_s));
      prepare_rows<false>(rows, store, units, idx_s, lo_next, hi_next);
      const double mid = lp_hint(lo_next, hi_next);
      Bounds b{kNaN, kNaN};
      switch (compare_set(options, hi_next, lo_next, tol(hi_next, lo_next))) {
        case ACompare::Below:
          return empty_at("backward", idx_s,
                          fmt::format("The reachable set is empty at index {} during the backward pass where "
                                      "a_max_next = {}, a_min_next = {}",
                                      idx_s, u(hi_next), u(lo_next)));
        case ACompare::ApproxEqual:
          log_at<V, Verbosity::Trace>("\t\ta[k+1] = {}", u(mid));
          b = fixed_x_bounds(rows, mid, lp_tol);
          break;
        case ACompare::Above: {
          log_at<V, Verbosity::Trace>("\t\t{} <= a[k+1] <= {}", u(lo_next), u(hi_next));
          // From a[k] = 0 the rows allow a point of the next interval: the lower bound stays 0.
          const bool need_max = !unbounded_above(rows);
          const bool need_min = !witness_passes(rows, 0.0, lo_next, hi_next, lp_tol);
          log_at<V, Verbosity::Trace>("\t\tBackward skip checks at idx_s = {}: need_max = {}, need_min = {}.", idx_s,
                                      need_max, need_min);
          cap_unbounded_neighbour(rows);
          b = bounds_by_lp(rows, mid, lp_tol, need_max, need_min, {kInf, 0.0});
          break;
        }
      }
      // The rows of the interval leave this station no value that reaches the next one.
      const auto no_value = [&] {
        return empty_interval_reason(store, {idx_s + 1, u(lo_next), u(hi_next)}, {idx_s, 0.0, u(amax)});
      };
      if (std::isnan(b.max) || std::isnan(b.min)) {
        return empty_at("backward", idx_s,
                        fmt::format("The reachable set is empty at index {} during the backward pass: {}", idx_s,
                                    no_value()));
      }
      log_at<V, Verbosity::Trace>("\t\tBackward LP result at k = {}: {} <= a[k] <= {}.", k, u(b.min), u(b.max));
      double& a_max = set.a_max[k];
      double& a_min = set.a_min[k];
      a_max = nan_min(b.max, amax);
      a_min = nan_max(b.min, 0.0);
      log_at<V, Verbosity::Trace>("\t\tAfter clipping with path constraints at k = {}: {} <= a[k] <= {}.", k, u(a_min),
                                  u(a_max));
      // The next station's upper bound takes part in the tolerance of this comparison.
      switch (compare_set(options, a_max, a_min, a_tolerance(options, a_max, a_min, hi_next))) {
        case ACompare::ApproxEqual:
          if (k + 1 < n) {
            log_at<V, Verbosity::Debug>("The backward reachable set at k = {} (idx_s = {}) is degenerate since a_max "
                                        "= {} and a_min = {} are approximately equal.",
                                        k, idx_s, u(a_max), u(a_min));
          }
          a_max = a_min = (a_max + a_min) * 0.5;
          break;
        case ACompare::Below:
          return fail(fmt::format("The reachable set is empty at k = {} (idx_s = {}) during the backward pass: {}", k,
                                  idx_s, no_value()),
                      [&] {
                        return fmt::format("reach_set2: the backward pass failed at k = {} (idx_s = {}) due to infeasibility.",
                                           k, idx_s);
                      });
        case ACompare::Above:
          break;
      }
      log_at<V, Verbosity::Trace>("\t\tBackward propagated interval to k-1: {} <= a[k] <= {}.", u(a_min), u(a_max));
      hi_next = a_max;
      lo_next = a_min;
    }
    return {};
  }

  Status forward() {
    log_at<V, Verbosity::Debug>("Forward pass started.");
    const Constraints& store = problem.store;
    const double lp_tol = options.lp_feas_tol;
    double hi_prev = units.in(problem.a_start);
    double lo_prev = hi_prev;
    set.a_max[0] = set.a_min[0] = hi_prev;
    for (std::size_t k = 1; k <= n; ++k) {
      const std::uint64_t idx_s = problem.idx_s_start + k;
      const double b_max = set.a_max[k];
      const double b_min = set.a_min[k];
      log_at<V, Verbosity::Trace>("\tForward pass at k = {} (idx_s = {}): prev interval {} <= a[k-1] <= {}, backward "
                                  "interval {} <= a[k] <= {}.",
                                  k, idx_s, u(lo_prev), u(hi_prev), u(b_min), u(b_max));
      // The rows of the interval leave no value within the backward bounds reachable from the last station.
      const auto failed = [&] {
        const std::string reason = empty_interval_reason(store, {idx_s - 1, u(lo_prev), u(hi_prev)},
                                                         {idx_s, u(nan_max(b_min, 0.0)), u(b_max)});
        return empty_at("forward", idx_s,
                        fmt::format("The reachable set is empty at index {} during the forward pass: {}", idx_s,
                                    reason));
      };
      prepare_rows<true>(rows, store, units, idx_s, lo_prev, hi_prev);
      const double mid = lp_hint(lo_prev, hi_prev);
      Bounds b{kNaN, kNaN};
      switch (compare_set(options, hi_prev, lo_prev, tol(hi_prev, lo_prev))) {
        case ACompare::Below:
          return empty_at("forward", idx_s,
                          fmt::format("The reachable set is empty at index {} during the forward pass where "
                                      "a_max_prev = {}, a_min_prev = {}",
                                      idx_s, u(hi_prev), u(lo_prev)));
        case ACompare::ApproxEqual:
          b = fixed_x_bounds(rows, mid, lp_tol);
          break;
        case ACompare::Above: {
          // A backward bound that is reachable from the previous interval needs no LP, nor does an
          // upper bound that does not exist.
          const bool need_max = !witness_passes(rows, b_max, lo_prev, hi_prev, lp_tol) && !unbounded_above(rows);
          const bool need_min = !witness_passes(rows, b_min, lo_prev, hi_prev, lp_tol);
          log_at<V, Verbosity::Trace>("\t\tForward skip checks at idx_s = {}: need_max = {}, need_min = {}.", idx_s,
                                      need_max, need_min);
          cap_unbounded_neighbour(rows);
          b = bounds_by_lp(rows, mid, lp_tol, need_max, need_min, {b_max, b_min});
          break;
        }
      }
      log_at<V, Verbosity::Trace>("\t\tForward LP result at idx_s = {}: {} <= a[k] <= {}.", idx_s, u(b.min), u(b.max));
      if (std::isnan(b.max) || std::isnan(b.min)) return failed();
      double new_max = nan_min(b.max, b_max);
      double new_min = nan_max(b.min, b_min);
      log_at<V, Verbosity::Trace>("\t\tAfter intersecting with backward interval at idx_s = {}: {} <= a[k] <= {}.",
                                  idx_s, u(new_min), u(new_max));
      switch (compare_set(options, new_max, new_min, a_tolerance(options, new_max, new_min, hi_prev))) {
        case ACompare::ApproxEqual:
          if (k + 1 < n) {
            log_at<V, Verbosity::Debug>("The forward reachable set at idx_s = {} is degenerate since a_max_prev and "
                                        "a_min_prev are approximately equal at {}.",
                                        idx_s, u(mid));
          }
          new_max = new_min = (new_max + new_min) * 0.5;
          break;
        case ACompare::Below:
          return failed();
        case ACompare::Above:
          break;
      }
      set.a_max[k] = new_max;
      set.a_min[k] = new_min;
      log_at<V, Verbosity::Trace>("\t\tForward propagated interval to next step: {} <= a[k] <= {}.", u(new_min), u(new_max));
      hi_prev = new_max;
      lo_prev = new_min;
    }
    return {};
  }
};

Status check_inputs(const Topp2Problem& problem, const ReachSet2Options& options) {
  QARN_TRY(validate_reach_set2_options(options));
  return Topp2ProblemBuilder::build(problem);
}

// The passes in working units on a checked problem.
template <Verbosity V>
Result<ReachSet2> run_in(const Topp2Problem& problem, const ReachSet2Options& options, const AUnits& units,
                         const Stopwatch<V>& clock, bool bidirectional) {
  Pass<V> pass{problem, options, units, problem.idx_s_final - problem.idx_s_start, {}, {}};
  QARN_TRY(pass.start(bidirectional));
  QARN_TRY(pass.backward());
  if (bidirectional) QARN_TRY(pass.forward());
  if constexpr (V >= Verbosity::Summary) {
    log_line(fmt::format("reach_set2: {}backward total elapsed time = {}.", bidirectional ? "forward + " : "",
                         clock.elapsed()));
  }
  return std::move(pass.set);
}

template <Verbosity V>
Result<ReachSet2> run(const Topp2Problem& problem, const ReachSet2Options& options, const Stopwatch<V>& clock,
                      bool bidirectional) {
  QARN_TRY(check_inputs(problem, options));
  const AUnits units = AUnits::of(problem);
  Result<ReachSet2> set = run_in<V>(problem, options, units, clock, bidirectional);
  if (!set) return set;
  // Back to the caller's units; the boundary values exactly as given where the passes kept them.
  const auto out = [&](std::vector<double>& bounds) {
    const double first = bounds.front(), last = bounds.back();
    for (double& v : bounds) v = units.out(v);
    if (first == units.in(problem.a_start)) bounds.front() = problem.a_start;
    if (last == units.in(problem.a_final)) bounds.back() = problem.a_final;
  };
  out(set->a_max);
  out(set->a_min);
  return set;
}

// The pass in the copy specialised for options.verbosity.
Result<ReachSet2> run_by_verbosity(const Topp2Problem& problem, const ReachSet2Options& options, bool bidirectional) {
  return with_verbosity(options.verbosity, [&](auto tag) {
    constexpr Verbosity V = decltype(tag)::value;
    return run<V>(problem, options, Stopwatch<V>{}, bidirectional);
  });
}

}  // namespace

double a_tolerance(const ReachSet2Options& options, double u, double v) {
  return nan_max(options.a_cmp_abs_tol, options.a_cmp_rel_tol * nan_max(finite_magnitude(u), finite_magnitude(v)));
}

double a_tolerance(const ReachSet2Options& options, double u, double v, double scale) {
  return nan_max(nan_max(options.a_cmp_abs_tol, options.a_cmp_rel_tol * finite_magnitude(scale)),
                 options.a_cmp_rel_tol * nan_max(finite_magnitude(u), finite_magnitude(v)));
}

std::optional<std::string> end_state_excess(const Topp2Problem& problem, bool initial, const ReachSet2Options& options,
                                            const AUnits& units) {
  const std::uint64_t idx_s = initial ? problem.idx_s_start : problem.idx_s_final;
  const double value = initial ? problem.a_start : problem.a_final;
  const double a = units.in(value);
  const double bound = units.in(problem.store.amax_at(idx_s));
  if (!(a - bound > a_tolerance(options, a, bound))) return std::nullopt;
  return initial ? fmt::format("The initial state a_start = {} cannot be greater than the maximum feasible state "
                               "a_max[0] = {} at idx_s_start = {}",
                               value, units.out(bound), idx_s)
                 : fmt::format("The final state a_final = {} cannot be greater than the maximum feasible state "
                               "a_max[n] = {} at idx_s_final = {}",
                               value, units.out(bound), idx_s);
}

Status check_end_states(std::string_view component, const Topp2Problem& problem) {
  const AUnits units = AUnits::of(problem);
  for (const bool initial : {true, false}) {
    if (auto excess = end_state_excess(problem, initial, ReachSet2Options{}, units)) {
      return CoreError::infeasible(std::string(component), std::move(*excess));
    }
  }
  return {};
}

ACompare compare_set(const ReachSet2Options& options, double hi, double lo, double tol) {
  // A few units in the last place of the ends are rounding whatever rel_tol says.
  constexpr double kRounding = 16.0 * std::numeric_limits<double>::epsilon();
  const double width = hi - lo;
  if (width < -tol) return ACompare::Below;
  const double own = nan_min(tol, nan_max(options.a_cmp_rel_tol, kRounding) *
                                      nan_max(finite_magnitude(hi), finite_magnitude(lo)));
  return width > own ? ACompare::Above : ACompare::ApproxEqual;
}

ACompare compare_a(double difference, double tol) {
  if (difference > tol) return ACompare::Above;
  if (difference < -tol) return ACompare::Below;
  return ACompare::ApproxEqual;
}

void normalize_rows(std::span<Lp2dRow> rows) {
  for (Lp2dRow& row : rows) {
    const double s = row.a * row.a + row.b * row.b;
    const double r = std::sqrt(s);
    if (s > 0 && std::isfinite(r)) {
      const double inv = 1.0 / r;
      row = {row.a * inv, row.b * inv, row.c * inv};
    } else {
      row = {0.0, 0.0, 0.0};
    }
  }
}

template <Verbosity V>
Result<ReachSet2> reach_set2_backward_at(const Topp2Problem& problem, const ReachSet2Options& options,
                                         const AUnits& units, const Stopwatch<V>& clock) {
  return run_in<V>(problem, options, units, clock, false);
}

#define QARN_REACH_SET2_BACKWARD_AT(level)                                                                   \
  template Result<ReachSet2> reach_set2_backward_at<Verbosity::level>(const Topp2Problem&, const ReachSet2Options&, \
                                                                      const AUnits&, const Stopwatch<Verbosity::level>&);
QARN_REACH_SET2_BACKWARD_AT(Silent)
QARN_REACH_SET2_BACKWARD_AT(Summary)
QARN_REACH_SET2_BACKWARD_AT(Debug)
QARN_REACH_SET2_BACKWARD_AT(Trace)
#undef QARN_REACH_SET2_BACKWARD_AT

Result<ReachSet2> reach_set2_backward(const Topp2Problem& problem, const ReachSet2Options& options) {
  return run_by_verbosity(problem, options, false);
}

Result<ReachSet2> reach_set2_bidirectional(const Topp2Problem& problem, const ReachSet2Options& options) {
  return run_by_verbosity(problem, options, true);
}

}  // namespace qarn::qarn2

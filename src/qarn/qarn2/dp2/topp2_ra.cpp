// topp2_ra: backward reachable set, then the greedy forward walk. With a[k-1] fixed every row
// bounds a[k] directly, so the walk needs no LP; the bisection only runs where rounding leaves
// the one-step interval empty.
#include "qarn/qarn2/dp2/topp2_ra.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "diag/log.hpp"
#include "math/numerical/maxnum.hpp"
#include "qarn/arrival.hpp"
#include "qarn/qarn2/dp2/empty_interval.hpp"
#include "qarn/qarn2/dp2/level_log.hpp"
#include "qarn/qarn2/dp2/one_variable_bounds.hpp"
#include "qarn/qarn2/dp2/reach_set2.hpp"

namespace qarn::qarn2 {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::string_view kComponent = "topp2_ra";

// Bounds of a[k] from the rows (p, q, c) with a[k-1] = a_prev: NaN ends when a row without
// a[k] fails.
Interval one_step_bounds(std::span<const Lp2dRow> rows, double a_prev, double tol) {
  const auto v = bound_free_variable<false>(rows, a_prev, tol);
  return v ? *v : Interval{kNaN, kNaN};
}

// The length h of a row's normal and its allowance tol * max(|c|, 1). h = 0 marks a row without
// a variable, which holds when c >= 0; nothing when it fails, or when h or the allowance is not finite.
struct RowScale {
  double h;
  double allow;
};
std::optional<RowScale> row_scale(const Lp2dRow& row, double tol) {
  const double h = std::hypot(row.a, row.b);
  if (h == 0) return row.c < 0 ? std::nullopt : std::optional<RowScale>(RowScale{0.0, 0.0});
  const double allow = tol * nan_max(std::fabs(row.c), 1.0);
  if (!std::isfinite(h) || !std::isfinite(allow)) return std::nullopt;
  return RowScale{h, allow};
}

// The largest value of a[k+1] that the rows p*a[k+1] + q*a[k] <= c of the next interval allow
// with a[k] = a, split by whether a row's bound falls as a rises (q > 0) or not (the backward
// cap of station k+1 counts with the latter).
struct NextBound {
  double rising;
  double falling;
};
NextBound next_bound(std::span<const Lp2dRow> next, double a, double cap) {
  NextBound b{cap, kInf};
  for (const Lp2dRow& row : next) {
    if (!(row.a > 0)) continue;  // lower bounds and rows without a[k+1]
    const double bound = (row.c - row.b * a) / row.a;
    if (row.b > 0) {
      b.falling = nan_min(b.falling, bound);
    } else {
      b.rising = nan_min(b.rising, bound);
    }
  }
  return b;
}

// The greedy step takes the largest a[k] in [lo, hi]. Where a larger a[k] forces a smaller
// a[k+1] (a row of station k with acc_a > acc_b / (2h), typical where the path speed dq is small
// against ddq), the largest a[k] can force a full stop at station k+1 that the reachable and
// controllable sets do not ask for, and two stops in a row never arrive. Only then does the walk
// take a lower a[k]: the largest at which the bounds of a[k+1] that fall with a[k] no longer lie
// below the others, so that the next station keeps the most it can have.
// A stop is a value within the tolerance `tol` (working units) of zero: a rounded 1e-16 stops as
// surely as 0.
bool forced_stop(std::span<const Lp2dRow> next, double a, double cap, double tol) {
  // Cheap first: a falling bound at or below tol needs a row p > 0, q > 0 with c - q a <= tol p.
  bool falling_at_zero = false;
  for (const Lp2dRow& row : next) {
    falling_at_zero = falling_at_zero || (row.a > 0 && row.b > 0 && row.c - row.b * a <= tol * row.a);
  }
  if (!falling_at_zero) return false;
  const NextBound b = next_bound(next, a, cap);
  return b.falling <= tol && b.rising > tol;
}

// The value of a[k] in [lo, hi] described above, or nothing when even lo forces the stop.
std::optional<double> highest_without_forced_stop(std::span<const Lp2dRow> next, double lo, double hi, double cap,
                                                  double tol) {
  if (!forced_stop(next, hi, cap, tol)) return hi;
  if (!(lo <= hi) || forced_stop(next, lo, cap, tol)) return std::nullopt;
  const auto held_down = [&](double a) {
    const NextBound b = next_bound(next, a, cap);
    return b.falling < b.rising;
  };
  if (held_down(lo)) return lo;
  // held_down is monotone in a (rising bounds grow, falling ones shrink): bisect for its edge.
  double good = lo;
  double bad = hi;
  for (int i = 0; i < 80; ++i) {
    const double mid = good * 0.5 + bad * 0.5;
    if (mid == good || mid == bad) break;
    (held_down(mid) ? bad : good) = mid;
  }
  return good;
}

// What the walk does with a profile that stops at two neighbouring stations.
enum class Stops : bool { Refused, Kept };

template <Verbosity V>
Result<std::vector<double>> topp2_ra_at(const Topp2Problem& problem, const ReachSet2Options& options, Stops stops) {
  QARN_TRY(validate_reach_set2_options(options));
  QARN_TRY(Topp2ProblemBuilder::build(problem));
  const Stopwatch<V> clock;
  log_at<V, Verbosity::Summary>("\ntopp2_ra started: {} <= idx_s <= {}, a_start = {}, a_final = {}.",
                                problem.idx_s_start, problem.idx_s_final, problem.a_start, problem.a_final);
  // Values of a are held in working units (a_units.hpp) and shown in the caller's (u).
  const AUnits units = AUnits::of(problem);
  const auto u = [&](double a) { return units.out(a); };
  auto backward = reach_set2_backward_at<V>(problem, options, units, Stopwatch<V>{});
  if (!backward) {
    return report_failure<V>(std::move(backward).error(),
                             [] { return "topp2_ra: failed while computing backward reachable set."; });
  }
  const std::vector<double>& b_max = backward->a_max;
  const std::vector<double>& b_min = backward->a_min;
  const Constraints& store = problem.store;
  const std::size_t n = problem.idx_s_final - problem.idx_s_start;
  const double tol = options.lp_feas_tol;

  // The profile in working units while the walk runs.
  std::vector<double> a(n + 1, 0.0);
  a[0] = units.in(problem.a_start);
  double a_prev = a[0];
  // The rows of the interval ending at station k, and those of the next one, read one step ahead.
  std::vector<Lp2dRow> rows, next, back;
  rows.reserve(2 * store.max_second_order_rows());
  next.reserve(2 * store.max_second_order_rows());
  back.reserve(2 * store.max_second_order_rows());
  const auto read_rows = [&](std::vector<Lp2dRow>& out, std::uint64_t idx_s) {
    out.clear();
    store.interval_rows(out, idx_s);
    units.rows_in(out);
  };
  read_rows(next, problem.idx_s_start);
  // Lowers a[k-1], a[k-2], ... as little as needed for a[k] = target to be reachable; false (and
  // nothing changed) when even the start cannot give way.
  std::vector<double> lowered;  // the lowered values of one repair, a[k], a[k-1], ...; reused
  const auto lower_to_reach = [&](std::size_t k, double target) {
    lowered.clear();
    double want = target;
    for (std::size_t j = k; j >= 1; --j) {
      read_rows(back, problem.idx_s_start + j - 1);  // p a[j] + q a[j-1] <= c
      const auto prev_range = bound_free_variable<true>(back, want, tol);
      if (!prev_range) return false;
      const double prev = nan_min(a[j - 1], prev_range->hi);
      if (!(prev >= prev_range->lo) || !(prev >= nan_max(b_min[j - 1], 0.0))) return false;
      lowered.push_back(want);
      if (prev == a[j - 1]) break;  // the previous value stays: a[j] = want is reachable from it
      if (j == 1) return false;     // a_start is fixed
      read_rows(back, problem.idx_s_start + j - 2);
      const Interval one = one_step_bounds(back, a[j - 2], tol);
      want = prev;
      if (prev >= nan_max(one.lo, b_min[j - 1])) {
        lowered.push_back(prev);
        break;
      }
    }
    for (std::size_t i = 0; i < lowered.size(); ++i) a[k - i] = lowered[i];
    return true;
  };
  log_at<V, Verbosity::Debug>("Forward pass started.");
  for (std::size_t k = 1; k <= n; ++k) {
    const std::uint64_t idx_s = problem.idx_s_start + k;
    log_at<V, Verbosity::Trace>("\tForward pass at k = {} (idx_s = {}): backward interval {} <= a[k] <= {}, a_prev = {}.",
                                k, idx_s, u(b_min[k]), u(b_max[k]), u(a_prev));
    rows.swap(next);
    if (k < n) read_rows(next, idx_s);
    const Interval one = one_step_bounds(rows, a_prev, tol);
    log_at<V, Verbosity::Trace>("\t\tForward LP result before clipping: {} <= a[k] <= {}.", u(one.lo), u(one.hi));
    const double hi = nan_min(one.hi, b_max[k]);
    const double lo = nan_max(one.lo, b_min[k]);
    log_at<V, Verbosity::Trace>("\t\tAfter clipping with backward reachable set: {} <= a[k] <= {}.", u(lo), u(hi));

    const auto fail = [&](CoreError error, const char* cause) {
      return report_failure<V>(std::move(error), [&] {
        return fmt::format("topp2_ra: the forward pass failed at index {} due to {}.", idx_s, cause);
      });
    };
    const bool numbers = !std::isnan(one.lo) && !std::isnan(one.hi);
    double value;
    bool settled_by_repair = false;
    if (numbers && !(hi < lo)) {
      value = hi;
    } else {
      std::optional<ForwardStepCandidate> found;
      // Inverted by rounding alone: the backward set's bound next to the forward interval is the
      // nearest value, when the rows hold there (the search below would climb to the edge of the
      // LP tolerance instead).
      if (numbers && lo - hi <= a_tolerance(options, hi, lo, a_prev)) {
        const double nearest = one.hi < b_min[k] ? b_min[k] : b_max[k];
        found = forward_step_violation(nearest, nearest, nearest, rows, tol, a_prev);
      }
      if (!found && std::isfinite(b_max[k]) && std::isfinite(b_min[k])) {
        found = max_feasible_bisect(
            rows, options,
            {a_prev, b_min[k - 1], b_max[k - 1], b_min[k], b_max[k], units.in(store.amax_at(idx_s - 1)),
             units.in(store.amax_at(idx_s))});
      }
      if (found) {
        value = found->a;
        log_at<V, Verbosity::Debug>("Recovered the forward step at idx_s = {}: a[k] = {}, max normalized violation = "
                                    "{:.6e}, max raw violation = {:.6e}.",
                                    idx_s, u(value), u(found->max_normalized_violation),
                                    u(found->max_raw_violation));
      } else {
        // Without numbers, or inverted beyond the tolerance, no value fits; within it the
        // interval is one point.
        if (!numbers || hi - lo < -a_tolerance(options, hi, lo, a_prev)) {
          // From a_prev the rows leave no value inside the backward set (capped by amax).
          const std::string reason = empty_interval_reason(
              store, {idx_s - 1, u(a_prev), u(a_prev)},
              {idx_s, u(nan_max(b_min[k], 0.0)), u(nan_min(b_max[k], units.in(store.amax_at(idx_s))))});
          return fail(CoreError::infeasible(std::string(kComponent),
                                            fmt::format("The reachable set is empty at index {} during the forward "
                                                        "pass: {}",
                                                        idx_s, reason)),
                      "infeasibility");
        }
        value = (lo + hi) * 0.5;
        log_at<V, Verbosity::Debug>("The forward reachable interval at idx_s = {} is inverted by {:.3e} at scale "
                                    "{:.3e}; treated as the degenerate point a[k] = {}.",
                                    idx_s, u(lo - hi), u(std::fabs(a_prev)), u(value));
      }
      settled_by_repair = true;
    }
    if constexpr (V >= Verbosity::Debug) {
      if (settled_by_repair || compare_a(value - lo, a_tolerance(options, value, lo)) == ACompare::ApproxEqual) {
        log_line(fmt::format("The one-step forward reachable set at k = {} (idx_s = {}) is degenerate since a_max "
                             "and a_min are approximately equal at {}.",
                             k, idx_s, u((lo + value) * 0.5)));
      }
    }
    if (k < n && forced_stop(next, value, b_max[k + 1], tol)) {
      const double top = value;
      const double low = nan_min(lo, top);
      if (const auto v = highest_without_forced_stop(next, low, top, b_max[k + 1], tol)) {
        value = *v;
      } else if (const auto t = highest_without_forced_stop(next, nan_max(b_min[k], 0.0), low, b_max[k + 1], tol);
                 t && lower_to_reach(k, *t)) {
        value = *t;
        log_at<V, Verbosity::Debug>("The forward walk lowers the stations before idx_s = {} so that a[k] = {} is "
                                    "reachable.",
                                    idx_s, u(value));
      }
      if (value != top) {
        log_at<V, Verbosity::Debug>("The forward step at idx_s = {} takes a[k] = {} below {}, which would force a "
                                    "stop at the next station.",
                                    idx_s, u(value), u(top));
      }
    }
    if (std::isinf(value)) {
      return fail(CoreError::unbounded(std::string(kComponent),
                                       fmt::format("The reachable set is unbounded at index {} during the forward pass "
                                                   "where a_max = {}",
                                                   idx_s, value)),
                  "unboundedness");
    }
    log_at<V, Verbosity::Trace>("\t\tSelected maximal feasible state: a[k] = {}.", u(value));
    a[k] = value;
    a_prev = value;
  }
  // A profile that stops at two neighbouring stations never arrives; the walk above avoids every
  // such stop the sets allow it to, so one left here is reported, not returned.
  if (const std::optional<std::size_t> k = stops == Stops::Refused ? first_stop_interval(a) : std::nullopt) {
    return report_failure<V>(
        CoreError::infeasible(std::string(kComponent), never_arrives_message(problem.idx_s_start + *k)), [&] {
          return fmt::format("topp2_ra: the forward pass failed at index {} due to infeasibility.",
                             problem.idx_s_start + *k + 1);
        });
  }
  // Back to the caller's units; the boundary values exactly as given.
  for (double& v : a) v = u(v);
  a.front() = problem.a_start;
  if (a.back() == u(units.in(problem.a_final))) a.back() = problem.a_final;
  if constexpr (V >= Verbosity::Summary) {
    log_line(fmt::format("topp2_ra: total elapsed time = {}.\n", clock.elapsed()));
  }
  return a;
}

}  // namespace

Result<std::vector<double>> topp2_ra(const Topp2Problem& problem, const ReachSet2Options& options) {
  return with_verbosity(options.verbosity,
                        [&](auto tag) { return topp2_ra_at<decltype(tag)::value>(problem, options, Stops::Refused); });
}

Result<std::vector<double>> largest_profile(const Topp2Problem& problem) {
  return topp2_ra_at<Verbosity::Silent>(problem, ReachSet2Options{}, Stops::Kept);
}

std::optional<ForwardStepCandidate> forward_step_violation(double v, double lo, double hi,
                                                           std::span<const Lp2dRow> rows, double tol, double a_prev) {
  if (!std::isfinite(v) || !(lo <= v && v <= hi)) return std::nullopt;
  double worst_norm = 0.0;
  double worst_raw = 0.0;
  for (const Lp2dRow& row : rows) {
    if (!std::isfinite(row.a) || !std::isfinite(row.b) || !std::isfinite(row.c)) return std::nullopt;
    const auto scale = row_scale(row, tol);
    if (!scale) return std::nullopt;
    if (scale->h == 0) continue;
    const double h = scale->h;
    const double allow = scale->allow;
    const double raw = v * row.a + row.b * a_prev - row.c;
    const double norm = v * (row.a / h) + (row.b / h) * a_prev - row.c / h;
    const double qn = raw / h;
    if (!std::isfinite(raw) || !std::isfinite(norm) || !std::isfinite(qn)) return std::nullopt;
    if (raw > allow || qn > tol || norm > tol) return std::nullopt;
    worst_norm = nan_max(worst_norm, nan_max(norm, qn));
    worst_raw = nan_max(worst_raw, raw);
  }
  return ForwardStepCandidate{v, worst_norm, worst_raw};
}

std::optional<ForwardStepCandidate> max_feasible_bisect(std::span<const Lp2dRow> rows,
                                                        const ReachSet2Options& options,
                                                        const ForwardStepContext& step) {
  const double tol = options.lp_feas_tol;
  const double a_prev = step.a_prev;
  if (!std::isfinite(a_prev) || !std::isfinite(step.b_min_prev) || !std::isfinite(step.b_max_prev)) return std::nullopt;
  if (!std::isfinite(tol) || tol < 0) return std::nullopt;
  if (std::isnan(step.b_min) || std::isnan(step.b_max) || std::isnan(step.amax_prev) || std::isnan(step.amax)) {
    return std::nullopt;
  }
  const double prev_top = nan_min(step.b_max_prev, step.amax_prev);
  if (!std::isfinite(prev_top)) return std::nullopt;

  // a_prev must agree with the previous station's bounds, else the rows are read at a wrong point.
  const double prev_floor = nan_max(step.b_min_prev, 0.0);
  if (a_prev - prev_floor < -a_tolerance(options, a_prev, prev_floor)) return std::nullopt;
  if (a_prev - prev_top > a_tolerance(options, a_prev, prev_top)) return std::nullopt;

  // The target range, then a bracket inside it from the rows, each relaxed by its allowance.
  const double target_hi = nan_min(step.b_max, step.amax);
  const double target_lo = nan_max(step.b_min, 0.0);
  if (target_lo > target_hi || target_lo == kInf || std::isnan(target_lo) || !std::isfinite(target_hi)) {
    return std::nullopt;
  }
  const auto oracle = [&](double v) { return forward_step_violation(v, target_lo, target_hi, rows, tol, a_prev); };
  if (auto at_top = oracle(target_hi)) return at_top;

  double lo = target_lo;
  double hi = target_hi;
  for (const Lp2dRow& row : rows) {
    const auto scale = row_scale(row, tol);
    if (!scale) return std::nullopt;
    if (scale->h == 0) continue;
    const double inv = 1.0 / scale->h;
    const double rhs = row.c * inv + nan_min(tol, scale->allow * inv) - a_prev * (row.b * inv);
    if (!std::isfinite(rhs)) return std::nullopt;
    const double pn = row.a * inv;
    if (pn > 0) {
      hi = nan_min(hi, rhs / pn);
    } else if (pn < 0) {
      lo = nan_max(lo, rhs / pn);
    } else if (rhs < 0) {
      return std::nullopt;
    }
  }
  if (!std::isfinite(lo) || !std::isfinite(hi) || lo > hi) return std::nullopt;

  // The bracket's top and the next four doubles below it, then bisection towards the top.
  double v = hi;
  for (int i = 0; i < 5 && !(v < lo); ++i) {
    if (auto found = oracle(v)) return found;
    v = std::nextafter(v, -kInf);
  }
  double x = hi * 0.5 + lo * 0.5;
  auto best = oracle(x);
  if (!best) return std::nullopt;
  for (int i = 0; i < 64; ++i) {
    const double m = x * 0.5 + hi * 0.5;
    if (m == x || m == hi) break;
    if (auto at_m = oracle(m)) {
      x = m;
      best = at_m;
    } else {
      hi = m;
    }
  }
  return best;
}

}  // namespace qarn::qarn2

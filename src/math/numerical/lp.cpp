// The two-variable linear program: incremental passes over the rows in their given order, a
// box that grows when the optimum sits on it, a vertex search when rounding defeats the
// incremental step, and a few deferred corrections that are reported on standard output.
#include "math/numerical/lp.hpp"

#include <cmath>
#include <limits>

#include "diag/format.hpp"
#include "diag/log.hpp"
#include "math/numerical/maxnum.hpp"

namespace qarn {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A row whose coefficients are both below this is a constant row: only 0 <= c is checked.
constexpr double kDegenerate = 1e-9;
// A row holds when its residual is below this fraction of the magnitudes of its terms.
constexpr double kRelativeViolation = 1e-13;
// One unit in the last place above 1.5 machine epsilons: a combined coefficient p + q is taken
// as zero when |p + q| <= (|p| + |q|) * this, the rounding error of forming it.
constexpr double kParallel = 3.33066907387547e-16;
constexpr double kInitialBox = 1e6;
constexpr double kBoxGrowth = 1000.0;
constexpr int kPasses = 7;
constexpr int kCorrections = 4;

bool is_degenerate(const Lp2dRow& r) {
  return std::fabs(r.a) < kDegenerate && std::fabs(r.b) < kDegenerate;
}

double residual(const Lp2dRow& r, double x, double y) { return r.a * x + r.b * y - r.c; }

double relative_slack(const Lp2dRow& r, double x, double y) {
  return kRelativeViolation * (std::fabs(r.c) + std::fabs(r.a * x) + std::fabs(r.b * y));
}

bool all_hold(std::span<const Lp2dRow> rows, double x, double y, double tol) {
  for (const Lp2dRow& r : rows) {
    if (!(residual(r, x, y) <= tol)) return false;
  }
  return true;
}

// The highest point on the line of one row against a set of rows.
struct LineSolution {
  bool feasible = false;
  double x = 0.0;
  double y = 0.0;
  std::size_t active = kLpNoRow;  // the other row that fixes the point, if any
};

// The interval lo <= v <= hi of the free coordinate v along a line, every row reduced to
// p * v <= q with p = own + cross (its own coefficient plus the share of the other coordinate),
// and the rows that set each end. A row with p within the rounding of forming it is parallel to
// the line: violated beyond parallel_tol, it leaves no interval (nothing); otherwise it is ignored.
struct LineInterval {
  double lo = -kInf;
  double hi = kInf;
  std::size_t lo_row = kLpNoRow;
  std::size_t hi_row = kLpNoRow;
};

struct ReducedRow {
  double own;
  double cross;
  double q;
};

template <class Reduce>
std::optional<LineInterval> interval_along_line(std::span<const Lp2dRow> rows, double parallel_tol, Reduce reduce) {
  LineInterval v;
  for (std::size_t j = 0; j < rows.size(); ++j) {
    const ReducedRow r = reduce(rows[j]);
    const double p = r.own + r.cross;
    if (std::fabs(p) <= (std::fabs(r.own) + std::fabs(r.cross)) * kParallel) {
      if (r.q < -parallel_tol) return std::nullopt;
      continue;
    }
    if (p > 0) {
      if (r.q < v.hi * p) {
        v.hi = r.q / p;
        v.hi_row = j;
      }
    } else if (r.q < v.lo * p) {
      v.lo = r.q / p;
      v.lo_row = j;
    }
  }
  return v;
}

// Maximises y on the line `line` (not degenerate) subject to `rows`.
//   parallel_tol: a parallel row violated beyond it is fatal (solved for x) or leaves the x
//                 interval undefined (solved for y); also the allowance of an inverted y interval;
//   x_allow:      allowance of an inverted x interval;
//   y_cap:        the height is capped here when the line is solved for x.
LineSolution solve_on_line(std::span<const Lp2dRow> rows, const Lp2dRow& line, double y_cap, double box,
                           double parallel_tol, double x_allow) {
  LineSolution out;
  if (std::fabs(line.a) > std::fabs(line.b)) {
    // x = slope * y + offset.
    const double slope = -(line.b / line.a);
    const double offset = line.c / line.a;
    const auto y_range = interval_along_line(rows, parallel_tol, [&](const Lp2dRow& r) {
      return ReducedRow{r.b, r.a * slope, r.c - r.a * offset};
    });
    if (!y_range) return out;
    const double lo = y_range->lo;
    const double hi = y_range->hi;
    const double allow = nan_max(parallel_tol, kRelativeViolation * (std::fabs(lo) + std::fabs(hi)));
    if (!(lo <= hi + allow)) return out;
    double y = lo <= hi ? hi : (lo + hi) * 0.5;
    if (std::isnan(y)) return out;
    y = nan_min(y, y_cap);
    out.feasible = true;
    out.active = y_range->hi_row;
    out.x = slope * y + offset;
    out.y = y;
    return out;
  }

  // y = slope * x + offset. Without an x interval (a violated parallel row) both ends are NaN,
  // and the box decides where on the line to stand.
  const double slope = -(line.a / line.b);
  const double offset = line.c / line.b;
  const LineInterval x_range =
      interval_along_line(rows, parallel_tol, [&](const Lp2dRow& r) {
        return ReducedRow{r.a, slope * r.b, r.c - r.b * offset};
      }).value_or(LineInterval{kNaN, kNaN, kLpNoRow, kLpNoRow});
  double lo = x_range.lo;
  double hi = x_range.hi;
  const std::size_t lo_row = x_range.lo_row;
  const std::size_t hi_row = x_range.hi_row;
  if (hi < lo) {
    if (lo - hi > nan_max(x_allow, kRelativeViolation * (std::fabs(lo) + std::fabs(hi)))) return out;
    lo = hi = (lo + hi) * 0.5;
  }
  // Walk along the line in the direction in which y rises.
  double x;
  if (slope > 0) {
    if (std::isfinite(hi)) {
      x = hi;
      out.active = hi_row;
    } else if (lo > box) {
      x = lo;
      out.active = lo_row;
    } else {
      x = box;
    }
  } else if (slope < 0) {
    if (std::isfinite(lo)) {
      x = lo;
      out.active = lo_row;
    } else if (hi < -box) {
      x = hi;
      out.active = hi_row;
    } else {
      x = -box;
    }
  } else if (lo > 0) {
    x = lo;
    out.active = lo_row;
  } else if (hi < 0.0) {
    x = hi;
    out.active = hi_row;
  } else {
    x = 0.0;
  }
  out.feasible = true;
  out.x = x;
  out.y = slope * x + offset;
  return out;
}

// Moves (x, y) to the best point on the line of `line` against `rows`; false when the program
// is infeasible there. A degenerate row only checks its constant.
bool resolve_on_line(std::span<const Lp2dRow> rows, const Lp2dRow& line, double& x, double& y, double tol,
                     double box) {
  if (is_degenerate(line)) return line.c >= -tol;
  const LineSolution s = solve_on_line(rows, line, y, box, 10.0 * tol, tol);
  if (!s.feasible) return false;
  x = s.x;
  y = s.y;
  return true;
}

// Upper bound on y from the rows with a clearly positive y coefficient, for |x| as large as the
// x bounds allow; 1e6 when there is none.
double start_height(std::span<const Lp2dRow> rows) {
  const double x_extent = nan_max(std::fabs(rows[0].c), std::fabs(rows[1].c));
  double y0 = kInf;
  for (std::size_t i = 2; i < rows.size(); ++i) {
    const Lp2dRow& r = rows[i];
    if (r.b > kDegenerate) y0 = nan_min(y0, (r.c + x_extent * std::fabs(r.a)) / r.b);
  }
  return (rows.size() < 3 || !std::isfinite(y0)) ? kInitialBox : y0;
}

void negate_b(std::span<Lp2dRow> rows) {
  for (Lp2dRow& r : rows) r.b = -r.b;
}

// One incremental pass from the start point, with its fallbacks; false when infeasible.
bool incremental_pass(std::span<const Lp2dRow> rows, double& x, double& y, double tol, double box) {
  for (std::size_t i = 3; i < rows.size(); ++i) {
    const Lp2dRow& row = rows[i];
    const double r = residual(row, x, y);
    if (r <= relative_slack(row, x, y)) continue;
    if (r > tol) {
      if (!resolve_on_line(rows.first(i), row, x, y, tol, box)) return false;
      continue;
    }
    // A small violation: move onto the line when that is sound, otherwise search for the best
    // verified point among the rows seen so far.
    if (resolve_on_line(rows.first(i), row, x, y, tol, box)) continue;
    Lp2dPoint p = lp_2d_maximize(rows.first(i + 1), 2.5 * tol, x, y, 0.25 * tol, box);
    if (!p.found) {
      if (0.25 * tol == tol) return false;
      p = lp_2d_maximize(rows.first(i + 1), 10.0 * tol, x, y, tol, box);
      if (!p.found) return false;
    }
    x = p.x;
    y = p.y;
  }
  return true;
}

// Re-solves on the worst violated row, a few times; false when infeasible.
bool deferred_corrections(std::span<const Lp2dRow> rows, double& x, double& y, double tol, double box) {
  for (int round = 0; round < kCorrections; ++round) {
    std::size_t worst = kLpNoRow;
    double worst_excess = 0.0;
    for (std::size_t j = 0; j < rows.size(); ++j) {
      const double e = residual(rows[j], x, y) - nan_max(tol, relative_slack(rows[j], x, y));
      if (e > worst_excess) {
        worst_excess = e;
        worst = j;
      }
    }
    if (worst == kLpNoRow) return true;
    log_line(fmt::format("lp_2d deferred correction fired: row {} violated by {:.3?} beyond tolerance", worst,
                         worst_excess));
    if (!resolve_on_line(rows, rows[worst], x, y, tol, box)) return false;
  }
  return true;
}

// The maximisation of y, started at height y0 (computed by the caller, before any negation).
double maximize_from(std::span<const Lp2dRow> rows, double x_hint, double tol, double y0) {
  double default_box = kInitialBox;
  for (int pass = 1;; ++pass) {
    const double extent = nan_max(std::fabs(x_hint), std::fabs(y0));
    const double box = (extent > default_box && std::isfinite(x_hint)) ? kBoxGrowth * extent : default_box;
    double x = x_hint;
    double y = (box > kInitialBox && y0 == kInitialBox) ? box : y0;
    if (!incremental_pass(rows, x, y, tol, box)) return kNaN;
    if (!deferred_corrections(rows, x, y, tol, box)) return kNaN;
    if (!std::isfinite(x) || !std::isfinite(y)) return y;
    // An optimum well inside the box is final; one near its edge may be cut off by it.
    if (pass == kPasses || nan_max(y, std::fabs(x)) < 0.5 * box) return y;
    default_box *= kBoxGrowth;
  }
}

// The minimum of y from the maximum of -y; an infeasible NaN becomes (negative) zero.
double minimum_from_negated(double max_of_negated) { return -nan_min(max_of_negated, 0.0); }

}  // namespace

// Every entry first needs the two bounds of x (rows 0 and 1); without them there is no program,
// which counts as infeasible.
double lp_2d_max(std::span<const Lp2dRow> rows, double x_hint, double tol) {
  if (rows.size() < 2) return kNaN;
  return maximize_from(rows, x_hint, tol, start_height(rows));
}

double lp_2d_min(std::span<Lp2dRow> rows, double x_hint, double tol) {
  if (rows.size() < 2) return minimum_from_negated(kNaN);
  const double y0 = start_height(rows);
  negate_b(rows);
  return minimum_from_negated(maximize_from(rows, x_hint, tol, y0));
}

std::pair<double, double> lp_2d_max_min(std::span<Lp2dRow> rows, double x_hint, double tol) {
  if (rows.size() < 2) return {kNaN, minimum_from_negated(kNaN)};
  const double y0 = start_height(rows);
  const double max = maximize_from(rows, x_hint, tol, y0);
  negate_b(rows);
  return {max, minimum_from_negated(maximize_from(rows, x_hint, tol, y0))};
}

Lp2dPoint lp_2d_maximize(std::span<const Lp2dRow> rows, double tol2, double x, double y, double tol_point,
                         double box) {
  const std::optional<double> x_line = lp_2d_line_interval(rows, x, y, tol_point);
  const double y_floor = x_line ? y - tol_point : -kInf;
  if (const auto v = lp_2d_vertex_search(rows, y, y_floor, tol_point, tol2, box)) return {true, v->x, v->y};
  if (x_line && *x_line == x) return {true, x, y};
  return {};
}

std::optional<double> lp_2d_line_interval(std::span<const Lp2dRow> rows, double x, double y, double tol_point) {
  if (std::isfinite(x) && all_hold(rows, x, y, tol_point)) return x;
  double lo = -kInf;
  double hi = kInf;
  for (const Lp2dRow& r : rows) {
    if (!std::isfinite(r.a) || !std::isfinite(r.b) || !std::isfinite(r.c)) return std::nullopt;
    const double rhs = std::fma(-r.b, y, r.c + tol_point);
    if (!std::isfinite(rhs)) return std::nullopt;
    if (r.a > 0) {
      hi = nan_min(hi, rhs / r.a);
    } else if (r.a < 0) {
      lo = nan_max(lo, rhs / r.a);
    } else if (rhs < 0) {
      return std::nullopt;
    }
  }
  if (lo > hi) return std::nullopt;
  const auto accept = [&](double candidate) { return std::isfinite(candidate) && all_hold(rows, candidate, y, tol_point); };
  double clamped = x;
  if (clamped < lo) clamped = lo;
  if (clamped > hi) clamped = hi;
  if (accept(clamped)) return clamped;
  if (std::isfinite(lo) && std::isfinite(hi)) {
    const double mid = 0.5 * lo + 0.5 * hi;
    if (accept(mid)) return mid;
  }
  if (accept(lo)) return lo;
  if (accept(hi)) return hi;
  return std::nullopt;
}

std::optional<Lp2dVertex> lp_2d_vertex_search(std::span<const Lp2dRow> rows, double y_cap, double y_floor,
                                              double tol_point, double tol2, double box) {
  std::optional<Lp2dVertex> best;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Lp2dRow& row = rows[i];
    if (is_degenerate(row)) continue;
    const LineSolution s = solve_on_line(rows, row, y_cap, box, tol2, tol_point);
    if (!s.feasible) continue;
    if (!std::isfinite(s.x) || !std::isfinite(s.y) || !(y_floor <= s.y && s.y <= y_cap)) continue;
    if (!(std::fabs(residual(row, s.x, s.y)) <= tol_point)) continue;
    if (!all_hold(rows, s.x, s.y, tol_point)) continue;
    if (!lp_2d_check_vertex(rows, i, i, s.active, s.x, s.y, tol_point, box)) continue;
    const Lp2dVertex v{s.x, s.y, i, s.active};
    if (s.y == y_cap) return v;
    if (!best || s.y > best->y) best = v;
  }
  return best;
}

bool lp_2d_check_vertex(std::span<const Lp2dRow> rows, std::size_t i, std::size_t j1, std::size_t j2, double x,
                        double y, double tol_point, double box) {
  const auto valid = [&](std::size_t j) { return j < rows.size(); };
  if (!valid(j1)) std::swap(j1, j2);
  if (!valid(j1)) return false;
  if (i != j1 && i != j2) return false;
  if (std::fabs(residual(rows[j1], x, y)) > tol_point) return false;
  if (valid(j2) && std::fabs(residual(rows[j2], x, y)) > tol_point) return false;
  if (valid(j2) && j2 != j1) {
    // Optimal when the objective direction (0, 1) is a non-negative combination of the normals.
    const Lp2dRow& r1 = rows[j1];
    const Lp2dRow& r2 = rows[j2];
    const double det = r1.a * r2.b - r2.a * r1.b;
    if (!std::isfinite(det) || std::fabs(det) <= (std::fabs(r2.b * r1.a) + std::fabs(r2.a * r1.b)) * kParallel) {
      return false;
    }
    const double u = -r2.a / det;
    const double w = r1.a / det;
    return std::isfinite(u) && std::isfinite(w) && u >= 0 && w >= 0;
  }
  // One active row: optimal on the box's top, or where the row's normal points up and the row
  // is flat or the point sits on the box side towards which the row rises.
  const Lp2dRow& r = rows[j1];
  if (y == box) return true;
  if (!(r.b > 0)) return false;
  return r.a == 0 || (x == -box && r.a > 0) || (x == box && r.a < 0);
}

}  // namespace qarn

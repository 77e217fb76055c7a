// Bounds of one variable of the two-variable rows a*x + b*y <= c when the other is fixed: the
// step that replaces the LP wherever a neighbouring value is a single point.
#pragma once

#include <cmath>
#include <limits>
#include <optional>
#include <span>

#include "math/numerical/lp_row.hpp"
#include "math/numerical/maxnum.hpp"

namespace qarn::qarn2 {

struct Interval {
  double lo;
  double hi;
};

// kFreeIsY: y free, x fixed; else x free, y fixed. A row whose free coefficient is below
// min(max(|r|, 0.001), 1) * 1e-9 (r its right-hand side after fixing) does not involve the free
// variable: it only has to hold within tol, else there is no interval. No slack is applied to
// an inverted result.
template <bool kFreeIsY>
std::optional<Interval> bound_free_variable(std::span<const Lp2dRow> rows, double fixed, double tol) {
  double lo = -std::numeric_limits<double>::infinity();
  double hi = std::numeric_limits<double>::infinity();
  for (const Lp2dRow& row : rows) {
    const double free = kFreeIsY ? row.b : row.a;
    const double r = row.c - (kFreeIsY ? row.a : row.b) * fixed;
    const double thr = nan_min(nan_max(std::fabs(r), 0.001), 1.0) * 1e-9;
    if (std::fabs(free) < thr) {
      if (r < -tol) return std::nullopt;
      continue;
    }
    if (free > 0) {
      if (r < hi * free) hi = r / free;
    } else if (r < lo * free) {
      lo = r / free;
    }
  }
  return Interval{lo, hi};
}

}  // namespace qarn::qarn2

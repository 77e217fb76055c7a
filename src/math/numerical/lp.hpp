// The two-variable linear program of the reachability analysis: bound y over a*x + b*y <= c.
// An incremental (Seidel-style, fixed row order) method hardened for floating point, with a
// growing box, a brute-force vertex fallback and a deferred correction pass; it never allocates.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "math/numerical/lp_row.hpp"

namespace qarn {

// Row roles fixed by the callers: row 0 is (1, 0, x_hi), row 1 is (-1, 0, -x_lo), row 2 the first
// bound on y, rows 3.. the coupling rows. Fewer than two rows count as an infeasible program.

// Largest y over all points satisfying every row within `tol`; NaN when infeasible.
double lp_2d_max(std::span<const Lp2dRow> rows, double x_hint, double tol);
// Smallest y, clamped to at least zero (zero, never NaN, when infeasible). Negates the b column
// of `rows` in place: callers rebuild the rows before reusing them.
double lp_2d_min(std::span<Lp2dRow> rows, double x_hint, double tol);
// (lp_2d_max, lp_2d_min) in one call; leaves the b column negated like lp_2d_min.
std::pair<double, double> lp_2d_max_min(std::span<Lp2dRow> rows, double x_hint, double tol);

// ---- the fallback pieces, public so that they can be exercised on their own ----

inline constexpr std::size_t kLpNoRow = std::numeric_limits<std::size_t>::max();

struct Lp2dPoint {
  bool found = false;
  double x = 0.0;
  double y = 0.0;
};

struct Lp2dVertex {
  double x;
  double y;
  std::size_t row1;  // active rows; kLpNoRow when the bound came from the box or from zero
  std::size_t row2;
};

// Best point of the rows reachable from (x, y): a verified vertex no higher than y, or (x, y)
// itself when it already holds within tol_point.
Lp2dPoint lp_2d_maximize(std::span<const Lp2dRow> rows, double tol2, double x, double y, double tol_point,
                         double box);
// With y fixed, an x at which every row holds within tol_point.
std::optional<double> lp_2d_line_interval(std::span<const Lp2dRow> rows, double x, double y, double tol_point);
// Highest vertex of the rows with y_floor <= y <= y_cap that passes lp_2d_check_vertex.
std::optional<Lp2dVertex> lp_2d_vertex_search(std::span<const Lp2dRow> rows, double y_cap, double y_floor,
                                              double tol_point, double tol2, double box);
// Optimality test of the vertex (x, y) of row i with active rows j1, j2 (kLpNoRow when absent).
bool lp_2d_check_vertex(std::span<const Lp2dRow> rows, std::size_t i, std::size_t j1, std::size_t j2,
                        double x, double y, double tol_point, double box);

}  // namespace qarn

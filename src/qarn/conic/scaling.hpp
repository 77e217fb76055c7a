// The scale stage of every conic solve. A profile problem mixes magnitudes that differ by many
// orders (a near 1e-6 beside time variables near 1e3 in one cone when the limits are small), and
// the solver's tolerances then act on the large ones only. The stage solves an equivalent program
// in which every variable and row is near one, and maps the solution back:
//   - columns: x = D x^ with D the magnitude each solver expects of its variables (taken from the
//     problem's profile references, see references.hpp);
//   - second-order cones of the rotated form (s0 + s1)(s0 - s1) >= |rest|^2: a hyperbolic
//     rotation (boost) of rows 0 and 1 that balances s0 + s1 against s0 - s1, which keeps the cone;
//   - rows: one factor per zero or nonnegative row (an inequality by its bound), one per
//     second-order cone;
//   - cost: one factor, sized as the caller says (CostScale below).
// The factors follow the data exactly instead of being rounded to powers of two: rounding would
// leave a problem scaled in time or space with a residual factor of up to 2, a different program
// for the solver, and profiles that differ by the solver's tolerance (measured: up to 6e-6 where
// exact factors give 4e-8); exact factors cost one rounding per entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "qarn/clarabel_bridge.hpp"
#include "qarn/conic/program.hpp"

namespace qarn {

// How the cost factor is chosen. The duals of the dynamic equalities (a's change over an interval
// against h (b_i + b_i+1), the costate of the path) add up the cost's slopes over the stations,
// and a time cost's slope grows as a^(-3/2) below the unit: a profile F times below its units
// needs duals F^(3/2) times those at the units, and Clarabel must grow them from one. Measured on
// 5,000 stations with the cost by its entries: the largest equality dual was 1.1e3 at F = 1 (24
// iterations) and 1.8e5 at F = 30 (stalled); F = 3 took 41 iterations, F = 10 151, and F = 149
// (the jerk limits holding the motion below its reference) stopped at 200, steps of 0.1 to 0.2.
enum class CostScale : std::uint8_t {
  // The nonzero entries to a root mean square of one: the fewest iterations where the units are a
  // solution's. The largest entry would let a few stations the objective weighs heavily (a time
  // weight at a slow station) shrink all the others, and the method then takes more iterations
  // (30 against 26 on the TOPP3 LP benchmark).
  Entries,
  // By the entries, with the objective at units (below) at most kLargestObjectiveAtUnits. By its
  // entries alone the objective at units grows with the station count (one entry near one per
  // station) and the costate with it, until the method creeps in short steps on fine grids. Up to a
  // few hundred stations the two sizings are one.
  BoundedEntries,
  // The objective's size with every variable at its unit (the sum of |q_j| and |P_ij| / 2) to
  // kObjectiveAtUnits: the costate no longer grows with the station count (by the entries, the
  // reproducer's path took 34, 79, 200 and 200 iterations at 300, 1,000, 2,000 and 5,000
  // stations; this way 17, 19, 23 and 30), which leaves it room for a profile far below
  // estimated units.
  Objective,
};

// Clarabel measures its gap relative to max(1, |objective|): ten keeps that relative measure in
// charge (an objective that only grows below the units, as the time does, stays above it) and
// measured best: the SOCP campaign's iterations rose by 7.7% at 1, 2.7% at 10, and at 30 and 100
// the 5,000-station reproducer took 41 and 100 iterations against 28 at 10.
inline constexpr double kObjectiveAtUnits = 10.0;

// The bound of BoundedEntries: low enough that the costate stays small on fine grids, high enough
// that the absolute floors of Clarabel's tolerances and regularization, which weigh more as the
// objective shrinks, seldom end a solve inexactly.
inline constexpr double kLargestObjectiveAtUnits = 200.0;

// The factors of one program, and the transformed program handed to the solver.
struct ScaledProgram {
  ConicProgram program;
  std::vector<double> column;  // x = column .* x^
  std::vector<double> row;     // s^ = row .* (B s), B the boosts below
  struct Boost {
    std::size_t row;  // first row of the cone; the boost mixes it with the next row
    double lambda;    // s0 + s1 is multiplied by lambda, s0 - s1 divided by it
  };
  std::vector<Boost> boosts;
  double cost = 1.0;  // q^ = cost * D q, P^ = cost * D P D
};

// Scales `program` (whose data are finite) as described above; column j gets the magnitude
// column_scale[j] (1 beyond the span and where it is no positive finite number).
ScaledProgram scale_program(const ConicProgram& program, std::span<const double> column_scale,
                            CostScale cost = CostScale::Entries);

// Maps the solver's output on the scaled program back to the units of the original program:
// x, z, s, obj_val and obj_val_dual. The residuals and statistics stay the solver's.
void unscale_solution(const ScaledProgram& scaled, clarabel::SolveOutput& out);

}  // namespace qarn

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
//   - cost: one factor, the root mean square of its nonzero entries brought to one.
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
ScaledProgram scale_program(const ConicProgram& program, std::span<const double> column_scale);

// Maps the solver's output on the scaled program back to the units of the original program:
// x, z, s, obj_val and obj_val_dual. The residuals and statistics stay the solver's.
void unscale_solution(const ScaledProgram& scaled, clarabel::SolveOutput& out);

}  // namespace qarn

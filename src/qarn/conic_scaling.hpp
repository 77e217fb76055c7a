// The scale stage of every conic solve. A profile problem mixes magnitudes that differ by many
// orders (a near 1e-6 beside time variables near 1e3 in one cone when the limits are small), and
// the solver's tolerances then act on the large ones only. The stage solves an equivalent program
// in which every variable and row is near one, and maps the solution back:
//   - columns: x = D x^ with D from the problem's profile references (each solver declares its
//     column classes: a, b and auxiliaries as powers of the references);
//   - second-order cones of the rotated form (s0 + s1)(s0 - s1) >= |rest|^2: a hyperbolic
//     rotation (boost) of rows 0 and 1 that balances s0 + s1 against s0 - s1, which keeps the cone;
//   - rows: one factor per zero or nonnegative row (an inequality by its bound), one per
//     second-order cone;
//   - cost: one factor.
// The factors follow the data exactly instead of being rounded to powers of two: rounding would
// leave a problem scaled in time or space with a residual factor of up to 2, a different program
// for the solver, and profiles that differ by the solver's tolerance (measured: up to 6e-6 where
// exact factors give 4e-8); exact factors cost one rounding per entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "qarn/clarabel_bridge.hpp"
#include "qarn/conic_program.hpp"
#include "qarn/profile_scale.hpp"

namespace qarn {

// Which reference a column class scales with.
enum class ScaleBase : std::uint8_t { A, B };

// Which a reference a column of an A class takes: the window's one, or (given per-station
// references) that of the column's station (column i of the class is station i of the window), or
// the geometric mean of the two stations of interval i.
enum class Spread : std::uint8_t { Uniform, Station, Interval };

// Columns [first, first + count) have the magnitude base^power (power a multiple of 1/2; for
// example r = sqrt(a): {A, 0.5}, a time bound 1 / sqrt(a): {A, -0.5}).
struct ColumnClass {
  std::size_t first;
  std::size_t count;
  ScaleBase base;
  double power;
  Spread spread = Spread::Uniform;
};

// How a solver's variables scale: the references and the column classes. Columns outside every
// class keep scale 1. The empty description scales only rows, cones and cost.
struct ColumnScaling {
  ProfileScale reference;
  std::vector<ColumnClass> classes;
  std::vector<double> a_at;  // per-station references of a; empty: the window's one everywhere
};

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

// Scales `program` (whose data are finite) as described above.
ScaledProgram scale_program(const ConicProgram& program, const ColumnScaling& columns);

// Maps the solver's output on the scaled program back to the units of the original program:
// x, z, s, obj_val and obj_val_dual. The residuals and statistics stay the solver's.
void unscale_solution(const ScaledProgram& scaled, clarabel::SolveOutput& out);

}  // namespace qarn

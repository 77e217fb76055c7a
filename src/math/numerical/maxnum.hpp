// NaN-ignoring minimum and maximum (IEEE minNum/maxNum): a NaN operand yields the other one.
// Written inline because std::fmin/std::fmax compile to library calls, and they sit in hot loops.
#pragma once

namespace qarn {

inline double nan_min(double a, double b) { return (a < b || b != b) ? a : b; }
inline double nan_max(double a, double b) { return (a > b || b != b) ? a : b; }

}  // namespace qarn

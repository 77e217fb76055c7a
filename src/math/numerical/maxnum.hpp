// NaN-ignoring minimum and maximum (IEEE minNum/maxNum): a NaN operand yields the other one, and
// of two zeros the maximum is +0 and the minimum -0, so that clamping -0 at zero gives +0.
// Written inline because std::fmin/std::fmax compile to library calls, and they sit in hot loops.
#pragma once

#include <cmath>

namespace qarn {

inline double nan_max(double a, double b) {
  if (a > b) return a;
  if (b > a) return b;
  if (a != a) return b;
  if (b != b) return a;
  return std::signbit(a) ? b : a;  // equal values: only the sign of a zero can differ
}

inline double nan_min(double a, double b) {
  if (a < b) return a;
  if (b < a) return b;
  if (a != a) return b;
  if (b != b) return a;
  return std::signbit(a) ? a : b;
}

}  // namespace qarn

// Checks of a station grid s and a node profile on it, shared by the time conversions of both
// orders and by the profile audits: a profile is only converted or measured on a grid that passes.
#pragma once

#include <span>
#include <string_view>

#include "diag/result.hpp"

namespace qarn {

// Every failure is InvalidInput from the routine `name`.

// s has at least two finite, strictly increasing values and a is finite with the same length.
Status validate_s_profile(std::string_view name, std::span<const double> s, std::span<const double> a);
// a is finite, non-negative, and no two neighbours are both zero (the travel time stays finite).
Status validate_a_profile(std::string_view name, std::span<const double> a);
// The element checks behind both, in their order: no NaN, then no infinity; then strict increase.
Status check_finite_values(std::string_view name, std::string_view label, std::span<const double> v);
Status check_strictly_increasing(std::string_view name, std::string_view label, std::span<const double> v);
Status check_finite_scalar(std::string_view name, std::string_view label, double v);

}  // namespace qarn

// Grid and profile checks; the element checks run in a fixed order (NaN, then infinity, then
// ordering), so a value that is both NaN and out of order is reported as NaN.
#include "qarn/profile_grid.hpp"

#include <cmath>
#include <string>

#include "diag/format.hpp"

namespace qarn {
namespace {

CoreError invalid(std::string_view name, std::string message) {
  return CoreError::invalid_input(std::string(name), std::move(message));
}

}  // namespace

Status check_finite_values(std::string_view name, std::string_view label, std::span<const double> v) {
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (std::isnan(v[i])) return invalid(name, fmt::format("`{}[{}]` = {} must not be NaN", label, i, v[i]));
  }
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (std::isinf(v[i])) return invalid(name, fmt::format("`{}[{}]` = {} must not be infinite", label, i, v[i]));
  }
  return {};
}

Status check_strictly_increasing(std::string_view name, std::string_view label, std::span<const double> v) {
  for (std::size_t i = 0; i + 1 < v.size(); ++i) {
    if (v[i] >= v[i + 1]) {
      return invalid(name, fmt::format("`{}` must be strictly increasing; first violation at local index {}.",
                                       label, i));
    }
  }
  return {};
}

Status check_finite_scalar(std::string_view name, std::string_view label, double v) {
  if (std::isnan(v)) return invalid(name, fmt::format("{} = {} must not be NaN", label, v));
  if (std::isinf(v)) return invalid(name, fmt::format("{} = {} must not be infinite", label, v));
  return {};
}

Status validate_s_profile(std::string_view name, std::span<const double> s, std::span<const double> a) {
  if (s.size() < 2) return invalid(name, fmt::format("{} = {} must be at least {}", "`s.len()`", s.size(), 2));
  if (a.size() != s.size()) {
    return invalid(name, fmt::format("{} = {} must equal {} = {}", "`a.len()`", a.size(), "`s.len()`", s.size()));
  }
  QARN_TRY(check_finite_values(name, "s", s));
  QARN_TRY(check_finite_values(name, "a", a));
  return check_strictly_increasing(name, "s", s);
}

Status validate_a_profile(std::string_view name, std::span<const double> a) {
  QARN_TRY(check_finite_values(name, "a", a));
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] < 0) return invalid(name, fmt::format("`{}[{}]` = {} must be nonnegative", "a", i, a[i]));
  }
  for (std::size_t k = 0; k + 1 < a.size(); ++k) {
    const double root_sum = std::sqrt(a[k]) + std::sqrt(a[k + 1]);
    if (!std::isfinite(root_sum) || !(root_sum > 0)) {
      return invalid(name, fmt::format("`sqrt(a[{}]) + sqrt(a[{}])` must be finite and positive", k, k + 1));
    }
  }
  return {};
}

}  // namespace qarn

// Linearization of the jerk rows. A raw row jerk_a a + jerk_b b + jerk_c c + jerk_d <= jerk_max/sqrt(a)
// is not linear in a; replacing 1/sqrt(a) by its tangent 1.5 r - 0.5 r^3 a at a reference a*
// (r = 1/sqrt(a*)) gives (jerk_a + 0.5 r^3 jerk_max) a + jerk_b b + jerk_c c <= 1.5 r jerk_max - jerk_d.
#include <cmath>
#include <limits>

#include "qarn/constraints.hpp"

namespace qarn {

// Checks (window, floor, signs of the reference), then stores the floor; nothing changes when it
// fails. No row growth is needed: add_constraint_3rd grows the linearized matrices with the raw
// ones, so every valid raw row already has its linearized slot.
Status Constraints::prepare_linearization(std::span<const double> a_ref, std::uint64_t idx, double floor) {
  const std::uint64_t n = a_ref.size();
  if (!contains(idx, n)) return ConstraintError::OutOfSBounds{idx, n};
  // A NaN floor would be ignored by the fmax below and let a zero reference through as an
  // infinite tangent factor: it is no more a positive floor than 0 is.
  if (!(floor > 0.0)) return ConstraintError::NonPositiveLinearizationFloor{};
  for (const double a : a_ref) {
    if (a < 0.0) return ConstraintError::NonPositiveA{};
  }
  a_linearization_floor_ = floor;
  return {};
}

// Calls f(j, idx_s, slot, rows) for every station idx_s = idx + j of [idx, idx + n) that holds
// third-order rows, run by run.
template <class F>
void Constraints::for_each_jerk_station(std::uint64_t idx, std::uint64_t n, F&& f) const {
  for (const StationRun& run : jerk_runs_.runs_overlapping(idx, idx + n)) {
    if (run.rows == 0) continue;
    for (std::uint64_t i = std::max(idx, run.start); i < std::min(idx + n, run.end); ++i) {
      f(static_cast<std::size_t>(i - idx), i, slot_of(i), static_cast<std::size_t>(run.rows));
    }
  }
}

void Constraints::write_linearized_row(std::size_t slot, std::size_t row, double r, double r3) {
  const double jerk_max = jerk_max_(row, slot);
  jerk_lin_a_(row, slot) = jerk_a_(row, slot) + 0.5 * r3 * jerk_max;
  jerk_lin_max_(row, slot) = 1.5 * r * jerk_max - jerk_d_(row, slot);
}

Status Constraints::linearize_jerk_constraints(std::span<const double> a_ref, std::uint64_t idx, double floor) {
  if (a_ref.empty()) return {};
  QARN_TRY(prepare_linearization(a_ref, idx, floor));
  for_each_jerk_station(idx, a_ref.size(), [&](std::size_t j, std::uint64_t, std::size_t slot, std::size_t rows) {
    // fmax: a NaN reference falls back to the floor.
    const double r = 1.0 / std::sqrt(std::fmax(a_ref[j], floor));
    const double r3 = r * r * r;
    for (std::size_t row = 0; row < rows; ++row) write_linearized_row(slot, row, r, r3);
  });
  lin_range_ = {idx, idx + a_ref.size()};
  return {};
}

Status Constraints::linearize_jerk_constraints_with_b(std::span<const double> a_ref, std::span<const double> b_ref,
                                                      std::uint64_t idx, std::uint64_t k0, std::uint64_t k1,
                                                      double floor) {
  if (a_ref.empty()) return {};
  if (b_ref.size() != a_ref.size()) return ConstraintError::NoMatchDimensions{};
  QARN_TRY(prepare_linearization(a_ref, idx, floor));
  const std::size_t n = a_ref.size();
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  // Interior intervals are k0 .. e - 1 with e = n - 1 - k1; stationary blocks take no db/ds.
  const bool has_interior = k1 < n;
  const std::size_t e = has_interior ? n - 1 - static_cast<std::size_t>(k1) : 0;

  for_each_jerk_station(idx, n, [&](std::size_t j, std::uint64_t i, std::size_t slot, std::size_t rows) {
    double c_forward = kNaN;
    double c_backward = kNaN;
    if (has_interior && k0 <= j && j < e) c_forward = (b_ref[j + 1] - b_ref[j]) / (s_at(i + 1) - s_at(i));
    if (has_interior && k0 < j && j <= e) c_backward = (b_ref[j] - b_ref[j - 1]) / (s_at(i) - s_at(i - 1));
    const double a = a_ref[j];
    const double b = b_ref[j];
    const double amax = amax_(0, slot);

    for (std::size_t row = 0; row < rows; ++row) {
      const double jerk_max = jerk_max_(row, slot);
      double a_star = a;
      if (std::isfinite(amax) && std::isfinite(jerk_max) && (std::isfinite(c_forward) || std::isfinite(c_backward))) {
        // Where the reference motion loads the row (val > 0), the largest a that keeps it
        // satisfied at the reference's shape; capped by amax, which also stands in for
        // unloaded rows.
        a_star = kNaN;
        for (const double c : {c_forward, c_backward}) {
          if (!std::isfinite(c)) continue;
          const double val = jerk_a_(row, slot) * a + jerk_b_(row, slot) * b + jerk_c_(row, slot) * c + jerk_d_(row, slot);
          double candidate = amax;
          if (val > 0.0) {
            const double t = jerk_max / val;
            candidate = a > 0.0 ? std::fmin(std::sqrt(a) * t, amax) : std::fmin(t * t, amax);
          }
          a_star = std::fmin(a_star, candidate);
        }
      }
      const double r = 1.0 / std::sqrt(std::fmax(a_star, floor));
      write_linearized_row(slot, row, r, r * r * r);
    }
  });
  lin_range_ = {idx, idx + n};
  return {};
}

}  // namespace qarn

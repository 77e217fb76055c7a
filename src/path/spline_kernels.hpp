// The inner spline evaluation kernels, inlined into the public kernels and into the sampling loops:
// span lookup by one multiplication and a floor, then Horner's scheme per axis, written straight
// into the output columns. Internal to the path subsystem.
#pragma once

#include <cmath>
#include <cstddef>
#include <type_traits>

#include "path/spline.hpp"

namespace qarn::path::detail {

// How many derivatives a kernel produces besides q.
enum class Derivatives { None = 0, UpTo2nd = 2, UpTo3rd = 3 };

struct SpanPoint {
  std::size_t span;
  double t;
};

// Span and local parameter of an already range-checked query s_c.
[[gnu::always_inline]] inline SpanPoint locate(const InterpolatingSpline& spline, double s_c) {
  const double x = (s_c - spline.s_min) * spline.inv_span;
  // NaN must not reach the conversion to an integer below (that would be undefined behaviour);
  // it is evaluated in the first span, giving NaN everywhere.
  if (std::isnan(x)) return {0, x};
  if (x <= 0.0) return {0, 0.0};
  if (x >= static_cast<double>(spline.spans)) return {spline.spans - 1, 1.0};
  const double j = std::floor(x);
  return {static_cast<std::size_t>(j), x - j};
}

// Calls f(std::integral_constant<std::size_t, K>{}) with the K of eval_spline_point that serves
// `coeffs_per_span` coefficients: 4 and 6 have unrolled kernels, every other count takes K = 0.
template <class F>
[[gnu::always_inline]] inline void with_kernel_size(std::size_t coeffs_per_span, F&& f) {
  switch (coeffs_per_span) {
    case 4: f(std::integral_constant<std::size_t, 4>{}); break;
    case 6: f(std::integral_constant<std::size_t, 6>{}); break;
    default: f(std::integral_constant<std::size_t, 0>{}); break;
  }
}

// Evaluates the K coefficients per span at local parameter t for each of the `dim` axes. K = 0
// reads the count from the spline (general Horner recurrence); K = 4 and K = 6 are the unrolled
// cubic and quintic forms with one rounding per fused step.
template <std::size_t K, Derivatives Want>
[[gnu::always_inline]] inline void eval_spline_point(const InterpolatingSpline& spline, std::size_t dim, SpanPoint at,
                                                     double* q, double* dq, double* ddq, double* dddq) {
  const std::size_t k = K != 0 ? K : spline.coeffs_per_span;
  const std::size_t axis_stride = spline.spans * k;
  const double* c = spline.coefficients.data() + at.span * k;
  const double t = at.t;
  const double inv = spline.inv_span;
  const double inv2 = inv * inv;
  const double inv3 = inv * inv2;
  if (std::isnan(t)) {
    // A NaN query has no value and no derivative (the cubic's constant third derivative included).
    for (std::size_t a = 0; a < dim; ++a) {
      q[a] = t;
      if constexpr (Want != Derivatives::None) dq[a] = ddq[a] = t;
      if constexpr (Want == Derivatives::UpTo3rd) dddq[a] = t;
    }
    return;
  }
  for (std::size_t a = 0; a < dim; ++a, c += axis_stride) {
    double v, d1 = 0.0, d2 = 0.0, d3 = 0.0;
    if constexpr (K == 4) {
      v = std::fma(std::fma(std::fma(c[3], t, c[2]), t, c[1]), t, c[0]);
      if constexpr (Want != Derivatives::None) {
        const double c2x2 = c[2] + c[2];
        d1 = std::fma(std::fma(3.0 * c[3], t, c2x2), t, c[1]);
        d2 = std::fma(6.0 * c[3], t, c2x2);
        if constexpr (Want == Derivatives::UpTo3rd) d3 = 6.0 * c[3];
      }
    } else if constexpr (K == 6) {
      v = std::fma(std::fma(std::fma(std::fma(std::fma(c[5], t, c[4]), t, c[3]), t, c[2]), t, c[1]), t, c[0]);
      if constexpr (Want != Derivatives::None) {
        const double c2x2 = c[2] + c[2];
        d1 = std::fma(std::fma(std::fma(std::fma(5.0 * c[5], t, 4.0 * c[4]), t, 3.0 * c[3]), t, c2x2), t, c[1]);
        d2 = std::fma(std::fma(std::fma(20.0 * c[5], t, 12.0 * c[4]), t, 6.0 * c[3]), t, c2x2);
        if constexpr (Want == Derivatives::UpTo3rd) d3 = std::fma(std::fma(60.0 * c[5], t, 24.0 * c[4]), t, 6.0 * c[3]);
      }
    } else {
      v = c[k - 1];
      for (std::size_t j = k - 1; j-- > 0;) {
        if constexpr (Want == Derivatives::UpTo3rd) d3 = 3.0 * d2 + t * d3;
        if constexpr (Want != Derivatives::None) {
          d2 = (d1 + d1) + t * d2;
          d1 = v + t * d1;
        }
        v = t * v + c[j];
      }
    }
    q[a] = v;
    if constexpr (Want != Derivatives::None) {
      dq[a] = inv * d1;
      ddq[a] = inv2 * d2;
    }
    if constexpr (Want == Derivatives::UpTo3rd) dddq[a] = inv3 * d3;
  }
}

}  // namespace qarn::path::detail

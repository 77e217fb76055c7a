// The interval audit of the fit: a bound of the distance between the curve and the polyline on each
// waypoint interval, from the Bernstein coefficients of the error polynomial on each piece.
#include <algorithm>
#include <array>
#include <cmath>

#include "path/smoothing_steps.hpp"

namespace qarn::path::smoothing {

namespace {

// Taylor coefficients at x of the polynomial with ascending coefficients c (repeated synthetic
// division): q^(k)(x) / k!.
std::array<double, kBasisCount> taylor_at(const double* c, double x) {
  std::array<double, kBasisCount> d;
  std::copy(c, c + kBasisCount, d.begin());
  for (std::size_t k = 0; k < kBasisCount - 1; ++k) {
    for (std::size_t i = kBasisCount - 2; i + 1 > k; --i) d[i] += x * d[i + 1];
  }
  return d;
}

}  // namespace

Status audit_intervals(const SpanPolynomials& polynomials, const FitData& data, std::size_t k0, std::size_t k1,
                       IntervalAudit& audit) {
  const std::span<const double> bp = polynomials.breakpoints();
  const std::size_t m = data.m;
  for (std::size_t k = k0; k < k1; ++k) {
    double* bound = audit.bound.data() + k * m;
    std::fill(bound, bound + m, 0.0);
    double largest = -1.0;
    const double start = data.u[k];
    const double stop = data.u[k + 1];
    const double width = stop - start;
    std::size_t p = polynomials.span_at(start);
    for (double a = start; a < stop;) {
      const double next = bp[p + 1];
      const double b = stop < next ? stop : next;
      if (!(b > a)) return PathError::SmoothingFailed{"parameter resolution exhausted during audit"};
      // The piece [a, b] in its span's variable (ua + wl tau) and in the interval's (ra + rl tau).
      const double H = next - bp[p];
      const double ua = (a - bp[p]) / H;
      const double wl = (b - a) / H;
      const double ra = (a - start) / width;
      const double rl = (b - a) / width;
      for (std::size_t j = 0; j < m; ++j) {
        const std::array<double, kBasisCount> q = taylor_at(polynomials.group(p, j), ua);
        const double d = data.at(k + 1, j) - data.at(k, j);
        // The error curve minus polyline on the piece, as a polynomial in tau in [0, 1].
        const double wl2 = wl * wl;
        const double e0 = q[0] - data.at(k, j) - ra * d;
        const double e1 = wl * q[1] - rl * d;
        const double e2 = wl2 * q[2];
        const double e3 = wl2 * wl * q[3];
        const double e4 = wl2 * wl2 * q[4];
        const double e5 = wl2 * wl2 * wl * q[5];
        // Its Bernstein coefficients: the polynomial lies within their range on the piece.
        const std::array<double, kBasisCount> bernstein = {
            e0,
            e0 + e1 / 5,
            e0 + 2 * e1 / 5 + e2 / 10,
            e0 + 3 * e1 / 5 + 3 * e2 / 10 + e3 / 10,
            e0 + 4 * e1 / 5 + 6 * e2 / 10 + 4 * e3 / 10 + e4 / 5,
            e0 + e1 + e2 + e3 + e4 + e5,
        };
        for (const double coefficient : bernstein) {
          const double magnitude = std::abs(coefficient);
          if (!std::isfinite(magnitude)) return PathError::SmoothingFailed{"non-finite interval error bound"};
          bound[j] = std::max(bound[j], magnitude);
          if (magnitude > largest) {
            largest = magnitude;
            audit.worst[k] = (a + b) / 2;
          }
        }
      }
      if (b == next && p + 1 < polynomials.spans()) ++p;
      a = b;
    }
  }
  return {};
}

}  // namespace qarn::path::smoothing

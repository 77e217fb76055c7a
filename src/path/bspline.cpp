// Quintic B-spline kernels: span search, Cox-de Boor basis values, the basis polynomial table,
// knot insertion and the conversion to span polynomials.
#include "path/bspline.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace qarn::path {

namespace {

constexpr std::size_t kDegree = kBSplineDegree;

PathError smoothing_failed(const char* text) { return PathError::SmoothingFailed{text}; }

// The six span-local coefficients of every axis of knot span i (breakpoint knots[i], width h).
void write_span_groups(const QuinticBSpline& spline, std::size_t i, double* groups) {
  const std::span<const double> t = spline.knots();
  const std::span<const double> c = spline.coefficients();
  const std::size_t dim = spline.dim();
  const double h = t[i + 1] - t[i];
  const BasisTable P = bspline_basis_table(spline, i, t[i]);
  for (std::size_t a = 0; a < dim; ++a) {
    double hk = 1.0;
    for (std::size_t k = 0; k < kBasisCount; ++k) {
      double sum = 0.0;
      for (std::size_t j = 0; j < kBasisCount; ++j) sum += P[j][k] * c[(i - kDegree + j) * dim + a];
      groups[a * kBasisCount + k] = hk * sum;
      hk *= h;
    }
  }
}

}  // namespace

Result<QuinticBSpline> QuinticBSpline::create(std::vector<double> knots, std::vector<double> coefficients,
                                              std::size_t dim) {
  const bool sized = dim > 0 && coefficients.size() % dim == 0 && coefficients.size() / dim >= kBasisCount &&
                     knots.size() == coefficients.size() / dim + kBasisCount;
  if (!sized) return smoothing_failed("unsupported knot layout");
  const std::size_t n_ctrl = coefficients.size() / dim;
  bool ordered = std::isfinite(knots.front());
  for (std::size_t i = 1; i < knots.size() && ordered; ++i) ordered = knots[i] >= knots[i - 1] && std::isfinite(knots[i]);
  if (!ordered || knots[kDegree] != 0.0 || knots[n_ctrl] != 1.0) return smoothing_failed("unsupported knot layout");
  return QuinticBSpline(std::move(knots), std::move(coefficients), dim);
}

std::size_t last_at_or_below(std::span<const double> values, double x) {
  if (values.empty()) return 0;
  std::size_t lo = 0;
  std::size_t len = values.size();
  while (len > 1) {
    const std::size_t half = len / 2;
    const std::size_t mid = lo + half;
    len -= half;
    if (values[mid] <= x) lo = mid;
  }
  const std::size_t k = lo + (values[lo] <= x ? 1 : 0);
  return k == 0 ? 0 : k - 1;
}

std::size_t find_knot_span(const QuinticBSpline& spline, double x) {
  // n_ctrl >= 6, so the clamp range is never empty.
  return std::clamp(last_at_or_below(spline.knots(), x), kDegree, spline.n_ctrl() - 1);
}

BasisRow basis_row(const QuinticBSpline& spline, double x) {
  return basis_row_in_span(spline, find_knot_span(spline, x), x);
}

BasisRow basis_row_in_span(const QuinticBSpline& spline, std::size_t span, double x) {
  const std::span<const double> t = spline.knots();
  std::array<double, kBasisCount> left{}, right{};
  for (std::size_t j = 1; j <= kDegree; ++j) {
    left[j] = x - t[span + 1 - j];
    right[j] = t[span + j] - x;
  }
  BasisRow row{span - kDegree, {}};
  std::array<double, kBasisCount>& N = row.values;
  N[0] = 1.0;
  for (std::size_t j = 1; j <= kDegree; ++j) {
    double saved = 0.0;
    for (std::size_t r = 0; r < j; ++r) {
      const double temp = N[r] / (right[r + 1] + left[j - r]);
      N[r] = saved + right[r + 1] * temp;
      saved = left[j - r] * temp;
    }
    N[j] = saved;
  }
  return row;
}

BasisTable bspline_basis_table(const QuinticBSpline& spline, std::size_t span, double s) {
  const std::span<const double> t = spline.knots();
  // Row i holds a polynomial in X = x - s; multiplying by X shifts its coefficients one power up
  // (the degree never exceeds the recursion's level, so nothing is lost at the top).
  BasisTable P{};
  P[0][0] = 1.0;
  for (std::size_t p = 1; p <= kDegree; ++p) {
    std::array<double, kBasisCount> carry{};
    for (std::size_t i = 0; i < p; ++i) {
      const double left = s - t[span + 1 - p + i];
      const double right = t[span + 1 + i] - s;
      const double den = left + right;
      std::array<double, kBasisCount> scaled{};
      for (std::size_t k = 0; k < kBasisCount; ++k) scaled[k] = P[i][k] / den;
      // (right - X) * scaled + carry, and the next carry (left + X) * scaled.
      for (std::size_t k = 0; k < kBasisCount; ++k) {
        const double shifted = k > 0 ? scaled[k - 1] : 0.0;
        P[i][k] = right * scaled[k] - shifted + carry[k];
        carry[k] = left * scaled[k] + shifted;
      }
    }
    P[p] = carry;
  }
  return P;
}

Status insert_knots(QuinticBSpline& spline, std::span<const double> ascending) {
  if (ascending.empty()) return {};
  const std::vector<double>& T = spline.knots_;
  double previous = 0.0;  // the domain's start: every knot must lie above it
  for (const double t : ascending) {
    // Written so that NaN fails.
    if (!(t > previous && t < 1.0) || *std::lower_bound(T.begin(), T.end(), t) == t) {
      return smoothing_failed("parameter resolution exhausted");
    }
    previous = t;
  }

  // The spline after `done` insertions is (new_knots ++ T[next_knot..]) with control points
  // (new_points ++ old points from next_point on). Each insertion changes only the five points
  // before its span's end and needs the knots up to five past it, so both prefixes are extended
  // just that far and the insertion works at their ends: no element moves more than a few places.
  const std::size_t dim = spline.dim_;
  const std::vector<double>& C = spline.coefficients_;
  std::vector<double> new_knots, new_points;
  new_knots.reserve(T.size() + ascending.size());
  new_points.reserve(C.size() + ascending.size() * dim);
  std::size_t next_knot = 0, next_point = 0;
  for (std::size_t done = 0; done < ascending.size(); ++done) {
    const double t = ascending[done];
    // The earlier knots are all below t, so they shift its span by their count.
    const std::size_t k = last_at_or_below(T, t) + done;
    while (new_knots.size() < k + kBasisCount) new_knots.push_back(T[next_knot++]);
    while (new_points.size() < (k + 1) * dim) {
      new_points.insert(new_points.end(), C.begin() + static_cast<std::ptrdiff_t>(next_point * dim),
                        C.begin() + static_cast<std::ptrdiff_t>((next_point + 1) * dim));
      ++next_point;
    }
    // Point k moves up unchanged; points k-4..k blend with their left neighbours, right to left so
    // that each reads its neighbour before that one changes.
    for (std::size_t a = 0; a < dim; ++a) {
      const double moved = new_points[k * dim + a];
      new_points.push_back(moved);
    }
    for (std::size_t i = k; i >= k - (kDegree - 1); --i) {
      const double alpha = (t - new_knots[i]) / (new_knots[i + kDegree] - new_knots[i]);
      for (std::size_t a = 0; a < dim; ++a) {
        new_points[i * dim + a] = (1.0 - alpha) * new_points[(i - 1) * dim + a] + alpha * new_points[i * dim + a];
      }
    }
    new_knots.insert(new_knots.begin() + static_cast<std::ptrdiff_t>(k + 1), t);
  }
  new_knots.insert(new_knots.end(), T.begin() + static_cast<std::ptrdiff_t>(next_knot), T.end());
  new_points.insert(new_points.end(), C.begin() + static_cast<std::ptrdiff_t>(next_point * dim), C.end());
  spline.knots_ = std::move(new_knots);
  spline.coefficients_ = std::move(new_points);
  return {};
}

std::size_t SpanPolynomials::span_at(double x) const {
  return std::min(last_at_or_below(breakpoints_, x), spans() - 1);
}

SpanPolynomials bspline_to_span_polynomials(const QuinticBSpline& spline) {
  const std::span<const double> t = spline.knots();
  const std::size_t n_ctrl = spline.n_ctrl();
  SpanPolynomials out;
  out.dim_ = spline.dim();
  out.breakpoints_.reserve(n_ctrl - kDegree + 1);
  out.coefficients_.reserve((n_ctrl - kDegree) * out.dim_ * kBasisCount);
  for (std::size_t i = kDegree; i < n_ctrl; ++i) {
    if (!(t[i + 1] - t[i] > 0.0)) continue;  // a repeated knot: no span
    out.breakpoints_.push_back(t[i]);
    out.coefficients_.resize(out.coefficients_.size() + out.dim_ * kBasisCount);
    write_span_groups(spline, i, out.coefficients_.data() + out.coefficients_.size() - out.dim_ * kBasisCount);
  }
  // The domain [0, 1] is non-empty, so at least one span was written.
  out.breakpoints_.push_back(1.0);
  return out;
}

void refresh_span_polynomials(const QuinticBSpline& spline, SpanPolynomials& polynomials, std::size_t ctrl_begin,
                              std::size_t ctrl_end) {
  // Knot span i is made of control points i-5 .. i.
  const std::span<const double> t = spline.knots();
  const std::size_t end = std::min(ctrl_end + kDegree, spline.n_ctrl());
  for (std::size_t i = std::max(ctrl_begin, kDegree); i < end; ++i) {
    if (!(t[i + 1] - t[i] > 0.0)) continue;
    const std::size_t p = polynomials.span_at(t[i]);
    write_span_groups(spline, i, polynomials.coefficients_.data() + p * polynomials.dim_ * kBasisCount);
  }
}

}  // namespace qarn::path

// Construction of interpolating splines: per axis, the block-tridiagonal system in the derivative
// states of the interior waypoints is solved by block elimination, the span coefficients are formed
// from the states, and the result is checked at every knot before it is accepted.
#include "path/spline.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>

#include "path/spline_blocks.hpp"
#include "path/storage.hpp"

namespace qarn::path {

namespace {

constexpr const char* kComponent = "InterpolatingSpline";

// A knot may miss its waypoint, its neighbour's states or the continuity of the high derivatives by
// this much relative to the axis's scale. Tabulated orders stay near 1e-14; high orders, whose
// generic blocks lose digits, fail here instead of returning a path that misses its waypoints.
constexpr double kKnotResidualTolerance = 1e-8;

// Read-only inputs shared by the per-axis jobs.
struct AxisInputs {
  const WaypointMatrix& waypoints;
  const std::vector<double>& start;  // axis-major, m per axis
  const std::vector<double>& end;
  const SplineBlocks& blocks;
  std::size_t n_points;
  std::size_t spans;
  std::size_t k;  // coefficients per span
};

using Vec = Eigen::VectorXd;
using Mat = Eigen::MatrixXd;
using ConstVecMap = Eigen::Map<const Vec>;

// Solves the interior states a_1 .. a_(n-2) of one axis into `states` (n * m values, a_0 and
// a_(n-1) already in place) by block forward elimination and back substitution.
Status solve_interior_states(const SplineBlocks& b, const std::vector<double>& d, std::vector<double>& states,
                             std::size_t n) {
  const auto m = static_cast<Eigen::Index>(b.m);
  const std::size_t interior = n - 2;
  std::vector<double> G(interior * b.m * b.m);
  std::vector<double> z(interior * b.m);
  auto G_at = [&](std::size_t i) { return Eigen::Map<Mat>(G.data() + i * b.m * b.m, m, m); };
  auto z_at = [&](std::size_t i) { return Eigen::Map<Vec>(z.data() + i * b.m, m); };
  const ConstVecMap a_first(states.data(), m);
  const ConstVecMap a_last(states.data() + (n - 1) * b.m, m);

  Mat M(m, m);
  Vec r(m);
  Eigen::PartialPivLU<Mat> lu(m);
  for (std::size_t i = 0; i < interior; ++i) {
    for (Eigen::Index e = 0; e < m; ++e) r(e) = b.D(e, 0) * d[i] + b.D(e, 1) * d[i + 1];
    // noalias: the products go straight into M and r, with no temporary per knot.
    if (i == 0) r.noalias() -= b.A * a_first;
    if (i == interior - 1) r.noalias() -= b.C * a_last;
    M = b.B;
    if (i > 0) {
      M.noalias() -= b.A * G_at(i - 1);
      r.noalias() -= b.A * z_at(i - 1);
    }
    lu.compute(M);
    if ((lu.matrixLU().diagonal().array() == 0.0).any()) return PathError::SingularLinearSystem{};
    G_at(i) = lu.solve(b.C);
    z_at(i) = lu.solve(r);
  }
  // The state of knot k is x_(k-1).
  auto x_at = [&](std::size_t i) { return Eigen::Map<Vec>(states.data() + (i + 1) * b.m, m); };
  x_at(interior - 1) = z_at(interior - 1);
  for (std::size_t i = interior - 1; i >= 1; --i) {
    x_at(i - 1) = z_at(i - 1);
    x_at(i - 1).noalias() -= G_at(i - 1) * x_at(i);
  }
  return {};
}

// Coefficients of every span: c_0 = p_j, c_1..c_m = a_j, the top ones from P.
void write_span_coefficients(const AxisInputs& in, std::size_t axis, const std::vector<double>& d,
                             const std::vector<double>& states, std::span<double> chunk) {
  const std::size_t m = in.blocks.m;
  const Mat& P = in.blocks.P;
  for (std::size_t j = 0; j < in.spans; ++j) {
    double* c = chunk.data() + j * in.k;
    const double* a_j = states.data() + j * m;
    const double* a_next = a_j + m;
    c[0] = in.waypoints(static_cast<Eigen::Index>(axis), static_cast<Eigen::Index>(j));
    for (std::size_t r = 0; r < m; ++r) c[1 + r] = a_j[r];
    for (std::size_t r = 0; r <= m; ++r) {
      const auto row = static_cast<Eigen::Index>(r);
      double next = 0.0, here = 0.0;
      for (std::size_t q = 0; q < m; ++q) next += P(row, static_cast<Eigen::Index>(m + 1 + q)) * a_next[q];
      for (std::size_t q = 0; q < m; ++q) here += P(row, static_cast<Eigen::Index>(1 + q)) * a_j[q];
      c[m + 1 + r] = (next + here) + P(row, 0) * d[j];
    }
  }
}

// Reads every span's Taylor coefficients at its end (u = 1) and compares them with what the knot
// requires: the difference to the next waypoint (order 0, so that the offset of the waypoints does
// not enter), the next knot's states (orders 1..m, the end state at the last knot) and the next
// span's own coefficients (orders m+1..2m, the continuity equations). The scale is the axis's
// largest difference or state. Finite data must give finite, accurate coefficients (an overflowing
// solve fails too); non-finite data are not refused and propagate.
Status check_knot_residuals(const AxisInputs& in, const std::vector<double>& d, const std::vector<double>& states,
                            std::span<const double> chunk) {
  const std::size_t m = in.blocks.m;
  double scale = 0.0;
  bool finite = true;
  for (const double v : d) {
    scale = std::fmax(scale, std::abs(v));
    finite = finite && std::isfinite(v);
  }
  for (const double v : states) {
    scale = std::fmax(scale, std::abs(v));
    finite = finite && std::isfinite(v);
  }
  if (!finite) return {};
  const double allowed = kKnotResidualTolerance * scale;
  const Mat& binomial = in.blocks.binomial;
  for (std::size_t j = 0; j < in.spans; ++j) {
    const double* c = chunk.data() + j * in.k;
    const bool interior = j + 1 < in.spans;
    const std::size_t top = interior ? 2 * m : m;
    for (std::size_t r = 0; r <= top; ++r) {
      double taylor = 0.0;
      for (std::size_t p = r == 0 ? 1 : r; p < in.k; ++p)
        taylor += binomial(static_cast<Eigen::Index>(p), static_cast<Eigen::Index>(r)) * c[p];
      const double target = r == 0 ? d[j] : (r <= m ? states[(j + 1) * m + r - 1] : c[in.k + r]);
      if (!(std::abs(taylor - target) <= allowed)) return PathError::SingularLinearSystem{};
    }
  }
  return {};
}

// The per-axis job: writes the axis's spans x (order + 1) chunk completely, or fails.
Status solve_spline_axis_coefficients(std::size_t axis, std::span<double> chunk, const AxisInputs& in) {
  try {
    const std::size_t m = in.blocks.m;
    const auto row = static_cast<Eigen::Index>(axis);
    std::vector<double> d(in.n_points - 1);
    for (std::size_t j = 0; j + 1 < in.n_points; ++j) {
      d[j] = in.waypoints(row, static_cast<Eigen::Index>(j + 1)) - in.waypoints(row, static_cast<Eigen::Index>(j));
    }
    std::vector<double> states(in.n_points * m);
    std::copy_n(in.start.data() + axis * m, m, states.begin());
    std::copy_n(in.end.data() + axis * m, m, states.begin() + static_cast<std::ptrdiff_t>((in.n_points - 1) * m));
    if (in.n_points > 2) QARN_TRY(solve_interior_states(in.blocks, d, states, in.n_points));
    write_span_coefficients(in, axis, d, states, chunk);
    return check_knot_residuals(in, d, states, chunk);
  } catch (const std::bad_alloc&) {
    return too_large(kComponent, "the per-axis system");
  } catch (const std::length_error&) {
    return too_large(kComponent, "the per-axis system");
  }
}

}  // namespace

Result<std::vector<double>> boundary_state_or_zeros(const std::optional<Eigen::MatrixXd>& state, std::size_t dim,
                                                    std::size_t m) {
  if (state && (static_cast<std::size_t>(state->rows()) != dim || static_cast<std::size_t>(state->cols()) != m)) {
    return PathError::DimensionMismatch{};
  }
  const auto count = checked_product({dim, m});
  if (!count) return too_large(kComponent, "the boundary state");
  try {
    std::vector<double> out(*count, 0.0);
    if (state) {
      for (std::size_t a = 0; a < dim; ++a)
        for (std::size_t r = 0; r < m; ++r)
          out[a * m + r] = (*state)(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(r));
    }
    return out;
  } catch (const std::bad_alloc&) {
    return too_large(kComponent, "the boundary state");
  }
}

Result<InterpolatingSpline> build_interpolating_spline(const WaypointMatrix& waypoints, const SplineConfig& config,
                                                       WorkerPool& pool) {
  const std::uint64_t order = config.order;
  if (order < 3 || order % 2 == 0) return PathError::InvalidSplineOrder{order};
  const auto n_points = static_cast<std::size_t>(waypoints.cols());
  if (n_points < 2) return PathError::NotEnoughWaypoints{n_points};
  const auto dim = static_cast<std::size_t>(waypoints.rows());
  const std::size_t m = (order - 1) / 2;
  // Checked before anything is sized by m (see kMaxSplineHalfOrder).
  if (m > kMaxSplineHalfOrder) return PathError::SingularLinearSystem{};

  auto start = boundary_state_or_zeros(config.start_state, dim, m);
  if (!start) return std::move(start).error();
  auto end = boundary_state_or_zeros(config.end_state, dim, m);
  if (!end) return std::move(end).error();

  auto blocks = spline_blocks(m);
  if (!blocks) return std::move(blocks).error();

  InterpolatingSpline spline;
  spline.order = order;
  spline.s_min = config.s_min;
  spline.s_max = config.s_max;
  spline.coeffs_per_span = order + 1;  // at most 56 here
  spline.spans = n_points - 1;
  spline.inv_span = static_cast<double>(spline.spans) / (config.s_max - config.s_min);
  spline.out_of_range = config.out_of_range;

  const auto total = checked_product({dim, spline.spans, spline.coeffs_per_span});
  if (!total) return too_large(kComponent, "the coefficient array");
  const std::size_t chunk_size = spline.spans * spline.coeffs_per_span;
  try {
    spline.coefficients.resize(*total);
  } catch (const std::bad_alloc&) {
    return too_large(kComponent, "the coefficient array");
  }

  const AxisInputs inputs{waypoints, *start, *end, *blocks, n_points, spline.spans, spline.coeffs_per_span};
  std::atomic<bool> stop{false};
  std::mutex first_error_mutex;
  std::optional<CoreError> first_error;
  pool.for_each_range(dim, [&](std::size_t begin, std::size_t stop_at) {
    for (std::size_t axis = begin; axis < stop_at; ++axis) {
      if (stop.load(std::memory_order_relaxed)) return;
      std::span<double> chunk(spline.coefficients.data() + axis * chunk_size, chunk_size);
      Status status = solve_spline_axis_coefficients(axis, chunk, inputs);
      if (!status) {
        const std::lock_guard lock(first_error_mutex);
        if (!first_error) first_error.emplace(std::move(status).error());
        stop.store(true, std::memory_order_relaxed);
      }
    }
  });
  if (first_error) return std::move(*first_error);
  return spline;
}

}  // namespace qarn::path

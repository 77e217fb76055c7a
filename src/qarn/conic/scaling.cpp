// The scale stage: column, cone and row factors, the program in scaled units, and the way back.
#include "qarn/conic/scaling.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>
#include <utility>

namespace qarn {
namespace {

constexpr std::uint32_t kNoPair = std::numeric_limits<std::uint32_t>::max();

// 1 / m for a positive finite magnitude, else 1.
double inverse_scale(double m) {
  const double e = 1.0 / m;
  return m > 0 && std::isfinite(e) ? e : 1.0;
}

// The magnitude of an inequality row: its bound, unless the bound is zero or negligible against the
// coefficients (a bound of 1e-12 beside coefficients near 1 would blow them up to 1e12).
double inequality_scale(double largest_entry, double bound) {
  constexpr double kNegligibleBound = 1e-6;
  const double size = std::fabs(bound);
  return size > 0 ? std::max(size, kNegligibleBound * largest_entry) : largest_entry;
}

// The boost by lambda of a pair (v0, v1): v0 + v1 multiplied by lambda, v0 - v1 divided by it.
// Computed through the sum and the difference; the matrix form ((lambda + 1/lambda) / 2, ...)
// would round both coefficients to one value for a large lambda and lose the difference.
std::pair<double, double> boost_pair(double lambda, double v0, double v1) {
  const double sum = (v0 + v1) * lambda;
  const double diff = (v0 - v1) / lambda;
  return {(sum + diff) * 0.5, (sum - diff) * 0.5};
}

// Visits the entries of column `col` of A, pairing the entries of the two rows of a boosted cone
// (adjacent in the column, rows ascending): f(row, value) for a plain entry, g(pair, v0, v1) for
// a cone pair (a missing entry counts as 0).
template <class Plain, class Pair>
void for_column(const clarabel::CscMatrix& a, std::size_t col, const std::vector<std::uint32_t>& pair_of,
                const std::vector<std::size_t>& pair_row, Plain&& f, Pair&& g) {
  for (std::size_t k = a.colptr[col]; k < a.colptr[col + 1]; ++k) {
    const std::size_t r = a.rowval[k];
    const std::uint32_t p = pair_of[r];
    if (p == kNoPair) {
      f(r, a.nzval[k]);
      continue;
    }
    if (r == pair_row[p]) {
      const bool both = k + 1 < a.colptr[col + 1] && a.rowval[k + 1] == r + 1;
      g(p, a.nzval[k], both ? a.nzval[k + 1] : 0.0);
      if (both) ++k;
    } else {
      g(p, 0.0, a.nzval[k]);
    }
  }
}

}  // namespace

ScaledProgram scale_program(const ConicProgram& program, std::span<const double> column_scale, CostScale cost) {
  ScaledProgram out;
  const std::size_t m = program.rows();
  const std::size_t n = program.vars();

  // Columns.
  out.column.assign(n, 1.0);
  for (std::size_t j = 0; j < std::min(n, column_scale.size()); ++j) {
    const double d = column_scale[j];
    if (d > 0 && std::isfinite(d)) out.column[j] = d;
  }
  clarabel::CscMatrix a = program.A;
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t k = a.colptr[j]; k < a.colptr[j + 1]; ++k) a.nzval[k] *= out.column[j];
  }
  std::vector<double> b = program.b;

  // Boosts: the magnitudes of s0 + s1 and s0 - s1 of every second-order cone.
  std::vector<std::uint32_t> pair_of(m, kNoPair);
  std::vector<std::size_t> pair_row;
  {
    std::size_t r = 0;
    for (const clarabel::Cone& cone : program.cones) {
      if (cone.kind == clarabel::ConeKind::SecondOrder && cone.dim >= 2) {
        pair_of[r] = pair_of[r + 1] = static_cast<std::uint32_t>(pair_row.size());
        pair_row.push_back(r);
      }
      r += cone.dim;
    }
  }
  std::vector<double> mag_sum(pair_row.size(), 0.0), mag_diff(pair_row.size(), 0.0);
  const auto measure = [&](std::uint32_t p, double v0, double v1) {
    mag_sum[p] = std::max(mag_sum[p], std::fabs(v0 + v1));
    mag_diff[p] = std::max(mag_diff[p], std::fabs(v0 - v1));
  };
  for (std::size_t p = 0; p < pair_row.size(); ++p) measure(static_cast<std::uint32_t>(p), b[pair_row[p]], b[pair_row[p] + 1]);
  for (std::size_t j = 0; j < n; ++j) for_column(a, j, pair_of, pair_row, [](std::size_t, double) {}, measure);
  std::vector<double> boost(pair_row.size(), 1.0);
  for (std::size_t p = 0; p < pair_row.size(); ++p) {
    if (!(mag_sum[p] > 0) || !(mag_diff[p] > 0)) continue;
    const double ratio = std::sqrt(mag_diff[p] / mag_sum[p]);
    const double lambda = ratio > 0 && std::isfinite(ratio) ? ratio : 1.0;
    if (lambda == 1.0) continue;
    boost[p] = lambda;
    out.boosts.push_back({pair_row[p], lambda});
  }
  if (!out.boosts.empty()) {
    clarabel::CscMatrix boosted;
    boosted.m = m;
    boosted.n = n;
    boosted.colptr.assign(n + 1, 0);
    boosted.rowval.reserve(a.rowval.size() + pair_row.size());
    boosted.nzval.reserve(a.nzval.size() + pair_row.size());
    const auto emit = [&](std::size_t r, double v) {
      if (v == 0.0) return;
      boosted.rowval.push_back(r);
      boosted.nzval.push_back(v);
    };
    for (std::size_t j = 0; j < n; ++j) {
      for_column(
          a, j, pair_of, pair_row, [&](std::size_t r, double v) { emit(r, v); },
          [&](std::uint32_t p, double v0, double v1) {
            const auto [w0, w1] = boost_pair(boost[p], v0, v1);
            emit(pair_row[p], w0);
            emit(pair_row[p] + 1, w1);
          });
      boosted.colptr[j + 1] = boosted.rowval.size();
    }
    a = std::move(boosted);
    for (std::size_t p = 0; p < pair_row.size(); ++p) {
      const std::size_t r = pair_row[p];
      std::tie(b[r], b[r + 1]) = boost_pair(boost[p], b[r], b[r + 1]);
    }
  }

  // Rows: one factor per second-order cone, from the largest of its rows' entries and bounds; an
  // equality by the same measure (a row whose coefficients all but vanish must not be blown up to a
  // huge bound); an inequality with a nonzero bound by that bound.
  // A limit row then reads 1 at its limit, so the solver's feasibility tolerance acts relative to
  // the limit, the measure of the profile audit. Its largest entry would not do on fine grids: the
  // acceleration rows' coefficients dq / (2 h) nearly cancel between neighbouring stations, so the
  // bound would shrink with the spacing (1e-4 of the entries at 10,000 stations) and the tolerance
  // with it (2.5 times the iterations and limits broken by 1e-6 at 10,000 stations, measured).
  std::vector<double> largest_entry(m, 0.0);
  for (std::size_t k = 0; k < a.nzval.size(); ++k) {
    largest_entry[a.rowval[k]] = std::max(largest_entry[a.rowval[k]], std::fabs(a.nzval[k]));
  }
  out.row.assign(m, 1.0);
  {
    std::size_t r = 0;
    for (const clarabel::Cone& cone : program.cones) {
      const std::size_t end = r + cone.dim;
      if (cone.kind == clarabel::ConeKind::SecondOrder) {
        double largest = 0.0;
        for (std::size_t i = r; i < end; ++i) largest = std::max({largest, largest_entry[i], std::fabs(b[i])});
        std::fill(out.row.begin() + static_cast<std::ptrdiff_t>(r), out.row.begin() + static_cast<std::ptrdiff_t>(end),
                  inverse_scale(largest));
      } else if (cone.kind == clarabel::ConeKind::Nonnegative) {
        for (std::size_t i = r; i < end; ++i) out.row[i] = inverse_scale(inequality_scale(largest_entry[i], b[i]));
      } else {
        for (std::size_t i = r; i < end; ++i) out.row[i] = inverse_scale(std::max(largest_entry[i], std::fabs(b[i])));
      }
      r = end;
    }
  }
  for (std::size_t k = 0; k < a.nzval.size(); ++k) a.nzval[k] *= out.row[a.rowval[k]];
  for (std::size_t r = 0; r < m; ++r) b[r] *= out.row[r];

  // Cost: one factor (see CostScale).
  std::vector<double> q(n);
  double squares = 0.0, size = 0.0;
  std::size_t nonzeros = 0;
  const auto count = [&](double v, double share) {
    if (v == 0.0) return;
    squares += v * v;
    size += share * std::fabs(v);
    ++nonzeros;
  };
  for (std::size_t j = 0; j < n; ++j) {
    q[j] = program.q[j] * out.column[j];
    count(q[j], 1.0);
  }
  clarabel::CscMatrix p = program.P;
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t k = p.colptr[j]; k < p.colptr[j + 1]; ++k) {
      p.nzval[k] *= out.column[j] * out.column[p.rowval[k]];
      count(p.nzval[k], 0.5);
    }
  }
  if (nonzeros > 0) {
    const double by_entries = inverse_scale(std::sqrt(squares / static_cast<double>(nonzeros)));
    switch (cost) {
      case CostScale::Entries:
        out.cost = by_entries;
        break;
      case CostScale::BoundedEntries:
        out.cost = std::fmin(by_entries, kLargestObjectiveAtUnits * inverse_scale(size));
        break;
      case CostScale::Objective:
        out.cost = kObjectiveAtUnits * inverse_scale(size);
        break;
    }
  }
  for (double& v : q) v *= out.cost;
  for (double& v : p.nzval) v *= out.cost;

  out.program.A = std::move(a);
  out.program.P = std::move(p);
  out.program.q = std::move(q);
  out.program.b = std::move(b);
  out.program.cones = program.cones;
  return out;
}

void unscale_solution(const ScaledProgram& scaled, clarabel::SolveOutput& out) {
  for (std::size_t j = 0; j < out.x.size(); ++j) out.x[j] *= scaled.column[j];
  for (std::size_t r = 0; r < out.s.size(); ++r) {
    out.s[r] /= scaled.row[r];
    out.z[r] *= scaled.row[r] / scaled.cost;
  }
  // s = B^-1 s' (the boost by 1 / lambda), z = B z' (B is symmetric).
  for (const ScaledProgram::Boost& boost : scaled.boosts) {
    const std::size_t r = boost.row;
    std::tie(out.s[r], out.s[r + 1]) = boost_pair(1.0 / boost.lambda, out.s[r], out.s[r + 1]);
    std::tie(out.z[r], out.z[r + 1]) = boost_pair(boost.lambda, out.z[r], out.z[r + 1]);
  }
  out.obj_val /= scaled.cost;
  out.obj_val_dual /= scaled.cost;
}

}  // namespace qarn

// The culprit of an empty reachable set, found by testing the rows of one interval alone and in
// pairs against the ranges of both stations. The set of a pair of rows and the ranges is pointed
// (both lower ends are finite), so it is empty exactly when none of the vertices of its lines holds
// them all. Runs only on a failure, where a few thousand 2x2 solves cost nothing.
#include "qarn/qarn2/dp2/empty_interval.hpp"

#include <array>
#include <cmath>
#include <optional>
#include <vector>

#include "diag/format.hpp"

namespace qarn::qarn2 {
namespace {

// Relative slack of every test: a vertex computed from two lines misses them by rounding.
constexpr double kSlack = 1e-9;

// p * left + q * right <= c; for a row of the store, its station and its index there.
struct Line {
  double p;
  double q;
  double c;
  std::uint64_t idx_s = 0;
  std::size_t row = 0;
  double acc_a = 0.0, acc_b = 0.0;
};

struct Point {
  double left;
  double right;
};

bool within(double value, double lo, double hi) {
  const double size = std::fmax(std::fabs(value), std::fmax(std::fabs(lo), std::isfinite(hi) ? std::fabs(hi) : 0.0));
  return value >= lo - kSlack * size && value <= hi + kSlack * size;
}

bool holds(const Line& line, Point x) {
  const double pl = line.p * x.left, qr = line.q * x.right;
  return pl + qr - line.c <= kSlack * std::fmax(std::fabs(line.c), std::fmax(std::fabs(pl), std::fabs(qr)));
}

std::optional<Point> crossing(const Line& a, const Line& b) {
  const double det = a.p * b.q - b.p * a.q;
  if (!(std::fabs(det) > 1e-14 * (std::fabs(a.p * b.q) + std::fabs(b.p * a.q)))) return std::nullopt;
  const Point x{(a.c * b.q - b.c * a.q) / det, (a.p * b.c - b.p * a.c) / det};
  if (!std::isfinite(x.left) || !std::isfinite(x.right)) return std::nullopt;
  return x;
}

// Whether some point of the ranges holds every row of `rows` (one or two of them).
bool some_point_holds(const StationValues& left, const StationValues& right, std::span<const Line> rows) {
  // The rows and the edges of the ranges, on the stack: the pairs of rows make this call many times.
  std::array<Line, 6> lines;
  std::size_t count = 0;
  for (const Line& row : rows) lines[count++] = row;
  lines[count++] = {1.0, 0.0, left.lo};
  lines[count++] = {0.0, 1.0, right.lo};
  if (std::isfinite(left.hi)) lines[count++] = {1.0, 0.0, left.hi};
  if (std::isfinite(right.hi)) lines[count++] = {0.0, 1.0, right.hi};
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t j = i + 1; j < count; ++j) {
      const std::optional<Point> x = crossing(lines[i], lines[j]);
      if (!x || !within(x->left, left.lo, left.hi) || !within(x->right, right.lo, right.hi)) continue;
      bool all = true;
      for (const Line& row : rows) all = all && holds(row, *x);
      if (all) return true;
    }
  }
  return false;
}

// The finite rows of both stations over the left and right a of the interval.
std::vector<Line> interval_lines(const Constraints& store, std::uint64_t left_idx) {
  std::vector<Line> lines;
  const double f = 0.5 / (store.s_at(left_idx + 1) - store.s_at(left_idx));
  for (const std::uint64_t idx_s : {left_idx, left_idx + 1}) {
    const SecondOrderRows rows = store.second_order_rows_at(idx_s);
    const bool at_left = idx_s == left_idx;
    for (std::size_t r = 0; r < rows.size(); ++r) {
      if (!std::isfinite(rows.acc_max[r])) continue;
      const double fb = f * rows.acc_b[r];
      const double p = (at_left ? rows.acc_a[r] : 0.0) - fb;
      const double q = (at_left ? 0.0 : rows.acc_a[r]) + fb;
      if (!std::isfinite(p) || !std::isfinite(q)) continue;
      lines.push_back({p, q, rows.acc_max[r], idx_s, r, rows.acc_a[r], rows.acc_b[r]});
    }
  }
  return lines;
}

// The row as stored; -0 prints as 0.
std::string row_text(const Line& line) {
  return fmt::format("the second-order row {} at idx_s = {} (acc_a = {}, acc_b = {}, acc_max = {})", line.row,
                     line.idx_s, line.acc_a + 0.0, line.acc_b + 0.0, line.c + 0.0);
}

// "a = v", "a >= lo" or "a between lo and hi", then " at idx_s = k"; -0 prints as 0.
std::string range_text(const StationValues& v) {
  const double lo = v.lo + 0.0, hi = v.hi + 0.0;
  if (lo == hi) return fmt::format("a = {} at idx_s = {}", lo, v.idx_s);
  if (!std::isfinite(hi)) return fmt::format("a >= {} at idx_s = {}", lo, v.idx_s);
  return fmt::format("a between {} and {} at idx_s = {}", lo, hi, v.idx_s);
}

std::string culprit(const Constraints& store, const StationValues& left, const StationValues& right) {
  const std::vector<Line> lines = interval_lines(store, left.idx_s);
  if (std::isfinite(left.lo) && std::isfinite(right.lo) && !std::isnan(left.hi) && !std::isnan(right.hi)) {
    for (const Line& line : lines) {
      if (!some_point_holds(left, right, std::span<const Line>(&line, 1))) return "holds " + row_text(line);
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
      for (std::size_t j = i + 1; j < lines.size(); ++j) {
        const std::array<Line, 2> pair{lines[i], lines[j]};
        if (!some_point_holds(left, right, pair)) {
          return "holds both " + row_text(pair[0]) + " and " + row_text(pair[1]);
        }
      }
    }
  }
  return fmt::format("holds the second-order rows of idx_s = {} and idx_s = {} together", left.idx_s, right.idx_s);
}

}  // namespace

std::string empty_interval_reason(const Constraints& store, StationValues known, StationValues sought) {
  const bool known_left = known.idx_s < sought.idx_s;
  const StationValues& left = known_left ? known : sought;
  const StationValues& right = known_left ? sought : known;
  // Bounds that cross (a first-order bound below zero, which amax_substitute stores as given)
  // leave no value whatever the rows say.
  if (sought.hi < sought.lo && !within(sought.hi, sought.lo, sought.lo)) {
    return fmt::format("with {}, no {} exists", range_text(known), range_text(sought));
  }
  return fmt::format("with {}, no {} {}", range_text(known), range_text(sought), culprit(store, left, right));
}

}  // namespace qarn::qarn2

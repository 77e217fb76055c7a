// End values against the rows of their stations, the start first.
#include "qarn/qarn3/opt3/end_rows.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "diag/format.hpp"
#include "qarn/qarn2/dp2/reach_set2.hpp"

namespace qarn::qarn3 {
namespace {

constexpr double kRelative = 1e-8;

// value <= bound with the relative slack, measured on the largest of the row's terms.
bool exceeds(double value, double bound, double size) {
  return value - bound > kRelative * std::fmax(std::fabs(bound), size);
}

struct End {
  const char* state;  // "initial" / "final"
  const char* a_name;
  const char* b_name;
  const char* idx_name;
  std::uint64_t idx_s;
  double a;
  double b;

  std::string prefix() const {
    return fmt::format("The {} state {} = {}, {} = {}", state, a_name, a, b_name, b);
  }
};

std::optional<std::string> second_order_breach(const Constraints& store, const End& end) {
  const SecondOrderRows rows = store.second_order_rows_at(end.idx_s);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    if (!std::isfinite(rows.acc_max[r])) continue;
    const double ta = rows.acc_a[r] * end.a, tb = rows.acc_b[r] * end.b;
    if (!exceeds(ta + tb, rows.acc_max[r], std::fmax(std::fabs(ta), std::fabs(tb)))) continue;
    return fmt::format("{} cannot hold the second-order row {} at {} = {}: acc_a a + acc_b b = {} is greater than "
                       "acc_max = {}",
                       end.prefix(), r, end.idx_name, end.idx_s, ta + tb, rows.acc_max[r]);
  }
  return std::nullopt;
}

// The jerk sqrt(a) (jerk_a a + jerk_b b + jerk_c c + jerk_d) <= jerk_max: a row without c must
// hold as it is; the others bound c from one side each.
std::optional<std::string> jerk_breach(const Constraints& store, const End& end) {
  const ThirdOrderRows rows = store.third_order_rows_at(end.idx_s);
  const double root = std::sqrt(end.a);
  struct Side {
    double c;
    std::size_t row;
  };
  Side lo{-std::numeric_limits<double>::infinity(), 0}, hi{std::numeric_limits<double>::infinity(), 0};
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const double jerk_max = rows.jerk_max[r];
    if (!std::isfinite(jerk_max)) continue;
    const double rest = rows.jerk_a[r] * end.a + rows.jerk_b[r] * end.b + rows.jerk_d[r];
    const double size = root * std::fmax(std::fmax(std::fabs(rows.jerk_a[r] * end.a), std::fabs(rows.jerk_b[r] * end.b)),
                                         std::fabs(rows.jerk_d[r]));
    if (rows.jerk_c[r] == 0.0 || end.a == 0.0) {
      if (!exceeds(root * rest, jerk_max, size)) continue;
      return fmt::format("{} cannot hold the third-order row {} at {} = {}: sqrt(a) (jerk_a a + jerk_b b + jerk_d) = "
                         "{} is greater than jerk_max = {}",
                         end.prefix(), r, end.idx_name, end.idx_s, root * rest, jerk_max);
    }
    const double c = (jerk_max / root - rest) / rows.jerk_c[r];
    if (rows.jerk_c[r] > 0.0 && c < hi.c) hi = {c, r};
    if (rows.jerk_c[r] < 0.0 && c > lo.c) lo = {c, r};
  }
  if (!exceeds(lo.c, hi.c, std::fmax(std::fabs(lo.c), std::fabs(hi.c)))) return std::nullopt;
  return fmt::format("{} cannot hold the third-order rows {} and {} at {} = {} together: row {} needs db/ds >= {}, "
                     "row {} needs db/ds <= {}",
                     end.prefix(), lo.row, hi.row, end.idx_name, end.idx_s, lo.row, lo.c, hi.row, hi.c);
}

}  // namespace

Status check_end_rows3(std::string_view component, const Topp3Problem& problem) {
  const Constraints& store = problem.constraints;
  const Topp2Problem window{store, problem.idx_s_start, problem.idx_s_final(), problem.a_start, problem.a_final};
  const qarn2::AUnits units = qarn2::AUnits::of(window);
  const End ends[] = {
      {"initial", "a_start", "b_start", "idx_s_start", problem.idx_s_start, problem.a_start, problem.b_start},
      {"final", "a_final", "b_final", "idx_s_final", problem.idx_s_final(), problem.a_final, problem.b_final}};
  for (const End& end : ends) {
    std::optional<std::string> breach = qarn2::end_state_excess(window, &end == ends, qarn2::ReachSet2Options{}, units);
    if (!breach) breach = second_order_breach(store, end);
    if (!breach) breach = jerk_breach(store, end);
    if (breach) return CoreError::infeasible(std::string(component), std::move(*breach));
  }
  return {};
}

}  // namespace qarn::qarn3

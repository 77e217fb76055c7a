// Whether a second-order profile arrives, whether a window lets any arrive, and the message every
// solver refuses one with.
#include "qarn/arrival.hpp"

#include "diag/format.hpp"

namespace qarn {

std::string never_arrives_message(std::uint64_t first, bool rests_at_both) {
  return fmt::format("The profile stops {} the interval {} <= idx_s <= {}, so it never arrives",
                     rests_at_both ? "at both stations of" : "in", first, first + 1);
}

std::optional<std::size_t> first_stop_interval(std::span<const double> a) {
  for (std::size_t k = 0; k + 1 < a.size(); ++k) {
    if (a[k] + a[k + 1] <= 0.0) return k;  // both zero (a is never negative here)
  }
  return std::nullopt;
}

std::optional<std::string> where_second_order_stops(std::span<const double> a, std::uint64_t idx_s_start) {
  const std::optional<std::size_t> k = first_stop_interval(a);
  if (!k) return std::nullopt;
  return never_arrives_message(idx_s_start + *k);
}

std::optional<std::string> where_window_stops(const Topp2Problem& window, std::span<const double> largest) {
  const Constraints& store = window.store;
  const auto held_at_rest = [&](std::size_t idx_s) {
    if (idx_s == window.idx_s_start) return window.a_start == 0.0;
    if (idx_s == window.idx_s_final) return window.a_final == 0.0;
    return store.amax_at(idx_s) == 0.0;
  };
  for (std::size_t idx_s = window.idx_s_start; idx_s < window.idx_s_final; ++idx_s) {
    if (held_at_rest(idx_s) && held_at_rest(idx_s + 1)) return never_arrives_message(idx_s);
  }
  return where_second_order_stops(largest, window.idx_s_start);
}

}  // namespace qarn

// Whether a profile arrives: a motion that stops at both stations of an interval (a = 0 at both)
// never gets across it. Every solver refuses such a profile rather than hand it out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "diag/result.hpp"
#include "qarn/problem2.hpp"

namespace qarn {

// "The profile stops at both stations of the interval <first> <= idx_s <= <first + 1>, so it
// never arrives" where it rests at both, else "The profile stops in the interval ..., so it never
// arrives" (it comes to rest inside, or at one station where the model gives no way on).
std::string never_arrives_message(std::uint64_t first, bool rests_at_both = true);

// The first interval k (stations k and k + 1) of a second-order profile where a is zero at both
// stations, or none. A single station at a = 0 between moving ones is passed at rest: the time
// over each of its intervals, 2 h / (sqrt(a_k) + sqrt(a_k+1)), stays finite.
std::optional<std::size_t> first_stop_interval(std::span<const double> a);

// The message for the first such interval of a window starting at idx_s_start, or none.
std::optional<std::string> where_second_order_stops(std::span<const double> a, std::uint64_t idx_s_start);

// Before a solve: a window that holds a at zero at both stations of an interval (a zero
// first-order bound, or a boundary value of zero next to one), or whose `largest` profile (the
// pointwise largest the limits allow, empty when unknown) stops at two neighbouring stations, has
// no profile that arrives. The message above for the first such interval, or none; a conic solver
// would only spend its iterations on the infinite time, or hand out a profile that breaks the rows
// holding the motion at rest.
std::optional<std::string> where_window_stops(const Topp2Problem& window, std::span<const double> largest);

}  // namespace qarn

// The feasible set of a second-order problem as conic rows: boundary values, 0 <= a <= amax, and
// every stored second-order row applied with the interval on each side of its station. Variable k
// is a at local station k of the problem window.
#pragma once

#include <cstddef>
#include <cstdint>

#include "diag/log.hpp"
#include "qarn/conic/program.hpp"
#include "qarn/constraints.hpp"
#include "qarn/problem2.hpp"

namespace qarn::qarn2 {

// Appends, in order: a_0 = a_start, a_n = a_final (one ZeroCone(1) each), the first-order and
// second-order rows, and one NonnegativeCone over those rows (n = idx_s_final - idx_s_start).
// The problem must have passed Qarn2ProblemBuilder. At DEBUG and TRACE one line follows each step.
template <Verbosity V>
void clarabel_standard_constraint_topp2(const Qarn2Problem& problem, ClarabelTriplets& triplets);

// -a_k <= 0 for k = 1 .. n-1, then a_k <= amax_k for those k = 0 .. n whose amax is finite (the
// end stations included). No cone.
void push_first_order_rows(const Constraints& store, std::size_t n, std::uint64_t idx_s_start,
                           ClarabelTriplets& triplets);

// Station by station, k = 0 .. n: the rows of station k with b of the interval on its left
// (k >= 1), then with b of the interval on its right (k < n), b = (a_(k+1) - a_k) / (2 h). No cone.
void push_second_order_rows(const Constraints& store, std::uint64_t idx_s_start, std::size_t n,
                            ClarabelTriplets& triplets);

}  // namespace qarn::qarn2

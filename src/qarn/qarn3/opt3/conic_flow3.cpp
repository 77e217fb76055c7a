// The standard share of the third-order capacity estimate.
#include "qarn/qarn3/opt3/conic_flow3.hpp"

namespace qarn::qarn3 {

Reserve3 standard_capacity3(std::size_t n, std::uint64_t r2, std::uint64_t r3) {
  const std::uint64_t intervals = n == 0 ? 0 : n - 1;
  const auto add = [](std::initializer_list<std::uint64_t> terms) {
    std::uint64_t sum = 0;
    for (const std::uint64_t t : terms) sum = saturating_add(sum, t);
    return sum;
  };
  return {add({saturating_mul(11, intervals), saturating_mul(2, r2), saturating_mul(6, r3), 2}),
          add({saturating_mul(5, intervals), r2, saturating_mul(2, r3), 2}), 2, saturating_mul(2, n)};
}

Reserve3 standard_capacity3(const Topp3Problem& problem) {
  const Constraints& store = problem.constraints;
  const std::uint64_t end = saturating_add(problem.idx_s_start, problem.s_len());
  return standard_capacity3(problem.s_len(), store.acc_runs().rows_in_range(problem.idx_s_start, end),
                            store.jerk_runs().rows_in_range(problem.idx_s_start, end));
}

}  // namespace qarn::qarn3

// Profile values of a conic solution.
#include "qarn/clarabel_backend.hpp"

namespace qarn {

std::vector<double> nonnegative_profile(std::span<const double> x, std::size_t count) {
  std::vector<double> a(count);
  for (std::size_t k = 0; k < count; ++k) a[k] = nonnegative(x[k]);
  return a;
}

void rest_where_bound_is_zero(const Constraints& store, std::uint64_t idx_s_start, std::span<double> a) {
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (store.amax_at(idx_s_start + k) == 0.0) a[k] = 0.0;
  }
}

}  // namespace qarn

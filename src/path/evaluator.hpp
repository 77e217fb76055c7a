// Paths computed on demand by an evaluator object instead of stored coefficients: the two
// evaluator interfaces (derivatives up to the second or the third order) that such a path holds.
// The interfaces know nothing of where the values come from; the Python binding implements them.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "diag/result.hpp"

namespace qarn::path {

// Every operation takes the whole batch: `s` holds the n query parameters (already checked by the
// path's range rule) and each output buffer holds dim * n values, query k's axis values at
// k * dim .. k * dim + dim - 1. Outputs arrive zero-filled. A buffer of another length gives
// `DimensionMismatch` and nothing is evaluated.
class PathEvaluator2nd {
 public:
  virtual ~PathEvaluator2nd() = default;

  virtual std::size_t dim() const = 0;
  virtual Status evaluate_q(std::span<const double> s, std::span<double> q) const = 0;
  virtual Status evaluate_up_to_2nd(std::span<const double> s, std::span<double> q, std::span<double> dq,
                                    std::span<double> ddq) const = 0;
};

class PathEvaluator3rd : public PathEvaluator2nd {
 public:
  virtual Status evaluate_up_to_3rd(std::span<const double> s, std::span<double> q, std::span<double> dq,
                                    std::span<double> ddq, std::span<double> dddq) const = 0;
};

// Whether every buffer holds exactly dim * n values, the product not wrapping.
template <class... Buffers>
bool holds_samples(std::size_t dim, std::size_t n, const Buffers&... buffers) {
  const auto holds = [&](std::size_t size) { return n == 0 ? size == 0 : size % n == 0 && size / n == dim; };
  return (holds(buffers.size()) && ...);
}

}  // namespace qarn::path

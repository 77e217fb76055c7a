// Sampling of a path: q and its derivatives with respect to s at many query parameters, the one
// way to read a path. Spline paths are evaluated in parallel on a worker pool, fitted paths on the
// calling thread, evaluator-backed paths by one call of their evaluator on the calling thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "diag/result.hpp"
#include "path/path_core.hpp"
#include "path/sample_buffer.hpp"
#include "path/worker_pool.hpp"

namespace qarn::path {

enum class DerivativeOrder : std::uint8_t {
  Q = 0,        // q only
  UpTo2nd = 1,  // q, dq, ddq
  UpTo3rd = 2,  // q, dq, ddq, dddq
};

// dim x n matrices, one column per query, each over a buffer the caller may take over. dq and ddq
// are present from UpTo2nd on, dddq for UpTo3rd only.
struct DerivativeSamples {
  SampleMatrix q;
  std::optional<SampleMatrix> dq;
  std::optional<SampleMatrix> ddq;
  std::optional<SampleMatrix> dddq;
};

// Samples the path at every s (n may be 0). A query refused by the path's range rule fails the whole
// call with `SOutOfRange` at the lowest failing index; a NaN query is not refused and gives NaN
// columns, except on a fitted path, which refuses every query that is not finite. The result does not depend on the pool's size. Output that cannot be allocated gives an
// error of kind Other.
Result<DerivativeSamples> evaluate_path_samples(const Path& path, std::span<const double> s, DerivativeOrder order,
                                                WorkerPool& pool = process_worker_pool());

}  // namespace qarn::path

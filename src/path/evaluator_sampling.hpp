// The evaluator branch of path sampling: the whole batch in one call of the path's evaluator, on
// the calling thread.
#pragma once

#include <span>

#include "diag/result.hpp"
#include "path/sampling.hpp"

namespace qarn::path {

// Checks every query by the path's range rule (the lowest failing index is reported) and copies
// the clamped queries before the evaluator runs, so the caller's buffer is not read once the
// evaluator has been called; then checks the evaluator's dimension against the path's
// (`DimensionMismatch`), zero-fills the outputs and makes one evaluator call for `order`. A
// second-order evaluator refuses UpTo3rd with `UnsupportedDerivativeOrder` (3, 2) without a call.
// The evaluator is called even for an empty batch.
Status sample_evaluator(const PathEvaluator2nd& evaluator, const Path& path, std::span<const double> s,
                        DerivativeOrder order, DerivativeSamples& out);
Status sample_evaluator(const PathEvaluator3rd& evaluator, const Path& path, std::span<const double> s,
                        DerivativeOrder order, DerivativeSamples& out);

}  // namespace qarn::path

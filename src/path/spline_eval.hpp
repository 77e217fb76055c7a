// Evaluation of a spline path at one query parameter for every axis: position only, up to the
// second derivative, or up to the third, each after the query-range rule.
#pragma once

#include <cstddef>
#include <span>

#include "diag/result.hpp"
#include "path/path_core.hpp"

namespace qarn::path {

// `path` must be a spline path. Every column must hold path.dim() values, else `DimensionMismatch`.
// `i` is the query's position in its query array, reported in `SOutOfRange`. On either failure no
// column is written. Derivatives are with respect to s.
Status eval_spline_chunk_q(const Path& path, std::size_t i, double s, std::span<double> q);
Status eval_spline_chunk_up_to_2nd(const Path& path, std::size_t i, double s, std::span<double> q,
                                   std::span<double> dq, std::span<double> ddq);
Status eval_spline_chunk_up_to_3rd(const Path& path, std::size_t i, double s, std::span<double> q,
                                   std::span<double> dq, std::span<double> ddq, std::span<double> dddq);

}  // namespace qarn::path

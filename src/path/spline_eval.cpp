// Single-query spline evaluation: the query-range rule, then the kernel that matches the spline's
// coefficient count.
#include "path/spline_eval.hpp"

#include "path/spline_kernels.hpp"

namespace qarn::path {

namespace {

template <detail::Derivatives Want>
Status eval_one(const Path& path, std::size_t i, double s, std::span<double> q, std::span<double> dq,
                std::span<double> ddq, std::span<double> dddq) {
  using detail::Derivatives;
  // The kernel writes dim values into every column it is given, so each must hold exactly that many.
  const std::size_t dim = path.dim();
  const bool columns_fit = q.size() == dim &&
                           (Want == Derivatives::None || (dq.size() == dim && ddq.size() == dim)) &&
                           (Want != Derivatives::UpTo3rd || dddq.size() == dim);
  if (!columns_fit) return PathError::DimensionMismatch{};
  const auto& spline = std::get<InterpolatingSpline>(path.representation());
  const QueryRange range = path.query_range();
  if (range.refuses(s)) return range.out_of_range(i, s);
  const detail::SpanPoint at = detail::locate(spline, range.clamp(s));
  detail::with_kernel_size(spline.coeffs_per_span, [&](auto k) {
    detail::eval_spline_point<decltype(k)::value, Want>(spline, dim, at, q.data(), dq.data(), ddq.data(),
                                                        dddq.data());
  });
  return {};
}

}  // namespace

Status eval_spline_chunk_q(const Path& path, std::size_t i, double s, std::span<double> q) {
  return eval_one<detail::Derivatives::None>(path, i, s, q, {}, {}, {});
}

Status eval_spline_chunk_up_to_2nd(const Path& path, std::size_t i, double s, std::span<double> q,
                                   std::span<double> dq, std::span<double> ddq) {
  return eval_one<detail::Derivatives::UpTo2nd>(path, i, s, q, dq, ddq, {});
}

Status eval_spline_chunk_up_to_3rd(const Path& path, std::size_t i, double s, std::span<double> q,
                                   std::span<double> dq, std::span<double> ddq, std::span<double> dddq) {
  return eval_one<detail::Derivatives::UpTo3rd>(path, i, s, q, dq, ddq, dddq);
}

}  // namespace qarn::path

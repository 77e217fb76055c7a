// Single-query spline evaluation: the query-range rule, then the kernel that matches the spline's
// coefficient count.
#include "path/spline_eval.hpp"

#include "path/spline_kernels.hpp"

namespace qarn::path {

namespace {

template <detail::Derivatives Want>
Status eval_one(const Path& path, std::size_t i, double s, double* q, double* dq, double* ddq, double* dddq) {
  const auto& spline = std::get<InterpolatingSpline>(path.representation());
  const QueryRange range = path.query_range();
  if (range.refuses(s)) return range.out_of_range(i, s);
  const detail::SpanPoint at = detail::locate(spline, range.clamp(s));
  switch (spline.coeffs_per_span) {
    case 4: detail::eval_spline_point<4, Want>(spline, path.dim(), at, q, dq, ddq, dddq); break;
    case 6: detail::eval_spline_point<6, Want>(spline, path.dim(), at, q, dq, ddq, dddq); break;
    default: detail::eval_spline_point<0, Want>(spline, path.dim(), at, q, dq, ddq, dddq); break;
  }
  return {};
}

}  // namespace

Status eval_spline_chunk_q(const Path& path, std::size_t i, double s, std::span<double> q) {
  return eval_one<detail::Derivatives::None>(path, i, s, q.data(), nullptr, nullptr, nullptr);
}

Status eval_spline_chunk_up_to_2nd(const Path& path, std::size_t i, double s, std::span<double> q,
                                   std::span<double> dq, std::span<double> ddq) {
  return eval_one<detail::Derivatives::UpTo2nd>(path, i, s, q.data(), dq.data(), ddq.data(), nullptr);
}

Status eval_spline_chunk_up_to_3rd(const Path& path, std::size_t i, double s, std::span<double> q,
                                   std::span<double> dq, std::span<double> ddq, std::span<double> dddq) {
  return eval_one<detail::Derivatives::UpTo3rd>(path, i, s, q.data(), dq.data(), ddq.data(), dddq.data());
}

}  // namespace qarn::path

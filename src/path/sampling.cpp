// Path sampling: output buffers allocated once at their final size, the range rule applied to every
// query in index order, then the kernels run over the queries on the worker pool.
#include "path/sampling.hpp"

#include <cmath>
#include <new>
#include <type_traits>

#include "path/evaluator_sampling.hpp"
#include "path/spline_kernels.hpp"
#include "path/storage.hpp"

namespace qarn::path {

namespace {

constexpr const char* kComponent = "evaluate_path_samples";

using detail::Derivatives;

// Every query's column is written by the kernels, so the buffers are not cleared first (evaluator
// paths clear their own).
DerivativeSamples allocate_samples(std::size_t dim, std::size_t n, DerivativeOrder order) {
  DerivativeSamples out{SampleMatrix(dim, n), std::nullopt, std::nullopt, std::nullopt};
  if (order != DerivativeOrder::Q) {
    out.dq.emplace(dim, n);
    out.ddq.emplace(dim, n);
  }
  if (order == DerivativeOrder::UpTo3rd) out.dddq.emplace(dim, n);
  return out;
}

// Evaluates queries [begin, end) whose range has been checked already.
template <std::size_t K, Derivatives Want>
[[gnu::always_inline]] inline void sample_spline_range(const InterpolatingSpline& spline, std::size_t dim,
                                                       std::span<const double> s, DerivativeSamples& out,
                                                       std::size_t begin, std::size_t end) {
  const QueryRange range = spline.query_range();
  double* q = out.q.values.data();
  double* dq = Want != Derivatives::None ? out.dq->values.data() : nullptr;
  double* ddq = Want != Derivatives::None ? out.ddq->values.data() : nullptr;
  double* dddq = Want == Derivatives::UpTo3rd ? out.dddq->values.data() : nullptr;
  for (std::size_t i = begin; i < end; ++i) {
    const std::size_t col = i * dim;
    const detail::SpanPoint at = detail::locate(spline, range.clamp(s[i]));
    if constexpr (Want == Derivatives::None) {
      detail::eval_spline_point<K, Want>(spline, dim, at, q + col, nullptr, nullptr, nullptr);
    } else if constexpr (Want == Derivatives::UpTo2nd) {
      detail::eval_spline_point<K, Want>(spline, dim, at, q + col, dq + col, ddq + col, nullptr);
    } else {
      detail::eval_spline_point<K, Want>(spline, dim, at, q + col, dq + col, ddq + col, dddq + col);
    }
  }
}

template <std::size_t K, Derivatives Want>
void sample_spline_range_portable(const InterpolatingSpline& spline, std::size_t dim, std::span<const double> s,
                                  DerivativeSamples& out, std::size_t begin, std::size_t end) {
  sample_spline_range<K, Want>(spline, dim, s, out, begin, end);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The same loop compiled for processors with fused multiply-add, where std::fma becomes one
// instruction instead of a library call. Both round once per fused step, so results are identical.
template <std::size_t K, Derivatives Want>
[[gnu::target("fma")]] void sample_spline_range_fma(const InterpolatingSpline& spline, std::size_t dim,
                                                    std::span<const double> s, DerivativeSamples& out,
                                                    std::size_t begin, std::size_t end) {
  sample_spline_range<K, Want>(spline, dim, s, out, begin, end);
}
bool has_fma() {
  static const bool fma = __builtin_cpu_supports("fma");
  return fma;
}
#endif

template <Derivatives Want>
void sample_spline_on_pool(const InterpolatingSpline& spline, std::size_t dim, std::span<const double> s,
                           DerivativeSamples& out, WorkerPool& pool) {
  auto run = [&](auto k) {
    constexpr std::size_t K = decltype(k)::value;
    auto* range_fn = &sample_spline_range_portable<K, Want>;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    if (has_fma()) range_fn = &sample_spline_range_fma<K, Want>;
#endif
    pool.for_each_range(s.size(),
                        [&](std::size_t begin, std::size_t end) { range_fn(spline, dim, s, out, begin, end); });
  };
  detail::with_kernel_size(spline.coeffs_per_span, run);
}

Status sample_spline(const InterpolatingSpline& spline, std::size_t dim, std::span<const double> s,
                     DerivativeOrder order, DerivativeSamples& out, WorkerPool& pool) {
  // Checking the range first, in index order, makes the reported query the lowest failing one
  // whatever the pool does, and leaves the parallel part with nothing that can fail.
  const QueryRange range = spline.query_range();
  if (range.mode == OutOfRangeMode::Error) {
    for (std::size_t i = 0; i < s.size(); ++i)
      if (range.refuses(s[i])) return range.out_of_range(i, s[i]);
  }
  switch (order) {
    case DerivativeOrder::Q: sample_spline_on_pool<Derivatives::None>(spline, dim, s, out, pool); break;
    case DerivativeOrder::UpTo2nd: sample_spline_on_pool<Derivatives::UpTo2nd>(spline, dim, s, out, pool); break;
    case DerivativeOrder::UpTo3rd: sample_spline_on_pool<Derivatives::UpTo3rd>(spline, dim, s, out, pool); break;
  }
  return {};
}

// Query by query on the calling thread. A query that is not finite has no place on a fitted path
// and is refused in either mode.
Status sample_fitted(const FittedPath& fitted, const QueryRange& range, std::size_t dim, std::span<const double> s,
                     DerivativeSamples& out) {
  const auto column = [&](std::optional<SampleMatrix>& m, std::size_t i) {
    return m ? std::span<double>(m->values.data() + i * dim, dim) : std::span<double>();
  };
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (!std::isfinite(s[i]) || range.refuses(s[i])) return range.out_of_range(i, s[i]);
    evaluate_fitted_path(fitted, range.clamp(s[i]), std::span<double>(out.q.values.data() + i * dim, dim),
                         column(out.dq, i), column(out.ddq, i), column(out.dddq, i));
  }
  return {};
}

}  // namespace

Result<DerivativeSamples> evaluate_path_samples(const Path& path, std::span<const double> s, DerivativeOrder order,
                                                WorkerPool& pool) {
  const std::size_t dim = path.dim();
  if (!checked_product({dim, s.size()})) return too_large(kComponent, "the sample matrix");
  DerivativeSamples out;
  try {
    out = allocate_samples(dim, s.size(), order);
  } catch (const std::bad_alloc&) {
    return too_large(kComponent, "the sample matrix");
  }
  const Status status = std::visit(
      [&](const auto& representation) -> Status {
        using Kind = std::decay_t<decltype(representation)>;
        if constexpr (std::is_same_v<Kind, InterpolatingSpline>) {
          return sample_spline(representation, dim, s, order, out, pool);
        } else if constexpr (std::is_same_v<Kind, std::unique_ptr<const FittedPath>>) {
          return sample_fitted(*representation, path.query_range(), dim, s, out);
        } else {
          return sample_evaluator(*representation, path, s, order, out);
        }
      },
      path.representation());
  if (!status) return status.error();
  return out;
}

}  // namespace qarn::path

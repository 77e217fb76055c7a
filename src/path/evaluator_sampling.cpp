// Sampling of evaluator-backed paths.
#include "path/evaluator_sampling.hpp"

#include <algorithm>
#include <new>
#include <vector>

#include "path/storage.hpp"

namespace qarn::path {

namespace {

std::span<double> values_of(SampleMatrix& m) { return {m.values.data(), m.values.size()}; }

// The sample buffers are allocated uninitialised; an evaluator that leaves values unwritten must
// not hand out what the memory held before.
void zero_fill(DerivativeSamples& out) {
  const auto zero = [](SampleMatrix& m) { std::fill_n(m.values.data(), m.values.size(), 0.0); };
  zero(out.q);
  if (out.dq) zero(*out.dq);
  if (out.ddq) zero(*out.ddq);
  if (out.dddq) zero(*out.dddq);
}

// `third` is the same evaluator when it also serves the third order, else null.
Status sample(const PathEvaluator2nd& evaluator, const PathEvaluator3rd* third, const Path& path,
              std::span<const double> s, DerivativeOrder order, DerivativeSamples& out) {
  const QueryRange range = path.query_range();
  std::vector<double> queries;
  try {
    queries.resize(s.size());
  } catch (const std::bad_alloc&) {
    return too_large("evaluate_path_samples", "the query copy");
  }
  for (std::size_t i = 0; i < s.size(); ++i) {
    Result<double> clamped = range.apply(i, s[i]);
    if (!clamped) return std::move(clamped).error();
    queries[i] = *clamped;
  }
  if (evaluator.dim() != path.dim()) return PathError::DimensionMismatch{};
  if (order == DerivativeOrder::UpTo3rd && third == nullptr) {
    return PathError::UnsupportedDerivativeOrder{3, 2};
  }

  zero_fill(out);
  switch (order) {
    case DerivativeOrder::Q: return evaluator.evaluate_q(queries, values_of(out.q));
    case DerivativeOrder::UpTo2nd:
      return evaluator.evaluate_up_to_2nd(queries, values_of(out.q), values_of(*out.dq), values_of(*out.ddq));
    case DerivativeOrder::UpTo3rd:
      return third->evaluate_up_to_3rd(queries, values_of(out.q), values_of(*out.dq), values_of(*out.ddq),
                                       values_of(*out.dddq));
  }
  return {};
}

}  // namespace

Status sample_evaluator(const PathEvaluator2nd& evaluator, const Path& path, std::span<const double> s,
                        DerivativeOrder order, DerivativeSamples& out) {
  return sample(evaluator, nullptr, path, s, order, out);
}

Status sample_evaluator(const PathEvaluator3rd& evaluator, const Path& path, std::span<const double> s,
                        DerivativeOrder order, DerivativeSamples& out) {
  return sample(evaluator, &evaluator, path, s, order, out);
}

}  // namespace qarn::path

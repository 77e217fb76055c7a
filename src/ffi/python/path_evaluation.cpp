// Evaluation of a Path from Python (`evaluate_q`, `evaluate_up_to_2nd`, `evaluate_up_to_3rd`), the
// PathDerivatives result, and the sampling that Robot.set_q_from_path_* writes into the store.
#include <optional>

#include "ffi/python/array.hpp"
#include "ffi/python/path.hpp"
#include "ffi/python/path_evaluator.hpp"

namespace qarn::py {
namespace {

// A dim x n sample matrix as an array in `layout` that owns its buffer: (n, dim) sample-major takes
// the matrix's own buffer, whose storage order is already its row order; (dim, n) dim-major a
// transposed copy.
Ref samples_to_numpy(path::SampleMatrix samples, MatrixLayout layout) {
  const std::size_t dim = samples.rows;
  const std::size_t n = samples.cols;
  if (layout == MatrixLayout::SampleMajor) return matrix_to_numpy(n, dim, std::move(samples.values));
  path::SampleBuffer transposed(samples.values.size());
  // Query by query: one stream read and dim streams written in order, which the caches follow (an
  // axis-by-axis copy would read the whole matrix dim times at a stride).
  const double* from = samples.values.data();
  double* to = transposed.data();
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t a = 0; a < dim; ++a) to[a * n + i] = from[i * dim + a];
  return matrix_to_numpy(dim, n, std::move(transposed));
}

std::optional<Ref> optional_samples_to_numpy(std::optional<path::SampleMatrix> samples, MatrixLayout layout) {
  if (!samples) return std::nullopt;
  return samples_to_numpy(std::move(*samples), layout);
}

// `s` is read in place: it stays referenced for the call, and no Python code runs while it is read
// (evaluator paths copy the queries before their evaluator runs).
template <path::DerivativeOrder Order>
PyPathDerivatives path_evaluate(Shared<PyPath> self, F64VectorView s) {
  path::DerivativeSamples samples = sample_path(*self, s.values(), Order);
  PyPathDerivatives out;
  out.q = samples_to_numpy(std::move(samples.q), self->layout);
  out.dq = optional_samples_to_numpy(std::move(samples.dq), self->layout);
  out.ddq = optional_samples_to_numpy(std::move(samples.ddq), self->layout);
  out.dddq = optional_samples_to_numpy(std::move(samples.dddq), self->layout);
  return out;
}

std::string derivatives_repr(Shared<PyPathDerivatives>) {
  return "PathDerivatives(q=<numpy.ndarray>, dq=..., ddq=..., dddq=...)";
}

}  // namespace

path::DerivativeSamples sample_path(const PyPath& path, std::span<const double> s, path::DerivativeOrder order) {
  // This call's own scope: an exception left by an earlier call, or raised in another thread's
  // evaluation of the same path, is never raised here.
  EvaluatorErrorScope errors;
  return check(path::evaluate_path_samples(path.path, s, order), &errors.slot());
}

void define_path_evaluation(ClassDef<PyPath>& c) {
  c.method<path_evaluate<path::DerivativeOrder::Q>>(
       "evaluate_q($self, s)", "Evaluate position ``q`` only at the query path parameters.")
      .method<path_evaluate<path::DerivativeOrder::UpTo2nd>>(
          "evaluate_up_to_2nd($self, s)", "Evaluate position, first derivative, and second derivative.")
      .method<path_evaluate<path::DerivativeOrder::UpTo3rd>>(
          "evaluate_up_to_3rd($self, s)", "Evaluate position and derivatives up to third order.");
}

void define(ClassDef<PyPathDerivatives>& c) {
  c.name("PathDerivatives", "Python-visible path evaluation result container.")
      .field<&PyPathDerivatives::q>("q", "Position samples.")
      .field<&PyPathDerivatives::dq>("dq", "First derivative samples, or `None` when not requested.")
      .field<&PyPathDerivatives::ddq>("ddq", "Second derivative samples, or `None` when not requested.")
      .field<&PyPathDerivatives::dddq>("dddq", "Third derivative samples, or `None` when not requested.")
      .repr<derivatives_repr>();
}

int traverse_refs(const PyPathDerivatives& derivatives, visitproc visit, void* arg) {
  Py_VISIT(derivatives.q.get());
  for (const std::optional<Ref>* field : {&derivatives.dq, &derivatives.ddq, &derivatives.dddq}) {
    if (*field) Py_VISIT((*field)->get());
  }
  return 0;
}

}  // namespace qarn::py

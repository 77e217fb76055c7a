// Evaluation of a Path from Python (`evaluate_q`, `evaluate_up_to_2nd`, `evaluate_up_to_3rd`), the
// PathDerivatives result, and the sampling that Robot.set_q_from_path_* writes into the store.
#include <optional>
#include <vector>

#include "ffi/python/array.hpp"
#include "ffi/python/path.hpp"

namespace qarn::py {
namespace {

// A dim x n sample matrix as a new array in `layout`: (n, dim) sample-major, whose row order is
// the matrix's own storage order, or (dim, n) dim-major, transposed while copying.
Ref samples_to_numpy(const Eigen::MatrixXd& samples, MatrixLayout layout) {
  const auto dim = static_cast<std::size_t>(samples.rows());
  const auto n = static_cast<std::size_t>(samples.cols());
  std::vector<double> values(samples.data(), samples.data() + samples.size());
  if (layout == MatrixLayout::SampleMajor) return matrix_to_numpy(n, dim, std::move(values));
  using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
  Eigen::Map<RowMajor>(values.data(), samples.rows(), samples.cols()) = samples;
  return matrix_to_numpy(dim, n, std::move(values));
}

Ref optional_samples_to_numpy(const std::optional<Eigen::MatrixXd>& samples, MatrixLayout layout) {
  return samples ? samples_to_numpy(*samples, layout) : Ref();
}

template <path::DerivativeOrder Order>
PyPathDerivatives path_evaluate(Shared<PyPath> self, std::vector<double> s) {
  const path::DerivativeSamples samples = sample_path(*self, s, Order);
  PyPathDerivatives out;
  out.q = samples_to_numpy(samples.q, self->layout);
  out.dq = optional_samples_to_numpy(samples.dq, self->layout);
  out.ddq = optional_samples_to_numpy(samples.ddq, self->layout);
  out.dddq = optional_samples_to_numpy(samples.dddq, self->layout);
  return out;
}

// The stored array object itself, the same on every read; None for an order not computed.
Ref stored_or_none(const Ref& array) { return array ? array : Ref::borrow(Py_None); }
Ref derivatives_q(Shared<PyPathDerivatives> self) { return stored_or_none(self->q); }
Ref derivatives_dq(Shared<PyPathDerivatives> self) { return stored_or_none(self->dq); }
Ref derivatives_ddq(Shared<PyPathDerivatives> self) { return stored_or_none(self->ddq); }
Ref derivatives_dddq(Shared<PyPathDerivatives> self) { return stored_or_none(self->dddq); }

std::string derivatives_repr(Shared<PyPathDerivatives>) {
  return "PathDerivatives(q=<numpy.ndarray>, dq=..., ddq=..., dddq=...)";
}

}  // namespace

path::DerivativeSamples sample_path(const PyPath& path, std::span<const double> s, path::DerivativeOrder order) {
  return check(path::evaluate_path_samples(path.path, s, order));
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
      .getter<derivatives_q>("q", "Position samples.")
      .getter<derivatives_dq>("dq", "First derivative samples, or `None` when not requested.")
      .getter<derivatives_ddq>("ddq", "Second derivative samples, or `None` when not requested.")
      .getter<derivatives_dddq>("dddq", "Third derivative samples, or `None` when not requested.")
      .repr<derivatives_repr>();
}

}  // namespace qarn::py

// Python path evaluators: the probes of the evaluator protocol, the one-call-per-batch bridge with
// its return checks and layouts, the fallbacks between the protocol's methods, and the per-call
// capture of the exceptions the bridge meets.
#include "ffi/python/path_evaluator.hpp"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ffi/python/array.hpp"
#include "ffi/python/recursion_guard.hpp"

namespace qarn::py {
namespace {

constexpr std::array<const char*, 4> kFieldNames{"q", "dq", "ddq", "dddq"};

thread_local EvaluatorErrorScope* innermost_scope = nullptr;

// Copies one returned field, laid out as the state says, into its sample-major buffer. Complex
// values are refused once the shape is known to be right, so that the message can name the axis
// and the query of the first value that is not real.
void copy_field(const NumpyF64& numpy, const PyEvaluatorState& state, std::span<const double> s, const char* method,
                const char* field, PyObject* value, std::span<double> out) {
  const std::size_t n = s.size();
  const NumpyF64::RealArray real = numpy.ascontiguousarray_real(value);
  const F64MatrixView m = F64MatrixView::of(fmt::format("`{}` return field `{}`", method, field), real.array.get());
  const bool sample_major = state.layout == MatrixLayout::SampleMajor;
  const std::size_t rows = sample_major ? n : state.dim;
  const std::size_t cols = sample_major ? state.dim : n;
  if (m.rows() != rows || m.cols() != cols) {
    throw Error::value(fmt::format("`{}` returned `{}` with shape ({}, {}); expected shape ({}, {})", method, field,
                                   m.rows(), m.cols(), rows, cols));
  }
  if (real.non_real) {
    const std::size_t row = *real.non_real / cols, col = *real.non_real % cols;
    const std::size_t axis = sample_major ? col : row, k = sample_major ? row : col;
    throw Error::value(fmt::format("`{}` returned complex values in `{}`: axis {} at s = {}; a path must be real",
                                   method, field, axis, s[k]));
  }
  const std::span<const double> from = m.values();
  if (sample_major) {
    std::copy(from.begin(), from.end(), out.begin());
    return;
  }
  // (dim, n): row i holds axis i, which the buffer keeps at stride dim.
  for (std::size_t i = 0; i < state.dim; ++i)
    for (std::size_t k = 0; k < n; ++k) out[k * state.dim + i] = from[i * n + k];
}

// One Python call of `method` with a fresh copy of the queries; its result (the q array itself for
// one output, else a tuple of one array per output) copied into `outputs`, field after field.
void call_python(const PyEvaluatorState& state, const char* method, std::span<const double> s,
                 std::initializer_list<std::span<double>> outputs) {
  if (!state.evaluator) throw Error::runtime("the path's evaluator was released by the garbage collector");
  const NumpyF64 numpy;  // one import for the queries and every returned field
  const Ref queries = numpy.array_owning(std::vector<double>(s.begin(), s.end()));
  const Ref name = new_ref(PyUnicode_InternFromString(method));
  PyObject* args[] = {state.evaluator.get(), queries.get()};
  const Ref result =
      new_ref(PyObject_VectorcallMethod(name.get(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  const std::size_t fields = outputs.size();
  if (fields == 1) {
    copy_field(numpy, state, s, method, kFieldNames[0], result.get(), *outputs.begin());
    return;
  }
  if (!PyTuple_Check(result.get())) {
    throw Error::value(fmt::format("`{}` must return a tuple of {} array-like values", method, fields));
  }
  const auto got = static_cast<std::size_t>(PyTuple_GET_SIZE(result.get()));
  if (got != fields) {
    throw Error::value(fmt::format("`{}` must return a tuple of {} array-like values; got {}", method, fields, got));
  }
  std::size_t i = 0;
  for (const std::span<double> out : outputs) {
    copy_field(numpy, state, s, method, kFieldNames[i], PyTuple_GET_ITEM(result.get(), i), out);
    ++i;
  }
}

// The bridge: takes the interpreter lock when this thread lacks it, and hands a failure to the
// evaluation's scope after giving the lock back.
Status call_evaluator(const PyEvaluatorState& state, const char* method, std::span<const double> s,
                      std::initializer_list<std::span<double>> outputs) {
  std::optional<Error> failure;
  {
    gil::Attach attach;
    try {
      const RecursionGuard guard(" while calling a Python path evaluator");
      call_python(state, method, s, outputs);
    } catch (Error& error) {
      failure = std::move(error);
    }
  }
  if (!failure) return {};
  EvaluatorErrorScope::capture(std::move(*failure));
  return PathError::DimensionMismatch{};
}

// `count` zero-filled buffers of `size` values each, for derivatives a fallback computes and drops.
class Scratch {
 public:
  Scratch(std::size_t count, std::size_t size) : values_(count * size), size_(size) {}
  std::span<double> operator[](std::size_t i) { return std::span<double>(values_).subspan(i * size_, size_); }

 private:
  std::vector<double> values_;
  std::size_t size_;
};

// The evaluator of either order over a probed object; a second-order object always has
// `evaluate_up_to_2nd`, so the fallbacks to `evaluate_up_to_3rd` are reached by third-order ones only.
template <class Interface>
class PyEvaluatorPath : public Interface {
 public:
  explicit PyEvaluatorPath(std::shared_ptr<const PyEvaluatorState> state) : state_(std::move(state)) {}

  std::size_t dim() const override { return state_->dim; }

  Status evaluate_q(std::span<const double> s, std::span<double> q) const override {
    if (!path::holds_samples(state_->dim, s.size(), q)) return PathError::DimensionMismatch{};
    if (state_->has_evaluate_q) return call_evaluator(*state_, "evaluate_q", s, {q});
    if (state_->has_evaluate_up_to_2nd) {
      Scratch scratch(2, q.size());
      return evaluate_up_to_2nd(s, q, scratch[0], scratch[1]);
    }
    Scratch scratch(3, q.size());
    return call_evaluator(*state_, "evaluate_up_to_3rd", s, {q, scratch[0], scratch[1], scratch[2]});
  }

  Status evaluate_up_to_2nd(std::span<const double> s, std::span<double> q, std::span<double> dq,
                            std::span<double> ddq) const override {
    if (!path::holds_samples(state_->dim, s.size(), q, dq, ddq)) return PathError::DimensionMismatch{};
    if (state_->has_evaluate_up_to_2nd) return call_evaluator(*state_, "evaluate_up_to_2nd", s, {q, dq, ddq});
    Scratch scratch(1, q.size());
    return call_evaluator(*state_, "evaluate_up_to_3rd", s, {q, dq, ddq, scratch[0]});
  }

 protected:
  std::shared_ptr<const PyEvaluatorState> state_;
};

using PyEvaluatorPath2nd = PyEvaluatorPath<path::PathEvaluator2nd>;

class PyEvaluatorPath3rd final : public PyEvaluatorPath<path::PathEvaluator3rd> {
 public:
  using PyEvaluatorPath::PyEvaluatorPath;

  Status evaluate_up_to_3rd(std::span<const double> s, std::span<double> q, std::span<double> dq,
                            std::span<double> ddq, std::span<double> dddq) const override {
    if (!path::holds_samples(state_->dim, s.size(), q, dq, ddq, dddq)) return PathError::DimensionMismatch{};
    return call_evaluator(*state_, "evaluate_up_to_3rd", s, {q, dq, ddq, dddq});
  }
};

}  // namespace

std::size_t probe_evaluator_dim(PyObject* evaluator) {
  const Ref attribute = attribute_if_any(evaluator, "dim");
  if (!attribute) throw Error::value("path evaluator must define `dim` as a positive integer attribute or method");
  const Ref value = PyCallable_Check(attribute.get()) ? new_ref(PyObject_CallNoArgs(attribute.get())) : attribute;
  const std::uint64_t dim = index_to_u64(value.get());
  if (dim == 0) throw Error::value("path evaluator `dim` must be a positive integer");
  return dim;
}

void require_evaluator_method(PyObject* evaluator, const char* method, const char* constructor) {
  if (!has_callable(evaluator, method)) {
    throw Error::value(fmt::format("`Path.{}` evaluator must define `{}(s)`", constructor, method));
  }
}

std::shared_ptr<const path::PathEvaluator2nd> python_evaluator_2nd(std::shared_ptr<const PyEvaluatorState> state) {
  if (!state->has_evaluate_up_to_2nd) throw Fault("a second-order evaluator must have `evaluate_up_to_2nd`");
  return std::make_shared<const PyEvaluatorPath2nd>(std::move(state));
}

std::shared_ptr<const path::PathEvaluator3rd> python_evaluator_3rd(std::shared_ptr<const PyEvaluatorState> state) {
  return std::make_shared<const PyEvaluatorPath3rd>(std::move(state));
}

EvaluatorErrorScope::EvaluatorErrorScope() noexcept : outer_(std::exchange(innermost_scope, this)) {}

EvaluatorErrorScope::~EvaluatorErrorScope() { innermost_scope = outer_; }

void EvaluatorErrorScope::capture(Error error) {
  if (innermost_scope != nullptr) innermost_scope->slot_.store(std::move(error));
}

}  // namespace qarn::py

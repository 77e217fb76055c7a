// Python objects as path evaluators: the record of a probed evaluator object, the probes that the
// Path constructors run on it, the evaluator implementations that forward each batch to its
// methods, and the capture of the Python exceptions those calls meet.
#pragma once

#include <cstddef>
#include <memory>

#include "ffi/python/error.hpp"
#include "ffi/python/path_enums.hpp"
#include "path/evaluator.hpp"

namespace qarn::py {

// What a Path constructor learnt of an evaluator object; nothing changes after construction but
// the release of `evaluator` by the garbage collector, which leaves a path that no code can reach.
// Shared by the path's evaluator and the Path object, which reports the evaluator to the collector.
struct PyEvaluatorState {
  Ref evaluator;
  std::size_t dim = 0;  // positive
  // How the arrays the evaluator returns are laid out: (n, dim) sample-major or (dim, n) dim-major.
  MatrixLayout layout = MatrixLayout::SampleMajor;
  bool has_evaluate_q = false;
  bool has_evaluate_up_to_2nd = false;
};

// The evaluator's `dim`, an attribute or a zero-argument method, as a positive integer. A missing
// `dim` or a zero raise ValueError; the evaluator's own exceptions and those of the integer
// conversion (TypeError, OverflowError) propagate.
std::size_t probe_evaluator_dim(PyObject* evaluator);

// ValueError "`Path.<constructor>` evaluator must define `<method>(s)`" unless the evaluator has a
// callable attribute of that name (see has_callable).
void require_evaluator_method(PyObject* evaluator, const char* method, const char* constructor);

// Evaluators over a probed object. Missing methods are served by the richer ones present:
// `evaluate_q` by `evaluate_up_to_2nd`, and for the third order both by `evaluate_up_to_3rd`, the
// unused derivatives going to scratch buffers. Each operation is one Python call; a failure is
// reported as `DimensionMismatch`, its Python exception captured by the innermost
// `EvaluatorErrorScope` of the thread.
std::shared_ptr<const path::PathEvaluator2nd> python_evaluator_2nd(std::shared_ptr<const PyEvaluatorState> state);
std::shared_ptr<const path::PathEvaluator3rd> python_evaluator_3rd(std::shared_ptr<const PyEvaluatorState> state);

// Captures the Python exceptions of the evaluator calls made on this thread while it lives, for
// the one evaluation that created it: two threads evaluating the same path, or an evaluator that
// evaluates another path inside its call, each see only their own exception. With no scope alive
// a captured exception is dropped (the core error then stands alone).
class EvaluatorErrorScope {
 public:
  EvaluatorErrorScope() noexcept;
  ~EvaluatorErrorScope();
  EvaluatorErrorScope(const EvaluatorErrorScope&) = delete;
  EvaluatorErrorScope& operator=(const EvaluatorErrorScope&) = delete;

  // The last exception captured, if any.
  PyErrSlot& slot() noexcept { return slot_; }

  // Into the innermost scope of this thread.
  static void capture(Error error);

 private:
  EvaluatorErrorScope* outer_;
  PyErrSlot slot_;
};

}  // namespace qarn::py

// The Python `Path` class (a built path value and the layout of the arrays it exchanges) and
// `PathDerivatives`, the arrays of one evaluation; the sampling that also fills the station store.
#pragma once

#include <memory>
#include <optional>
#include <span>

#include "ffi/python/class_def.hpp"
#include "ffi/python/path_enums.hpp"
#include "path/sampling.hpp"

namespace qarn::py {

struct PyEvaluatorState;

struct PyPath {
  path::Path path;
  MatrixLayout layout;
  // The Python evaluator behind an evaluator-backed path (null for the other kinds), shared with
  // the path's evaluator; reported to the garbage collector from here.
  std::shared_ptr<PyEvaluatorState> evaluator;
};

// The arrays of one evaluation, made once, so every read gives the same object; absent orders
// read as None.
struct PyPathDerivatives {
  Ref q;
  std::optional<Ref> dq, ddq, dddq;
};

void define(ClassDef<PyPath>& c);
int traverse_refs(const PyPath& path, visitproc visit, void* arg);
void clear_refs(PyPath& path);  // releases the evaluator object
void define_path_evaluation(ClassDef<PyPath>& c);  // the evaluation methods, in path_evaluation.cpp
void define_path_evaluator_constructors(ClassDef<PyPath>& c);  // in path_from_evaluator.cpp
void define(ClassDef<PyPathDerivatives>& c);
int traverse_refs(const PyPathDerivatives& derivatives, visitproc visit, void* arg);

// Samples the path at `s` (order UpTo2nd or UpTo3rd for the station store); a path failure is
// raised as PathError, or as the exception that this call's Python evaluator raised.
path::DerivativeSamples sample_path(const PyPath& path, std::span<const double> s, path::DerivativeOrder order);

}  // namespace qarn::py

// The Path constructors over Python code: `from_evaluator_2nd`, `from_evaluator_3rd` (and its alias
// `from_evaluator`) probe an evaluator object, and `from_sympy`, `from_casadi`, `from_autograd`,
// `from_jax` hand the expression to the package's pure-Python module, which builds such an
// evaluator and the path through `Path.from_evaluator_3rd`.
#include <initializer_list>
#include <vector>

#include "ffi/python/path.hpp"
#include "ffi/python/path_evaluator.hpp"

namespace qarn::py {
namespace {

constexpr const char* kEvaluatorProtocol =
    "``evaluator`` has ``dim`` (a positive integer attribute or zero-argument method) and methods taking a "
    "one-dimensional float64 array ``s`` of n path parameters: ``evaluate_q(s) -> q``, "
    "``evaluate_up_to_2nd(s) -> (q, dq, ddq)`` and ``evaluate_up_to_3rd(s) -> (q, dq, ddq, dddq)``, each "
    "array of shape (n, dim) with the sample-major ``layout`` and (dim, n) with the dim-major one. Queries "
    "outside [s_min, s_max] raise ``PathError`` before the evaluator is called; an exception raised by the "
    "evaluator reaches the caller unchanged, and an array of complex dtype raises ValueError naming the axis.";

// One instantiation per public name, so that each names itself in argument errors; the message of a
// missing method names `from_evaluator_3rd` for the alias too.
template <int Name>
PyPath path_from_evaluator_3rd(PyObject* evaluator, double s_min, double s_max, PyMatrixLayout layout) {
  auto state = std::make_shared<PyEvaluatorState>(
      PyEvaluatorState{Ref::borrow(evaluator), probe_evaluator_dim(evaluator), layout.value});
  require_evaluator_method(evaluator, "evaluate_up_to_3rd", "from_evaluator_3rd");
  state->has_evaluate_q = has_callable(evaluator, "evaluate_q");
  state->has_evaluate_up_to_2nd = has_callable(evaluator, "evaluate_up_to_2nd");
  return {check(path::path_from_evaluator_3rd(python_evaluator_3rd(state), s_min, s_max)), layout.value, state};
}

PyPath path_from_evaluator_2nd(PyObject* evaluator, double s_min, double s_max, PyMatrixLayout layout) {
  auto state = std::make_shared<PyEvaluatorState>(
      PyEvaluatorState{Ref::borrow(evaluator), probe_evaluator_dim(evaluator), layout.value});
  require_evaluator_method(evaluator, "evaluate_up_to_2nd", "from_evaluator_2nd");
  state->has_evaluate_q = has_callable(evaluator, "evaluate_q");
  state->has_evaluate_up_to_2nd = true;
  return {check(path::path_from_evaluator_2nd(python_evaluator_2nd(state), s_min, s_max)), layout.value, state};
}

// qarn_py._parametric.<function>(*args), imported on every call; its result is returned unchanged.
Ref call_parametric(const char* function, std::initializer_list<Ref> args) {
  const Ref module = new_ref(PyImport_ImportModule("qarn_py._parametric"));
  const Ref callable = new_ref(PyObject_GetAttrString(module.get(), function));
  std::vector<PyObject*> argv;
  for (const Ref& arg : args) argv.push_back(arg.get());
  return new_ref(PyObject_Vectorcall(callable.get(), argv.data(), argv.size(), nullptr));
}

Ref layout_name(PyMatrixLayout layout) {
  return to_py(layout.value == MatrixLayout::SampleMajor ? "sample_major" : "dim_major");
}

Ref path_from_sympy(PyObject* q_exprs, PyObject* symbol, double s_min, double s_max, PyMatrixLayout layout) {
  return call_parametric("_from_sympy",
                         {Ref::borrow(q_exprs), Ref::borrow(symbol), to_py(s_min), to_py(s_max), layout_name(layout)});
}

Ref path_from_casadi(PyObject* q_expr, PyObject* symbol, double s_min, double s_max, PyMatrixLayout layout) {
  return call_parametric("_from_casadi",
                         {Ref::borrow(q_expr), Ref::borrow(symbol), to_py(s_min), to_py(s_max), layout_name(layout)});
}

Ref path_from_autograd(PyObject* q_fn, double s_min, double s_max, PyMatrixLayout layout) {
  return call_parametric("_from_autograd", {Ref::borrow(q_fn), to_py(s_min), to_py(s_max), layout_name(layout)});
}

Ref path_from_jax(PyObject* q_fn, double s_min, double s_max, PyMatrixLayout layout, bool jit, bool require_x64) {
  return call_parametric("_from_jax", {Ref::borrow(q_fn), to_py(s_min), to_py(s_max), layout_name(layout),
                                       to_py(jit), to_py(require_x64)});
}

}  // namespace

void define_path_evaluator_constructors(ClassDef<PyPath>& c) {
  static const std::string doc_3rd =
      std::string(
          "Build a path whose q and derivatives up to the third order come from a Python evaluator.\n\n") +
      kEvaluatorProtocol +
      " ``evaluate_up_to_3rd`` is required; a missing ``evaluate_up_to_2nd`` or ``evaluate_q`` is served by "
      "``evaluate_up_to_3rd``, which is convenient but slow.";
  static const std::string doc_2nd =
      std::string("Build a path whose q and derivatives up to the second order come from a Python evaluator.\n\n") +
      kEvaluatorProtocol +
      " ``evaluate_up_to_2nd`` is required and serves a missing ``evaluate_q``; third-order evaluation raises "
      "``PathError``.";
  c.static_method<path_from_evaluator_3rd<0>>("from_evaluator(evaluator, s_min, s_max, *, layout='sample_major')",
                                              "Compatibility alias for ``Path.from_evaluator_3rd``.")
      .static_method<path_from_evaluator_2nd>("from_evaluator_2nd(evaluator, s_min, s_max, *, layout='sample_major')",
                                              doc_2nd.c_str())
      .static_method<path_from_evaluator_3rd<1>>(
          "from_evaluator_3rd(evaluator, s_min, s_max, *, layout='sample_major')", doc_3rd.c_str())
      .static_method<path_from_jax>(
          "from_jax(q_fn, s_min, s_max, *, layout='sample_major', jit=True, require_x64=True)",
          "Build a path from a JAX function ``q_fn(s) -> q`` of a scalar s (dim values).\n\n"
          "The derivatives come from forward-mode differentiation, batched over the queries (and compiled when "
          "``jit``); every call runs with 64-bit floats enabled, and with ``require_x64`` a result that is not "
          "float64 raises instead of being widened. The result is a third-order evaluator path built through "
          "``Path.from_evaluator_3rd``. Needs the optional dependency jax.")
      .static_method<path_from_autograd>(
          "from_autograd(q_fn, s_min, s_max, *, layout='sample_major')",
          "Build a path from an autograd function ``q_fn(s) -> q`` of a scalar s (dim values).\n\n"
          "The derivatives come from autograd's forward-mode differentiation, one query after the other. The "
          "result is a third-order evaluator path built through ``Path.from_evaluator_3rd``. Needs autograd.")
      .static_method<path_from_casadi>(
          "from_casadi(q_expr, *, symbol, s_min=0.0, s_max=1.0, layout='sample_major')",
          "Build a path from a CasADi expression (a column of dim entries, or a list of scalar expressions) in "
          "the scalar symbol ``symbol``.\n\n"
          "The derivatives are CasADi's symbolic Jacobians, evaluated for the whole batch at once and converted "
          "to NumPy. The result is a third-order evaluator path built through ``Path.from_evaluator_3rd``. "
          "Needs the optional dependency casadi.")
      .static_method<path_from_sympy>(
          "from_sympy(q_exprs, *, symbol, s_min=0.0, s_max=1.0, layout='sample_major')",
          "Build a path from SymPy expressions (a sequence or column of dim entries, or one expression) in the "
          "symbol ``symbol``.\n\n"
          "``q_exprs`` holds 1 to 10,000 entries, one per axis; an empty or a larger input raises ValueError "
          "before its entries are read. The derivatives are differentiated symbolically and compiled to NumPy functions; constant entries "
          "are broadcast over the queries. An expression NumPy cannot evaluate raises ValueError naming the "
          "function when the path is built; the DiracDelta that differentiating ``Abs``, ``sign`` or "
          "``Heaviside`` brings in is 0 away from its singular point and NaN at it. The result is a third-order "
          "evaluator path built through ``Path.from_evaluator_3rd``. Needs sympy.");
}

}  // namespace qarn::py

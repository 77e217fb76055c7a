// What the conic solver reports about a solve, as the expert results hand it to Python:
// `ClarabelLinearSolverInfo` (a read-only class), the report record shared by the expert result
// classes, with its attributes registered once for all of them, and `Qarn3ClarabelResult`, the
// expert result of the third-order solvers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "diag/out_of_memory.hpp"
#include "ffi/python/array.hpp"
#include "ffi/python/class_def.hpp"
#include "ffi/python/solver/enums.hpp"
#include "qarn/clarabel_bridge.hpp"
#include "qarn/qarn2/opt2/objective_terms.hpp"
#include "qarn/qarn3/opt3/third_order_policy.hpp"

namespace qarn::py {

struct PyClarabelLinearSolverInfo {
  DirectSolveMethod method = DirectSolveMethod::Auto;
  std::uint64_t threads = 0;
  bool direct = false;
  std::uint64_t nnz_a = 0;
  std::uint64_t nnz_l = 0;
};

void define(ClassDef<PyClarabelLinearSolverInfo>& c);

// The solver's method name matched exactly ("qdldl", "faer", "mkl", "panua"; anything else AUTO).
PyClarabelLinearSolverInfo linear_solver_info_from_clarabel(const clarabel::LinearSolverInfo& info);

// The raw vectors, status and statistics of a solve, kept whatever the status.
using ClarabelReport = clarabel::SolveOutput;

namespace detail {

// The report attributes that need a conversion; the plain ones are fields.
template <class T>
PyClarabelSolverStatus report_status(Shared<T> self) {
  return {self->report.status};
}
template <class T>
PyClarabelLinearSolverInfo report_linsolver(Shared<T> self) {
  return linear_solver_info_from_clarabel(self->report.linsolver);
}

}  // namespace detail

// Registers x, z, s, solver_status, obj_val, obj_val_dual, solve_time, iterations, r_prim, r_dual,
// linsolver and audit_failure (the member `audit_failure` of T) on an expert result class.
template <class T>
void define_report_attributes(ClassDef<T>& c) {
  using R = ClarabelReport;
  c.template field<&T::report, &R::x>("x", "Return the raw Clarabel primal solution vector.")
      .template field<&T::report, &R::z>("z", "Return the raw Clarabel dual solution vector.")
      .template field<&T::report, &R::s>("s", "Return the raw Clarabel primal-cone slack vector.")
      .template getter<detail::report_status<T>>("solver_status", "Return the final Clarabel solver status.")
      .template field<&T::report, &R::obj_val>("obj_val", "Return the primal objective value reported by Clarabel.")
      .template field<&T::report, &R::obj_val_dual>("obj_val_dual",
                                                    "Return the dual objective value reported by Clarabel.")
      .template field<&T::report, &R::solve_time>("solve_time", "Return Clarabel solve time in seconds.")
      .template field<&T::report, &R::iterations>("iterations", "Return the number of interior-point iterations.")
      .template field<&T::report, &R::r_prim>("r_prim", "Return the primal residual reported by Clarabel.")
      .template field<&T::report, &R::r_dual>("r_dual", "Return the dual residual reported by Clarabel.")
      .template getter<detail::report_linsolver<T>>("linsolver", "Return linear-solver metadata reported by Clarabel.")
      .template field<&T::audit_failure>(
          "audit_failure",
          "Return why an accepted solution's profile was withheld (the constraint row it breaks at the profile, or "
          "the interval where it stops and never arrives), or `None`.");
}

// Runs `evaluate`, the objective terms of an accepted profile of `stations` stations of a robot of
// `dim` axes (its torque model called at every station); memory that runs out there names `solver`
// and the torques it needed.
std::string objective_terms_memory_text(const char* solver, std::uint64_t stations, std::uint64_t dim);
template <class Evaluate>
decltype(auto) evaluating_objective_terms(const char* solver, std::uint64_t stations, std::uint64_t dim,
                                          Evaluate&& evaluate) {
  return naming_memory_failure([&] { return objective_terms_memory_text(solver, stations, dim); },
                               std::forward<Evaluate>(evaluate));
}

// The objective value and terms are present together, and only for solves with objectives.
struct PyQarn3ClarabelResult {
  std::optional<qarn3::Topp3Profile> profile;
  ClarabelReport report;
  std::optional<std::string> audit_failure;
  std::optional<double> objective_value;
  std::optional<std::vector<double>> objective_terms;
};

void define(ClassDef<PyQarn3ClarabelResult>& c);

// The expert result of a third-order solve, its vectors moved in, with the objective breakdown of
// the accepted profile for solves with objectives. Builds no Python object, so a solve body may
// call it with the interpreter lock released.
PyQarn3ClarabelResult build_qarn3_clarabel_result(qarn3::Qarn3SocpResult&& result,
                                                  std::optional<qarn2::ObjectiveTerms> objective = std::nullopt);

}  // namespace qarn::py

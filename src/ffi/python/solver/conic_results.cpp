// The ClarabelLinearSolverInfo class and its conversion from the solver's report, and the
// Qarn3ClarabelResult class.
#include "ffi/python/solver/conic_results.hpp"

#include <string>

#include "ffi/python/solver/clarabel_settings.hpp"
#include "ffi/python/solver/profile3.hpp"
#include "math/numerical/saturating.hpp"

namespace qarn::py {
namespace {

PyClarabelDirectSolveMethod info_method(Shared<PyClarabelLinearSolverInfo> self) { return {self->method}; }

std::string info_repr(Shared<PyClarabelLinearSolverInfo> self) {
  return fmt::format("ClarabelLinearSolverInfo(method={}, threads={}, direct={}, nnz_a={}, nnz_l={})",
                     PyClarabelDirectSolveMethod{self->method}.display(), self->threads, self->direct, self->nnz_a,
                     self->nnz_l);
}

// A new Profile3rd on every read, so that changing one leaves the result as it is.
std::optional<PyProfile3rd> result3_profile(Shared<PyQarn3ClarabelResult> self) {
  if (!self->profile) return std::nullopt;
  return PyProfile3rd{*self->profile};
}

std::string result3_repr(Shared<PyQarn3ClarabelResult> self) {
  return fmt::format("Qarn3ClarabelResult(profile_available={}, solver_status={}, iterations={}, objective_value={})",
                     self->profile.has_value(), status_name(self->report.status), self->report.iterations,
                     self->objective_value);
}

}  // namespace

PyQarn3ClarabelResult build_qarn3_clarabel_result(qarn3::Qarn3SocpResult&& result,
                                                  std::optional<qarn2::ObjectiveTerms> objective) {
  PyQarn3ClarabelResult out;
  out.profile = std::move(result.profile);
  out.audit_failure = std::move(result.audit_failure);
  out.report = std::move(static_cast<ClarabelReport&>(result));
  if (objective) {
    out.objective_value = objective->objective_value;
    out.objective_terms = std::move(objective->objective_terms);
  }
  return out;
}

std::string objective_terms_memory_text(const char* solver, std::uint64_t stations, std::uint64_t dim) {
  // The torque model's three coefficients and the torque per axis, and the station values (s, b,
  // the times and their weights) beside them.
  const std::uint64_t values = saturating_mul(stations, saturating_add(saturating_mul(4, dim), 4));
  return not_enough_memory(solver, "to evaluate the objective terms", saturating_mul(values, sizeof(double)),
                           fmt::format("the torques of {} stations of {} axes", stations, dim));
}

PyClarabelLinearSolverInfo linear_solver_info_from_clarabel(const clarabel::LinearSolverInfo& info) {
  return {method_from_solver_name(info.method), info.threads, info.direct, info.nnz_a, info.nnz_l};
}

void define(ClassDef<PyClarabelLinearSolverInfo>& c) {
  c.name("ClarabelLinearSolverInfo", "Python-owned linear-solver metadata reported by Clarabel.")
      .getter<info_method>("method", "Return the direct linear-solver method.")
      .field<&PyClarabelLinearSolverInfo::threads>("threads", "Return the number of solver threads used.")
      .field<&PyClarabelLinearSolverInfo::direct>("direct", "Return whether a direct factorization method was used.")
      .field<&PyClarabelLinearSolverInfo::nnz_a>("nnz_a", "Return the number of nonzeros in the linear system.")
      .field<&PyClarabelLinearSolverInfo::nnz_l>("nnz_l", "Return the number of nonzeros in the factored system.")
      .repr<info_repr>();
}

void define(ClassDef<PyQarn3ClarabelResult>& c) {
  using R = PyQarn3ClarabelResult;
  c.name("Qarn3ClarabelResult",
         "Python-owned expert result for third-order Clarabel solvers.\n\n"
         "``profile`` is ``None`` when the final Clarabel status is not accepted by the given options, or when "
         "the accepted solution's profile breaks one of its constraint rows or never arrives (``audit_failure`` then "
         "names the row, or the interval where it stops); the raw Clarabel vectors and statistics stay available "
         "regardless of status. ``objective_value`` and "
         "``objective_terms`` are reported by solvers with objectives (QARN3) for an accepted profile.")
      .getter<result3_profile>("profile", "Return the accepted profile, or `None` when unavailable.");
  define_report_attributes(c);
  c.field<&R::objective_value>("objective_value", "Return weighted QARN objective value, if available.")
      .field<&R::objective_terms>("objective_terms", "Return per-objective unweighted values, if available.")
      .repr<result3_repr>();
}

}  // namespace qarn::py

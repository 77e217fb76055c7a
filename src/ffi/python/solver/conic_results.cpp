// The ClarabelLinearSolverInfo class and its conversion from the solver's report.
#include "ffi/python/solver/conic_results.hpp"

#include <string>

#include "ffi/python/solver/clarabel_settings.hpp"

namespace qarn::py {
namespace {

PyClarabelDirectSolveMethod info_method(Shared<PyClarabelLinearSolverInfo> self) { return {self->method}; }

std::string info_repr(Shared<PyClarabelLinearSolverInfo> self) {
  return fmt::format("ClarabelLinearSolverInfo(method={}, threads={}, direct={}, nnz_a={}, nnz_l={})",
                     PyClarabelDirectSolveMethod{self->method}.display(), self->threads, self->direct, self->nnz_a,
                     self->nnz_l);
}

}  // namespace

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

}  // namespace qarn::py

// What the conic solver reports about a solve, as the expert results hand it to Python:
// `ClarabelLinearSolverInfo` (a read-only class) and the report record shared by the expert result
// classes, with its attributes registered once for all of them.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "ffi/python/array.hpp"
#include "ffi/python/class_def.hpp"
#include "ffi/python/solver/enums.hpp"
#include "qarn/clarabel_bridge.hpp"

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

// Getters of a result class whose payload holds a `ClarabelReport report`; arrays are fresh copies.
template <class T>
std::vector<double> report_x(Shared<T> self) {
  return self->report.x;
}
template <class T>
std::vector<double> report_z(Shared<T> self) {
  return self->report.z;
}
template <class T>
std::vector<double> report_s(Shared<T> self) {
  return self->report.s;
}
template <class T>
PyClarabelSolverStatus report_status(Shared<T> self) {
  return {self->report.status};
}
template <class T>
double report_obj_val(Shared<T> self) {
  return self->report.obj_val;
}
template <class T>
double report_obj_val_dual(Shared<T> self) {
  return self->report.obj_val_dual;
}
template <class T>
double report_solve_time(Shared<T> self) {
  return self->report.solve_time;
}
template <class T>
std::uint32_t report_iterations(Shared<T> self) {
  return self->report.iterations;
}
template <class T>
double report_r_prim(Shared<T> self) {
  return self->report.r_prim;
}
template <class T>
double report_r_dual(Shared<T> self) {
  return self->report.r_dual;
}
template <class T>
PyClarabelLinearSolverInfo report_linsolver(Shared<T> self) {
  return linear_solver_info_from_clarabel(self->report.linsolver);
}

}  // namespace detail

// Registers x, z, s, solver_status, obj_val, obj_val_dual, solve_time, iterations, r_prim, r_dual
// and linsolver on an expert result class.
template <class T>
void define_report_attributes(ClassDef<T>& c) {
  c.template getter<detail::report_x<T>>("x", "Return the raw Clarabel primal solution vector.")
      .template getter<detail::report_z<T>>("z", "Return the raw Clarabel dual solution vector.")
      .template getter<detail::report_s<T>>("s", "Return the raw Clarabel primal-cone slack vector.")
      .template getter<detail::report_status<T>>("solver_status", "Return the final Clarabel solver status.")
      .template getter<detail::report_obj_val<T>>("obj_val", "Return the primal objective value reported by Clarabel.")
      .template getter<detail::report_obj_val_dual<T>>("obj_val_dual",
                                                       "Return the dual objective value reported by Clarabel.")
      .template getter<detail::report_solve_time<T>>("solve_time", "Return Clarabel solve time in seconds.")
      .template getter<detail::report_iterations<T>>("iterations", "Return the number of interior-point iterations.")
      .template getter<detail::report_r_prim<T>>("r_prim", "Return the primal residual reported by Clarabel.")
      .template getter<detail::report_r_dual<T>>("r_dual", "Return the dual residual reported by Clarabel.")
      .template getter<detail::report_linsolver<T>>("linsolver", "Return linear-solver metadata reported by Clarabel.");
}

}  // namespace qarn::py

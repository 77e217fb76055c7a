// `ClarabelLinearSolverInfo`: what the conic solver reports about its linear solver, as a
// read-only Python object reached through the expert results.
#pragma once

#include <cstdint>

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

}  // namespace qarn::py

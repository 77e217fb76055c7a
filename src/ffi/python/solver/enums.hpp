// The enum classes of the solvers: Verbosity (diagnostic level), ClarabelDirectSolveMethod (the
// conic solver's direct linear solver) and ClarabelSolverStatus (its final status).
#pragma once

#include "diag/log.hpp"
#include "diag/solver_status.hpp"
#include "ffi/python/enum_class.hpp"

namespace qarn::py {

struct VerbosityEnum {
  using Value = Verbosity;
  static constexpr const char* name = "Verbosity";
  static constexpr const char* doc = "Verbosity level used by the native solver diagnostics.";
  static constexpr std::array<EnumMember, 4> members{
      {{"SILENT", "Silent"}, {"SUMMARY", "Summary"}, {"DEBUG", "Debug"}, {"TRACE", "Trace"}}};
  static constexpr std::array<EnumSpelling, 4> spellings{{{"silent", 0}, {"summary", 1}, {"debug", 2}, {"trace", 3}}};
  static constexpr const char* not_a_value = "`verbosity` must be a Verbosity value or a string";
  static constexpr const char* no_match =
      "`verbosity` must be Verbosity.SILENT, Verbosity.SUMMARY, Verbosity.DEBUG, Verbosity.TRACE, or one of "
      "\"silent\", \"summary\", \"debug\", \"trace\"";
};

// The solve method's lower-case spelling is also the name the conic solver receives.
enum class DirectSolveMethod : std::uint8_t { Auto = 0, Qdldl = 1, Faer = 2, Mkl = 3, Panua = 4 };

struct DirectSolveMethodEnum {
  using Value = DirectSolveMethod;
  static constexpr const char* name = "ClarabelDirectSolveMethod";
  static constexpr const char* doc = "Direct linear-solver method forwarded to Clarabel.";
  static constexpr std::array<EnumMember, 5> members{
      {{"AUTO", "Auto"}, {"QDLDL", "Qdldl"}, {"FAER", "Faer"}, {"MKL", "Mkl"}, {"PANUA", "Panua"}}};
  static constexpr std::array<EnumSpelling, 5> spellings{
      {{"auto", 0}, {"qdldl", 1}, {"faer", 2}, {"mkl", 3}, {"panua", 4}}};
  static constexpr const char* not_a_value =
      "`direct_solve_method` must be a ClarabelDirectSolveMethod value or a string";
  static constexpr const char* no_match =
      "`direct_solve_method` must be ClarabelDirectSolveMethod.AUTO, ClarabelDirectSolveMethod.QDLDL, "
      "ClarabelDirectSolveMethod.FAER, ClarabelDirectSolveMethod.MKL, ClarabelDirectSolveMethod.PANUA, or "
      "one of \"auto\", \"qdldl\", \"faer\", \"mkl\", \"panua\"";
};

// No string form of a status is accepted anywhere, so the traits have no spellings.
struct SolverStatusEnum {
  using Value = SolverStatus;
  static constexpr const char* name = "ClarabelSolverStatus";
  static constexpr const char* doc = "Clarabel solver status returned by SOCP expert APIs.";
  static constexpr std::array<EnumMember, kSolverStatusCount> members{{
      {"UNSOLVED", status_name(SolverStatus::Unsolved).data()},
      {"SOLVED", status_name(SolverStatus::Solved).data()},
      {"PRIMAL_INFEASIBLE", status_name(SolverStatus::PrimalInfeasible).data()},
      {"DUAL_INFEASIBLE", status_name(SolverStatus::DualInfeasible).data()},
      {"ALMOST_SOLVED", status_name(SolverStatus::AlmostSolved).data()},
      {"ALMOST_PRIMAL_INFEASIBLE", status_name(SolverStatus::AlmostPrimalInfeasible).data()},
      {"ALMOST_DUAL_INFEASIBLE", status_name(SolverStatus::AlmostDualInfeasible).data()},
      {"MAX_ITERATIONS", status_name(SolverStatus::MaxIterations).data()},
      {"MAX_TIME", status_name(SolverStatus::MaxTime).data()},
      {"NUMERICAL_ERROR", status_name(SolverStatus::NumericalError).data()},
      {"INSUFFICIENT_PROGRESS", status_name(SolverStatus::InsufficientProgress).data()},
      {"CALLBACK_TERMINATED", status_name(SolverStatus::CallbackTerminated).data()},
  }};
};

using PyVerbosity = Enum<VerbosityEnum>;
using PyClarabelDirectSolveMethod = Enum<DirectSolveMethodEnum>;
using PyClarabelSolverStatus = Enum<SolverStatusEnum>;

namespace detail {

template <class T, auto... Path>
PyVerbosity get_verbosity(Shared<T> self) {
  return {member_at<Path...>(*self)};
}
template <class T, auto... Path>
void set_verbosity(Exclusive<T> self, PyVerbosity value) {
  member_at<Path...>(*self) = value.value;
}

}  // namespace detail

// The `verbosity` property of an options class that keeps the level at the member `Path`.
template <auto... Path, class T>
void define_verbosity_property(ClassDef<T>& c) {
  c.template property<&detail::get_verbosity<T, Path...>, &detail::set_verbosity<T, Path...>>(
      "verbosity",
      "Return the diagnostic verbosity level.\n\nSet diagnostic verbosity from an enum value or string.");
}

// The name the conic solver receives for a method: "auto", "qdldl", "faer", "mkl" or "panua".
inline const char* solver_method_name(DirectSolveMethod method) {
  return DirectSolveMethodEnum::spellings[static_cast<std::size_t>(method)].text;
}

}  // namespace qarn::py

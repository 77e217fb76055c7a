// Status of a conic solve, numbered as the solver reports it; errors and results print its name.
#pragma once

#include <cstdint>
#include <string_view>

namespace qarn {

enum class SolverStatus : std::uint8_t {
  Unsolved = 0,
  Solved = 1,
  PrimalInfeasible = 2,
  DualInfeasible = 3,
  AlmostSolved = 4,
  AlmostPrimalInfeasible = 5,
  AlmostDualInfeasible = 6,
  MaxIterations = 7,
  MaxTime = 8,
  NumericalError = 9,
  InsufficientProgress = 10,
  CallbackTerminated = 11,
};

inline constexpr int kSolverStatusCount = 12;

constexpr std::string_view status_name(SolverStatus status) {
  constexpr std::string_view names[kSolverStatusCount] = {
      "Unsolved",      "Solved",
      "PrimalInfeasible", "DualInfeasible",
      "AlmostSolved",  "AlmostPrimalInfeasible",
      "AlmostDualInfeasible", "MaxIterations",
      "MaxTime",       "NumericalError",
      "InsufficientProgress", "CallbackTerminated"};
  const auto i = static_cast<unsigned>(status);
  return i < kSolverStatusCount ? names[i] : std::string_view{"Unsolved"};
}

}  // namespace qarn

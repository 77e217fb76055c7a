// The memory that building a solver's record from a problem descriptor takes: the copies of its
// references and objectives a solve makes, and the builders' checks over its stations. Memory that
// runs out there names the descriptor and what it holds.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "diag/out_of_memory.hpp"
#include "qarn/problem2.hpp"

namespace qarn::py {

// The doubles the objective specs hold (Linear coefficients, normalizations).
std::uint64_t objective_values(std::span<const ObjectiveSpec> objectives);

// "<problem>: not enough memory to build the problem: about .. are needed for the record of
// <stations> stations with <values> reference and objective values".
std::string record_memory_text(const char* problem, std::uint64_t stations, std::uint64_t values);

// Runs `build`, a step of building the record of a `problem` descriptor (its class name).
template <class Build>
decltype(auto) building_record(const char* problem, std::uint64_t stations, std::uint64_t values, Build&& build) {
  return naming_memory_failure([&] { return record_memory_text(problem, stations, values); },
                               std::forward<Build>(build));
}

}  // namespace qarn::py

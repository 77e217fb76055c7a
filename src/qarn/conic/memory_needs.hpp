// What each stage of a conic solve allocates, estimated from the size of its program, so that
// memory running out anywhere in the flow raises a MemoryError that says what the solve was doing
// and about how much memory that needed, not only where Clarabel's own need is checked.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "diag/out_of_memory.hpp"
#include "qarn/conic/program.hpp"

namespace qarn {

// The stages of the flow, in order; the solve and profile stages run again for a second look.
enum class ConicStage : std::uint8_t {
  Check,     // the solver's checks: reachability over the window
  Reserve,   // the triplets' reservation
  Assemble,  // the stages that fill the triplets (torque terms and linearized rows included)
  Build,     // the compressed-column build
  Units,     // the profile references and the column units
  Solve,     // the copies of the program handed to Clarabel, and its result vectors
  Profile,   // the profile split from a solution, and its audit
};

// What the estimates read: the window's stations and the assembly's reservation (upper bounds of
// its entries, rows, cones and variables; zero before the reservation is made).
struct ProgramSize {
  std::uint64_t stations = 0;
  Reserve reserved{};
};

// About how many bytes `stage` allocates for a program of `size` (saturating).
std::uint64_t stage_bytes(ConicStage stage, const ProgramSize& size);

// "<component>: not enough memory to <stage>: about <size> are needed for <its data>".
std::string stage_memory_text(std::string_view component, ConicStage stage, const ProgramSize& size);

// "<component>: not enough memory for reachability analysis: about <size> are needed for the
// reachable sets of <stations> stations", for the solvers that are that analysis alone.
std::string reachability_memory_text(std::string_view component, std::uint64_t stations);

// Runs `body` as `stage` of `component`'s solve: a plain allocation failure inside it leaves as
// OutOfMemory with stage_memory_text of the size that `size()` gives then.
template <class Size, class Body>
decltype(auto) in_stage(std::string_view component, ConicStage stage, Size&& size, Body&& body) {
  return naming_memory_failure([&] { return stage_memory_text(component, stage, size()); }, std::forward<Body>(body));
}

}  // namespace qarn

// What building a problem's record takes, for the message of memory that runs out there.
#include "ffi/python/solver/problem_memory.hpp"

#include <variant>

#include "diag/format.hpp"
#include "math/numerical/saturating.hpp"

namespace qarn::py {

std::uint64_t objective_values(std::span<const ObjectiveSpec> objectives) {
  std::uint64_t values = 0;
  for (const ObjectiveSpec& spec : objectives) {
    values += std::visit(
        [](const auto& o) -> std::uint64_t {
          using O = std::decay_t<decltype(o)>;
          if constexpr (std::is_same_v<O, ObjectiveSpec::Linear>) return o.alpha.size() + o.beta.size();
          if constexpr (requires { o.normalize; }) return o.normalize.size();
          return 0;
        },
        spec.value);
  }
  return values;
}

std::string record_memory_text(const char* problem, std::uint64_t stations, std::uint64_t values) {
  // The values are copied for the solve and read into the builders' references; the checks keep
  // about one value per station.
  const std::uint64_t bytes = saturating_mul(saturating_add(saturating_mul(2, values), stations), sizeof(double));
  return not_enough_memory(problem, "to build the problem", bytes,
                           fmt::format("the record of {} stations with {} reference and objective values", stations,
                                       values));
}

}  // namespace qarn::py

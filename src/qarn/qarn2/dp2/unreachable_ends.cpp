// The reachable sets asked after a failed conic solve.
#include "qarn/qarn2/dp2/unreachable_ends.hpp"

#include <string>

#include "diag/format.hpp"
#include "qarn/qarn2/dp2/reach_set2.hpp"

namespace qarn::qarn2 {

std::optional<CoreError> unreachable_ends(std::string_view component, const Topp2Problem& window, SolverStatus status) {
  const Result<ReachSet2> set = reach_set2_bidirectional(window, ReachSet2Options{});
  if (set || set.error().kind() != CoreError::Kind::Infeasible) return std::nullopt;
  return CoreError::infeasible(
      std::string(component),
      fmt::format("No profile from a_start = {} to a_final = {} holds the first- and second-order limits (solver "
                  "status {}): {}",
                  window.a_start, window.a_final, status_name(status), set.error().message()));
}

}  // namespace qarn::qarn2

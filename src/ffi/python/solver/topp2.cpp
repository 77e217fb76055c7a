// The reachability solver functions `topp2_ra`, `reach_set2_backward` and
// `reach_set2_bidirectional`, and the registration of the TOPP2 group. Their cores never call
// Python, so they always run with the interpreter lock released.
#include <optional>
#include <vector>

#include "ffi/python/array.hpp"
#include "ffi/python/module.hpp"
#include "ffi/python/solver/problem2.hpp"
#include "ffi/python/solver/reach_set.hpp"
#include "qarn/conic/memory_needs.hpp"
#include "qarn/qarn2/dp2/topp2_ra.hpp"

namespace qarn::py {
namespace {

using qarn2::ReachSet2Options;

// Runs core(problem record, options) on the problem's robot, everything copied out of the Python
// objects first; the handle clone keeps the state alive while the interpreter lock is free. Memory
// that runs out in the analysis names `component`.
template <class Core>
auto solve_topp2(const char* component, const PyTopp2Problem& problem,
                 std::optional<Shared<PyReachSet2Options>> options, Core core) {
  const ReachSet2Options resolved = resolve_reach_set2_options(std::move(options));
  const RobotHandle state = problem.state;
  const ProblemWindow window = problem.window;
  return solve_locked(*state, SolveGil::Release, [&](const Robot& robot) {
    const Topp2Problem record = checked_topp2(robot, window);
    return check(naming_memory_failure([&] { return reachability_memory_text(component, window.stations()); },
                                       [&] { return core(record, resolved); }));
  });
}

std::vector<double> topp2_ra(Shared<PyTopp2Problem> problem, std::optional<Shared<PyReachSet2Options>> options) {
  return solve_topp2("topp2_ra", *problem, std::move(options), qarn2::topp2_ra);
}

// The core dispatches on the verbosity to its per-level copy, reading the clock just before.
template <Result<qarn2::ReachSet2> (*Core)(const Topp2Problem&, const ReachSet2Options&)>
PyReachSet2 reach_set2(Shared<PyTopp2Problem> problem, std::optional<Shared<PyReachSet2Options>> options) {
  qarn2::ReachSet2 set = solve_topp2("reach_set2", *problem, std::move(options), Core);
  return {std::move(set.a_max), std::move(set.a_min)};
}

constexpr const char* kDefaultsParagraph =
    "\n\n``options=None`` uses the ``ReachSet2OptionsBuilder::new`` defaults.";

}  // namespace

void register_topp2_items(Module& module) {
  static const std::string backward_doc =
      std::string("Compute backward-only TOPP2 reachable intervals.") + kDefaultsParagraph;
  static const std::string bidirectional_doc =
      std::string("Compute bidirectional TOPP2 reachable intervals.") + kDefaultsParagraph;
  module.add_class<PyReachSet2Options>();
  module.add_class<PyReachSet2>();
  module.add_class<PyTopp2Problem>();
  module.add_function<reach_set2<qarn2::reach_set2_backward>>("reach_set2_backward(problem, options=None)",
                                                              backward_doc.c_str());
  module.add_function<reach_set2<qarn2::reach_set2_bidirectional>>("reach_set2_bidirectional(problem, options=None)",
                                                                   bidirectional_doc.c_str());
  module.add_function<topp2_ra>("topp2_ra(problem, options=None)", "Solve TOPP2 with reachability analysis.");
}

}  // namespace qarn::py

// The jerk-limited time-optimal solver functions `topp3_lp`, `topp3_socp` and their expert
// variants, and the registration of the TOPP3 group. Their cores never call Python, so they always
// run with the interpreter lock released.
#include <optional>

#include "ffi/python/module.hpp"
#include "ffi/python/solver/clarabel_options.hpp"
#include "ffi/python/solver/conic_results.hpp"
#include "ffi/python/solver/problem3.hpp"
#include "ffi/python/solver/profile3.hpp"
#include "qarn/qarn3/opt3/topp3_lp.hpp"
#include "qarn/qarn3/opt3/topp3_socp.hpp"

namespace qarn::py {
namespace {

using qarn3::Topp3Problem;

// Runs body(record, options) on the problem's robot, the record rebuilt (and the store's jerk rows
// linearized) under the robot lock, on copies of everything the solve reads from Python objects.
template <class Body>
auto solve_topp3(const PyTopp3Problem& problem, std::optional<Shared<PyClarabelOptions>> options, Body body) {
  const ClarabelOptions resolved = extract_clarabel_options(std::move(options));
  const RobotHandle state = problem.state;
  const Problem3Setup setup = building_record("Topp3Problem", problem.setup.a_linearization.size(),
                                              problem.setup.reference_values(), [&] { return problem.setup; });
  return solve_locked(*state, SolveGil::Release,
                      [&](Robot& robot) { return body(built_topp3(robot, setup), resolved); });
}

template <Result<qarn3::Topp3Profile> (*Entry)(const Topp3Problem&, const ClarabelOptions&)>
PyProfile3rd topp3_plain(Shared<PyTopp3Problem> problem, std::optional<Shared<PyClarabelOptions>> options) {
  return solve_topp3(*problem, std::move(options), [](const Topp3Problem& record, const ClarabelOptions& resolved) {
    return PyProfile3rd{check(Entry(record, resolved))};
  });
}

// An unaccepted status is no error here: the result then has no profile.
template <Result<qarn3::Qarn3SocpResult> (*Core)(const Topp3Problem&, const ClarabelOptions&)>
PyQarn3ClarabelResult topp3_expert(Shared<PyTopp3Problem> problem, std::optional<Shared<PyClarabelOptions>> options) {
  return solve_topp3(*problem, std::move(options), [](const Topp3Problem& record, const ClarabelOptions& resolved) {
    return build_qarn3_clarabel_result(check(Core(record, resolved)));
  });
}

}  // namespace

void register_topp3_items(Module& module) {
  module.add_class<PyTopp3Problem>();
  module.add_function<topp3_plain<qarn3::topp3_lp_entry>>("topp3_lp(problem, options=None)",
                                                          "Solve TOPP3 with the Clarabel LP backend.");
  module.add_function<topp3_expert<qarn3::topp3_lp>>(
      "topp3_lp_expert(problem, options=None)",
      "Solve TOPP3 with the Clarabel LP backend and return expert diagnostics.");
  module.add_function<topp3_plain<qarn3::topp3_socp_entry>>("topp3_socp(problem, options=None)",
                                                            "Solve TOPP3 with the Clarabel SOCP backend.");
  module.add_function<topp3_expert<qarn3::topp3_socp>>(
      "topp3_socp_expert(problem, options=None)",
      "Solve TOPP3 with the Clarabel SOCP backend and return expert diagnostics.");
}

}  // namespace qarn::py

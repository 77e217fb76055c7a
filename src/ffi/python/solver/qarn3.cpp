// The jerk-limited convex-objective solver functions `qarn3_socp` and `qarn3_socp_expert`, and the
// registration of the QARN3 group. The solve gives the interpreter lock up unless the robot's
// torque terms call a Python inverse-dynamics callback.
#include <optional>
#include <vector>

#include "ffi/python/module.hpp"
#include "ffi/python/solver/clarabel_options.hpp"
#include "ffi/python/solver/conic_results.hpp"
#include "ffi/python/solver/problem3.hpp"
#include "ffi/python/solver/profile3.hpp"
#include "qarn/qarn3/opt3/qarn3_objective_terms.hpp"
#include "qarn/qarn3/opt3/qarn3_socp.hpp"

namespace qarn::py {
namespace {

using qarn3::Qarn3Problem;

// Runs body(record, options, state) on the problem's robot, the record rebuilt under the robot
// lock, on copies of everything the solve reads from Python objects. Whether the interpreter lock
// is given up is decided under the same robot lock that runs the solve, so a callback installed
// meanwhile by another thread is either seen (and the lock kept) or not there at all.
template <class Body>
auto solve_qarn3(const PyQarn3Problem& problem, std::optional<Shared<PyClarabelOptions>> options, Body body) {
  const ClarabelOptions resolved = extract_clarabel_options(std::move(options));
  const RobotHandle state = problem.state;
  const auto copy = [&](const auto& part) {
    return building_record("Qarn3Problem", problem.setup.a_linearization.size(),
                           problem.setup.reference_values() + objective_values(problem.objectives),
                           [&] { return part; });
  };
  const Problem3Setup setup = copy(problem.setup);
  const std::vector<ObjectiveSpec> objectives = copy(problem.objectives);
  return solve_locked(*state, SolveGil::ReleaseWithoutCallback, [&](Robot& robot) {
    return with_built_qarn3(*state, robot, objectives, setup,
                            [&](const Qarn3Problem& record) { return body(record, resolved, *state); });
  });
}

PyProfile3rd qarn3_socp(Shared<PyQarn3Problem> problem, std::optional<Shared<PyClarabelOptions>> options) {
  return solve_qarn3(*problem, std::move(options),
                     [](const Qarn3Problem& record, const ClarabelOptions& resolved, SharedRobotState& state) {
                       return PyProfile3rd{check(qarn3::qarn3_socp_entry(record, resolved), &state.err_slot)};
                     });
}

// An unaccepted status is no error here: the result then has no profile and no objective values,
// which come from the accepted profile.
PyQarn3ClarabelResult qarn3_socp_expert(Shared<PyQarn3Problem> problem,
                                        std::optional<Shared<PyClarabelOptions>> options) {
  return solve_qarn3(*problem, std::move(options),
                     [](const Qarn3Problem& record, const ClarabelOptions& resolved, SharedRobotState& state) {
                       qarn3::Qarn3SocpResult result = check(qarn3::qarn3_socp(record, resolved), &state.err_slot);
                       std::optional<qarn2::ObjectiveTerms> objective;
                       if (result.profile) {
                         const auto evaluate = [&] { return qarn3::qarn3_objective_terms(record, *result.profile); };
                         objective =
                             evaluating_objective_terms("qarn3_socp_expert", record.s_len(), record.robot.dim(), evaluate);
                       }
                       return build_qarn3_clarabel_result(std::move(result), std::move(objective));
                     });
}

}  // namespace

void register_qarn3_items(Module& module) {
  module.add_class<PyQarn3Problem>();
  module.add_function<qarn3_socp>("qarn3_socp(problem, options=None)", "Solve QARN3 with the Clarabel SOCP backend.");
  module.add_function<qarn3_socp_expert>("qarn3_socp_expert(problem, options=None)",
                                         "Solve QARN3-SOCP and return raw Clarabel diagnostics.");
}

}  // namespace qarn::py

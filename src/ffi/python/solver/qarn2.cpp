// The QARN2 conic solver functions `qarn2_socp` and `qarn2_socp_expert`, the expert result class
// `Qarn2SocpResult`, and the registration of the QARN2 group. The solve gives the interpreter lock
// up unless the robot's torque terms call a Python inverse-dynamics callback.
#include <optional>
#include <string>
#include <vector>

#include "ffi/python/array.hpp"
#include "ffi/python/module.hpp"
#include "ffi/python/solver/clarabel_options.hpp"
#include "ffi/python/solver/conic_results.hpp"
#include "ffi/python/solver/problem2.hpp"
#include "qarn/qarn2/opt2/objective_terms.hpp"
#include "qarn/qarn2/opt2/qarn2_socp.hpp"

namespace qarn::py {

// The objective value and terms are present exactly when the profile is.
struct PyQarn2SocpResult {
  std::optional<double> objective_value;
  std::optional<std::vector<double>> a;
  std::optional<std::vector<double>> objective_terms;
  ClarabelReport report;
  std::optional<std::string> audit_failure;
};

void define(ClassDef<PyQarn2SocpResult>& c);

namespace {

// Runs body(record, options) on the problem's robot with the checks passed, on copies of everything
// the solve reads from Python objects. Whether the interpreter lock is given up is decided under the
// same robot lock that runs the solve.
template <class Body>
auto solve_qarn2(const PyQarn2Problem& problem, std::optional<Shared<PyClarabelOptions>> options, Body body) {
  const ClarabelOptions resolved = extract_clarabel_options(std::move(options));
  const RobotHandle state = problem.state;
  const ProblemWindow window = problem.window;
  const std::vector<ObjectiveSpec> objectives = building_record(
      "Qarn2Problem", window.stations(), objective_values(problem.objectives), [&] { return problem.objectives; });
  return solve_locked(*state, SolveGil::ReleaseWithoutCallback, [&](const Robot& robot) {
    return with_checked_qarn2(*state, robot, objectives, window,
                              [&](const Qarn2Problem& record) { return body(record, resolved, *state); });
  });
}

std::vector<double> qarn2_socp(Shared<PyQarn2Problem> problem, std::optional<Shared<PyClarabelOptions>> options) {
  return solve_qarn2(*problem, std::move(options),
                     [](const Qarn2Problem& record, const ClarabelOptions& resolved, SharedRobotState& state) {
                       return check(qarn2::qarn2_socp_entry(record, resolved), &state.err_slot);
                     });
}

// The expert record of a finished solve; the objective values come from the accepted profile.
PyQarn2SocpResult expert_result(const Qarn2Problem& record, qarn2::Qarn2SocpOutcome&& outcome) {
  PyQarn2SocpResult result;
  result.a = std::move(outcome.profile);
  result.audit_failure = std::move(outcome.audit_failure);
  result.report = std::move(outcome);
  if (result.a) {
    const auto evaluate = [&] {
      return qarn2::qarn2_objective_terms(record.robot, record.idx_s_start, record.objectives, *result.a);
    };
    qarn2::ObjectiveTerms terms =
        evaluating_objective_terms("qarn2_socp_expert", result.a->size(), record.robot.dim(), evaluate);
    result.objective_value = terms.objective_value;
    result.objective_terms = std::move(terms.objective_terms);
  }
  return result;
}

// An unaccepted status is no error here: the result then has no profile and no objective values.
PyQarn2SocpResult qarn2_socp_expert(Shared<PyQarn2Problem> problem,
                                    std::optional<Shared<PyClarabelOptions>> options) {
  return solve_qarn2(*problem, std::move(options),
                     [](const Qarn2Problem& record, const ClarabelOptions& resolved, SharedRobotState& state) {
                       return expert_result(record, check(qarn2::qarn2_socp(record, resolved), &state.err_slot));
                     });
}

// ---- Qarn2SocpResult attributes ----

using Result2 = PyQarn2SocpResult;

std::string result_repr(Shared<Result2> self) {
  return fmt::format("Qarn2SocpResult(a_available={}, solver_status={}, iterations={}, objective_value={})",
                     self->a.has_value(), status_name(self->report.status), self->report.iterations,
                     self->objective_value);
}

}  // namespace

void define(ClassDef<PyQarn2SocpResult>& c) {
  c.name("Qarn2SocpResult",
         "Python-owned expert result for QARN2-SOCP.\n\n"
         "The accepted profile ``a`` and the objective breakdown (``objective_value``, "
         "``objective_terms``) are ``None`` when the final Clarabel status is not accepted by the given "
         "options, or when the accepted solution's profile breaks one of its constraint rows or never arrives "
         "(``audit_failure`` then names the row, or the interval where it stops); the raw Clarabel vectors and "
         "statistics stay available "
         "regardless of status.")
      .field<&Result2::a>("a", "Return the accepted `a` profile, or `None` when unavailable.")
      .field<&Result2::objective_value>("objective_value",
                                        "Return weighted QARN objective value computed from accepted `a`, if any.")
      .field<&Result2::objective_terms>("objective_terms",
                                        "Return per-objective unweighted values computed from accepted `a`, if any.")
      .repr<result_repr>();
  define_report_attributes(c);
}

void register_qarn2_items(Module& module) {
  module.add_class<PyQarn2Problem>();
  module.add_class<PyQarn2SocpResult>();
  module.add_function<qarn2_socp>("qarn2_socp(problem, options=None)", "Solve QARN2 with the Clarabel SOCP backend.");
  module.add_function<qarn2_socp_expert>("qarn2_socp_expert(problem, options=None)",
                                         "Solve QARN2 with the Clarabel SOCP backend and return diagnostics.");
}

}  // namespace qarn::py

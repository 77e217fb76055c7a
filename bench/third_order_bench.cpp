// The third-order solvers on 1,000 stations of a 6-axis path with velocity, acceleration and jerk
// limits, linearized around the second-order optimum: TOPP3 LP, TOPP3 SOCP, and QARN3 with Time
// and with Time + ThermalEnergy (the C++ point-mass model). The problem build (checks and jerk
// linearization), the assembly (estimate, standard constraints, the solver's stages, compressed
// columns), the solver call (scale stage and Clarabel) and the whole solve are timed apart.
// Targets: TOPP3 LP under 0.3 s, assembly under 5% of the solve.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "jerk_limited_robot.hpp"
#include "qarn/conic/solve.hpp"
#include "qarn/qarn2/dp2/topp2_ra.hpp"
#include "qarn/qarn3/opt3/qarn3_socp.hpp"
#include "qarn/qarn3/opt3/topp3_lp.hpp"
#include "qarn/qarn3/opt3/topp3_socp.hpp"
#include "robot/robot_core.hpp"

namespace {

using namespace qarn;
using namespace qarn::qarn3;

using bench::kAxes;
using bench::kStations;

struct Setup {
  std::unique_ptr<Robot> robot = bench::jerk_limited_robot();
  std::vector<double> reference;

  Setup() {
    Constraints& c = robot->constraints();
    Result<std::vector<double>> a = qarn2::topp2_ra({c, 0, kStations - 1, 0.0, 0.0}, {});
    if (!a) std::abort();
    reference = std::move(*a);
  }

  Topp3Problem problem() {
    Result<Topp3Problem> p =
        Topp3ProblemBuilder{robot->constraints(), {.a_linearization = reference}}.build_with_linearization();
    if (!p) std::abort();
    return *p;
  }
  Qarn3Problem qarn3_problem(std::span<const ObjectiveView> objectives) {
    Result<Qarn3Problem> p =
        Qarn3ProblemBuilder{*robot, objectives, {.a_linearization = reference}}.build_with_linearization();
    if (!p) std::abort();
    return *p;
  }
};

const std::vector<double> kNormalize(kAxes, 1.0);
const std::vector<ObjectiveView> kTime{{ObjectiveKind::Time, 1.0, {}, {}}};
const std::vector<ObjectiveView> kTimeThermal{{ObjectiveKind::Time, 1.0, {}, {}},
                                              {ObjectiveKind::ThermalEnergy, 0.01, kNormalize, {}}};

Setup& setup() {
  static Setup s;
  return s;
}

void BM_Topp3ProblemBuild(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(setup().problem());
}
BENCHMARK(BM_Topp3ProblemBuild)->Unit(benchmark::kMillisecond);

// The problem of a benchmark: TOPP3, or QARN3 with the objectives of its first argument (0 Time,
// 1 Time + ThermalEnergy).
template <class Problem>
Problem problem_of(const benchmark::State& state) {
  if constexpr (std::is_same_v<Problem, Topp3Problem>) {
    return setup().problem();
  } else {
    return setup().qarn3_problem(state.range(0) == 0 ? kTime : kTimeThermal);
  }
}

template <class Problem, Result<PreparedProgram> (*Program)(const Problem&)>
void BM_Assembly(benchmark::State& state) {
  const Problem p = problem_of<Problem>(state);
  for (auto _ : state) {
    Result<PreparedProgram> program = Program(p);
    if (!program) state.SkipWithError("assembly failed");
    benchmark::DoNotOptimize(program);
    if (program) {
      state.counters["rows"] = static_cast<double>(program->program.rows());
      state.counters["nnz"] = static_cast<double>(program->program.A.nzval.size());
    }
  }
}
BENCHMARK(BM_Assembly<Topp3Problem, topp3_lp_program>)->Name("BM_Topp3LpAssembly")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Assembly<Topp3Problem, topp3_socp_program>)->Name("BM_Topp3SocpAssembly")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Assembly<Qarn3Problem, qarn3_socp_program>)
    ->Name("BM_Qarn3Assembly")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);

template <class Problem, Result<PreparedProgram> (*Program)(const Problem&)>
void BM_SolverCall(benchmark::State& state) {
  const Result<PreparedProgram> program = Program(problem_of<Problem>(state));
  if (!program) std::abort();
  const ClarabelOptions options;
  for (auto _ : state) {
    Result<clarabel::SolveOutput> out =
        solve_conic("third order", program->program, program->column_scales, options, program->cost_scale);
    // AlmostSolved is accepted by default (and the flow audits the profile); anything else is not.
    if (!out || !options.allow(out->status)) {
      const std::string why = out ? std::string(status_name(out->status)) : out.error().display();
      state.SkipWithError(why.c_str());
    }
    benchmark::DoNotOptimize(out);
    if (out) {
      state.counters["clarabel_ms"] = out->solve_time * 1e3;
      state.counters["iterations"] = out->iterations;
      state.counters["solved"] = out->status == SolverStatus::Solved ? 1 : 0;
    }
  }
}
BENCHMARK(BM_SolverCall<Topp3Problem, topp3_lp_program>)->Name("BM_Topp3LpSolverCall")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SolverCall<Topp3Problem, topp3_socp_program>)
    ->Name("BM_Topp3SocpSolverCall")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SolverCall<Qarn3Problem, qarn3_socp_program>)
    ->Name("BM_Qarn3SolverCall")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);

template <class Problem, Result<Qarn3SocpResult> (*Solve)(const Problem&, const ClarabelOptions&)>
void BM_Whole(benchmark::State& state) {
  const Problem p = problem_of<Problem>(state);
  const ClarabelOptions options;
  for (auto _ : state) {
    Result<Qarn3SocpResult> out = Solve(p, options);
    if (!out || !out->profile) state.SkipWithError("no profile");
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_Whole<Topp3Problem, topp3_lp>)->Name("BM_Topp3LpWhole")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Whole<Topp3Problem, topp3_socp>)->Name("BM_Topp3SocpWhole")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Whole<Qarn3Problem, qarn3_socp>)->Name("BM_Qarn3Whole")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

// TOPP3 LP and TOPP3 SOCP on 1,000 stations of a 6-axis path with velocity, acceleration and jerk
// limits, linearized around the second-order optimum: the problem build (checks and jerk
// linearization), the assembly (estimate, standard constraints, the solver's stage, compressed
// columns), the solver call (scale stage and Clarabel) and the whole solve, timed apart.
// Targets: TOPP3 LP under 0.3 s, assembly under 5% of the solve.
#include <benchmark/benchmark.h>

#include <Eigen/Core>
#include <memory>
#include <random>
#include <vector>

#include "../tests/cpp/qarn2/sine_path.hpp"
#include "qarn/conic_solve.hpp"
#include "qarn/qarn2/dp2/topp2_ra.hpp"
#include "qarn/qarn3/opt3/topp3_lp.hpp"
#include "qarn/qarn3/opt3/topp3_socp.hpp"
#include "robot/robot_core.hpp"

namespace {

using namespace qarn;
using namespace qarn::qarn3;

constexpr std::size_t kStations = 1000;
constexpr Eigen::Index kAxes = 6;

// A random smooth 6-axis path with limits per axis: |velocity| <= 1 + 0.2 j, |acceleration| <=
// 3 + 0.5 j, |jerk| <= 20 + 5 j.
struct Setup {
  std::unique_ptr<Robot> robot = std::make_unique<Robot>(kAxes, kStations);
  std::vector<double> reference;

  Setup() {
    std::mt19937_64 rng(2024);
    const test2::SinePath p = test2::sine_path(rng, kAxes, kStations - 1);
    Constraints& c = robot->constraints();
    if (!c.append_s(p.s).ok() || !c.set_q(p.q, p.dq, p.ddq, p.dddq, 0).ok()) std::abort();
    const auto n = static_cast<Eigen::Index>(kStations);
    Eigen::MatrixXd v(kAxes, n), acc(kAxes, n), jerk(kAxes, n);
    for (Eigen::Index j = 0; j < kAxes; ++j) {
      v.row(j).setConstant(1.0 + 0.2 * static_cast<double>(j));
      acc.row(j).setConstant(3.0 + 0.5 * static_cast<double>(j));
      jerk.row(j).setConstant(20.0 + 5.0 * static_cast<double>(j));
    }
    if (!robot->add_velocity_limits(v, -v, 0).ok() || !robot->add_acceleration_limits(acc, -acc, 0).ok() ||
        !robot->add_jerk_limits(jerk, -jerk, 0).ok()) {
      std::abort();
    }
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
};

Setup& setup() {
  static Setup s;
  return s;
}

void BM_Topp3ProblemBuild(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(setup().problem());
}
BENCHMARK(BM_Topp3ProblemBuild)->Unit(benchmark::kMillisecond);

template <Result<ThirdOrderProgram> (*Program)(const Topp3Problem&)>
void BM_Assembly(benchmark::State& state) {
  const Topp3Problem p = setup().problem();
  for (auto _ : state) {
    Result<ThirdOrderProgram> program = Program(p);
    if (!program) state.SkipWithError("assembly failed");
    benchmark::DoNotOptimize(program);
    if (program) {
      state.counters["rows"] = static_cast<double>(program->program.rows());
      state.counters["nnz"] = static_cast<double>(program->program.A.nzval.size());
    }
  }
}
BENCHMARK(BM_Assembly<topp3_lp_program>)->Name("BM_Topp3LpAssembly")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Assembly<topp3_socp_program>)->Name("BM_Topp3SocpAssembly")->Unit(benchmark::kMillisecond);

template <Result<ThirdOrderProgram> (*Program)(const Topp3Problem&)>
void BM_SolverCall(benchmark::State& state) {
  const Result<ThirdOrderProgram> program = Program(setup().problem());
  if (!program) std::abort();
  const ClarabelOptions options;
  for (auto _ : state) {
    Result<clarabel::SolveOutput> out = solve_conic("topp3", program->program, program->columns, options);
    if (!out || out->status != SolverStatus::Solved) state.SkipWithError("not solved");
    benchmark::DoNotOptimize(out);
    if (out) {
      state.counters["clarabel_ms"] = out->solve_time * 1e3;
      state.counters["iterations"] = out->iterations;
    }
  }
}
BENCHMARK(BM_SolverCall<topp3_lp_program>)->Name("BM_Topp3LpSolverCall")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SolverCall<topp3_socp_program>)->Name("BM_Topp3SocpSolverCall")->Unit(benchmark::kMillisecond);

template <Result<Qarn3SocpResult> (*Solve)(const Topp3Problem&, const ClarabelOptions&)>
void BM_Whole(benchmark::State& state) {
  const Topp3Problem p = setup().problem();
  const ClarabelOptions options;
  for (auto _ : state) {
    Result<Qarn3SocpResult> out = Solve(p, options);
    if (!out || !out->profile) state.SkipWithError("no profile");
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_Whole<topp3_lp>)->Name("BM_Topp3LpWhole")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Whole<topp3_socp>)->Name("BM_Topp3SocpWhole")->Unit(benchmark::kMillisecond);

}  // namespace
